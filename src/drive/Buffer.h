#pragma once
// The one drive access object and the free operations every drive command
// goes through. The route (ASPI, pass-through, SG_IO, virtual drives) is
// provided by the platform binding linked into the program.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "drive/Sense.h"
#include "platform/DriveRoute.h"

namespace jv {

// Index of a drive in the drive table, in scan order.
using EDriveIndex = uint8_t;

inline constexpr int kMaxDrives = 20;

bool IsDriveIndexValid(EDriveIndex index);

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

// The drives found at start-up, in scan order.
std::vector<EDriveIndex> ListDriveIndexes();

// Device nodes the scan found but could not use, with the system's reason.
std::vector<SInaccessibleNode> InaccessibleNodes();

// Where the system says a drive of the table sits on an IDE channel: empty
// when it said, else why not. Nothing is sent to the drive.
std::string LocateDriveOnIde(EDriveIndex drive, SIdeLocation& location);

// True on the pass-through routes (NT family, Linux SG_IO, virtual drives
// presented as pass-through), false on the ASPI route.
bool UsesPassThrough();

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

}  // namespace jv
