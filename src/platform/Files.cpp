#include "platform/Files.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

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

// The temporary files a stop request removes. A slot is free (0), being
// filled or emptied by its owner (1), or holds a name the handler may read
// (2): the handler reads only slots in state 2, so it never sees half a name.
constexpr size_t kMarkedFiles = 4;
constexpr size_t kMarkedNameBytes = 4096;
struct SMarkedFile {
    std::atomic<int> state{0};
    char name[kMarkedNameBytes] = {};
};
static_assert(std::atomic<int>::is_always_lock_free);
SMarkedFile g_marked[kMarkedFiles];

}  // namespace

// The folder part of a name, separator included, so that a sibling is this
// prefix and a name of its own; empty for a name in the current folder.
std::string FolderPrefix(const std::string& name) {
#ifdef _WIN32
    const size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) return name.substr(0, slash + 1);
    // "c:name" lies in the current folder of drive c.
    if (name.size() >= 2 && name[1] == ':') return name.substr(0, 2);
    return {};
#else
    const size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
#endif
}

void MarkTemporaryFile(const std::string& name) {
    if (name.empty() || name.size() >= kMarkedNameBytes) return;
    for (SMarkedFile& file : g_marked) {
        int free = 0;
        if (!file.state.compare_exchange_strong(free, 1)) continue;
        std::memcpy(file.name, name.c_str(), name.size() + 1);
        file.state.store(2);
        return;
    }
}

void UnmarkTemporaryFile(const std::string& name) {
    for (SMarkedFile& file : g_marked) {
        int marked = 2;
        if (file.state.load() != 2 || name != file.name) continue;
        if (file.state.compare_exchange_strong(marked, 0)) return;
    }
}

void RemoveMarkedTemporaryFiles() {
    for (SMarkedFile& file : g_marked) {
        if (file.state.load() != 2) continue;
#ifdef _WIN32
        DeleteFileA(file.name);
#else
        unlink(file.name);
#endif
    }
}

bool MoveFileOverByRenames(const std::string& tmp, const std::string& target) {
    if (!PathExists(target)) return RenameOnly(tmp, target);
    std::string old = CreateSiblingTemporary(target);
    if (old.empty()) return false;
    // The spare name is ours; it is freed again because the renames below
    // never replace anything (Windows' MoveFileA refuses to).
    std::remove(old.c_str());
    if (!RenameOnly(target, old)) return false;
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

namespace {

using FormatMessageFunction = DWORD(WINAPI*)(DWORD, LPCVOID, DWORD, DWORD, LPSTR, DWORD, va_list*);

std::string ErrorText(DWORD error) {
    // Looked up as MoveFileExA is, so that the program's imports stay those
    // every Windows from 95 on has; without it the number stands alone.
    char text[512] = {};
    DWORD length = 0;
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    const auto formatMessage = kernel == nullptr ? nullptr
                                                 : reinterpret_cast<FormatMessageFunction>(reinterpret_cast<void*>(
                                                       GetProcAddress(kernel, "FormatMessageA")));
    if (formatMessage != nullptr) {
        length = formatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                               sizeof text, nullptr);
    }
    std::string result(text, length < sizeof text ? length : 0);
    while (!result.empty() && (result.back() == '\r' || result.back() == '\n' || result.back() == ' ' ||
                               result.back() == '.')) {
        result.pop_back();
    }
    if (result.empty()) result = "system error " + std::to_string(error);
    return result;
}

SNewFile NewFileError(DWORD error) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return {ENewFile::Exists, {}};
    return {ENewFile::Failed, ErrorText(error)};
}

}  // namespace

std::string LastErrorText() { return ErrorText(GetLastError()); }

SNewFile MoveFileNew(const std::string& tmp, const std::string& target) {
    // Without MOVEFILE_REPLACE_EXISTING the move refuses a target that is
    // there; MoveFileA, which the old systems have, refuses it too.
    if (MoveFileExFunction moveFileEx = FindMoveFileEx()) {
        if (moveFileEx(tmp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0) return {};
        const DWORD error = GetLastError();
        if (error != ERROR_CALL_NOT_IMPLEMENTED) return NewFileError(error);
    }
    if (MoveFileA(tmp.c_str(), target.c_str()) != 0) return {};
    return NewFileError(GetLastError());
}

SNewFile MoveFileNewByLinks(const std::string& tmp, const std::string& target) { return MoveFileNew(tmp, target); }

SNewFile CheckNewFile(const std::string& name) {
    if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) return {ENewFile::Exists, {}};
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return {ENewFile::Failed, ErrorText(error)};
    const std::string probe = CreateSiblingTemporary(name);
    if (probe.empty()) return {ENewFile::Failed, LastErrorText()};
    DeleteFileA(probe.c_str());
    return {};
}

bool NameIsTaken(const std::string& name) {
    if (GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

bool PathExists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool PosixFileNames() { return false; }

bool MayReplaceFile(const std::string& name) {
    const DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

std::optional<SFolderRoom> FolderRoom(const std::string& name) {
    std::string folder = FolderPrefix(name);
    if (folder.empty()) folder = ".\\";
    char full[MAX_PATH + 1] = {};
    char* part = nullptr;
    const DWORD length = GetFullPathNameA(folder.c_str(), sizeof full, full, &part);
    if (length == 0 || length >= sizeof full) return std::nullopt;
    // The root the old call wants, which also names the volume: C:\ or
    // \\server\share\ (with the separator behind it).
    std::string root(full, length);
    if (root.rfind("\\\\", 0) == 0) {
        const size_t server = root.find('\\', 2);
        const size_t share = server == std::string::npos ? server : root.find('\\', server + 1);
        root = share == std::string::npos ? root + "\\" : root.substr(0, share + 1);
    } else if (root.size() >= 2 && root[1] == ':') {
        root = root.substr(0, 2) + "\\";
    } else {
        return std::nullopt;
    }
    SFolderRoom room;
    for (char& c : root) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    room.volume = root;
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    const bool old = GetDiskFreeSpaceA(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) != 0;
    if (old) {
        room.unitBytes = std::max<uint64_t>(1, uint64_t{sectorsPerCluster} * bytesPerSector);
        room.freeBytes = room.unitBytes * freeClusters;
    }
    // Windows 95 before OSR2 has no GetDiskFreeSpaceExA, and the old call
    // tells at most 2 GB; looked up as MoveFileExA is.
    using FreeSpaceExFunction = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    const auto freeSpaceEx = kernel == nullptr ? nullptr
                                               : reinterpret_cast<FreeSpaceExFunction>(reinterpret_cast<void*>(
                                                     GetProcAddress(kernel, "GetDiskFreeSpaceExA")));
    ULARGE_INTEGER available{};
    if (freeSpaceEx != nullptr && freeSpaceEx(full, &available, nullptr, nullptr) != 0) {
        room.freeBytes = available.QuadPart;
    } else if (!old) {
        return std::nullopt;
    }
    return room;
}

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

namespace {

SNewFile NewFileError(int error) {
    if (error == EEXIST) return {ENewFile::Exists, {}};
    return {ENewFile::Failed, std::strerror(error)};
}

}  // namespace

std::string LastErrorText() { return std::strerror(errno); }

SNewFile MoveFileNew(const std::string& tmp, const std::string& target) {
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return {};
    // EINVAL: the file system has no such rename; ENOSYS: nor the kernel.
    if (errno != EINVAL && errno != ENOSYS) return NewFileError(errno);
#endif
    return MoveFileNewByLinks(tmp, target);
}

SNewFile MoveFileNewByLinks(const std::string& tmp, const std::string& target) {
    if (link(tmp.c_str(), target.c_str()) == 0) {
        // The file is in place under both names; a tmp that stays behind
        // is the caller's to remove, as after any failure.
        unlink(tmp.c_str());
        return {};
    }
    const int error = errno;
    // FAT and the like have no links: EPERM there.
    if (error != EPERM && error != ENOSYS && error != EOPNOTSUPP) return NewFileError(error);
    struct stat info {};
    if (lstat(target.c_str(), &info) == 0) return {ENewFile::Exists, {}};
    if (errno != ENOENT) return NewFileError(errno);
    if (std::rename(tmp.c_str(), target.c_str()) == 0) return {};
    return NewFileError(errno);
}

SNewFile CheckNewFile(const std::string& name) {
    struct stat info {};
    if (lstat(name.c_str(), &info) == 0) return {ENewFile::Exists, {}};
    // ENOTDIR, ENAMETOOLONG, EACCES, ELOOP: no file is there, but none can be made either.
    if (errno != ENOENT) return NewFileError(errno);
    const std::string probe = CreateSiblingTemporary(name);
    if (probe.empty()) return {ENewFile::Failed, LastErrorText()};
    std::remove(probe.c_str());
    return {};
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

bool PosixFileNames() { return true; }

bool MayReplaceFile(const std::string& name) {
    struct stat info {};
    return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(name.c_str(), W_OK) == 0;
}

std::optional<SFolderRoom> FolderRoom(const std::string& name) {
    const std::string prefix = FolderPrefix(name);
    const char* folder = prefix.empty() ? "." : prefix.c_str();
    struct statvfs space {};
    struct stat info {};
    if (statvfs(folder, &space) != 0 || stat(folder, &info) != 0) return std::nullopt;
    SFolderRoom room;
    room.unitBytes = std::max<uint64_t>(1, space.f_frsize != 0 ? space.f_frsize : space.f_bsize);
    // The blocks a file system keeps back are root's to fill.
    const uint64_t blocks = geteuid() == 0 ? space.f_bfree : space.f_bavail;
    room.freeBytes = blocks * room.unitBytes;
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        room.largestFile = static_cast<uint64_t>(limit.rlim_cur);
    }
    room.volume = std::to_string(static_cast<uint64_t>(info.st_dev));
    return room;
}

std::optional<uint64_t> RegularFileSize(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

#endif

}  // namespace jv
