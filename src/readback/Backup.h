#pragma once
// The backup program: reads what a drive's flash holds, as many bytes as a
// package made for the drive describes and through the route that package
// would be flashed by, and writes it as a package the updater flashes back,
// and on request as a virtual twin of the drive (Twin.h). It never changes
// what a drive's flash holds.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/Settings.h"
#include "readback/Reader.h"

namespace jv {

// Exit codes of the backup program.
inline constexpr int kBackupOk = 0;       // the backup file was written, or the help was asked for
inline constexpr int kBackupFailed = 1;   // nothing was written
inline constexpr int kBackupUsage = 2;    // a bad command line; the help was shown

struct SBackupCommandLine {
    bool help = false;
    bool argumentError = false;
    bool ideFlash = false;      // /i: read through the IDE registers
    int32_t driveNumber = -1;   // /nN
    std::string likeFile;       // the package made for the drive
    std::string outFile;        // the backup to write
    std::string twinFile;       // /rTWIN.ini: the twin's rig file to write, if any
};

// Never prints. Options are /i, /h (or /?), /rTWIN.ini and /nN with N a drive index,
// written with "/" or "-"; anything else that begins so is an argument
// error, unless it names an existing file or holds a path (a separator or a
// dot after its first character): POSIX users name files from the root.
SBackupCommandLine ParseBackupCommandLine(int argc, char** argv);
void PrintBackupHelp();

// The backup with the given settings; returns the exit code.
int BackupRun(const SParameter& settings, const SBackupCommandLine& args);

// The whole program: settings, command line, the backup; the catch-all.
// program is the name --help and --version give.
int BackupMain(int argc, char** argv, const char* program = "jorvane-backup");

}  // namespace jv
