#pragma once
// What the fuzz targets share so that one input costs little more than the
// code under test: a console that drops what it is given, and files that
// live in memory yet have a name the program's file routines can open.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/Console.h"

namespace jv::fuzz {

// Output formatting still runs (it is part of what is fuzzed); only the
// writing is skipped. Input has always ended.
class DroppingConsole final : public Console {
public:
    void Clear() override {}
    void MoveTo(int, int) override {}
    void SetColor(int) override {}
    void Write(std::string_view) override {}
    int ReadKey() override { return -1; }
    bool KeyWaiting() override { return false; }
    bool ReadNumber(long&) override { return false; }
};

// Installs a DroppingConsole for the rest of the process; cheap to call for
// every input.
inline void DropConsoleOutput() {
    static DroppingConsole console;
    static const bool installed = (SetConsole(&console), true);
    (void)installed;
}

// A memfd reached through /proc/self/fd: a regular file to stat, fopen and
// truncate, without a disk or a directory entry behind it.
class MemoryFile {
public:
    explicit MemoryFile(const char* tag) : fd_(memfd_create(tag, 0)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        name_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& Name() const { return name_; }

    void Assign(const uint8_t* data, size_t size) {
        if (ftruncate(fd_, 0) != 0) std::abort();
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<size_t>(n);
        }
    }

    // -1 when the file is gone (nothing should ever remove it).
    long long Size() const {
        struct stat info {};
        if (fstat(fd_, &info) != 0) return -1;
        return static_cast<long long>(info.st_size);
    }

private:
    int fd_;
    std::string name_;
};

// Until the next call, minizip opens the archive of this name from these
// bytes instead of from the file (FuzzMemoryOpen.cpp; the bytes must equal
// the file's). Only the targets built with their own copy of minizip see it.
void ServeArchiveFromMemory(const std::string& name, const uint8_t* data, size_t size);

// A private folder for files the code under test makes by name itself, in
// $TMPDIR (fuzz/run.sh points it at a memory file system); removed when the
// fuzzer ends normally.
class ScratchFolder {
public:
    explicit ScratchFolder(const char* tag) {
        namespace fs = std::filesystem;
        std::random_device random;
        path_ = fs::temp_directory_path() /
                (std::string("jv-fuzz-") + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace jv::fuzz
