#pragma once
// The drive command set: every command copies one constant 12-byte template,
// patches its argument bytes and goes to the drive through ExecuteOnDrive.
// Results are true when the drive completed the command good, unless a
// function says otherwise.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "drive/Buffer.h"
#include "drive/FlashResult.h"
#include "platform/DriveRoute.h"
#include "platform/Sense.h"

namespace jv {

// --- The drive access object and every command's path through it

// The drive access object: the route of this machine, the drive table and
// the current drive. Built once before main; lives until the process ends.
class TAtapiImp {
public:
    // Detects the platform, sets up its route, scans and selects drive 0.
    TAtapiImp();
    TAtapiImp(std::unique_ptr<DriveRoute> route, bool usesPassThrough);
    ~TAtapiImp();
    TAtapiImp(const TAtapiImp&) = delete;
    TAtapiImp& operator=(const TAtapiImp&) = delete;

    void DetectPlatform();
    void SelectDrive(int index);
    // 1 when the command completed good; any other value is a failure.
    uint8_t ExecuteCommand(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction);
    SSense ReadSense() const;
    ECommandOutcome LastOutcome() const { return lastOutcome_; }
    const SCommandDetail& LastDetail() const { return lastDetail_; }
    // A command that reached no route: nothing was said, nothing moved.
    void NoteUnsent(const char* why);
    void PumpMessages();

    bool UsesPassThrough() const { return usesPassThrough_; }
    int DriveCount() const { return driveCount_; }
    int CurrentIndex() const { return currentIndex_; }
    void SetCurrentIndex(int index) { currentIndex_ = index; }
    const SDriveEntry& Entry(int index) const { return driveTable_[index]; }
    const std::vector<SInaccessibleNode>& Inaccessible() const { return inaccessible_; }
    std::string LocateIde(int index, SIdeLocation& location);

    // Drops the current route and starts again on the given one: scan, then
    // drive 0. Used by the simulator's tests to install a new rig.
    void Reset(std::unique_ptr<DriveRoute> route, bool usesPassThrough);

private:
    void SetUp();

    std::unique_ptr<DriveRoute> route_;
    int currentIndex_ = 0;
    bool usesPassThrough_ = false;
    int driveCount_ = 0;
    ECommandOutcome lastOutcome_ = ECommandOutcome::NoVerdict;
    SCommandDetail lastDetail_;
    SDriveEntry driveTable_[kMaxDrives] = {};
    std::vector<SInaccessibleNode> inaccessible_;
};

TAtapiImp& TheAtapi();

// Re-runs the start-up with another route (and its drives). With no route the
// platform binding's own route is built again, e.g. after a test changed the
// simulator's rig.
void ResetDriveAccessForTest(std::unique_ptr<DriveRoute> route, bool usesPassThrough);
void ResetDriveAccessForTest();

// The high-resolution timer of the flash engines: deadlines and busy waits
// on the performance counter, in units of 1/unitsPerSecond seconds.
class TPerfTimer {
public:
    static constexpr int kSlots = 10;

    explicit TPerfTimer(int32_t unitsPerSecond);

    void SetDeadline(int slot, int32_t amount);
    // Units left before the slot's deadline; 0 once it has passed.
    int32_t Remaining(int slot) const;
    // Busy-waits without sleeping; the counter moves on by itself.
    void Delay(int32_t amount) const;

    uint32_t Frequency() const { return frequency_; }

private:
    uint32_t Now() const;

    int32_t units_;
    int32_t deadlines_[kSlots] = {};
    uint32_t frequency_;
    // A fast counter (a nanosecond clock) is slowed down by this shift so that
    // its low 32 bits do not wrap within any wait the flash code sets.
    uint32_t shift_ = 0;
};

// Runs one 12-byte command block on a drive; true when it completed good.
bool ExecuteOnDrive(EDriveIndex index, const uint8_t command[12], uint8_t* data, uint16_t length,
                    uint8_t direction);

// Sense data of the last command, parsed from what the route returned.
SSense ReadSense();

// What the last command's failure says about the drive: Good, a refusal the
// drive stated, or no verdict (it may have taken the command and still be
// at work). A command to an index outside the table counts as no verdict.
ECommandOutcome LastCommandOutcome();

// Bytes the last command's data phase really moved, as the route's system
// counted them: a read that ends GOOD may still bring fewer than asked.
uint32_t LastCommandTransferred();

// What the route said of the last command besides status and sense (the
// count above among it); a command to an index outside the table reached
// no route and says so.
SCommandDetail LastCommandDetail();

// Why the last command failed, in the drive's words where it gave any: the
// sense key's name and codes ("HARDWARE ERROR (04/44/00)", with the host's
// text for the code where it has one), "no answer within 20 s", the
// transport's own error, or the status the drive ended with.
std::string LastCommandFailure();

// --- The drive command set

using CommandBlock = std::array<uint8_t, 12>;

// The vendor commands borrow MODE SENSE(10) (0x5A) with a vendor page and
// carry the signature "ZE" (5A 45) in bytes 3 and 4.
inline constexpr CommandBlock kCmdTestUnitReady{0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdRequestSense{0x03, 0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdInquiry{0x12, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdHardwareId{0x5A, 0, 0x38, 0x5A, 0x45, 0x10, 0, 0, 0, 0x04, 0, 0};
inline constexpr CommandBlock kCmdBankNumber{0x5A, 0, 0x38, 0x5A, 0x45, 0xC0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdVendorData{0x5A, 0, 0x38, 0x5A, 0x45, 0xA3, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdQueryFeature{0x5A, 0, 0x34, 0x5A, 0x45, 0x00, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdGetChecksum{0x5A, 0, 0x34, 0x5A, 0x45, 0x0B, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdSetChecksum{0x5A, 0, 0x34, 0x5A, 0x45, 0x0B, 0x01, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdTrayLock{0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdLoadTray{0x1B, 0x01, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdEjectTray{0x1B, 0x01, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdTrayOpen{0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0};
inline constexpr CommandBlock kCmdDiscPresent{0x4A, 0x01, 0, 0, 0x50, 0, 0, 0, 0x10, 0, 0, 0};
inline constexpr CommandBlock kCmdFirmwareBlock{0xFA, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdWriteBufferOffset{0x3B, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdWriteBufferSave{0x3B, 0x07, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdWriteBufferMode1{0x3B, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdReadDriveByte{0xDF, 0x83, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdWriteDriveByte{0xDF, 0x84, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0};
inline constexpr CommandBlock kCmdModeSenseCapabilities{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x28, 0, 0, 0};

inline constexpr uint16_t kInquiryLength = 255;
inline constexpr uint16_t kSenseLength = 18;
inline constexpr uint16_t kFeatureReplyLength = 8;
inline constexpr uint16_t kChecksumReplyLength = 8;
inline constexpr uint16_t kVendorDataLength = 65535;
inline constexpr uint16_t kCapabilitiesLength = 40;
inline constexpr uint32_t kFirmwareBlockSize = 16384;
inline constexpr int kReadyWaitSeconds = 120;

// The guarded paths every command block takes to ExecuteOnDrive. Transfer
// lengths are 16 bits: a buffer shorter than the length is refused, and so is
// data longer than 65,535 bytes, before anything is sent, so the drive never
// writes past a caller's buffer and a long span never goes out cut to its
// low 16 bits.
bool ExecuteNoData(EDriveIndex drive, const CommandBlock& block);
// The first length bytes of buffer are cleared first: a failed command must
// not leave a stale reply behind for the caller to read.
bool ExecuteDataIn(EDriveIndex drive, const CommandBlock& block, std::span<uint8_t> buffer, uint16_t length);
bool ExecuteDataOut(EDriveIndex drive, const CommandBlock& block, std::span<const uint8_t> data);

// Buffers shorter than a command's transfer length are refused without
// sending anything: the drive must never write past the caller's buffer.

bool TestUnitReady(EDriveIndex drive);
// 18 sense bytes into buffer; flagA sets byte 3 to 0x10, flagB byte 5 to 0x80.
bool RequestSense(EDriveIndex drive, std::span<uint8_t> buffer, bool flagA, bool flagB);
// The 255-byte INQUIRY; reply needs at least 255 bytes.
bool Inquiry(EDriveIndex drive, std::span<uint8_t> reply);

// Identity strings cut from the INQUIRY reply, untrimmed; empty on failure.
std::string InquiryModelName(EDriveIndex drive);  // bytes 8-31
std::string InquiryRevision(EDriveIndex drive);   // bytes 32-35
std::string InquiryDateCode(EDriveIndex drive);   // bytes 40-45
// Two characters from the "ZERV" vendor page, else INQUIRY bytes 38-39.
std::string ReadHardwareId(EDriveIndex drive);
// 0 when the drive does not answer, or never settles on a value of 32 or less.
uint8_t ReadBankNumber(EDriveIndex drive);
// The same on a budget the caller keeps across calls: every query sent takes
// one from queriesLeft, and none is sent once it is spent (the result is 0).
uint8_t ReadBankNumber(EDriveIndex drive, int& queriesLeft);

// The vendor data / kernel report, 65535 bytes.
bool ReadVendorData(EDriveIndex drive, std::span<uint8_t> buffer);
// The feature bit of a drive that keeps a checksum of its firmware.
inline constexpr int kChecksumFeature = 13;
// Feature bit n (0 to 13) of the vendor feature page; the 8-byte reply lands
// in buffer.
bool QueryFeature(EDriveIndex drive, std::span<uint8_t> buffer, int n);
// True when the 8-byte reply begins with "ZE" and its length byte is at least 5.
bool GetFirmwareChecksum(EDriveIndex drive, std::span<uint8_t> buffer);
bool SetFirmwareChecksum(EDriveIndex drive, uint16_t a, uint16_t b);

// PREVENT ALLOW MEDIUM REMOVAL: true prevents removal.
bool SetTrayLock(EDriveIndex drive, bool prevent);
bool LoadTray(EDriveIndex drive);
bool EjectTray(EDriveIndex drive);
// False as well when the drive does not answer.
bool IsTrayOpen(EDriveIndex drive);
bool IsDiscPresent(EDriveIndex drive);

// One 16 KB block of a Philips-format download; b and c go low byte first.
bool WriteFirmwareBlock(EDriveIndex drive, std::span<const uint8_t> data, uint8_t block, uint8_t count,
                        uint16_t b, uint16_t c);
// WRITE BUFFER mode 6 of all of data (at most 65535 bytes) at the offset.
bool WriteBufferOffset(EDriveIndex drive, std::span<const uint8_t> data, uint8_t offHigh, uint16_t offLow);
bool WriteBufferSave(EDriveIndex drive, bool flag);
bool WriteBufferMode1(EDriveIndex drive, uint8_t id);

// Byte 0 of the reply; 0 when the drive does not answer.
uint8_t ReadDriveByte(EDriveIndex drive, uint16_t address);
bool WriteDriveByte(EDriveIndex drive, uint16_t address, uint8_t value);
// MODE SENSE(10) of the capabilities page, 40 bytes.
bool ModeSenseCapabilities(EDriveIndex drive, std::span<uint8_t> buffer);

// How a wait for the drive ended.
enum class EReadyWait {
    kReady,     // the drive is ready, or has no disc, which is ready enough
    kTimedOut,  // the tray is unlocked; the caller prints its own failure
    kStopped,   // the user pressed ESC: the tray is unlocked, the run ends with exit code 0
};

// Polls until the drive is ready, the time is up, or the user presses ESC.
EReadyWait WaitDriveReady(EDriveIndex drive, int seconds);
// The same wait as a step's result: nothing when the drive is ready, the
// run's end when the user pressed ESC, else timedOut.
FlashResult AwaitDriveReady(EDriveIndex drive, int seconds, FlashResult timedOut);

// What the user must do for a drive that cannot do it alone.
enum class ETrayRequest {
    kCloseTray,
    kRemoveDisc,
};
// Asks the user for it; true once the user says it is done. The message
// unit decides how the question shows (AskAboutTray, Flashmsg.h).
using TrayQuestion = bool (*)(ETrayRequest request);

// Makes sure the tray is closed and empty, asking the user where the drive
// cannot do it alone; false when the user declines.
bool PrepareTray(EDriveIndex drive, TrayQuestion ask);

// Sends the image in count 16 KB blocks; nothing on success, else the text to
// print, or the run's end when the user stopped a wait for the drive. A short
// image's last block is sent zero-padded.
FlashResult DownloadFirmware(EDriveIndex drive, std::span<const uint8_t> image, int count,
                                            uint16_t b, uint16_t c);

}  // namespace jv
