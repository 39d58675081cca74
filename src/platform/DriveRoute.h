#pragma once
// How commands reach the drives on this machine. The drive access object
// owns one route for the whole run; each route keeps its own device state
// (open handle, ASPI request block, pass-through buffer) and the sense data
// of its last command.
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
