#pragma once
// How commands reach the drives on this machine. The drive access object
// owns one route for the whole run; each route keeps its own device state
// (open handle, ASPI request block, pass-through buffer), the sense data of
// its last command and what that command's outcome says about the drive.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Sense.h"

namespace jv {

// Direction codes of a command's data phase (the ASPI direction flags).
inline constexpr uint8_t kDirIn = 0x08;
inline constexpr uint8_t kDirOut = 0x10;
inline constexpr uint8_t kDirNone = 0x00;

// What a route's Execute returns. Every route speaks the numbers of the ASPI
// layer's request status, the first the program ran on, so that the layers
// above know one set: 1 is the only good outcome on every route.
inline constexpr uint8_t kStatusNotSent = 0;  // no answer came (time-out, transport failure)
inline constexpr uint8_t kStatusGood = 1;
// Any other value failed too: SG_IO and pass-through return the drive's SCSI
// status byte (kScsiCheckCondition, kScsiReservationConflict, BUSY ...), the
// ASPI layer its own code (kStatusAspiError when the drive said CHECK
// CONDITION, or the layer's refusal).
inline constexpr uint8_t kStatusAspiError = 4;

// One row of the drive table, filled by the route's scan.
struct SDriveEntry {
    char devicePath[12] = {};  // pass-through: "\\.\E:"; SG_IO: "/dev/sr0"
    uint8_t adapter = 0;       // ASPI address
    uint8_t target = 0;
    uint8_t lun = 0;
    char identity[29] = {};  // vendor + product (+ revision on ASPI) as the scan read it
    char revision[4] = {};   // pass-through only
};

// A device node the scan could not use, and the system's reason.
struct SInaccessibleNode {
    std::string device;
    std::string reason;
};

// Peripheral byte (INQUIRY byte 0) of a CD/DVD drive: device type 5, and
// qualifier 0, a unit that is there. Nothing else is listed or flashed.
inline constexpr uint8_t kPeripheralCdDvd = 0x05;

// Where a drive sits on an IDE channel: the task-file block (8 ports), the
// device control / alternate status port and the device (0 master, 1 slave).
struct SIdeLocation {
    uint16_t taskFile = 0;
    uint16_t control = 0;
    uint8_t device = 0;
};

// The two channels of a controller in compatibility mode.
inline constexpr SIdeLocation kLegacyPrimary{0x1F0, 0x3F6, 0};
inline constexpr SIdeLocation kLegacySecondary{0x170, 0x376, 0};

// What the last command tells about the drive. A drive may take a command
// and then hold its answer past every time-out while it works (a flash
// start does this), and a host adapter, driver or bus may lose a command
// either way; only a refusal in the drive's own words says it did nothing.
enum class ECommandOutcome : uint8_t {
    Good,       // completed with GOOD status
    Refused,    // CHECK CONDITION with sense the drive returned, key other than
                // NO SENSE, RECOVERED ERROR, NOT READY or UNIT ATTENTION; or
                // RESERVATION CONFLICT
    NoVerdict,  // anything else: time-out, no answer, host or transport error,
                // reset, abort, BUSY, NOT READY, UNIT ATTENTION, a CHECK
                // CONDITION without sense data
};

inline constexpr uint8_t kScsiGood = 0x00;
inline constexpr uint8_t kScsiCheckCondition = 0x02;
inline constexpr uint8_t kScsiReservationConflict = 0x18;

// Classifies a SCSI status byte and the sense bytes that came with it.
// Sense counts only when the drive wrote it: a route clears its sense area
// before every command, and an area whose response code is not one of the
// sense formats holds nothing the drive said.
constexpr ECommandOutcome ClassifyScsiStatus(uint8_t scsiStatus, std::span<const uint8_t> sense) {
    if (scsiStatus == kScsiGood) return ECommandOutcome::Good;
    // The drive is reserved for another host: it did not run the command.
    if (scsiStatus == kScsiReservationConflict) return ECommandOutcome::Refused;
    // BUSY, TASK SET FULL and the rest: it may try again, or be at work.
    if (scsiStatus != kScsiCheckCondition) return ECommandOutcome::NoVerdict;
    const SSense parsed = ParseSense(sense);
    if (!parsed.valid) return ECommandOutcome::NoVerdict;
    switch (parsed.key) {
        case 0x00:  // NO SENSE: nothing was said
        case 0x01:  // RECOVERED ERROR: the command did complete
        case 0x02:  // NOT READY: busy, e.g. with a write
        case 0x06:  // UNIT ATTENTION: reset, power-on, media change
            return ECommandOutcome::NoVerdict;
        default:
            return ECommandOutcome::Refused;
    }
}

// What a route knows of its last command besides the status it returned,
// the sense and the outcome: the bytes its data phase really moved, and why
// it failed where the drive itself said nothing. Kept whole per command, so
// whoever records commands at this seam has all of it.
struct SCommandDetail {
    // Bytes the data phase moved, as the system counted them; never more
    // than the length asked, 0 for a command without data or one that never
    // reached the drive. A system that cannot count (an ASPI layer without
    // residual counts) leaves it at the length asked.
    uint32_t transferred = 0;
    bool answered = false;   // the drive's status byte came back
    uint8_t scsiStatus = 0;  // that byte
    // No answer came within this many seconds; 0 when that was not it.
    uint32_t timeoutSeconds = 0;
    // The system's own words for a failure beneath the drive (the call, the
    // driver, the host adapter); empty when there was none.
    std::string transport;
};

class DriveRoute;

// Sees every command a route sends, the scan's own among them. A trace
// records commands here, where the route itself still knows the drive's
// name and what its system counted.
class CommandWitness {
public:
    virtual ~CommandWitness() = default;
    // Just before a command goes out.
    virtual void Sending() = 0;
    // Once it is over: device names the drive as the route knows it, status
    // is what the route returns for the command, and the route's CopySense
    // and LastDetail tell the rest. data holds what was sent (data out) or
    // what came back (data in); it is null for a command without data.
    virtual void Sent(const DriveRoute& route, std::string_view device, const uint8_t command[12],
                      const uint8_t* data, uint16_t length, uint8_t direction, uint8_t status) = 0;
};

class DriveRoute {
public:
    virtual ~DriveRoute() = default;
    // The system this route reaches drives through ("SG_IO", "ASPI", ...),
    // for whoever records its commands.
    virtual const char* Name() const { return "unknown"; }
    // Every command the route sends from now on, the scan's included, is
    // shown to the witness; nullptr shows none. The witness must outlive
    // the route or be taken away first.
    void SetWitness(CommandWitness* witness) { witness_ = witness; }
    // Finds the drives in scan order and fills the table from the front;
    // returns the rows used. The scan stops when the table is full.
    virtual int Scan(std::span<SDriveEntry> table) = 0;
    // Makes a table row the current device.
    virtual void Select(const SDriveEntry& entry) = 0;
    // Runs one command on the current device; returns one of the Execute
    // statuses above (kStatusGood alone is success).
    virtual uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) = 0;
    // Copies the last command's sense bytes, as many as the drive returned
    // (or the route's sense area holds) and fit; returns how many.
    virtual size_t CopySense(std::span<uint8_t> sense) const = 0;
    // The outcome of the last command, from what this route's system said.
    virtual ECommandOutcome LastOutcome() const = 0;
    // The rest of what the system said of the last command. Bytes past the
    // count a data-in command moved are set to 0 by Execute when it
    // completed good: whatever a driver left there is not the drive's.
    virtual const SCommandDetail& LastDetail() const = 0;
    // The ASPI layer needs window messages pumped; other routes do nothing.
    virtual void PumpMessages() {}
    // Device nodes the last scan found but could not use (no access, no
    // answer), for the listing; routes that cannot tell keep none.
    virtual std::vector<SInaccessibleNode> InaccessibleNodes() const { return {}; }
    // Where the system says the drive of table row index sits on an IDE
    // channel: empty when it said, else why not (one line, no line feed).
    // A route whose system cannot say (the Windows ones: their ports are
    // inert) takes the order of the table: row i on channel i / 2, master
    // for even i. Whatever the answer, the drive must still be identified
    // at those ports before anything is written to them.
    virtual std::string LocateIde(const SDriveEntry& entry, int index, SIdeLocation& location) {
        (void)entry;
        if (index < 0 || index >= 4) return "This drive is on no IDE channel the program can reach.";
        location = index < 2 ? kLegacyPrimary : kLegacySecondary;
        location.device = static_cast<uint8_t>(index % 2);
        return {};
    }

protected:
    // Each route calls these around every command it sends.
    void WitnessSending() {
        if (witness_) witness_->Sending();
    }
    void WitnessSent(std::string_view device, const uint8_t command[12], const uint8_t* data, uint16_t length,
                     uint8_t direction, uint8_t status) const {
        if (witness_) witness_->Sent(*this, device, command, data, length, direction, status);
    }

private:
    CommandWitness* witness_ = nullptr;
};

// Provided by the platform binding linked into each program: whether this
// machine's route is a pass-through one, and that route.
bool DetectPassThroughPlatform();
std::unique_ptr<DriveRoute> MakePlatformDriveRoute(bool usesPassThrough);

// Clears what lies past the bytes a good data-in command moved: a driver may
// leave there what it likes, and none of it came from the drive.
inline void ClearPastTransfer(uint8_t* data, uint16_t length, uint32_t transferred) {
    if (data && transferred < length) std::fill(data + transferred, data + length, uint8_t{0});
}

// Copies a text into a fixed field, cut to fit, always ended. The length is
// known before anything is copied, so no byte past the text is looked at.
template <size_t N>
void CopyField(char (&field)[N], std::string_view text) {
    const size_t count = std::min(text.size(), N - 1);
    std::copy_n(text.data(), count, field);
    std::fill(field + count, field + N, '\0');
}

}  // namespace jv
