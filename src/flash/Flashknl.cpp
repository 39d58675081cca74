#include "flash/Flashknl.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "drive/Winfunc.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "package/Firmware.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Ports.h"
#include "platform/Process.h"

namespace jv {

namespace {

constexpr uint32_t kReleasePauseMs = 3000;
constexpr const char* kWaitTimeout = "Wait Drive Ready TimeOut !\n";
constexpr uint32_t kTrailerBytes = 8;

// The erase pad: one byte value, or a fresh run of pseudo-random bytes.
class Pad {
public:
    explicit Pad(const SFlashOptions& options) : options_(options) {}
    void Fill(std::span<uint8_t> range) {
        if (!options_.erasePadRandom) {
            std::fill(range.begin(), range.end(), options_.erasePadChar);
            return;
        }
        std::mt19937 generator(static_cast<uint32_t>(NowMs()) ^ (TheClock().SecondsOfDay() << 10));
        for (uint8_t& b : range) b = static_cast<uint8_t>(generator() & 0xFF);
    }

private:
    const SFlashOptions& options_;
};

// [start, start + size) cut to the image; empty when it starts beyond it.
std::span<uint8_t> Range(std::span<uint8_t> bytes, uint64_t start, uint64_t size) {
    if (start >= bytes.size()) return {};
    return bytes.subspan(static_cast<size_t>(start), static_cast<size_t>(std::min<uint64_t>(size, bytes.size() - start)));
}

void CopyRange(std::span<const uint8_t> from, std::span<uint8_t> to, uint64_t start, uint64_t size) {
    const auto target = Range(to, start, size);
    if (target.empty() || start >= from.size()) return;
    const size_t n = std::min(target.size(), from.size() - static_cast<size_t>(start));
    std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(start), n, target.begin());
}

void ClearReserved(std::span<uint8_t> bytes, const SYTRParameter& parameter) {
    for (const SYTRReserveBlock& block : parameter.ReserveBlocks) {
        const auto range = Range(bytes, block.Address, block.Length);
        std::fill(range.begin(), range.end(), uint8_t{0});
    }
}

uint16_t Sum16(std::span<const uint8_t> bytes, uint32_t length, const SYTRParameter& parameter) {
    uint32_t count = std::min<uint32_t>(length, static_cast<uint32_t>(bytes.size()));
    // Type 6 drives keep their own trailer in the last bytes.
    if (parameter.AtapiFlashType == kAtapiMtk5) count = count > kTrailerBytes ? count - kTrailerBytes : 0;
    uint16_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

// Compares the read-back with what was programmed, reserved ranges of the
// image aside, and prints the sum of the image when asked. Both buffers are
// changed; they may run past the image into the bytes kept behind it.
FlashResult Verify(std::span<uint8_t> readBack, std::span<uint8_t> programmed, uint32_t length,
                   const SYTRParameter& parameter, const SFlashOptions& options, uint16_t& sum) {
    ClearReserved(readBack.first(length), parameter);
    ClearReserved(programmed.first(length), parameter);
    FlashResult result;
    const auto end = static_cast<uint32_t>(programmed.size());
    for (uint32_t a = 0; a < end; ++a) {
        if (!options.silent) ShowVerifyAddress(a);
        if (readBack[a] != programmed[a]) {
            result = FlashMessage(kMsgVerifyError);
            break;
        }
    }
    if (options.showChecksum) {
        sum = Sum16(readBack, length, parameter);
        if (!options.silent) ShowFixedDataSum(sum);
    }
    return result;
}

}  // namespace

namespace {

// A slave is flashed with the master of its cable prepared. The master is
// the drive the system places there, not the one before it in the table,
// which may sit anywhere.
void PrepareChannelMaster(EDriveIndex drive) {
    if (const std::optional<EDriveIndex> master = HeldChannelMaster(drive)) PrepareLiteDrive(*master);
}

// Steps 2 to 4 shared by both kernels; gives the detected chip type, or
// nothing when the run ends here because nobody knows the chip.
std::optional<uint8_t> StartIdeJob(EDriveIndex drive, uint8_t ideFlashType, const SFlashOptions& options,
                                   bool serial) {
    SelectIdeAccess(ideFlashType);
    SetMessageTable(options.silent != 0);
    IdeInitialise(drive);
    const uint8_t chip =
        serial ? IdentifySerialChip(drive, ideFlashType) : IdentifyParallelChip(drive, ideFlashType);
    if (!SelectChipAlgorithm(chip)) {
        // Nothing was written: the controller leaves its flash mode before
        // the user is told, so the drive works again without a power cycle.
        IdeFinish(drive);
        ShowUnknownChipType();
        return std::nullopt;
    }
    if (options.showChip && !options.silent) PrintChipName(chip);
    if (!options.silent) Print("Please wait for at least 4 minutes!\n");
    return chip;
}

// A refusal before anything was erased: the drive keeps what it had. It
// reads as the protocols' refusals before their first write do.
FlashResult Refuse(const SFlashOptions& options, bool updater, const std::string& why) {
    if (!options.silent) ShowChipNote(why);
    if (updater) return std::string("Flash Fail ! (1)\n");
    return std::string("Write Buffer Fail !\n");
}

// The erase takes the whole chip, the image only its start: whatever the
// chip holds behind the image (a drive's calibration, serial number and
// settings live in its top sectors) is read first and programmed back.
// Gives how far the job reads and programs, or why it must not start.
FlashResult PlanChip(uint8_t chip, uint8_t ideFlashType, uint32_t length, const SFlashOptions& options,
                     bool updater, uint32_t& end) {
    end = length;
    if (IdeAccessFault()) return std::nullopt;  // the fault is the job's result
    const uint32_t size = IdentifiedChipSize();
    const uint32_t reach = IdeReach(ideFlashType);
    if (size == 0) {
        if (!options.silent) ShowChipNote("Chip unknown by its ID: any bytes it holds beyond the image are erased.");
        return std::nullopt;
    }
    if (length > size) {
        return Refuse(options, updater,
                      Format("The image's %u bytes do not fit the %s (%u bytes).", length, ChipName(chip), size));
    }
    end = std::min(size, reach);
    if (options.silent) return std::nullopt;
    if (size > reach && end > length) {
        ShowChipNote(Format("Keeping %u bytes; the chip's top %u lie beyond reach and are erased.", end - length,
                            size - reach));
    } else if (size > reach) {
        ShowChipNote(
            Format("The chip's top %u bytes lie beyond the controller's reach and are erased.", size - reach));
    } else if (end > length) {
        ShowChipNote(Format("Keeping the %u bytes beyond the image.", end - length));
    }
    return std::nullopt;
}

FlashResult KeptReadRefusal(const SFlashOptions& options, bool updater) {
    return Refuse(options, updater, "The bytes beyond the image did not read back the same twice.");
}

// A register wait that ran out is the job's result, whatever else happened.
FlashResult FaultOr(FlashResult result) {
    if (const auto& fault = IdeAccessFault()) return *fault;
    return result;
}

FlashResult FlashParallelRom(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length,
                             const SYTRParameter& parameter, const SFlashOptions& options, bool updater) {
    if (parameter.IdeFlashType == kIdeMtk) PrepareChannelMaster(drive);
    const std::optional<uint8_t> identified = StartIdeJob(drive, parameter.IdeFlashType, options, false);
    if (!identified) return FlashResult::RunEnds();
    const uint8_t chip = *identified;
    const bool silent = options.silent != 0;
    uint32_t end = length;
    if (FlashResult refused = PlanChip(chip, parameter.IdeFlashType, length, options, updater, end)) {
        IdeFinish(drive);
        return FaultOr(refused);
    }

    std::vector<uint8_t> present(end, 0);
    if (end > 0 && (parameter.IdeFlashType == kIdeAli || parameter.IdeFlashType == kIdeAli2)) {
        present[0] = ReadFlashByte(drive, 0);
    }
    ReadFlashBytes(drive, end, present, silent);
    if (end > length && !IdeAccessFault()) {
        // The block routines read from address 0 only: the second reading
        // takes the image again, and only the kept bytes are compared.
        std::vector<uint8_t> again(end, 0);
        ReadFlashBytes(drive, end, again, silent);
        if (!IdeAccessFault() && !std::equal(present.begin() + length, present.end(), again.begin() + length)) {
            IdeFinish(drive);
            return FaultOr(KeptReadRefusal(options, updater));
        }
    }
    std::vector<uint8_t> programmed(end, 0);
    ComposeImage(image, std::span(present).first(length), std::span(programmed).first(length), parameter, options);
    std::copy(present.begin() + length, present.end(), programmed.begin() + length);

    FlashResult result;
    // Programming a chip whose contents could not be read would write a
    // made-up image over the drive's own data.
    if (!IdeAccessFault()) ProgramParallelChip(drive, programmed, silent, chip);
    if (!IdeAccessFault() && !options.skipVerify) {
        ReadFlashBytes(drive, end, present, silent);
        uint16_t sum = 0;
        result = Verify(present, programmed, length, parameter, options, sum);
    }
    IdeFinish(drive);
    return FaultOr(result);
}

FlashResult ExchangeDriveChecksum(EDriveIndex drive, std::span<uint8_t> programmed, uint32_t length,
                                  const SYTRParameter& parameter, const SFlashOptions& options, uint16_t sum) {
    if (options.skipVerify || !options.showChecksum) {
        ClearReserved(programmed, parameter);
        sum = Sum16(programmed, length, parameter);
    }
    if (!IsDriveIndexValid(drive) || InquiryRevision(drive) == "BOOT") return std::string("Flash Error!");
    std::array<uint8_t, 256> feature{};
    if (!QueryFeature(drive, feature, kChecksumFeature)) return std::nullopt;
    if (FlashResult wait = AwaitDriveReady(drive, kReadyWaitSeconds, kWaitTimeout)) return wait;
    if (!SetFirmwareChecksum(drive, parameter.HeaderCheckSum, sum)) {
        return std::string("SET F/W CheckSum Error !\n");
    }
    if (FlashResult wait = AwaitDriveReady(drive, kReadyWaitSeconds, kWaitTimeout)) return wait;
    std::array<uint8_t, 8> reply{};
    if (!GetFirmwareChecksum(drive, reply)) return std::string("Get CheckSum Error!");
    const uint16_t driveSum = Be16(reply, 6);
    const uint16_t driveHeader = Be16(reply, 4);
    const bool match =
        driveSum == sum && (!options.matchHeaderChecksum || driveHeader == parameter.HeaderCheckSum);
    if (!match) return std::string("CheckSum Error!");
    return std::nullopt;
}

FlashResult FlashSerialRom(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length,
                           const SYTRParameter& parameter, const SFlashOptions& options, bool updater) {
    PrepareChannelMaster(drive);
    const std::optional<uint8_t> identified = StartIdeJob(drive, parameter.IdeFlashType, options, true);
    if (!identified) return FlashResult::RunEnds();
    const uint8_t chipType = *identified;
    const SChipRoutines& chip = ChipRoutines();
    const bool silent = options.silent != 0;
    uint32_t end = length;
    if (FlashResult refused = PlanChip(chipType, parameter.IdeFlashType, length, options, updater, end)) {
        IdeFinish(drive);
        return FaultOr(refused);
    }

    std::vector<uint8_t> present(end, 0);
    const auto imagePart = std::span(present).first(length);
    if (options.eraseFirst && (options.writeNewCode || options.padBanks)) {
        std::copy_n(image.begin(), length, present.begin());
        for (const SYTRReserveBlock& block : parameter.ReserveBlocks) {
            if (chip.ReadChipRange) chip.ReadChipRange(drive, block.Address, block.Length, imagePart, silent);
        }
    } else if (chip.ReadChip) {
        chip.ReadChip(drive, length, imagePart, silent);
    }
    if (end > length) {
        std::vector<uint8_t> again(end, 0);
        const uint32_t kept = end - length;
        const bool read = chip.ReadChipRange && chip.ReadChipRange(drive, length, kept, present, silent) &&
                          chip.ReadChipRange(drive, length, kept, again, silent);
        if (!IdeAccessFault() && (!read || !std::equal(present.begin() + length, present.end(),
                                                       again.begin() + length))) {
            IdeFinish(drive);
            return FaultOr(KeptReadRefusal(options, updater));
        }
    }
    std::vector<uint8_t> programmed(end, 0);
    ComposeImage(image, imagePart, std::span(programmed).first(length), parameter, options);
    std::copy(present.begin() + length, present.end(), programmed.begin() + length);

    if (!chip.WriteSerialFlashROM) {
        IdeFinish(drive);
        Print("_WriteSerialFlashROM is NULL Point. \nWill be terminate!!\n");
        GetKey();
        return FlashResult::RunEnds();
    }
    FlashResult result;
    if (!IdeAccessFault()) {
        // The routine erases the chip first: from here on, stopping leaves
        // the drive without firmware.
        BeginFlashWrite();
        result = chip.WriteSerialFlashROM(drive, programmed, end, silent);
    }
    uint16_t sum = 0;
    if (!IdeAccessFault() && !options.skipVerify) {
        if (chip.ReadChip) chip.ReadChip(drive, end, present, silent);
        const FlashResult verify = Verify(present, programmed, length, parameter, options, sum);
        if (verify) result = verify;
    }
    IdeFinish(drive);
    SleepMs(kReleasePauseMs);
    result = FaultOr(result);
    if (result || parameter.AtapiFlashType != kAtapiMtk5) return result;
    return ExchangeDriveChecksum(drive, programmed, length, parameter, options, sum);
}

}  // namespace

FlashResult FlashImage(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                       SFlashOptions options, bool updater) {
    SetMessageTable(options.silent != 0);
    if (options.atapiFlash) return FlashAtapi(drive, image, length, parameter, options, updater);

    // Every pass runs, unless one ends the run; the last one decides.
    FlashResult result;
    for (uint32_t pass = 0; pass < options.repeatCount; ++pass) {
        if (parameter.IdeFlashType == 0) return FlashMessage(kMsgIdeTypeUnsupported);
        result = FlashIdeJob(drive, image, length, parameter, options, updater);
        if (result.EndsRun()) break;
    }
    return result;
}

FlashResult FlashIdeJob(EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                        const SYTRParameter& parameter, const SFlashOptions& options, bool updater) {
    const uint8_t type = parameter.IdeFlashType;
    const SIdeFlashType* row = FindIdeFlashType(type);
    if (!row) return FlashMessage(kMsgIdeTypeUnsupported);
    // Nothing past the caller's image is ever read or programmed.
    length = static_cast<uint32_t>(std::min<size_t>(length, image.size()));
    // Past its reach the controller's addresses wrap: the image's end would
    // be written over its start after the whole chip was erased.
    if (length > IdeReach(type)) {
        return Refuse(options, updater,
                      Format("The image's %u bytes lie beyond an %s controller's reach of %u.", length,
                             row->controller, row->reach));
    }
    if (FlashResult refused = ClaimIdeChannel(drive)) return refused;
    ClearIdeAccessFault();
    if (row->serial) return FlashSerialRom(drive, image.first(length), length, parameter, options, updater);
    return FlashParallelRom(drive, image.first(length), length, parameter, options, updater);
}

void ComposeImage(std::span<const uint8_t> image, std::span<const uint8_t> present, std::span<uint8_t> output,
                  const SYTRParameter& parameter, const SFlashOptions& options) {
    Pad pad(options);
    const bool padBase = options.eraseFirst != 0;
    if (padBase) {
        pad.Fill(output);
    } else {
        const size_t n = std::min(present.size(), output.size());
        std::copy_n(present.begin(), n, output.begin());
    }
    for (size_t i = 0; i < parameter.BankSizes.size(); ++i) {
        const uint64_t start = static_cast<uint64_t>(i) * parameter.MaxBankSize;
        const uint64_t size = parameter.BankSizes[i];
        if (options.writeNewCode) {
            CopyRange(image, output, start, size);
        } else if (options.padBanks) {
            if (!padBase) pad.Fill(Range(output, start, size));
        } else if (padBase) {
            CopyRange(present, output, start, size);
        }
    }
    for (const SYTRReserveBlock& block : parameter.ReserveBlocks) {
        if (options.padReserved) {
            pad.Fill(Range(output, block.Address, block.Length));
        } else if (!options.matchHeaderChecksum) {
            CopyRange(present, output, block.Address, block.Length);
        }
    }
}

void IdeDriveEntry(EDriveIndex drive, int chipFamily, bool silent, bool) {
    SetMessageTable(silent);
    if (chipFamily < kIdeMtk || chipFamily > kIdeMtk2) {
        if (!silent) Print("%s\n", FlashMessage(kMsgIdeTypeUnsupported).c_str());
        return;
    }
    if (FlashResult refused = ClaimIdeChannel(drive)) {
        if (!silent) Print("%s\n", refused->c_str());
        return;
    }
    ClearIdeAccessFault();
    const auto family = static_cast<uint8_t>(chipFamily);
    SelectIdeAccess(family);
    IdeInitialise(drive);
    const uint8_t chip =
        family == kIdeMtk2 ? IdentifySerialChip(drive, family) : IdentifyParallelChip(drive, family);
    IdeFinish(drive);
    if (silent) return;
    if (const auto& fault = IdeAccessFault()) {
        Print("%s\n", fault->c_str());
        return;
    }
    PrintChipName(chip);
}

}  // namespace jv
