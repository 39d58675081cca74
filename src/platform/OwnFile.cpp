#include "platform/OwnFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace jv {

namespace {

OwnFileHook g_createdHook = nullptr;

// Reads are compared in pieces, so a read-back costs no second copy of a
// large file.
constexpr size_t kCompareChunk = 64 * 1024;

#ifdef _WIN32

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr intptr_t kNoHandle = -1;  // INVALID_HANDLE_VALUE's value

// "jv" and six hexadecimal digits: an 8.3 name, which every file system of
// these systems takes. CREATE_NEW makes the name ours alone; the digits only
// make a free one likely at the first try. target, when given, is never
// the name chosen.
HANDLE CreateUniqueFile(const std::string& prefix, const std::string& target, DWORD flags, std::string& name) {
    static std::atomic<uint32_t> counter{0};
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    const uint32_t seed = GetTickCount() ^ static_cast<uint32_t>(ticks.QuadPart) ^ (counter++ * 0x9E3779B1u);
    for (uint32_t attempt = 0; attempt < 64; ++attempt) {
        uint32_t value = (seed + attempt * 0x01000193u) & 0xFFFFFFu;
        char digits[7] = {};
        for (int i = 5; i >= 0; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 0xF];
        name = prefix + "jv" + digits + ".tmp";
        if (name == target) continue;
        // Shared with nobody: while it is open no other program may open,
        // rename or delete it.
        HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        const DWORD error = GetLastError();
        // Taken by a file or a folder, or by a file that is being deleted.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED) break;
    }
    name.clear();
    return INVALID_HANDLE_VALUE;
}

#else

constexpr intptr_t kNoHandle = -1;

int AsFd(intptr_t handle) { return static_cast<int>(handle); }

// Stop requests wait while a file is made and marked (or its name removed),
// so no moment is left in which a stop would leave it behind.
class HeldStops {
public:
    HeldStops() {
        sigset_t stops;
        sigemptyset(&stops);
        for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&stops, signal);
        pthread_sigmask(SIG_BLOCK, &stops, &before_);
    }
    ~HeldStops() {
        const int error = errno;
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
        errno = error;
    }
    HeldStops(const HeldStops&) = delete;
    HeldStops& operator=(const HeldStops&) = delete;

private:
    sigset_t before_{};
};

// Six letters or digits after "jv-". O_EXCL makes the name ours alone, and
// with O_NOFOLLOW nothing that has the name (a link above all) is ever
// opened; the letters only make a free one likely at the first try. Mode
// 0666 leaves the rest to the process's mask, as fopen does.
int CreateUniqueFile(const std::string& prefix, const std::string& target, std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The programs that host the drive doubles (Wine) run several threads.
    static std::atomic<uint32_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t state = static_cast<uint64_t>(now.tv_nsec) ^ static_cast<uint64_t>(now.tv_sec) << 30 ^
                     static_cast<uint64_t>(getpid()) << 20 ^ uint64_t{++counter} * 0x9E3779B97F4A7C15u;
    for (int attempt = 0; attempt < 64; ++attempt) {
        name = prefix + "jv-";
        for (int i = 0; i < 6; ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            name += kLetters[(state >> 33) % (sizeof kLetters - 1)];
        }
        name += ".tmp";
        if (name == target) continue;
        const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    const int error = errno;
    name.clear();
    errno = error;
    return -1;
}

// The folder's entry of a renamed file reaches the medium too; a folder
// that cannot be synced (some file systems refuse) costs nothing but that.
void SyncFolder(const std::string& name) {
    const std::string prefix = FolderPrefix(name);
    const int fd = open(prefix.empty() ? "." : prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

#endif

}  // namespace

OwnFile::~OwnFile() { Close(); }

OwnFile::OwnFile(OwnFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)),
      name_(std::move(other.name_)),
      marked_(std::exchange(other.marked_, false)) {
    other.name_.clear();
}

OwnFile& OwnFile::operator=(OwnFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kNoHandle);
        name_ = std::move(other.name_);
        other.name_.clear();
        marked_ = std::exchange(other.marked_, false);
    }
    return *this;
}

bool OwnFile::IsOpen() const { return handle_ != kNoHandle; }

void OwnFile::ReleaseName() {
    if (marked_) UnmarkTemporaryFile(name_);
    marked_ = false;
    name_.clear();
}

#ifdef _WIN32

OwnFile OwnFile::CreateSibling(const std::string& target, bool marked) {
    OwnFile file;
    HANDLE handle = CreateUniqueFile(FolderPrefix(target), target, FILE_ATTRIBUTE_NORMAL, file.name_);
    if (handle == INVALID_HANDLE_VALUE) return file;
    file.handle_ = reinterpret_cast<intptr_t>(handle);
    // The console control thread cannot be held off; the gap is a few calls.
    if (marked) {
        MarkTemporaryFile(file.name_);
        file.marked_ = true;
    }
    return file;
}

OwnFile OwnFile::CreatePrivate(const std::string& folder) {
    OwnFile file;
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
    std::string name;
    HANDLE handle =
        CreateUniqueFile(prefix, {}, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, name);
    if (handle == INVALID_HANDLE_VALUE) return file;
    // The system deletes it when the handle closes, also when the process
    // ends in any way: it has no name for its owner to remove.
    file.handle_ = reinterpret_cast<intptr_t>(handle);
    return file;
}

OwnFile OwnFile::CreateFixed(const std::string& name) {
    OwnFile file;
    DeleteFileA(name.c_str());
    MarkTemporaryFile(name);
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        UnmarkTemporaryFile(name);
        SetLastError(error);
        return file;
    }
    file.handle_ = reinterpret_cast<intptr_t>(handle);
    file.name_ = name;
    file.marked_ = true;
    return file;
}

OwnFile OwnFile::CreateNew(const std::string& name, SNewFile& result) {
    OwnFile file;
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.result = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? ENewFile::Exists
                                                                                     : ENewFile::Failed;
        SetLastError(error);
        result.reason = LastErrorText();
        return file;
    }
    file.handle_ = reinterpret_cast<intptr_t>(handle);
    file.name_ = name;
    result = {};
    return file;
}

bool OwnFile::Append(std::span<const uint8_t> bytes) {
    if (!IsOpen()) return false;
    // A read may have moved the file pointer.
    if (SetFilePointer(AsHandle(handle_), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    while (!bytes.empty()) {
        const auto piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), bytes.data(), piece, &written, nullptr) || written == 0) return false;
        bytes = bytes.subspan(written);
    }
    return true;
}

bool OwnFile::ReadAt(uint64_t offset, std::span<uint8_t> into) {
    if (!IsOpen()) return false;
    LONG high = static_cast<LONG>(offset >> 32);
    if (SetFilePointer(AsHandle(handle_), static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
        return false;
    while (!into.empty()) {
        const auto piece = static_cast<DWORD>(std::min<size_t>(into.size(), 1u << 20));
        DWORD read = 0;
        if (!ReadFile(AsHandle(handle_), into.data(), piece, &read, nullptr) || read == 0) return false;
        into = into.subspan(read);
    }
    return true;
}

std::optional<uint64_t> OwnFile::Size() {
    if (!IsOpen()) return std::nullopt;
    DWORD high = 0;
    const DWORD low = GetFileSize(AsHandle(handle_), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return std::nullopt;
    return (uint64_t{high} << 32) | low;
}

bool OwnFile::Truncate() {
    return IsOpen() &&
           !(SetFilePointer(AsHandle(handle_), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
             GetLastError() != NO_ERROR) &&
           SetEndOfFile(AsHandle(handle_)) != 0;
}

bool OwnFile::Sync() { return IsOpen() && FlushFileBuffers(AsHandle(handle_)) != 0; }

bool OwnFile::SetMode(uint32_t) { return IsOpen(); }

bool OwnFile::StillNamed() { return IsOpen() && !name_.empty(); }

bool OwnFile::Close() {
    if (!IsOpen()) return true;
    const bool closed = CloseHandle(AsHandle(std::exchange(handle_, kNoHandle))) != 0;
    return closed;
}

void OwnFile::Discard() {
    // Windows deletes no file that is open, and nobody else can have
    // opened this one: closing it first keeps the name ours to the end.
    Close();
    if (!name_.empty()) DeleteFileA(name_.c_str());
    ReleaseName();
}

#else

OwnFile OwnFile::CreateSibling(const std::string& target, bool marked) {
    OwnFile file;
    std::optional<HeldStops> held;
    if (marked) held.emplace();
    const int fd = CreateUniqueFile(FolderPrefix(target), target, file.name_);
    if (fd < 0) return file;
    file.handle_ = fd;
    if (marked) {
        MarkTemporaryFile(file.name_);
        file.marked_ = true;
    }
    return file;
}

OwnFile OwnFile::CreatePrivate(const std::string& folder) {
    OwnFile file;
    std::string pattern = folder;
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += "jorvane-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const HeldStops held;
    // mkstemp makes the file with mode 0600 and refuses a name that exists;
    // with the name gone at once nobody can reach the file but through this
    // descriptor, and nothing is left when the program ends in any way.
    const int fd = mkstemp(name.data());
    if (fd < 0) return file;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (unlink(name.data()) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return file;
    }
    file.handle_ = fd;
    return file;
}

OwnFile OwnFile::CreateFixed(const std::string& name) {
    OwnFile file;
    const HeldStops held;
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return file;
    file.handle_ = fd;
    file.name_ = name;
    MarkTemporaryFile(name);
    file.marked_ = true;
    return file;
}

OwnFile OwnFile::CreateNew(const std::string& name, SNewFile& result) {
    OwnFile file;
    const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        // A link that leads nowhere has the name too (O_EXCL), and so does
        // one O_NOFOLLOW refused.
        result.result = error == EEXIST || error == ELOOP ? ENewFile::Exists : ENewFile::Failed;
        errno = error;
        result.reason = LastErrorText();
        return file;
    }
    file.handle_ = fd;
    file.name_ = name;
    result = {};
    return file;
}

bool OwnFile::Append(std::span<const uint8_t> bytes) {
    if (!IsOpen()) return false;
    while (!bytes.empty()) {
        const ssize_t n = write(AsFd(handle_), bytes.data(), std::min<size_t>(bytes.size(), 1u << 30));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing and says nothing: the medium is full.
            if (n == 0) errno = ENOSPC;
            return false;
        }
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

bool OwnFile::ReadAt(uint64_t offset, std::span<uint8_t> into) {
    if (!IsOpen()) return false;
    while (!into.empty()) {
        const ssize_t n = pread(AsFd(handle_), into.data(), std::min<size_t>(into.size(), 1u << 30),
                                static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        into = into.subspan(static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

std::optional<uint64_t> OwnFile::Size() {
    struct stat info {};
    if (!IsOpen() || fstat(AsFd(handle_), &info) != 0 || info.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

bool OwnFile::Truncate() {
    return IsOpen() && ftruncate(AsFd(handle_), 0) == 0 && lseek(AsFd(handle_), 0, SEEK_SET) == 0;
}

bool OwnFile::Sync() {
    if (!IsOpen()) return false;
    // EINVAL: a file system that keeps nothing to sync.
    if (fsync(AsFd(handle_)) != 0 && errno != EINVAL) return false;
#ifdef POSIX_FADV_DONTNEED
    posix_fadvise(AsFd(handle_), 0, 0, POSIX_FADV_DONTNEED);
#endif
    return true;
}

bool OwnFile::SetMode(uint32_t mode) {
    // The permission bits only: a copy never becomes set-ID by our hand.
    return IsOpen() && fchmod(AsFd(handle_), static_cast<mode_t>(mode & 0777u)) == 0;
}

bool OwnFile::StillNamed() {
    struct stat own {};
    struct stat named {};
    if (!IsOpen() || name_.empty() || fstat(AsFd(handle_), &own) != 0) return false;
    // While the file is open its number cannot go to another file.
    return lstat(name_.c_str(), &named) == 0 && S_ISREG(named.st_mode) && named.st_dev == own.st_dev &&
           named.st_ino == own.st_ino;
}

bool OwnFile::Close() {
    if (!IsOpen()) return true;
    // close may fail, but the descriptor is gone either way (Linux).
    return close(AsFd(std::exchange(handle_, kNoHandle))) == 0;
}

void OwnFile::Discard() {
    // What another user put under the name is not ours to remove.
    if (StillNamed()) unlink(name_.c_str());
    ReleaseName();
    Close();
}

#endif

std::string CreateSiblingTemporary(const std::string& target) {
    OwnFile file = OwnFile::CreateSibling(target, false);
    std::string name = file.Name();
    file.Close();
    return name;
}

namespace {

// Every byte of the file is the byte that was written, and there are no more.
bool ReadsBack(OwnFile& file, std::span<const uint8_t> bytes) {
    if (file.Size() != bytes.size()) return false;
    std::vector<uint8_t> back(std::min(bytes.size(), kCompareChunk));
    for (uint64_t at = 0; at < bytes.size(); at += back.size()) {
        const auto piece = static_cast<size_t>(std::min<uint64_t>(back.size(), bytes.size() - at));
        if (!file.ReadAt(at, std::span(back).first(piece))) return false;
        if (!std::equal(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(piece),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at)))
            return false;
    }
    return true;
}

SNewFile Failure(OwnFile& file) {
    SNewFile failure{ENewFile::Failed, LastErrorText()};
    file.Discard();
    return failure;
}

// A temporary whose name was taken from us is tried again with a new one; an
// other user who takes every name we make is told after this many.
constexpr int kNameAttempts = 3;

}  // namespace

SNewFile WriteOwnFile(const std::string& target, std::span<const uint8_t> bytes, const SOwnFileWrite& how) {
    // A file that is there is replaced only when it may be written, whether
    // or not it may be read.
    if (how.place == EPlaceFile::Replace && PathExists(target) && !MayReplaceFile(target)) {
        return {ENewFile::Failed, "only a file this program may write is replaced"};
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        OwnFile file = OwnFile::CreateSibling(target, true);
        if (!file.IsOpen()) return {ENewFile::Failed, LastErrorText()};
        if (g_createdHook != nullptr) g_createdHook(file.Name());
        if (!file.Append(bytes)) return Failure(file);
        if (how.mode && !file.SetMode(*how.mode)) return Failure(file);
        if (!file.Sync()) return Failure(file);
        if (!ReadsBack(file, bytes)) {
            file.Discard();
            return {ENewFile::ReadsBackWrong, {}};
        }
        // Someone put something else under the temporary's name: it is not
        // moved into place, and not removed either, since it is not ours.
        if (!file.StillNamed()) {
            file.ReleaseName();
            continue;
        }
        const std::string temporary = file.Name();
        SNewFile placed;
#ifdef _WIN32
        // Windows moves no file that is open.
        if (!file.Close()) return Failure(file);
#endif
        if (how.place == EPlaceFile::Replace) {
            if (!MoveFileOver(temporary, target)) placed = {ENewFile::Failed, LastErrorText()};
        } else {
            placed = MoveFileNew(temporary, target);
        }
        if (placed.result != ENewFile::Ok) {
            file.Discard();
            return placed;
        }
        file.ReleaseName();
        file.Close();
#ifndef _WIN32
        SyncFolder(target);
#endif
        return placed;
    }
    return {ENewFile::Failed, "another program kept taking the names of its temporary files"};
}

void SetOwnFileCreatedHookForTest(OwnFileHook hook) { g_createdHook = hook; }

}  // namespace jv
