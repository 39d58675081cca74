#include "platform/TempFile.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace jv {

namespace {

std::string g_directory;

#ifdef _WIN32

constexpr const char* kFixedName = "c:\\temp.ytr";

// As the drive route decides between ASPI and pass-through.
bool IsWindowsNt() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return true;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

OwnFile MakeFile() {
    if (!IsWindowsNt()) return OwnFile::CreateFixed(kFixedName);
    if (!g_directory.empty()) return OwnFile::CreatePrivate(g_directory);
    char folder[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return {};
    return OwnFile::CreatePrivate(std::string(folder, length));
}

#else

OwnFile MakeFile() {
    const char* dir = std::getenv("TMPDIR");
    return OwnFile::CreatePrivate(!g_directory.empty()            ? g_directory
                                  : (dir != nullptr && *dir != '\0') ? std::string(dir)
                                                                     : std::string("/tmp"));
}

#endif

}  // namespace

PackageTempFile::PackageTempFile() : file_(MakeFile()) {}

PackageTempFile::~PackageTempFile() { file_.Discard(); }

void SetPackageTempDirectory(const std::string& dir) { g_directory = dir; }

}  // namespace jv
