#pragma once
// Where a Linux block device sits on an IDE channel, as sysfs shows it: the
// ATA port libata put it on, its device number there (master or slave), and
// the I/O ports of that port's channel (the legacy ones of a controller in
// compatibility mode, the PCI BARs of one in native mode). Anything that has
// no such registers (AHCI, USB, SCSI, another bus) is refused.
#include <string>

#include "platform/DriveRoute.h"

namespace jv {

inline constexpr const char* kSysfsRoot = "/sys";

// The block device major:minor, named node in messages. Empty when sysfs
// shows where it sits (location filled), else why not: one line ending in
// ", so the IDE route is refused." The root is a parameter so that a test
// can hand in a tree of its own.
std::string LocateIdeInSysfs(const std::string& root, unsigned major, unsigned minor, const std::string& node,
                             SIdeLocation& location);

}  // namespace jv
