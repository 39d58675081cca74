#include "platform/TempFile.h"

#include <cstdio>

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
    return kTempName;
}

void DeletePackageTempFile(const std::string& name) {
    if (!name.empty()) DeleteFileA(name.c_str());
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
    return std::string(name.data());
}

void DeletePackageTempFile(const std::string& name) {
    if (!name.empty()) std::remove(name.c_str());
}

#endif

}  // namespace jv
