#pragma once
// The backup program: reads what a drive's flash holds, as many bytes as a
// package made for the drive describes and through the route that package
// would be flashed by, and writes it as a package the updater flashes back.
// It never changes what a drive's flash holds.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// A run of image offsets: from up to, not including, to.
struct SOffsetRange {
    uint32_t from = 0;
    uint32_t to = 0;
};

// The image offsets the route sends to the drive when it flashes a package
// with this header and an image of length bytes, ascending and apart. Bank
// transfer sends each bank, an odd one with the byte behind it; pages send
// each 64 KB page but its last two bytes; ALI every whole 16 KB page; MTK5
// its whole blocks (two passes at most); MTK6 every page; MTK7 the first
// 128 KB; the IDE route programs the whole image. Nothing for a flash type
// the route does not take.
std::vector<SOffsetRange> SentRanges(const SYTRParameter& header, uint32_t length, EBackupRoute route);

// The header and image a backup is written as, from the bytes read through
// the route: the same layout with each bank grown to reach every offset the
// route sends in its stride, the bytes read at those offsets and zeros
// everywhere else (the drive sums what it receives).
struct SBackupImage {
    SYTRParameter header;
    std::vector<uint8_t> image;
};
SBackupImage BackupImage(const SYTRParameter& like, std::span<const uint8_t> read, EBackupRoute route);

// The backup with the given settings; returns the exit code.
int BackupRun(const SParameter& settings, const SBackupCommandLine& args);

// The whole program: settings, command line, the backup; the catch-all.
// program is the name --help and --version give.
int BackupMain(int argc, char** argv, const char* program = "jorvane-backup");

}  // namespace jv
