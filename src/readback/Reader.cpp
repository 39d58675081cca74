#include "readback/Reader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "drive/Winfunc.h"
#include "flash/AtapiFlashTypes.h"
#include "flash/Flashknl.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "package/Firmware.h"
#include "package/ZipPackage.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/OwnFile.h"
#include "platform/Ports.h"
#include "platform/Process.h"
#include "trace/Recording.h"
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv {

namespace {

constexpr uint32_t kIdeReadBlock = 256;

constexpr int kFirstProgressRow = 9;
constexpr int kResultRow = 12;

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
    return IdeReach(ideType);
}

using ReadFailure = std::optional<std::string>;

ReadFailure ReadAtapi(EDriveIndex drive, std::span<uint8_t> pass, int number) {
    ProgressLine line(kFirstProgressRow + number, PassLabel(number));
    SFlashReadReport report;
    report.progress = [&line](uint32_t done, uint32_t total) { line.Show(done, total); };
    if (ReadFlashImage(drive, static_cast<uint32_t>(pass.size()), pass, false, &report)) return std::nullopt;
    return Format("Reading the flash failed at block %06Xh: %s.\n", report.failedAt, report.why.c_str());
}

// The register wait that ran out, in front of what it stopped.
std::string WithFault(std::string text) {
    if (const auto& fault = IdeAccessFault()) return *fault + "\n" + text;
    return text;
}

// Why a read through the registers stopped: the wait that ran out.
std::string IdeReadFault() {
    const auto& fault = IdeAccessFault();
    return fault ? *fault : std::string("the chip's routines cannot read it");
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
                return Format("Reading the flash chip failed at block %06Xh: %s\n", at, IdeReadFault().c_str());
            }
            line.Show(at + count, length);
        }
        return std::nullopt;
    }
    // The ALI controllers are read once at address 0 before the block
    // reads, as the flash job reads them.
    if (ideType == kIdeAli || ideType == kIdeAli2) ReadFlashByte(drive, 0);
    ReadFlashBytes(drive, length, pass, false);
    if (IdeAccessFault()) return "Reading the flash chip failed: " + IdeReadFault() + "\n";
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

// Identifies the chip, then reads it twice: the whole chip when it is known
// by its own ID (as far as the controller reaches), for the updater keeps
// what lies beyond an image there and a twin must hold it; else as many
// bytes as first holds. The controller leaves its flash mode on every way
// out.
ReadFailure ReadIde(EDriveIndex drive, uint8_t ideType, std::vector<uint8_t>& first, std::vector<uint8_t>& second,
                    SFlashRead& read) {
    if (ReadFailure refused = ClaimChannel(drive)) return refused;
    ClearIdeAccessFault();
    const uint8_t chip = IdentifyChip(drive, ideType);
    if (!SelectChipAlgorithm(chip)) {
        // Nothing more to say than the chip's message: the run ends unread.
        IdeFinish(drive);
        ShowUnknownChipType();
        return std::string();
    }
    ReadFailure failure;
    if (IdeAccessFault()) {
        failure = WithFault("The flash chip could not be identified.\n");
    } else {
        read.chip = chip;
        read.chipKnown = IdentifiedChipSize() != 0;
        const uint32_t whole = std::min(IdentifiedChipSize(), IdeReach(ideType));
        if (whole > first.size()) {
            first.resize(whole, 0);
            second.resize(whole, 0);
            Print("Flash Chip       : %s, all %u bytes read\n", ChipName(chip), whole);
        } else {
            Print("Flash Chip       : %s\n", ChipName(chip));
        }
        failure = ReadIdePass(drive, ideType, first, 0);
        if (!failure) failure = ReadIdePass(drive, ideType, second, 1);
    }
    IdeFinish(drive);
    if (!failure && IdeAccessFault()) failure = WithFault("The drive did not leave its flash mode.\n");
    return failure;
}

}  // namespace

std::optional<EBackupRoute> ChooseBackupRoute(const SYTRParameter& like, bool ideOption) {
    const bool hasIde = IsIdeFlashType(like.IdeFlashType);
    const bool hasAtapi = FindAtapiFlashType(like.AtapiFlashType) != nullptr;
    if (ideOption || !hasAtapi) {
        if (hasIde) return EBackupRoute::Ide;
        Print("%s\n", FlashMessage(ideOption ? kMsgIdeTypeUnsupported : kMsgAtapiTypeUnsupported).c_str());
        return std::nullopt;
    }
    return EBackupRoute::Atapi;
}

std::vector<SOffsetRange> SentRanges(const SYTRParameter& header, uint32_t length, EBackupRoute route) {
    if (route == EBackupRoute::Atapi) return AtapiSentRanges(header, length);
    // The chip is programmed whole, from the first byte of the image to its last.
    if (IsIdeFlashType(header.IdeFlashType) && length > 0) return {{0, length}};
    return {};
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
            uint32_t& size = header.BankSizes[static_cast<size_t>(bank)];
            size = std::max(size, reach);
        }
    }
    header.HeaderCheckSum = static_cast<uint16_t>(CalcCheckSum(backup.image, header));
    header.TrailerValue2 = 0;
    header.Identification.clear();
    return backup;
}

SReadPlan PlanRead(const SPackageFile& package, bool ideOption) {
    if (package.philips) {
        return {std::nullopt, "A Philips-format image cannot be read back from a drive: name a YTR package for it.\n"};
    }
    const std::optional<EBackupRoute> route = ChooseBackupRoute(package.header, ideOption);
    if (!route) return {};
    const auto length = static_cast<uint32_t>(package.image.size());
    if (length == 0) return {std::nullopt, "The package describes no image to read.\n"};
    // Its protocol would refuse it (a bank too long to send whole, an image
    // shorter than one page of ALI or block of MTK5): a backup like it could
    // never be flashed back, and no flash could have put it on a drive.
    if (SentRanges(package.header, length, *route).empty()) {
        return {std::nullopt, "The package's flash protocol sends nothing of an image like it.\n"};
    }
    if (const uint64_t reach = Reach(*route, package.header.IdeFlashType); length > reach) {
        return {std::nullopt, Format("This way of reading reaches only the first %u bytes of a flash; the package "
                                     "describes %u.\n",
                                     static_cast<uint32_t>(reach), length)};
    }
    return {route, {}};
}

std::optional<std::string> ReadFlashTwice(EDriveIndex drive, const SYTRParameter& header, EBackupRoute route,
                                          uint32_t length, SFlashRead& read) {
    std::vector<uint8_t> first(length, 0);
    std::vector<uint8_t> second(length, 0);
    ReadFailure failure;
    if (route == EBackupRoute::Atapi) {
        failure = ReadAtapi(drive, first, 0);
        if (!failure) failure = ReadAtapi(drive, second, 1);
    } else {
        failure = ReadIde(drive, header.IdeFlashType, first, second, read);
    }
    GotoXY(1, kResultRow);
    if (failure) return failure;
    const auto differs = std::mismatch(first.begin(), first.end(), second.begin());
    if (differs.first != first.end()) {
        return Format("The flash read differently the second time, first at %06Xh.\n",
                      static_cast<uint32_t>(differs.first - first.begin()));
    }
    read.bytes = std::move(first);
    return std::nullopt;
}

std::optional<EDriveIndex> ChooseReadDrive(int32_t driveNumber, EBackupRoute route, const SPackageIdentity& like,
                                           const SParameter& settings, bool& stopped) {
    stopped = false;
    std::vector<EDriveIndex> candidates;
    if (driveNumber < 0) {
        candidates = ListDriveIndexes();
    } else {
        const auto drive = static_cast<EDriveIndex>(driveNumber);
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
        QualifyDrives(candidates, std::span(&like, 1), settings, route == EBackupRoute::Ide, stopped);
    if (!qualified) return std::nullopt;
    return ChooseDrive(*qualified, settings, false, false, [&] { return NewFirmwareLine(like, settings); });
}

void ShowReadDrive(const char* driveLabel, const char* packageLabel, EDriveIndex drive, const SPackageIdentity& like,
                   const SYTRParameter& header, EBackupRoute route, uint32_t length) {
    ClearScreen();
    GotoXY(1, 2);
    if (IsDriveIndexValid(drive)) {
        const std::string model = InquiryModelName(drive);
        // PIONEER drives keep no date code worth showing.
        const std::string date = model.compare(0, 7, "PIONEER") == 0 ? std::string() : InquiryDateCode(drive);
        Print("%-16s : %s %s %s\n", driveLabel, model.c_str(), InquiryRevision(drive).c_str(), date.c_str());
        Print("Hardware ID      : %s\n", ReadHardwareId(drive).c_str());
        if (model != like.modelName) Print("Note: the package was made for %s\n", like.modelName.c_str());
    } else {
        Print("%-16s : No firmware device\n", driveLabel);
    }
    Print("%-16s : %s %s %s\n", packageLabel, like.modelName.c_str(), like.version.c_str(), like.dateCode.c_str());
    if (route == EBackupRoute::Atapi) {
        Print("Read Through     : ATAPI, %s\n", std::string(AtapiFlashTypeName(header.AtapiFlashType)).c_str());
    } else {
        Print("Read Through     : IDE, %s\n", std::string(IdeFlashTypeName(header.IdeFlashType)).c_str());
    }
    Print("Bytes to Read    : %u (%08Xh)\n", length, length);
}

std::optional<std::string> CheckFirmwareRead(EDriveIndex drive, std::span<const uint8_t> read, uint8_t mode) {
    // An erased flash reads back without a fault: only its contents tell.
    if (!HasInfoBlock(read, mode)) {
        return std::string("The flash read back holds no firmware information block: nothing was written.\n");
    }
    if (!IsDriveIndexValid(drive)) return std::nullopt;
    const auto trimmed = [](std::string text) {
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    };
    const std::string model = trimmed(GetImageModelName(read));
    const std::string version = trimmed(GetImageVersion(read, mode));
    const std::string driveModel = trimmed(InquiryModelName(drive));
    const std::string driveVersion = trimmed(InquiryRevision(drive));
    if (model != driveModel || version != driveVersion) {
        Print("Note: the flash holds firmware %s %s; the drive reports %s %s.\n", model.c_str(), version.c_str(),
              driveModel.c_str(), driveVersion.c_str());
    }
    return std::nullopt;
}

bool IsOptionStart(const std::string& arg) { return !arg.empty() && (arg[0] == '/' || arg[0] == '-'); }

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

bool TakeReadOption(const std::string& arg, bool& help, bool& ideFlash, int32_t& driveNumber, bool& argumentError) {
    // The trace it names began before main; it is no file name.
    if (PosixFileNames() && trace::TraceOptionFile(arg.c_str())) return true;
    if (!IsOptionStart(arg) || LooksLikePath(arg)) return false;
    const char letter = arg.size() > 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1]))) : 0;
    const std::string value = arg.size() > 2 ? arg.substr(2) : std::string();
    if ((letter == 'h' || letter == '?') && value.empty()) {
        help = true;
    } else if (letter == 'i' && value.empty()) {
        ideFlash = true;
    } else if (letter != 'n' || !ParseDriveNumber(value, driveNumber)) {
        argumentError = true;
    }
    return true;
}

std::optional<int> StartReadbackProgram(int argc, char** argv, const SReadbackProgram& program) {
    if (const std::optional<std::string> refusal = trace::TraceRefusal(argc, argv)) {
        std::fputs((std::string(program.name) + ": " + *refusal).c_str(), stderr);
        return program.usageStatus;
    }
    if (!PosixFileNames()) return std::nullopt;
    const auto write = [](const std::string& text) { Print("%s", text.c_str()); };
    return AnswerLongOptions(argc, argv, program.name, write, program.help, {kTraceLongOption});
}

std::optional<int> AnswerHelpOrError(const SReadbackProgram& program, bool help, bool argumentError) {
    if (argumentError) {
        program.help();
        Print("\nArguments Error!\n");
        return program.usageStatus;
    }
    if (!help) return std::nullopt;
    program.help();
    return program.helpStatus;
}

int UnexpectedFailure(const SReadbackProgram& program) {
    try {
        Print("Unexpected Fail!\n");
    } catch (...) {
    }
    return program.unexpectedStatus;
}

// The one place a file made new is written: the platform's write that
// reads the bytes back through the descriptor that wrote them and then
// refuses an existing target, so a file that took the name while the drive
// was read is kept.
std::optional<std::string> WriteNewFile(const std::string& name, std::span<const uint8_t> bytes) {
    const SNewFile written = WriteOwnFile(name, bytes, {EPlaceFile::New, std::nullopt});
    if (written.result != ENewFile::Ok) return NewFileRefusal(name, written);
    return std::nullopt;
}

std::optional<std::string> RoomRefusal(std::span<const SPlannedFile> files,
                                       const std::function<std::optional<SFolderRoom>(const std::string&)>& roomOf) {
    struct SVolume {
        SFolderRoom room;
        uint64_t needed = 0;
        std::vector<const SPlannedFile*> files;
    };
    std::vector<SVolume> volumes;
    for (const SPlannedFile& file : files) {
        // A folder that cannot be asked was found fit for a new file; the
        // write itself will tell.
        const std::optional<SFolderRoom> room = roomOf(file.name);
        if (!room) continue;
        if (file.bytes > room->largestFile) {
            return Format("%s would take %llu bytes, more than the %llu this process may write to one file "
                          "(ulimit -f).\n",
                          file.name.c_str(), static_cast<unsigned long long>(file.bytes),
                          static_cast<unsigned long long>(room->largestFile));
        }
        auto volume = std::find_if(volumes.begin(), volumes.end(),
                                   [&](const SVolume& v) { return v.room.volume == room->volume; });
        if (volume == volumes.end()) volume = volumes.insert(volumes.end(), SVolume{*room, 0, {}});
        // Files take room in whole units.
        const uint64_t unit = std::max<uint64_t>(1, room->unitBytes);
        volume->needed += (file.bytes + unit - 1) / unit * unit;
        volume->files.push_back(&file);
    }
    for (const SVolume& volume : volumes) {
        if (volume.needed <= volume.room.freeBytes) continue;
        std::string names;
        for (size_t i = 0; i < volume.files.size(); ++i) {
            if (i > 0) names += i + 1 == volume.files.size() ? " and " : ", ";
            names += volume.files[i]->name;
        }
        return Format("Not enough free space for %s: %s up to %llu bytes, and %llu are free there.\n", names.c_str(),
                      volume.files.size() == 1 ? "it takes" : "they take",
                      static_cast<unsigned long long>(volume.needed),
                      static_cast<unsigned long long>(volume.room.freeBytes));
    }
    return std::nullopt;
}

uint64_t FlashReadAtMost(const SYTRParameter& header, EBackupRoute route, uint32_t length) {
    if (route == EBackupRoute::Atapi) return length;
    return std::max<uint64_t>(length, IdeReach(header.IdeFlashType));
}

}  // namespace jv
