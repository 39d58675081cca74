#pragma once
// Reading a drive's flash back, shared by the backup, the verify and the
// virtual twin: which route a package is flashed by, which of its offsets
// that route sends, which drive to read, and the read itself (every block
// up to 10 tries, the whole flash twice, the passes compared). Nothing here
// sends a command that changes what a drive's flash holds.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drive/Winfunc.h"
#include "driver/Matching.h"
#include "driver/Settings.h"
#include "flash/AtapiFlashTypes.h"
#include "package/Ytr.h"
#include "platform/Files.h"

namespace jv {

struct SPackageFile;

enum class EBackupRoute : uint8_t { Atapi, Ide };

// The package's ATAPI route when it has an ATAPI flash type and /i is not
// given, else its IDE route. Nothing, after printing why, for a package with
// neither route (and for /i without an IDE flash type).
std::optional<EBackupRoute> ChooseBackupRoute(const SYTRParameter& like, bool ideOption);

// The image offsets the route sends to the drive when it flashes a package
// with this header and an image of length bytes, ascending and apart: the
// ATAPI route's as its flash type's row says (AtapiSentRanges); the IDE
// route programs the whole image. Nothing for a flash type the route does
// not take.
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

// The route a package read back through, or why it cannot be read: a
// Philips-format image, no route, no image, an image its protocol sends
// nothing of, or more bytes than the route's addresses reach.
struct SReadPlan {
    std::optional<EBackupRoute> route;
    std::string why;  // with its line end; empty when the route printed why
};
SReadPlan PlanRead(const SPackageFile& package, bool ideOption);

// The drive to read: drive N (asking first, on the IDE route, for a place
// the scan did not see) or the updater's matching and menu over the drives
// that fit the package. Nothing when there is none or the user declines;
// stopped says the user pressed ESC while a drive was awaited.
std::optional<EDriveIndex> ChooseReadDrive(int32_t driveNumber, EBackupRoute route, const SPackageIdentity& like,
                                           const SParameter& settings, bool& stopped);

// The screen's head: the drive under its label ("Drive to Back Up"), the
// package under its own, the route and the bytes to read.
void ShowReadDrive(const char* driveLabel, const char* packageLabel, EDriveIndex drive, const SPackageIdentity& like,
                   const SYTRParameter& header, EBackupRoute route, uint32_t length);

// What the flash holds: length bytes read twice through the route and the
// same both times, and on the IDE route the chip that was identified.
struct SFlashRead {
    std::vector<uint8_t> bytes;    // the image's length; through the IDE registers the whole chip when it is known
    std::optional<uint8_t> chip;   // the chip identified on the IDE route
    bool chipKnown = false;        // by its own ID, not by the rule that takes any chip
};
// Nothing on success, else why (with its line end). The cursor ends on the
// result row either way.
std::optional<std::string> ReadFlashTwice(EDriveIndex drive, const SYTRParameter& header, EBackupRoute route,
                                          uint32_t length, SFlashRead& read);

// Whether the bytes read hold firmware: nothing when they hold an
// information block, after a Note line when its model or version is not what
// the drive reports (a drive flashed with another model's firmware is no
// fault); else why nothing can stand on them (with its line end).
std::optional<std::string> CheckFirmwareRead(EDriveIndex drive, std::span<const uint8_t> read, uint8_t mode);

// ---- command lines and files ----

bool IsOptionStart(const std::string& arg);
// A path, not an option: an existing name, or a separator or dot past the
// leading character ("/tmp/out.ytr", "-old.ytr").
bool LooksLikePath(const std::string& arg);
// 0 to kMaxDrives - 1, one or two digits.
bool ParseDriveNumber(const std::string& value, int32_t& number);
// One argument of a read-back program: false for a file name; else true,
// after setting what the option /h (or /?), /i or /nN sets, or the argument
// error any other option is.
bool TakeReadOption(const std::string& arg, bool& help, bool& ideFlash, int32_t& driveNumber, bool& argumentError);

// Writes a file that must be new (WriteOwnFile, OwnFile.h): refused when the
// name is taken, removed again when it does not read back as written
// through the descriptor that wrote it. Nothing on success, else why (with
// its line end).
std::optional<std::string> WriteNewFile(const std::string& name, std::span<const uint8_t> bytes);

// A file a run will write once it has read the drive, and the most bytes it
// can take.
struct SPlannedFile {
    std::string name;
    uint64_t bytes = 0;
};
// Why the files will not fit, as one line with its line end, told before
// the drive is read: a file larger than the process may write, or more bytes
// (in whole units of room) on one volume than it has free. Nothing when they
// fit, or when a folder's room cannot be known. roomOf is FolderRoom but in
// tests.
std::optional<std::string> RoomRefusal(
    std::span<const SPlannedFile> files,
    const std::function<std::optional<SFolderRoom>(const std::string&)>& roomOf = FolderRoom);

// The most bytes ReadFlashTwice gives back for an image of length bytes: the
// image on the ATAPI route; on the IDE route the whole chip when it is
// known, which is at most what the registers reach for the flash type.
uint64_t FlashReadAtMost(const SYTRParameter& header, EBackupRoute route, uint32_t length);

// What sets one read-back program apart within the frame they share.
struct SReadbackProgram {
    const char* name;           // what --help and --version give
    void (*help)();             // the help text
    int helpStatus;             // after /h
    int usageStatus;            // after a bad command line
    int unexpectedStatus;       // after anything unforeseen
};

// The long options (POSIX only; nothing when none was given), then the
// settings. Returns the status to end with when a long option answered.
std::optional<int> StartReadbackProgram(int argc, char** argv, const SReadbackProgram& program);
// The help, or the help and "Arguments Error!", when the command line asks
// for it; nothing when the run should go on.
std::optional<int> AnswerHelpOrError(const SReadbackProgram& program, bool help, bool argumentError);
int UnexpectedFailure(const SReadbackProgram& program);

}  // namespace jv
