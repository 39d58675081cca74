#include "platform/TempFile.h"

#include <cstdio>

#include "platform/Files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <unistd.h>

#include <vector>
#endif

namespace jv {

#ifdef _WIN32

namespace {
constexpr const char* kTempName = "c:\\temp.ytr";
}

void SetPackageTempDirectory(const std::string&) {}

std::string CreatePackageTempFile() {
    DeleteFileA(kTempName);
    MarkTemporaryFile(kTempName);
    return kTempName;
}

void DeletePackageTempFile(const std::string& name) {
    if (name.empty()) return;
    DeleteFileA(name.c_str());
    UnmarkTemporaryFile(name);
}

#else

namespace {
std::string g_directory;
}

void SetPackageTempDirectory(const std::string& dir) { g_directory = dir; }

std::string CreatePackageTempFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = !g_directory.empty()                     ? g_directory
                          : (dir != nullptr && *dir != '\0') ? std::string(dir)
                                                                  : std::string("/tmp");
    if (pattern.back() != '/') pattern += '/';
    pattern += "jorvane-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkstemp creates the file with mode 0600 and refuses a name that
    // exists, so no other user can plant or read the unpacked package.
    int fd = mkstemp(name.data());
    if (fd < 0) return {};
    close(fd);
    // A stop request from here to DeletePackageTempFile removes it too.
    MarkTemporaryFile(name.data());
    return std::string(name.data());
}

void DeletePackageTempFile(const std::string& name) {
    if (name.empty()) return;
    std::remove(name.c_str());
    UnmarkTemporaryFile(name);
}

#endif

}  // namespace jv
