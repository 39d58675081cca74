#pragma once
// How commands reach the drives on this machine. The drive access object
// owns one route for the whole run; each route keeps its own device state
// (open handle, ASPI request block, pass-through buffer), the sense data of
// its last command and what that command's outcome says about the drive.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace jv {

// Direction codes of a command's data phase (the ASPI direction flags).
inline constexpr uint8_t kDirIn = 0x08;
inline constexpr uint8_t kDirOut = 0x10;
inline constexpr uint8_t kDirNone = 0x00;

// Status of a route's Execute: 1 is the only good outcome on every route.
inline constexpr uint8_t kStatusGood = 1;

// One row of the drive table, filled by the route's scan.
struct SDriveEntry {
    char devicePath[12] = {};  // pass-through: "\\.\E:"; SG_IO: "/dev/sr0"
    uint8_t adapter = 0;       // ASPI address
    uint8_t target = 0;
    uint8_t lun = 0;
    char identity[29] = {};  // vendor + product (+ revision on ASPI) as the scan read it
    char revision[4] = {};   // pass-through only
};

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
    if (scsiStatus != kScsiCheckCondition || sense.size() < 3) return ECommandOutcome::NoVerdict;
    uint8_t key = 0;
    switch (sense[0] & 0x7F) {
        case 0x70:  // fixed format, current or deferred
        case 0x71:
            key = sense[2] & 0x0F;
            break;
        case 0x72:  // descriptor format
        case 0x73:
            key = sense[1] & 0x0F;
            break;
        default:
            return ECommandOutcome::NoVerdict;
    }
    switch (key) {
        case 0x00:  // NO SENSE: nothing was said
        case 0x01:  // RECOVERED ERROR: the command did complete
        case 0x02:  // NOT READY: busy, e.g. with a write
        case 0x06:  // UNIT ATTENTION: reset, power-on, media change
            return ECommandOutcome::NoVerdict;
        default:
            return ECommandOutcome::Refused;
    }
}

class DriveRoute {
public:
    virtual ~DriveRoute() = default;
    // Finds the drives in scan order and fills the table from the front;
    // returns the rows used. The scan stops when the table is full.
    virtual int Scan(std::span<SDriveEntry> table) = 0;
    // Makes a table row the current device.
    virtual void Select(const SDriveEntry& entry) = 0;
    // Runs one command on the current device: 1 completed good, 2 CHECK
    // CONDITION (or another SCSI status), 4 ASPI error, 0 transport failure.
    virtual uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t direction) = 0;
    // The first 18 bytes of the last command's sense area.
    virtual void CopySense(uint8_t sense[18]) const = 0;
    // The outcome of the last command, from what this route's system said.
    virtual ECommandOutcome LastOutcome() const = 0;
    // The ASPI layer needs window messages pumped; other routes do nothing.
    virtual void PumpMessages() {}
};

// Provided by the platform binding linked into each program: whether this
// machine's route is a pass-through one, and that route.
bool DetectPassThroughPlatform();
std::unique_ptr<DriveRoute> MakePlatformDriveRoute(bool usesPassThrough);

// Copies a NUL-terminated text into a fixed field, cut to fit, always ended.
template <size_t N>
void CopyField(char (&field)[N], const char* text) {
    size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = '\0';
}

}  // namespace jv
