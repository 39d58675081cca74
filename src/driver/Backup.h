#pragma once
// The backup program: reads what a drive's flash holds, as many bytes as a
// package made for the drive describes and through the route that package
// would be flashed by, and writes it as a package the updater flashes back.
// It never changes what a drive's flash holds.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "driver/Settings.h"
#include "package/Ytr.h"

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
};

// Never prints. Options are /i, /h (or /?) and /nN with N a drive index,
// written with "/" or "-"; anything else that begins so is an argument
// error, unless it names an existing file or holds a path (a separator or a
// dot after its first character): POSIX users name files from the root.
SBackupCommandLine ParseBackupCommandLine(int argc, char** argv);
void PrintBackupHelp();

enum class EBackupRoute : uint8_t { Atapi, Ide };

// The package's ATAPI route when it has an ATAPI flash type and /i is not
// given, else its IDE route. Nothing, after printing why, for a package with
// neither route (and for /i without an IDE flash type).
std::optional<EBackupRoute> ChooseBackupRoute(const SYTRParameter& like, bool ideOption);

// Zeroes the image bytes the record's ATAPI protocol never sends to the
// drive. The drive sums what it receives; a package holding anything but
// zeros there would fail that check when flashed back.
void DropUnsentBytes(std::span<uint8_t> image, const SYTRParameter& record);

// The backup with the given settings; returns the exit code.
int BackupRun(const SParameter& settings, const SBackupCommandLine& args);

// The whole program: settings, command line, the backup; the catch-all.
// program is the name --help and --version give.
int BackupMain(int argc, char** argv, const char* program = "jorvane-backup");

}  // namespace jv
