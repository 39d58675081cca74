#pragma once
// The one drive access object and the free operations every drive command
// goes through. The route (ASPI, pass-through, SG_IO, virtual drives) is
// provided by the platform binding linked into the program.
#include <cstdint>
#include <vector>

namespace jv {

// Index of a drive in the drive table, in scan order.
using EDriveIndex = uint8_t;

inline constexpr int kMaxDrives = 20;

// Direction codes of a command's data phase.
inline constexpr uint8_t kDirIn = 0x08;
inline constexpr uint8_t kDirOut = 0x10;
inline constexpr uint8_t kDirNone = 0x00;

bool IsDriveIndexValid(EDriveIndex index);

// Runs one 12-byte command block on a drive; true when it completed good.
bool ExecuteOnDrive(EDriveIndex index, const uint8_t command[12], uint8_t* data, uint16_t length,
                    uint8_t direction);

// Sense data of the last command (18 bytes); returns sense byte 2 unmasked.
uint8_t ReadSense(uint8_t sense[18]);

// The drives found at start-up, in scan order.
std::vector<EDriveIndex> ListDriveIndexes();

// True on the pass-through routes (NT family, Linux SG_IO, virtual drives
// presented as pass-through), false on the ASPI route.
bool UsesPassThrough();

}  // namespace jv
