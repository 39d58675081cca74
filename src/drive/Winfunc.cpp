#include "drive/Winfunc.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Process.h"

namespace jv {

namespace {

constexpr int kEscapeKey = 27;
constexpr uint32_t kReadyPollMs = 200;
constexpr uint32_t kTrayPauseMs = 5000;
constexpr uint32_t kDownloadRebootMs = 20000;
// A tray that does not close after this many load commands (two minutes)
// is handed to the user instead of being retried for ever.
constexpr int kLoadAttempts = 24;
// A bank number reply above 32 means the drive is still busy; one that stays
// busy must not hold the listing for ever.
constexpr int kBankNumberQueries = 50;

// The INQUIRY bytes [first, first + count) up to the first NUL.
std::string InquiryField(EDriveIndex drive, size_t first, size_t count) {
    std::array<uint8_t, 256> reply{};
    if (!Inquiry(drive, reply)) return {};
    const char* text = reinterpret_cast<const char*>(reply.data() + first);
    return std::string(text, strnlen(text, count));
}

bool HasSignature(std::span<const uint8_t> reply) { return reply[0] == 'Z' && reply[1] == 'E'; }

}  // namespace

bool ExecuteNoData(EDriveIndex drive, const CommandBlock& block) {
    return ExecuteOnDrive(drive, block.data(), nullptr, 0, kDirNone);
}

bool ExecuteDataIn(EDriveIndex drive, const CommandBlock& block, std::span<uint8_t> buffer, uint16_t length) {
    if (buffer.size() < length) return false;
    std::fill_n(buffer.begin(), length, uint8_t{0});
    return ExecuteOnDrive(drive, block.data(), buffer.data(), length, kDirIn);
}

bool ExecuteDataOut(EDriveIndex drive, const CommandBlock& block, std::span<const uint8_t> data) {
    if (data.size() > 0xFFFF) return false;
    // The transport only reads the buffer of a data-out command.
    return ExecuteOnDrive(drive, block.data(), const_cast<uint8_t*>(data.data()),
                          static_cast<uint16_t>(data.size()), kDirOut);
}

bool TestUnitReady(EDriveIndex drive) { return ExecuteNoData(drive, kCmdTestUnitReady); }

bool RequestSense(EDriveIndex drive, std::span<uint8_t> buffer, bool flagA, bool flagB) {
    CommandBlock block = kCmdRequestSense;
    block[3] = flagA ? 0x10 : 0x00;
    block[5] = flagB ? 0x80 : 0x00;
    return ExecuteDataIn(drive, block, buffer, kSenseLength);
}

bool Inquiry(EDriveIndex drive, std::span<uint8_t> reply) {
    return ExecuteDataIn(drive, kCmdInquiry, reply, kInquiryLength);
}

std::string InquiryModelName(EDriveIndex drive) { return InquiryField(drive, 8, 24); }
std::string InquiryRevision(EDriveIndex drive) { return InquiryField(drive, 32, 4); }
std::string InquiryDateCode(EDriveIndex drive) { return InquiryField(drive, 40, 6); }

std::string ReadHardwareId(EDriveIndex drive) {
    std::array<uint8_t, 20> page{};
    // A page cut short of its last two bytes names no ID.
    if (ExecuteDataIn(drive, kCmdHardwareId, page, 20) && LastCommandTransferred() == page.size() &&
        std::memcmp(page.data(), "ZERV", 4) == 0) {
        return std::string(reinterpret_cast<const char*>(page.data() + 18), 2);
    }
    std::array<uint8_t, 256> reply{};
    if (!Inquiry(drive, reply)) return {};
    return std::string(reinterpret_cast<const char*>(reply.data() + 38), 2);
}

uint8_t ReadBankNumber(EDriveIndex drive) {
    int queries = kBankNumberQueries;
    return ReadBankNumber(drive, queries);
}

uint8_t ReadBankNumber(EDriveIndex drive, int& queriesLeft) {
    std::array<uint8_t, 4> reply{};
    while (queriesLeft > 0) {
        --queriesLeft;
        if (!ExecuteDataIn(drive, kCmdBankNumber, reply, 4)) return 0;
        if (reply[0] <= 32) return reply[0];
    }
    return 0;
}

bool ReadVendorData(EDriveIndex drive, std::span<uint8_t> buffer) {
    return ExecuteDataIn(drive, kCmdVendorData, buffer, kVendorDataLength);
}

bool QueryFeature(EDriveIndex drive, std::span<uint8_t> buffer, int n) {
    if (n < 0 || n > 13) return false;
    if (!ExecuteDataIn(drive, kCmdQueryFeature, buffer, kFeatureReplyLength) || !HasSignature(buffer)) return false;
    if (n == 0) return true;
    if (n <= 8) return (buffer[5] >> (n - 1)) & 1;
    if (n <= 12) return (buffer[6] >> (n - 9)) & 1;
    return (buffer[6] >> 6) & 1;
}

bool GetFirmwareChecksum(EDriveIndex drive, std::span<uint8_t> buffer) {
    return ExecuteDataIn(drive, kCmdGetChecksum, buffer, kChecksumReplyLength) && HasSignature(buffer) &&
           buffer[2] >= 5;
}

bool SetFirmwareChecksum(EDriveIndex drive, uint16_t a, uint16_t b) {
    CommandBlock block = kCmdSetChecksum;
    PutBe16(block, 7, a);
    PutBe16(block, 9, b);
    return ExecuteNoData(drive, block);
}

bool SetTrayLock(EDriveIndex drive, bool prevent) {
    CommandBlock block = kCmdTrayLock;
    block[4] = prevent ? 1 : 0;
    return ExecuteNoData(drive, block);
}

bool LoadTray(EDriveIndex drive) { return ExecuteNoData(drive, kCmdLoadTray); }
bool EjectTray(EDriveIndex drive) { return ExecuteNoData(drive, kCmdEjectTray); }

bool IsTrayOpen(EDriveIndex drive) {
    std::array<uint8_t, 16> reply{};
    ExecuteDataIn(drive, kCmdTrayOpen, reply, 16);
    return reply[5] & 0x01;
}

bool IsDiscPresent(EDriveIndex drive) {
    std::array<uint8_t, 16> reply{};
    ExecuteDataIn(drive, kCmdDiscPresent, reply, 16);
    return reply[5] & 0x02;
}

bool WriteFirmwareBlock(EDriveIndex drive, std::span<const uint8_t> data, uint8_t block, uint8_t count,
                        uint16_t b, uint16_t c) {
    if (data.size() < kFirmwareBlockSize) return false;
    CommandBlock cdb = kCmdFirmwareBlock;
    PutLe16(cdb, 1, b);
    PutLe16(cdb, 3, c);
    cdb[5] = block;
    PutLe16(cdb, 7, b);
    PutLe16(cdb, 9, c);
    cdb[11] = count;
    return ExecuteDataOut(drive, cdb, data.first(kFirmwareBlockSize));
}

bool WriteBufferOffset(EDriveIndex drive, std::span<const uint8_t> data, uint8_t offHigh, uint16_t offLow) {
    if (data.size() > 0xFFFF) return false;
    CommandBlock block = kCmdWriteBufferOffset;
    block[3] = offHigh;
    PutBe16(block, 4, offLow);
    PutBe16(block, 7, static_cast<uint16_t>(data.size()));
    return ExecuteDataOut(drive, block, data);
}

bool WriteBufferSave(EDriveIndex drive, bool flag) {
    CommandBlock block = kCmdWriteBufferSave;
    block[3] = flag ? 0x10 : 0x00;
    return ExecuteNoData(drive, block);
}

bool WriteBufferMode1(EDriveIndex drive, uint8_t id) {
    CommandBlock block = kCmdWriteBufferMode1;
    block[2] = id;
    return ExecuteNoData(drive, block);
}

uint8_t ReadDriveByte(EDriveIndex drive, uint16_t address) {
    CommandBlock block = kCmdReadDriveByte;
    PutBe16(block, 7, address);
    std::array<uint8_t, 256> reply{};
    ExecuteDataIn(drive, block, reply, 255);
    return reply[0];
}

bool WriteDriveByte(EDriveIndex drive, uint16_t address, uint8_t value) {
    CommandBlock block = kCmdWriteDriveByte;
    PutBe16(block, 7, address);
    block[9] = value;
    return ExecuteDataOut(drive, block, {});
}

bool ModeSenseCapabilities(EDriveIndex drive, std::span<uint8_t> buffer) {
    return ExecuteDataIn(drive, kCmdModeSenseCapabilities, buffer, kCapabilitiesLength);
}

EReadyWait WaitDriveReady(EDriveIndex drive, int seconds) {
    const uint64_t start = NowMs();
    const uint64_t limit = static_cast<uint64_t>(std::max(seconds, 0)) * 1000;
    for (;;) {
        if (TestUnitReady(drive)) return EReadyWait::kReady;
        // Peek at the console before the sense data is fetched: neither sends
        // a command, so the sense still belongs to TEST UNIT READY.
        Console& console = TheConsole();
        // While the flash is being written the drive must not be left to a
        // user who thinks the program stopped cleanly: the first ESC only warns.
        if (console.KeyWaiting() && console.ReadKey() == kEscapeKey && MayStopForEscape()) {
            SetTrayLock(drive, false);
            return EReadyWait::kStopped;
        }
        if (NowMs() - start > limit) {
            SetTrayLock(drive, false);
            return EReadyWait::kTimedOut;
        }
        const SSense sense = ReadSense();
        if (IsNoMedium(sense)) return EReadyWait::kReady;  // no disc: ready enough
        SleepMs(kReadyPollMs);
    }
}

FlashResult AwaitDriveReady(EDriveIndex drive, int seconds, FlashResult timedOut) {
    switch (WaitDriveReady(drive, seconds)) {
        case EReadyWait::kReady:
            return std::nullopt;
        case EReadyWait::kStopped:
            return FlashResult::RunEnds();
        case EReadyWait::kTimedOut:
            break;
    }
    return timedOut;
}

bool PrepareTray(EDriveIndex drive, TrayQuestion ask) {
    // A drive that refuses the load with UNIT ATTENTION / 1D can still close
    // its tray on command; any other refusal means the user must do it.
    bool byCommand = true;
    if (!LoadTray(drive)) {
        const SSense sense = ReadSense();
        byCommand = IsUnitAttention(sense) && sense.asc == kAscTrayClosesOnCommand;
    }
    int loadsLeft = kLoadAttempts;
    for (;;) {
        while (IsTrayOpen(drive)) {
            if (byCommand && loadsLeft > 0) {
                --loadsLeft;
                LoadTray(drive);
                SleepMs(kTrayPauseMs);
                continue;
            }
            if (!ask(ETrayRequest::kCloseTray)) return false;
            SleepMs(kTrayPauseMs);
        }
        if (!IsDiscPresent(drive)) return true;
        EjectTray(drive);
        SleepMs(kTrayPauseMs);
        if (!ask(ETrayRequest::kRemoveDisc)) return false;
        loadsLeft = kLoadAttempts;
    }
}

namespace {
bool IsPlainRefusal(const SSense& sense) {
    switch (sense.key) {
        case kSenseMediumError:
        case kSenseHardwareError:
        case kSenseIllegalRequest:
        case kSenseDataProtect:
            return true;
        default:
            return false;
    }
}
}  // namespace

FlashResult DownloadFirmware(EDriveIndex drive, std::span<const uint8_t> image, int count, uint16_t b, uint16_t c) {
    // The block number and count are single bytes of the command.
    if (count < 1 || count > 255) return Format("Firmware update failure (%02X:%02X:%02X)", 0, 0, 0);
    // A drive still not ready after the wait gets the blocks anyway: their
    // own answers tell whether it took them. Only the user's ESC keeps them
    // from going out.
    if (FlashResult stop = AwaitDriveReady(drive, kReadyWaitSeconds, std::nullopt)) return stop;
    std::vector<uint8_t> padded;
    BeginFlashWrite();
    for (int i = 0; i < count; ++i) {
        const size_t offset = static_cast<size_t>(i) * kFirmwareBlockSize;
        std::span<const uint8_t> block;
        if (offset + kFirmwareBlockSize <= image.size()) {
            block = image.subspan(offset, kFirmwareBlockSize);
        } else {
            // Never read past the caller's image: send the rest zero-padded.
            padded.assign(kFirmwareBlockSize, 0);
            if (offset < image.size()) std::copy(image.begin() + static_cast<std::ptrdiff_t>(offset), image.end(), padded.begin());
            block = padded;
        }
        const bool last = i == count - 1;
        if (WriteFirmwareBlock(drive, block, static_cast<uint8_t>(i), static_cast<uint8_t>(count), b, c)) continue;
        const SSense sense = ReadSense();
        // The drive reboots into the new firmware on the last block, so that
        // block's command is expected to end without an answer, in a reset
        // or not ready. A drive that plainly refuses it (a bad block, a
        // hardware or medium error) keeps its old firmware: that is no
        // success.
        if (last && !IsPlainRefusal(sense)) continue;
        // The drive's own byte, flags included: whoever reads the text back
        // to the drive's documentation finds it as the drive sent it.
        return Format("Firmware update failure (%02X:%02X:%02X)", sense.keyByte, sense.asc, sense.ascq);
    }
    SleepMs(kDownloadRebootMs);
    return AwaitDriveReady(drive, kReadyWaitSeconds, std::nullopt);
}

}  // namespace jv
