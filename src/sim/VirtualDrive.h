#pragma once
// An emulated ATAPI optical drive. It answers 12-byte command blocks the way
// a drive on the bus does: data, a SCSI status and sense data. It is
// what jorvane-sim, the SG_IO test shim and the tests talk to, so it behaves
// like hardware rather than like a mock: it keeps its own tray, disc, lock
// and ready state, lets time pass through the installed clock, and can be
// told to fail.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/FlashMemory.h"
#include "sim/ReplaySource.h"
#include "sim/VirtualIde.h"

namespace jv::sim {

// Sense data of the last command in the drive's format (all zero after a
// good one). Room for a descriptor sense with its information descriptor.
struct SSense {
    uint8_t bytes[32];
    // The bytes the drive returns: header and additional length.
    size_t Length() const { return bytes[0] ? std::min<size_t>(8u + bytes[7], sizeof bytes) : 0; }
};

inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;

struct SCommandOutcome {
    uint8_t scsiStatus;    // 0 GOOD, 2 CHECK CONDITION
    uint32_t transferred;  // bytes moved in the data phase
    // The drive never answered: no status, no data. The route reports it as
    // its own time-out.
    bool timedOut = false;
    // With timedOut: the drive took the command and went to work, but held
    // its answer past any host's time-out. A host adapter with a time-out of
    // its own gives up on it and says so; one without waits for ever.
    bool held = false;
};

struct STranscriptEntry {
    std::array<uint8_t, 12> cdb;
    uint8_t direction;  // 0x08 in, 0x10 out, 0 none
    uint32_t length;    // as the host gave it
    uint8_t scsiStatus;
    bool timedOut;
    uint64_t atMs;  // clock time when the command arrived
};

// Sense key byte (byte 2), ASC and ASCQ of a failure.
struct SSenseCode {
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    // Bytes 4-6 of a drive that is flashing: the bank or block it is at and
    // the address within it.
    uint8_t block = 0;
    uint16_t address = 0;
};

// The controller decides which flash protocol the drive's firmware speaks.
// Any answers every protocol (and the 16 KB download), the way a drive in a
// packager's dry run is expected to; the others refuse what they do not know.
enum class EController : uint8_t { Any, Mtk, Ali, Mtk2, Mtk3, Mtk4, Mtk5, Mtk6, Mtk7, Philips };

// A failure the drive is told to produce. Either the Nth command of the
// drive's life (counted from 1, every command counts) or every command with
// the given operation code.
struct SFault {
    enum class EKind : uint8_t { NthCommand, Opcode };
    EKind kind = EKind::NthCommand;
    uint32_t nth = 0;
    uint8_t opcode = 0;
    SSenseCode sense{0x05, 0x44, 0x00};
    bool noAnswer = false;  // the command never completes instead
    // The command completes good, but the data it returns is noise.
    bool garble = false;
    // The command takes effect, but its answer never arrives (as noAnswer
    // to the host, without the sense).
    bool held = false;
};

// How the drive answers the command that starts it programming its flash
// (the page protocols' start, the last ALI page, a WRITE BUFFER save).
enum class EFlashStart : uint8_t {
    Answered,  // as the protocol says
    Held,      // it programs, but holds its answer past the host's time-out
    Refused,   // it refuses the start (ILLEGAL REQUEST) and programs nothing
};

// The drive's own firmware answers to the 0x34 "ZE" vendor page.
struct SChecksumReply {
    uint16_t packageValue = 0;  // reply bytes 4-5
    uint16_t imageValue = 0;    // reply bytes 6-7
    uint8_t length = 6;         // reply byte 2
};

// The kernel report of the 0xA3 vendor data command. A drive that carries
// one fails the command and leaves the report in the data buffer.
struct SKernelReport {
    bool present = false;
    uint8_t bank = 0;
    uint16_t address = 0;
    uint16_t length = 0;
};

enum class EHardwareIdPage : uint8_t {
    Zerv,   // the vendor page answers "ZERV" with the id in bytes 18-19
    Other,  // the page answers, but with something that is not "ZERV"
    Fails,  // the page is refused (ILLEGAL REQUEST)
};

// Where a Windows 98 machine's ASPI layer finds the drive.
struct SAspiAddress {
    uint8_t adapter = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
    auto operator<=>(const SAspiAddress&) const = default;
};

// Everything a rig file says about one drive.
struct SDriveConfig {
    std::string name;                // the rig section name
    // INQUIRY byte 0: peripheral qualifier (bits 7-5) and device type (4-0).
    // 05h a CD/DVD drive; 00h a disk, which on an IDE channel is an ATA
    // device (it refuses IDENTIFY PACKET DEVICE and answers IDENTIFY DEVICE).
    uint8_t peripheral = 0x05;
    std::string vendor = "VIRTUAL";  // space padded to 8 on the wire
    std::string product = "DVD-ROM";  // 16
    std::string revision = "1.00";    // 4
    std::string dateCode = "260101";  // 6
    std::string hardwareId = "00";    // 2: the vendor page's id
    std::string inquiryHardwareId;    // INQUIRY bytes 38-39 (2; spaces when empty)
    EHardwareIdPage hardwareIdPage = EHardwareIdPage::Zerv;
    // Successive answers to the bank number query; the last one repeats.
    std::vector<uint8_t> bankReplies{1};
    uint16_t features = 0;  // bit n set = QueryFeature(n) true, n 1..13
    SChecksumReply checksum;
    SKernelReport kernel;
    bool dvd = true;  // capabilities page: DVD-ROM read bit

    bool trayOpen = false;
    bool disc = false;
    bool locked = false;
    // A tray that LoadTray cannot move: it is closed by hand.
    bool trayMotor = true;
    // When set, LoadTray still closes the tray but reports loadSense.
    bool loadComplains = false;
    SSenseCode loadSense{0x06, 0x1D, 0x00};
    // The sense format of a failed command (the D_SENSE bit of the control
    // mode page): fixed, or descriptor with an information descriptor.
    // REQUEST SENSE answers in the format its DESC bit asks for.
    bool descriptorSense = false;
    // Someone standing by: pushes an open tray shut, or takes the disc out
    // of an open tray, this long after the tray opened.
    int64_t handClosesTrayMs = -1;  // -1 never
    int64_t handRemovesDiscMs = -1;

    // Time from power-on until the drive has spun up and is ready; -1 never.
    int64_t readyAfterMs = 0;
    // Time a restart after a firmware download takes; meanwhile the drive
    // answers only INQUIRY, REQUEST SENSE, TEST UNIT READY and event status.
    int64_t rebootMs = 8000;
    // Bytes of firmware flash; with an IDE controller, the chip's own size.
    uint32_t flashSize = 0x200000;
    bool flashSizeGiven = false;
    std::vector<SFault> faults;

    EController controller = EController::Any;
    // Holds the flash contents between runs: read at power-on, written back
    // whenever the drive programs its flash. Without one (or before it
    // exists) the drive is new: its flash holds factory firmware that says
    // what the keys above say, or with flashBlank nothing (erased: the drive
    // runs its boot code alone).
    std::string flashFile;
    bool flashBlank = false;
    // The identity keys hold at power-on while the flash has this
    // fingerprint: the flash a twin was captured with.
    std::optional<uint64_t> capturedFlash;
    // Time the drive takes to erase and program one 64 KB block.
    int64_t blockProgramMs = 1000;
    // Flash faults: the drive never finishes a flash it started; it comes back
    // in its boot code after this many flashes; it reports a check sum that
    // is not the one it was given; power fails after this many programmed
    // bytes (-1: never).
    bool flashStaysBusy = false;
    uint32_t bootAttempts = 0;
    bool wrongChecksum = false;
    // The flash read command moves half of what the host asked, and ends GOOD.
    bool shortRead = false;
    int64_t powerLossAfter = -1;
    EFlashStart flashStart = EFlashStart::Answered;
    // The IDE controller's flash access mode and the chip behind it.
    SIdeConfig ide;
    // Its ASPI address; without one, drive i of the rig sits at adapter
    // i / 8, target i % 8, LUN 0 (AspiAddressOf in Rig.h).
    std::optional<SAspiAddress> aspi;
    // replay = FILE: the drive answers from this trace alone (ReplaySource.h).
    std::string replayFile;
};

class VirtualDrive {
public:
    explicit VirtualDrive(SDriveConfig config);

    // direction: 0x08 data in, 0x10 data out, 0 none; data/length as the host
    // gives them. Never reads or writes data past length.
    SCommandOutcome Execute(const uint8_t cdb[12], uint8_t direction, uint8_t* data, uint32_t length);
    const SSense& LastSense() const { return sense_; }
    const std::vector<STranscriptEntry>& Transcript() const { return transcript_; }
    void ClearTranscript() { transcript_.clear(); }

    const SDriveConfig& Config() const { return config_; }
    // From now on the drive answers from a trace; nullptr for a drive of its own.
    void SetReplay(std::unique_ptr<ReplaySource> replay) { replay_ = std::move(replay); }
    ReplaySource* Replay() const { return replay_.get(); }
    void InjectFault(const SFault& fault) { config_.faults.push_back(fault); }
    void ClearFaults() { config_.faults.clear(); }

    // The 96 bytes of standard INQUIRY data the drive holds.
    std::array<uint8_t, 96> InquiryData() const;

    bool TrayOpen();
    bool DiscPresent();
    bool Locked() const { return locked_; }
    bool Ready();
    uint32_t CommandCount() const { return commandCount_; }
    uint32_t RebootCount() const { return rebootCount_; }
    uint16_t LastChecksumA() const { return setChecksumA_; }
    uint16_t LastChecksumB() const { return setChecksumB_; }

    // Hand actions of a test: someone pushes the tray or swaps the disc.
    void SetTrayOpen(bool open);
    void SetDisc(bool present);

    // The drive's firmware flash, and the last image a 16 KB download gave it.
    const FlashMemory& Flash() const { return flash_; }
    FlashMemory& Flash() { return flash_; }
    const std::vector<uint8_t>& DownloadedImage() const { return downloaded_; }
    // The download values of the last completed download (b and c).
    uint16_t DownloadB() const { return downloadB_; }
    uint16_t DownloadC() const { return downloadC_; }

    EController Controller() const { return config_.controller; }
    // "BOOT" drives: the firmware did not start (after a power loss it never
    // becomes ready; otherwise it answers as a drive without a disc).
    bool InBootCode() const { return boot_ != EBoot::None; }
    // Flashes the drive has finished, and bytes it has programmed, since power-on.
    uint32_t FlashCount() const { return flashCount_; }
    uint64_t ProgrammedBytes() const { return programmedBytes_; }
    bool Flashing() const { return job_.active; }

    // One byte of the drive's working memory (vendor byte commands).
    uint8_t DriveByte(uint16_t address) const { return ram_[address]; }
    void SetDriveByte(uint16_t address, uint8_t value) { ram_[address] = value; }

private:
    struct SReply {
        uint8_t status = kStatusGood;
        uint32_t transferred = 0;
        SSenseCode sense{};
    };
    using Handler = SReply (VirtualDrive::*)(const uint8_t* cdb, uint8_t direction, uint8_t* data,
                                             uint32_t length);

    static SReply Good(uint32_t transferred = 0) { return {kStatusGood, transferred, {}}; }
    static SReply Check(SSenseCode sense, uint32_t transferred = 0) {
        return {kStatusCheckCondition, transferred, sense};
    }
    // Copies as much of a reply as the host asked for.
    uint32_t Reply(const uint8_t* source, uint32_t size, uint8_t* data, uint32_t length) const;

    // Lets the time since the last command act: hands at the tray.
    void Advance(uint64_t now);
    void TrayMoved(bool open, uint64_t now);
    bool Rebooting(uint64_t now) const;
    // NOT READY sense of the drive's condition, or key 0 when it is ready.
    SSenseCode Condition(uint64_t now) const;
    SReply Dispatch(const uint8_t* cdb, uint8_t direction, uint8_t* data, uint32_t length);
    // Notes a command whose answer never reaches the host.
    SCommandOutcome Unanswered(STranscriptEntry& entry, bool held);

    SReply TestUnitReady(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply RequestSense(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply Inquiry(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply StartStopUnit(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply PreventAllow(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply WriteBuffer(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply GetEventStatus(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply ModeSense10(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply VendorByte(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply DownloadBlock(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply VendorPage38(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply VendorPage34(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply Reboot();
    // The start of programming, answered as the rig's flash_start says:
    // true when the drive should go on and start.
    bool TakeStart(SReply& refusal);
    void Restart(uint64_t at, bool announce);

    // The firmware side of the flash protocols (AtapiFlashSide.cpp).
    enum class EBoot : uint8_t { None, Ready, Broken };
    enum class EJobEnd : uint8_t { Restart, Ready, AwaitAck };
    struct SFlashJob {
        bool active = false;
        uint64_t start = 0;
        uint64_t end = 0;        // programming done
        uint64_t settleEnd = 0;  // reporting the last block until then
        uint32_t firstBlock = 0;
        uint32_t endBlock = 0;
        EJobEnd after = EJobEnd::Restart;
        bool announce = true;  // the restart behind it raises a unit attention
    };
    enum class ECommandSet : uint8_t { Page, ReadBlock, KernelPiece, Ali, WriteBufferMode1, WriteBufferOffsets,
                                       Download };
    bool Speaks(ECommandSet set) const;
    SReply Refuse(ECommandSet set) const;
    SReply WriteFlashPage(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply StartFlash(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply ReadFlashBlock(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply WriteKernelPiece(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    SReply WriteAliPage(const uint8_t*, uint8_t, uint8_t*, uint32_t);
    void Stage(uint32_t address, const uint8_t* data, uint32_t count);
    void ClearStaging();
    uint16_t StagedSum() const;
    // Erases what the staged pieces touch and programs them; false when the
    // power failed on the way.
    bool ProgramStaged();
    bool Burn(uint32_t address, std::span<const uint8_t> data);
    void LosePower();
    void BeginJob(uint32_t firstBlock, uint32_t endBlock, EJobEnd after);
    void SettleJob(uint64_t now);
    void FinishFlash(uint64_t at);
    bool TakeIdentityFromFlash();
    void LoadFlashFile();
    void FactoryFlash();
    void SaveFlashFile() const;
    SSenseCode FlashCondition(uint64_t now) const;

    SDriveConfig config_;
    SSense sense_{};
    std::unique_ptr<ReplaySource> replay_;
    SSenseCode pendingSense_{};  // of the last failure, for REQUEST SENSE
    std::vector<STranscriptEntry> transcript_;
    std::map<uint8_t, Handler> handlers_;
    uint64_t now_ = 0;  // clock time of the command being answered
    uint8_t direction_ = 0;

    bool trayOpen_;
    bool disc_;
    bool locked_;
    uint64_t readyAtMs_ = 0;     // spun up and ready from then on
    uint64_t rebootedAtMs_ = 0;  // restarting until then
    uint64_t trayOpenedMs_ = 0;
    uint8_t pendingMediaEvent_ = 0;
    bool unitAttention_ = false;
    bool lastFailed_ = false;
    // The command being answered took effect but its answer is held back.
    bool holdAnswer_ = false;
    uint32_t commandCount_ = 0;
    uint32_t rebootCount_ = 0;
    size_t bankQuery_ = 0;
    uint16_t setChecksumA_ = 0;
    uint16_t setChecksumB_ = 0;

    FlashMemory flash_;
    std::vector<uint8_t> ram_;
    // 16 KB download in progress.
    std::vector<uint8_t> incoming_;
    uint32_t nextBlock_ = 0;
    uint32_t blockCount_ = 0;
    uint16_t incomingB_ = 0;
    uint16_t incomingC_ = 0;
    std::vector<uint8_t> downloaded_;
    uint16_t downloadB_ = 0;
    uint16_t downloadC_ = 0;
    // Pieces of a new image the drive has taken but not yet programmed:
    // address to length (a piece sent again replaces the earlier one).
    std::vector<uint8_t> staging_;
    std::map<uint32_t, uint32_t> staged_;
    std::array<bool, 256> pagesSeen_{};
    uint32_t pageCount_ = 0;
    int halfPageOpen_ = -1;  // the page whose first half came last, if any
    bool halfPages_ = false;  // the image came in MTK6's half pages
    uint32_t aliNextPage_ = 1;
    uint32_t aliPageCount_ = 0;
    bool downloadMode_ = false;
    SFlashJob job_;
    EBoot boot_ = EBoot::None;
    uint32_t bootAttemptsLeft_ = 0;
    uint32_t flashCount_ = 0;
    uint64_t programmedBytes_ = 0;
    bool checksumSet_ = false;
};

}  // namespace jv::sim
