#include "platform/Files.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include <cerrno>
#endif

namespace jv {

namespace {

#ifdef _WIN32

// Windows' MoveFileA refuses an existing target, which is what the rename
// steps below rely on: they never overwrite anything by accident.
bool RenameOnly(const std::string& from, const std::string& to) { return MoveFileA(from.c_str(), to.c_str()) != 0; }

using MoveFileExFunction = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);

// Windows 95/98/ME have no MoveFileExA that works (the entry is a stub on
// some, missing on others), so it is looked up when needed instead of
// imported: an import the loader cannot resolve would stop the program
// before it starts.
MoveFileExFunction FindMoveFileEx() {
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    if (kernel == nullptr) return nullptr;
    return reinterpret_cast<MoveFileExFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "MoveFileExA")));
}

#else

bool RenameOnly(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

#endif

}  // namespace

bool MoveFileOverByRenames(const std::string& tmp, const std::string& target) {
    if (!PathExists(target)) return RenameOnly(tmp, target);
    std::string old;
    for (int attempt = 0; attempt < 1000 && old.empty(); ++attempt) {
        std::string candidate = target + ".jv" + std::to_string(attempt) + ".old";
        if (!NameIsTaken(candidate)) old = candidate;
    }
    if (old.empty() || !RenameOnly(target, old)) return false;
    if (!RenameOnly(tmp, target)) {
        RenameOnly(old, target);
        return false;
    }
    std::remove(old.c_str());
    return true;
}

#ifdef _WIN32

bool MoveFileOver(const std::string& tmp, const std::string& target) {
    if (MoveFileExFunction moveFileEx = FindMoveFileEx()) {
        if (moveFileEx(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
            return true;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
    }
    return MoveFileOverByRenames(tmp, target);
}

bool NameIsTaken(const std::string& name) {
    if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool PathExists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::optional<uint64_t> RegularFileSize(const std::string& name) {
    DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<uint64_t> size;
    // Device names ("CON", "NUL", ...) open like files but are none.
    if (GetFileType(file) == FILE_TYPE_DISK) {
        DWORD high = 0;
        DWORD low = GetFileSize(file, &high);
        if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) size = (uint64_t{high} << 32) | low;
    }
    CloseHandle(file);
    return size;
}

#else

bool MoveFileOver(const std::string& tmp, const std::string& target) {
    return std::rename(tmp.c_str(), target.c_str()) == 0;
}

bool NameIsTaken(const std::string& name) {
    struct stat info {};
    if (lstat(name.c_str(), &info) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

bool PathExists(const std::string& name) {
    struct stat info {};
    return stat(name.c_str(), &info) == 0;
}

std::optional<uint64_t> RegularFileSize(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

#endif

}  // namespace jv
