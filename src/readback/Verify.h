#pragma once
// The verify program: reads a drive's flash back through the route a
// package would be flashed by, with the backup's reader, and compares every
// byte that route sends with the package. It tells whether the drive holds
// the package, after a flash and a restart, and never changes the drive.
#include <cstdint>
#include <string>

#include "driver/Settings.h"

namespace jv {

// Exit codes of the verify program.
inline constexpr int kVerifyHolds = 0;      // the drive holds the package, or the help was asked for
inline constexpr int kVerifyDiffers = 1;    // the flash differs from the package
inline constexpr int kVerifyUsage = 2;      // a bad command line, or a package that cannot be compared
inline constexpr int kVerifyUnreadable = 3;  // the drive could not be read

struct SVerifyCommandLine {
    bool help = false;
    bool argumentError = false;
    bool ideFlash = false;     // /i: the package's IDE route
    int32_t driveNumber = -1;  // /nN
    std::string packageFile;
};

// Never prints. /i, /h (or /?) and /nN, as jorvane-backup takes them, and
// one file name.
SVerifyCommandLine ParseVerifyCommandLine(int argc, char** argv);
void PrintVerifyHelp();

// The verify with the given settings; returns the exit code.
int VerifyRun(const SParameter& settings, const SVerifyCommandLine& args);

// The whole program: settings, command line, the verify; the catch-all.
// program is the name --help and --version give.
int VerifyMain(int argc, char** argv, const char* program = "jorvane-verify");

}  // namespace jv
