#include "readback/Verify.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/Flashmsg.h"
#include "package/ZipPackage.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "readback/Reader.h"
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv {

namespace {

const char* const kHelpLines[] = {
    "Usage: jorvane-verify [/nN] [/i] PACKAGE",
    "",
    "Tells whether a drive's flash holds PACKAGE (a YTR package, or a zip archive",
    "holding one): after a flash and a restart, it reads the flash back the way",
    "jorvane-backup does, through the route PACKAGE is flashed by, and compares",
    "every byte that route sends (the gaps between banks and the byte behind an",
    "odd bank included). Bytes the route never sends, and on the IDE route the",
    "package's reserved blocks (the drive keeps its own there), are not compared.",
    "It sends no command that changes the drive.",
    "",
    "  /nN  verify drive N, numbered as the updater numbers drives; without it the",
    "       drives that fit PACKAGE are offered in a menu",
    "  /i   read through the drive's IDE registers (register-level route)",
    "  /h   this text",
    "",
    "Everything is read twice and must read the same both times, and what was read",
    "must hold a firmware information block (an erased flash reads back without a",
    "fault); a block of another model or version than the drive reports is noted.",
    "Exit status: 0 the drive holds PACKAGE, 1 its flash differs, 2 bad command",
    "line or a package that cannot be compared, 3 the drive could not be read or",
    "its flash holds no firmware.",
};

int Unusable(const std::string& why) {
    Print("%s", why.c_str());
    return kVerifyUsage;
}

int Unreadable(const std::string& why) {
    Print("%sThe drive was not read.\n", why.c_str());
    return kVerifyUnreadable;
}

// The IDE route keeps the drive's own bytes in the reserved blocks: a flash
// copies them from the chip before it programs.
bool KeptByDrive(const SYTRParameter& header, EBackupRoute route, uint32_t at) {
    if (route != EBackupRoute::Ide) return false;
    return std::any_of(header.ReserveBlocks.begin(), header.ReserveBlocks.end(), [at](const SYTRReserveBlock& b) {
        return at >= b.Address && uint64_t{at} < uint64_t{b.Address} + b.Length;
    });
}

}  // namespace

SVerifyCommandLine ParseVerifyCommandLine(int argc, char** argv) {
    SVerifyCommandLine args;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        const std::string arg = argv[i];
        if (!TakeReadOption(arg, args.help, args.ideFlash, args.driveNumber, args.argumentError)) files.push_back(arg);
    }
    if (files.size() != 1) {
        args.argumentError = args.argumentError || !args.help;
    } else {
        args.packageFile = files[0];
    }
    return args;
}

void PrintVerifyHelp() {
    for (const char* line : kHelpLines) Print("%s\n", line);
}

int VerifyRun(const SParameter& settings, const SVerifyCommandLine& args) {
    SetMessageTable(false);
    SPackageFile package;
    if (!LoadPackageFile(args.packageFile, package, FlashMessage(kMsgLoadYtrFail))) return kVerifyUsage;
    const SReadPlan plan = PlanRead(package, args.ideFlash);
    if (!plan.route) return Unusable(plan.why);
    const EBackupRoute route = *plan.route;
    const auto length = static_cast<uint32_t>(package.image.size());

    const SPackageIdentity identity = IdentifyPackage(package.image, package.header);
    bool stopped = false;
    const std::optional<EDriveIndex> drive = ChooseReadDrive(args.driveNumber, route, identity, settings, stopped);
    // The user who pressed ESC while the drive was awaited knows why.
    if (!drive) return Unreadable(stopped ? "" : "No drive was chosen.\n");
    ShowReadDrive("Drive to Verify", "Package", *drive, identity, package.header, route, length);

    SFlashRead read;
    if (const auto failure = ReadFlashTwice(*drive, package.header, route, length, read)) return Unreadable(*failure);
    const std::span<const uint8_t> image = std::span<const uint8_t>(read.bytes).first(length);
    if (const auto none = CheckFirmwareRead(*drive, image, package.header.AtapiFlashType)) {
        Print("%s", none->c_str());
        return kVerifyUnreadable;
    }

    uint32_t compared = 0;
    uint32_t differing = 0;
    uint32_t first = 0;
    for (const SOffsetRange& range : SentRanges(package.header, length, route)) {
        for (uint32_t at = range.from; at < range.to; ++at) {
            if (KeptByDrive(package.header, route, at)) continue;
            ++compared;
            if (read.bytes[at] == package.image[at]) continue;
            if (differing++ == 0) first = at;
        }
    }
    const char* name = args.packageFile.c_str();
    if (differing == 0) {
        Print("The drive holds %s: %u bytes compared.\n", name, compared);
        return kVerifyHolds;
    }
    Print("The drive's flash differs from %s in %u bytes, the first at 0x%06X (drive %02X, package %02X).\n", name,
          differing, first, read.bytes[first], package.image[first]);
    return kVerifyDiffers;
}

int VerifyMain(int argc, char** argv, const char* program) {
    const SReadbackProgram verify{program, &PrintVerifyHelp, kVerifyHolds, kVerifyUsage, kVerifyUnreadable};
    try {
        if (const std::optional<int> status = StartReadbackProgram(argc, argv, verify)) return *status;
        ClearScreen();
        const SParameter settings = BuildSettings();
        const SVerifyCommandLine args = ParseVerifyCommandLine(argc, argv);
        if (const std::optional<int> status = AnswerHelpOrError(verify, args.help, args.argumentError)) return *status;
        return VerifyRun(settings, args);
    } catch (...) {
        return UnexpectedFailure(verify);
    }
}

}  // namespace jv
