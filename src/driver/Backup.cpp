#include "driver/Backup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "drive/Buffer.h"
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
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv {

namespace {

constexpr const char* kNothingWritten = "No backup was written.\n";
constexpr uint32_t kIdeReadBlock = 256;
// MTK5 sends at most two passes of 16 blocks.
constexpr uint64_t kMtk5Reach = 32ull * kFlashPageStride;
constexpr uint64_t kMtk5PassBlocks = 16;
constexpr uint64_t kMtk7Reach = 2ull * kFlashPageStride;

constexpr int kFirstProgressRow = 9;
constexpr int kResultRow = 12;

const char* const kHelpLines[] = {
    "Usage: jorvane-backup [/nN] [/i] LIKE.ytr OUT.ytr",
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
    "  /h   this text",
    "",
    "The flash is read by the drive's own read command (ATAPI route) when LIKE.ytr",
    "has an ATAPI flash type, through the IDE registers when it has only an IDE",
    "flash type or with /i (parallel chips whole, serial chips 256 bytes at a",
    "time, after the chip is identified). A Philips-format image cannot be read",
    "back. Everything is read twice and must read the same both times.",
    "",
    "OUT.ytr must not exist yet; it is written only when the whole flash was read.",
    "Restore with the updater: jorvane OUT.ytr (add /i for a backup read with /i).",
    "Exit status: 0 backup written, 1 failed (no file written), 2 bad command line.",
};

// ---- command line ----

bool IsOptionStart(const std::string& arg) { return !arg.empty() && (arg[0] == '/' || arg[0] == '-'); }

// A path, not an option: an existing name, or a separator or dot past the
// leading character ("/tmp/out.ytr", "-old.ytr").
bool LooksLikePath(const std::string& arg) {
    return PathExists(arg) || arg.find_first_of("/\\.", 1) != std::string::npos;
}

bool ParseDriveNumber(const std::string& value, int32_t& number) {
    if (value.empty() || value.size() > 2) return false;
    int32_t n = 0;
    for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        n = n * 10 + (c - '0');
    }
    if (n >= kMaxDrives) return false;
    number = n;
    return true;
}

// ---- progress ----

// One line at a fixed row, printed again only when its per cent moves on.
class ProgressLine {
public:
    ProgressLine(int row, const char* label) : row_(row), label_(label) {}
    // In steps of 5 per cent: on a terminal the row is written over, but
    // through a pipe or into a log each step is a line of its own.
    void Show(uint64_t done, uint64_t total) {
        const int percent = total == 0 ? 100 : static_cast<int>(done * 20 / total) * 5;
        if (percent == shown_) return;
        shown_ = percent;
        GotoXY(1, row_);
        Print("%s : %3d%%\n", label_, percent);
    }

private:
    int row_;
    const char* label_;
    int shown_ = -1;
};

const char* PassLabel(int pass) { return pass == 0 ? "Reading Flash   " : "Reading Again   "; }

// ---- reading ----

// How far each way of reading addresses the flash; past it the address
// wraps and the lower part would come back a second time as the upper.
uint64_t Reach(EBackupRoute route, uint8_t ideType) {
    if (route == EBackupRoute::Atapi) return kMaxFlashReadLength;  // one byte of 64 KB page number
    switch (ideType) {
        case kIdeMtk: return 1ull << 20;   // address bits 0-19
        case kIdeAli: return 1ull << 18;   // four 64 KB bank codes
        case kIdeAli2: return 1ull << 19;  // eight
        default: return 1ull << 24;        // serial commands carry 24 address bits
    }
}

using ReadFailure = std::optional<std::string>;

ReadFailure ReadAtapi(EDriveIndex drive, std::span<uint8_t> pass, int number) {
    ProgressLine line(kFirstProgressRow + number, PassLabel(number));
    SFlashReadReport report;
    report.progress = [&line](uint32_t done, uint32_t total) { line.Show(done, total); };
    if (ReadFlashImage(drive, static_cast<uint32_t>(pass.size()), pass, false, &report)) return std::nullopt;
    return Format("Reading the flash failed at block %06Xh (64 KB page %u, offset %04Xh).\n", report.failedAt,
                  report.failedAt >> 16, report.failedAt & 0xFFFF);
}

// The register wait that ran out, in front of what it stopped.
std::string WithFault(std::string text) {
    if (const auto& fault = IdeAccessFault()) return *fault + "\n" + text;
    return text;
}

ReadFailure ReadIdePass(EDriveIndex drive, uint8_t ideType, std::span<uint8_t> pass, int number) {
    ProgressLine line(kFirstProgressRow + number, PassLabel(number));
    const auto length = static_cast<uint32_t>(pass.size());
    line.Show(0, length);
    if (ideType == kIdeMtk2) {
        const SChipRoutines& chip = ChipRoutines();
        for (uint32_t at = 0; at < length; at += kIdeReadBlock) {
            const uint32_t count = std::min(kIdeReadBlock, length - at);
            if (!chip.ReadChipRange || !chip.ReadChipRange(drive, at, count, pass, false)) {
                return WithFault(Format("Reading the flash chip failed at block %06Xh.\n", at));
            }
            line.Show(at + count, length);
        }
        return std::nullopt;
    }
    // The ALI controllers are read once at address 0 before the block
    // reads, as the flash job reads them.
    if (ideType == kIdeAli || ideType == kIdeAli2) ReadFlashByte(drive, 0);
    ReadFlashBytes(drive, length, pass, false);
    if (IdeAccessFault()) return WithFault("Reading the flash chip failed.\n");
    line.Show(length, length);
    return std::nullopt;
}

ReadFailure ClaimChannel(EDriveIndex drive) {
    if (FlashResult why = ClaimIdeChannel(drive)) return *why + "\n";
    return std::nullopt;
}

// Installing the register routines prints a carriage return, and the chip
// identification installs them again: in the updater's screen they go
// unseen, in the backup's they would stand as "\r\r" in front of the chip's
// line. While it lives, this console passes everything on but those.
class CarriageReturnsDropped final : public Console {
public:
    CarriageReturnsDropped() : inner_(TheConsole()) { SetConsole(this); }
    ~CarriageReturnsDropped() override { SetConsole(&inner_); }
    CarriageReturnsDropped(const CarriageReturnsDropped&) = delete;
    CarriageReturnsDropped& operator=(const CarriageReturnsDropped&) = delete;

    void Clear() override { inner_.Clear(); }
    void MoveTo(int column, int row) override { inner_.MoveTo(column, row); }
    void SetColor(int color) override { inner_.SetColor(color); }
    void Write(std::string_view text) override {
        std::string kept(text);
        std::erase(kept, '\r');
        if (!kept.empty()) inner_.Write(kept);
    }
    int ReadKey() override { return inner_.ReadKey(); }
    bool KeyWaiting() override { return inner_.KeyWaiting(); }
    bool ReadNumber(long& value) override { return inner_.ReadNumber(value); }

private:
    Console& inner_;
};

uint8_t IdentifyChip(EDriveIndex drive, uint8_t ideType) {
    CarriageReturnsDropped quiet;
    SelectIdeAccess(ideType);
    IdeInitialise(drive);
    return ideType == kIdeMtk2 ? IdentifySerialChip(drive, ideType) : IdentifyParallelChip(drive, ideType);
}

// Identifies the chip, then reads it twice; the controller leaves its flash
// mode on every way out.
ReadFailure ReadIde(EDriveIndex drive, uint8_t ideType, std::span<uint8_t> first, std::span<uint8_t> second) {
    if (ReadFailure refused = ClaimChannel(drive)) return refused;
    ClearIdeAccessFault();
    const uint8_t chip = IdentifyChip(drive, ideType);
    SelectChipAlgorithm(chip);
    ReadFailure failure;
    if (IdeAccessFault()) {
        failure = WithFault("The flash chip could not be identified.\n");
    } else {
        Print("Flash Chip       : %s\n", ChipName(chip));
        failure = ReadIdePass(drive, ideType, first, 0);
        if (!failure) failure = ReadIdePass(drive, ideType, second, 1);
    }
    IdeFinish(drive);
    if (!failure && IdeAccessFault()) failure = WithFault("The drive did not leave its flash mode.\n");
    return failure;
}

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

// The file on disk holds the package byte for byte.
bool FileHolds(const std::string& name, std::span<const uint8_t> package) {
    if (GetFileLength(name) != package.size()) return false;
    std::vector<uint8_t> bytes(package.size());
    return ReadFileBinary(name, static_cast<uint32_t>(bytes.size()), bytes.data()) &&
           std::equal(bytes.begin(), bytes.end(), package.begin());
}

// A drive wait ends the program with code 0 when the user presses ESC; for
// the backup that is a run that wrote nothing.
[[noreturn]] void EndWithoutBackup(int) {
    Print("%s", kNothingWritten);
    std::fflush(stdout);
    std::exit(kBackupFailed);
}

int Fail(const std::string& text) {
    Print("%s%s", text.c_str(), kNothingWritten);
    return kBackupFailed;
}

// ---- the drive ----

std::optional<EDriveIndex> ChooseBackupDrive(const SBackupCommandLine& args, EBackupRoute route,
                                             const SPackageIdentity& like, const SParameter& settings) {
    std::vector<EDriveIndex> candidates;
    if (args.driveNumber < 0) {
        candidates = ListDriveIndexes();
    } else {
        const auto drive = static_cast<EDriveIndex>(args.driveNumber);
        // Only the register route reaches a drive the scan did not see; it
        // asks first, as whatever sits at that place on the channel gets
        // the flash mode commands.
        if (!IsDriveIndexValid(drive) && route == EBackupRoute::Ide) {
            Print("No matched devices !\n");
            Print("Read the drive ?(Y/N)    ");
            if (!AskYes()) return std::nullopt;
            Print("y\n");
        }
        candidates.push_back(drive);
    }
    std::optional<std::vector<EDriveIndex>> qualified =
        QualifyDrives(candidates, std::span(&like, 1), settings, route == EBackupRoute::Ide);
    if (!qualified) return std::nullopt;
    return ChooseDrive(*qualified, settings, false, false, [&] { return NewFirmwareLine(like, settings); });
}

void ShowDrive(EDriveIndex drive, const SPackageIdentity& like, const SYTRParameter& header, EBackupRoute route,
               uint32_t length) {
    ClearScreen();
    GotoXY(1, 2);
    if (IsDriveIndexValid(drive)) {
        const std::string model = InquiryModelName(drive);
        // PIONEER drives keep no date code worth showing.
        const std::string date = model.compare(0, 7, "PIONEER") == 0 ? std::string() : InquiryDateCode(drive);
        Print("Drive to Back Up : %s %s %s\n", model.c_str(), InquiryRevision(drive).c_str(), date.c_str());
        Print("Hardware ID      : %s\n", ReadHardwareId(drive).c_str());
        if (model != like.modelName) Print("Note: the package was made for %s\n", like.modelName.c_str());
    } else {
        Print("Drive to Back Up : No firmware device\n");
    }
    Print("Package Like It  : %s %s %s\n", like.modelName.c_str(), like.version.c_str(), like.dateCode.c_str());
    if (route == EBackupRoute::Atapi) {
        Print("Read Through     : ATAPI, %s\n", std::string(AtapiFlashTypeName(header.AtapiFlashType)).c_str());
    } else {
        Print("Read Through     : IDE, %s\n", std::string(IdeFlashTypeName(header.IdeFlashType)).c_str());
    }
    Print("Bytes to Read    : %u (%08Xh)\n", length, length);
}

}  // namespace

SBackupCommandLine ParseBackupCommandLine(int argc, char** argv) {
    SBackupCommandLine args;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        const std::string arg = argv[i];
        if (!IsOptionStart(arg) || LooksLikePath(arg)) {
            files.push_back(arg);
            continue;
        }
        const char letter = arg.size() > 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1]))) : 0;
        const std::string value = arg.size() > 2 ? arg.substr(2) : std::string();
        if ((letter == 'h' || letter == '?') && value.empty()) {
            args.help = true;
        } else if (letter == 'i' && value.empty()) {
            args.ideFlash = true;
        } else if (letter != 'n' || !ParseDriveNumber(value, args.driveNumber)) {
            args.argumentError = true;
        }
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

std::optional<EBackupRoute> ChooseBackupRoute(const SYTRParameter& like, bool ideOption) {
    const bool hasIde = like.IdeFlashType >= kIdeMtk && like.IdeFlashType <= kIdeMtk2;
    const bool hasAtapi = like.AtapiFlashType >= kAtapiMtk && like.AtapiFlashType <= kAtapiMtk7;
    if (ideOption || !hasAtapi) {
        if (hasIde) return EBackupRoute::Ide;
        Print("%s\n", FlashMessage(ideOption ? kMsgIdeTypeUnsupported : kMsgAtapiTypeUnsupported).c_str());
        return std::nullopt;
    }
    return EBackupRoute::Atapi;
}

std::vector<SOffsetRange> SentRanges(const SYTRParameter& header, uint32_t length, EBackupRoute route) {
    std::vector<SOffsetRange> sent;
    // Cut to the image; a range that meets the one before it joins it.
    const auto add = [&](uint64_t from, uint64_t to) {
        to = std::min<uint64_t>(to, length);
        if (from >= to) return;
        if (!sent.empty() && sent.back().to >= from) {
            sent.back().to = std::max(sent.back().to, static_cast<uint32_t>(to));
        } else {
            sent.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to)});
        }
    };
    if (route == EBackupRoute::Ide) {
        // The chip is programmed whole, from the first byte of the image to its last.
        if (header.IdeFlashType >= kIdeMtk && header.IdeFlashType <= kIdeMtk2) add(0, length);
        return sent;
    }
    switch (header.AtapiFlashType) {
        case kAtapiMtk:
        case kAtapiMtk2:
        case kAtapiMtk3:
        case kAtapiMtk4:
            if (header.MaxBankSize == kFlashPageStride) {
                // A bank too long to send whole fails the flash before anything is sent.
                const auto tooLong = [](uint32_t size) { return size > kMaxBankLength; };
                if (std::any_of(header.BankSizes.begin(), header.BankSizes.end(), tooLong)) return sent;
                // Bank by bank, each made even: an odd bank takes the byte behind it along.
                for (size_t i = 0; i < header.BankSizes.size(); ++i) {
                    const uint64_t start = uint64_t{kFlashPageStride} * i;
                    add(start, start + ((uint64_t{header.BankSizes[i]} + 1) & ~uint64_t{1}));
                }
            } else {
                // Page by page the 16-bit length field leaves out each page's last two bytes.
                for (uint64_t page = 0; page < length; page += kFlashPageStride) add(page, page + kMaxBankLength);
            }
            break;
        case kAtapiAli:
            add(0, uint64_t{length} / kAliPageLength * kAliPageLength);  // a part page is not sent
            break;
        case kAtapiMtk5: {
            const uint64_t blocks = length / kFlashPageStride;
            add(0, blocks > kMtk5PassBlocks ? kMtk5Reach : blocks * kFlashPageStride);
            break;
        }
        case kAtapiMtk6:
            add(0, length);  // every page whole, in halves
            break;
        case kAtapiMtk7:
            add(0, kMtk7Reach);
            break;
        default:
            break;
    }
    return sent;
}

SBackupImage BackupImage(const SYTRParameter& like, std::span<const uint8_t> read, EBackupRoute route) {
    SBackupImage backup{like, std::vector<uint8_t>(read.size(), 0)};
    SYTRParameter& header = backup.header;
    const uint64_t stride = header.MaxBankSize;
    for (const SOffsetRange& range : SentRanges(like, static_cast<uint32_t>(read.size()), route)) {
        std::copy(read.begin() + range.from, read.begin() + range.to, backup.image.begin() + range.from);
        if (stride == 0) continue;
        // A package carries bytes only in its banks: each bank the range
        // reaches into grows to take it in, never past its stride.
        for (auto bank = static_cast<size_t>(range.from / stride);
             bank < header.BankSizes.size() && bank * stride < range.to; ++bank) {
            const auto reach = static_cast<uint32_t>(std::min(range.to - bank * stride, stride));
            header.BankSizes[bank] = std::max(header.BankSizes[bank], reach);
        }
    }
    header.HeaderCheckSum = static_cast<uint16_t>(CalcCheckSum(backup.image, header));
    header.TrailerValue2 = 0;
    header.Identification.clear();
    return backup;
}

int BackupRun(const SParameter& settings, const SBackupCommandLine& args) {
    SetMessageTable(false);
    SPackageFile like;
    if (!LoadPackageFile(args.likeFile, like, FlashMessage(kMsgLoadYtrFail))) return Fail("");
    if (like.philips) {
        return Fail("A Philips-format image cannot be read back from a drive: name a YTR package for it.\n");
    }
    const std::optional<EBackupRoute> route = ChooseBackupRoute(like.header, args.ideFlash);
    if (!route) return Fail("");
    const auto length = static_cast<uint32_t>(like.image.size());
    if (length == 0) return Fail("The package describes no image to read.\n");
    // Its protocol would refuse it (a bank too long to send whole, an image
    // shorter than one page of ALI or block of MTK5): a backup like it could
    // never be flashed back.
    if (SentRanges(like.header, length, *route).empty()) {
        return Fail("The package's flash protocol sends nothing of an image like it.\n");
    }
    if (const uint64_t reach = Reach(*route, like.header.IdeFlashType); length > reach) {
        return Fail(Format("This way of reading reaches only the first %u bytes of a flash; the package "
                           "describes %u.\n",
                           static_cast<uint32_t>(reach), length));
    }
    // A backup must never take the place of an older one, and a name it
    // cannot be written to is better told before minutes of reading.
    if (const SNewFile free = CheckNewFile(args.outFile); free.result != ENewFile::Ok) {
        return Fail(NewFileRefusal(args.outFile, free));
    }

    const SPackageIdentity identity = IdentifyPackage(like.image, like.header);
    const std::optional<EDriveIndex> drive = ChooseBackupDrive(args, *route, identity, settings);
    if (!drive) return Fail("");
    ShowDrive(*drive, identity, like.header, *route, length);

    std::vector<uint8_t> first(length, 0);
    std::vector<uint8_t> second(length, 0);
    ReadFailure failure;
    if (*route == EBackupRoute::Atapi) {
        failure = ReadAtapi(*drive, first, 0);
        if (!failure) failure = ReadAtapi(*drive, second, 1);
    } else {
        failure = ReadIde(*drive, like.header.IdeFlashType, first, second);
    }
    GotoXY(1, kResultRow);
    if (failure) return Fail(*failure);
    const auto differs = std::mismatch(first.begin(), first.end(), second.begin());
    if (differs.first != first.end()) {
        return Fail(Format("The flash read differently the second time, first at %06Xh.\n",
                           static_cast<uint32_t>(differs.first - first.begin())));
    }
    second = {};

    const SBackupImage backup = BackupImage(like.header, first, *route);
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
    const auto size = static_cast<uint32_t>(package->size());
    if (const SNewFile written = WriteNewFileBinary(args.outFile, package->data(), size);
        written.result != ENewFile::Ok) {
        return Fail(NewFileRefusal(args.outFile, written));
    }
    if (!FileHolds(args.outFile, *package)) {
        std::remove(args.outFile.c_str());
        return Fail(Format("%s does not read back as written; it was removed.\n", args.outFile.c_str()));
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
    return kBackupOk;
}

int BackupMain(int argc, char** argv, const char* program) {
    SetExitHook(&EndWithoutBackup);
    try {
        if (PosixFileNames()) {
            const auto write = [](const std::string& text) { Print("%s", text.c_str()); };
            if (const std::optional<int> status = AnswerLongOptions(argc, argv, program, write, &PrintBackupHelp))
                return *status;
        }
        ClearScreen();
        const SParameter settings = BuildSettings();
        const SBackupCommandLine args = ParseBackupCommandLine(argc, argv);
        if (args.argumentError) {
            PrintBackupHelp();
            Print("\nArguments Error!\n");
            return kBackupUsage;
        }
        if (args.help) {
            PrintBackupHelp();
            return kBackupOk;
        }
        return BackupRun(settings, args);
    } catch (...) {
        try {
            Print("Unexpected Fail!\n");
        } catch (...) {
        }
        return kBackupFailed;
    }
}

}  // namespace jv
