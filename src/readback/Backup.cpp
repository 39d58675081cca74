#include "readback/Backup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "drive/Winfunc.h"
#include "driver/Matching.h"
#include "flash/Flashknl.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "package/Firmware.h"
#include "package/PackageWriter.h"
#include "package/ZipPackage.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Ports.h"
#include "platform/Process.h"
#include "readback/Twin.h"
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv {

namespace {

constexpr const char* kNothingWritten = "No backup was written.\n";
const char* const kHelpLines[] = {
    "Usage: jorvane-backup [/nN] [/i] [/rTWIN.ini] LIKE.ytr OUT.ytr",
    "",
    "Reads the firmware a drive holds into OUT.ytr, a package the updater flashes",
    "back. LIKE.ytr is a package made for the drive (a zip archive holding one will",
    "do): the backup reads as many bytes as its image holds and keeps its layout",
    "(flash types, kernel type, bank count and stride, reserved and kernel blocks),",
    "each bank grown to take in every byte the route sends when it flashes (the",
    "gaps between banks, the byte behind an odd bank); bytes the route never sends",
    "are 0 in the backup.",
    "",
    "  /nN  back up drive N, numbered as the updater numbers drives; without it the",
    "       drives that fit LIKE.ytr are offered in a menu",
    "  /i   read through the drive's IDE registers (register-level route)",
    "  /rTWIN.ini  also write a virtual twin of the drive: the rig file TWIN.ini",
    "       and beside it TWIN-flash.bin, every byte read; rehearse a package on",
    "       it with JORVANE_RIG=TWIN.ini jorvane-sim PACKAGE",
    "  /h   this text",
    "",
    "The flash is read by the drive's own read command (ATAPI route) when LIKE.ytr",
    "has an ATAPI flash type, through the IDE registers when it has only an IDE",
    "flash type or with /i (parallel chips whole, serial chips 256 bytes at a",
    "time, after the chip is identified). A Philips-format image cannot be read",
    "back. Everything is read twice and must read the same both times.",
    "",
    "OUT.ytr (and the twin's files) must not exist yet; they are written only when",
    "the whole flash was read and it holds a firmware information block (an erased",
    "flash reads back without a fault). A block of another model or version than",
    "the drive reports is noted, and the backup goes on.",
    "Restore with the updater: jorvane OUT.ytr (add /i for a backup read with /i).",
    "Exit status: 0 backup written, 1 failed (no file written; also for a flash",
    "without firmware), 2 bad command line.",
};

// ---- the package ----

bool SameHeader(const SYTRParameter& a, const SYTRParameter& b) {
    const auto sameBlocks = std::equal(a.ReserveBlocks.begin(), a.ReserveBlocks.end(), b.ReserveBlocks.begin(),
                                       b.ReserveBlocks.end(), [](const SYTRReserveBlock& x, const SYTRReserveBlock& y) {
                                           return x.Address == y.Address && x.Length == y.Length;
                                       });
    return a.HeaderCheckSum == b.HeaderCheckSum && a.IdeFlashType == b.IdeFlashType &&
           a.AtapiFlashType == b.AtapiFlashType && a.KernelType == b.KernelType && sameBlocks &&
           a.MaxBankSize == b.MaxBankSize && a.BankSizes == b.BankSizes && a.KernelAddress == b.KernelAddress &&
           a.KernelLength == b.KernelLength;
}

// The package loads back, through the loader the updater uses, as this
// header around this image.
bool LoadsBackAs(std::span<const uint8_t> package, const SYTRParameter& header, std::span<const uint8_t> image) {
    if (GetYtrLength(package) != package.size() || GetImageSize(package) != image.size()) return false;
    SYTRParameter loaded;
    std::vector<uint8_t> back(image.size(), 0);
    if (!LoadYtr(package, loaded, back)) return false;
    return SameHeader(loaded, header) && std::equal(back.begin(), back.end(), image.begin(), image.end());
}

// "/rTWIN.ini": an option although it holds a dot, unless it names a file
// or a folder is there ("/root/out.ytr" on POSIX).
bool IsTwinOption(const std::string& arg) {
    if (!IsOptionStart(arg) || arg.size() < 3 || std::tolower(static_cast<unsigned char>(arg[1])) != 'r') return false;
    const size_t slash = arg.find_last_of("/\\");
    return !PathExists(arg) && (slash == 0 || !PathExists(arg.substr(0, slash)));
}

int Fail(const std::string& text) {
    Print("%s%s", text.c_str(), kNothingWritten);
    return kBackupFailed;
}

}  // namespace

SBackupCommandLine ParseBackupCommandLine(int argc, char** argv) {
    SBackupCommandLine args;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        const std::string arg = argv[i];
        if (IsTwinOption(arg)) {
            args.argumentError = args.argumentError || !args.twinFile.empty();
            args.twinFile = arg.substr(2);
            continue;
        }
        if (!TakeReadOption(arg, args.help, args.ideFlash, args.driveNumber, args.argumentError)) files.push_back(arg);
    }
    if (files.size() != 2) {
        args.argumentError = args.argumentError || !args.help;
    } else {
        args.likeFile = files[0];
        args.outFile = files[1];
    }
    return args;
}

void PrintBackupHelp() {
    for (const char* line : kHelpLines) Print("%s\n", line);
}

int BackupRun(const SParameter& settings, const SBackupCommandLine& args) {
    SetMessageTable(false);
    SPackageFile like;
    if (!LoadPackageFile(args.likeFile, like, FlashMessage(kMsgLoadYtrFail))) return Fail("");
    const SReadPlan plan = PlanRead(like, args.ideFlash);
    if (!plan.route) return Fail(plan.why);
    const EBackupRoute route = *plan.route;
    const auto length = static_cast<uint32_t>(like.image.size());
    // A backup must never take the place of an older one, and a name it
    // cannot be written to is better told before minutes of reading.
    if (const SNewFile free = CheckNewFile(args.outFile); free.result != ENewFile::Ok) {
        return Fail(NewFileRefusal(args.outFile, free));
    }
    if (!args.twinFile.empty()) {
        if (const auto taken = TwinNamesTaken(args.twinFile)) return Fail(*taken);
    }
    // A full disk is better told now than after the drive was read twice.
    std::vector<SPlannedFile> planned{{args.outFile, Ytr3LengthAtMost(like.header)}};
    if (!args.twinFile.empty()) {
        planned.push_back({TwinFlashName(args.twinFile), FlashReadAtMost(like.header, route, length)});
        planned.push_back({args.twinFile, kTwinRigAtMost});
    }
    if (const auto full = RoomRefusal(planned)) return Fail(*full);

    const SPackageIdentity identity = IdentifyPackage(like.image, like.header);
    // The user's ESC during a wait for the drive is a run that wrote nothing,
    // like any other way of choosing no drive.
    bool stopped = false;
    const std::optional<EDriveIndex> drive = ChooseReadDrive(args.driveNumber, route, identity, settings, stopped);
    if (!drive) return Fail("");
    ShowReadDrive("Drive to Back Up", "Package Like It", *drive, identity, like.header, route, length);
    std::optional<STwinIdentity> twin;
    if (!args.twinFile.empty()) {
        twin = ReadTwinIdentity(*drive);
        if (!twin) {
            return Fail(Format("A twin takes the drive's answers, and this drive does not answer INQUIRY: %s.\n",
                               LastCommandFailure().c_str()));
        }
    }

    SFlashRead read;
    if (const auto failure = ReadFlashTwice(*drive, like.header, route, length, read)) return Fail(*failure);
    // The package holds the image; what lies beyond it on the chip is the twin's.
    const std::span<const uint8_t> first = std::span<const uint8_t>(read.bytes).first(length);
    if (const auto none = CheckFirmwareRead(*drive, first, like.header.AtapiFlashType)) {
        Print("%s", none->c_str());
        return kBackupFailed;
    }

    const SBackupImage backup = BackupImage(like.header, first, route);
    const SYTRParameter& header = backup.header;
    const std::vector<uint8_t>& carried = backup.image;
    // Only bytes the route never sends are left out.
    uint32_t leftOut = 0;
    for (uint32_t i = 0; i < length; ++i) leftOut += carried[i] != first[i] ? 1 : 0;

    const std::optional<std::vector<uint8_t>> package = BuildYtr3(header, carried);
    if (!package || !LoadsBackAs(*package, header, carried)) {
        return Fail("The backup package does not load back as the bytes read.\n");
    }
    // The name was free when the run began; a file that took it meanwhile is kept.
    if (const auto why = WriteNewFile(args.outFile, *package)) return Fail(*why);
    // All or nothing: the backup made a moment ago goes with a twin that failed.
    if (twin) {
        if (const auto why = WriteTwin(args.twinFile, *twin, like.header, route, read)) {
            std::remove(args.outFile.c_str());
            return Fail(*why);
        }
    }

    Print("\n");
    PrintFirmwareInfo(carried, header);
    Print("\n");
    if (leftOut > 0) {
        Print("Note: %u byte(s) of the flash are not 0 at offsets this route never sends when it\n"
              "flashes; the backup holds 0 there, and flashing it back does not restore them.\n",
              leftOut);
    }
    Print("Backup of %u bytes written to %s.\n", length, args.outFile.c_str());
    if (twin) Print("Twin written to %s and %s.\n", args.twinFile.c_str(), TwinFlashName(args.twinFile).c_str());
    return kBackupOk;
}

int BackupMain(int argc, char** argv, const char* program) {
    const SReadbackProgram backup{program, &PrintBackupHelp, kBackupOk, kBackupUsage, kBackupFailed};
    try {
        if (const std::optional<int> status = StartReadbackProgram(argc, argv, backup)) return *status;
        ClearScreen();
        const SParameter settings = BuildSettings();
        const SBackupCommandLine args = ParseBackupCommandLine(argc, argv);
        if (const std::optional<int> status = AnswerHelpOrError(backup, args.help, args.argumentError)) return *status;
        return BackupRun(settings, args);
    } catch (...) {
        return UnexpectedFailure(backup);
    }
}

}  // namespace jv
