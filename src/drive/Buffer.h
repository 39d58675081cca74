#pragma once
// The drive table of this run: the drives the route's scan found, the
// nodes it could not use, where a drive sits on an IDE channel and which
// kind of route reaches them. The route (ASPI, pass-through, SG_IO, virtual
// drives) is provided by the platform binding linked into the program; the
// object that owns it, and every command's path to it, are Winfunc's.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DriveRoute.h"

namespace jv {

// Index of a drive in the drive table, in scan order.
using EDriveIndex = uint8_t;

inline constexpr int kMaxDrives = 20;

bool IsDriveIndexValid(EDriveIndex index);

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

}  // namespace jv
