#pragma once
// A simulated machine's registry kept in a file, in the text form the
// registry editor of the Windows 98 family exports, so that a packager can
// write it by hand or paste it from a real machine, and so that what one run
// writes is what the next run reads:
//
//   REGEDIT4
//
//   ; the drive's device key and one instance key
//   [HKEY_LOCAL_MACHINE\Enum\SCSI\ZERV____DVD-RW_QLX-1600_1\0001]
//   "RevisionLevel"="1.02"
//   "AutoInsertNotification"=hex:01
//
// Only that much of the format is understood: the REGEDIT4 line, blank
// lines, ';' comments, key lines under HKEY_LOCAL_MACHINE, string values
// ("\\" and "\"" escaped) and binary values (hex:, continued on the next line
// after a trailing '\'). Anything else is refused with the line it is on.
#include <string>

#include "platform/Registry.h"

namespace jv::sim {

// Files larger than this are refused rather than read.
inline constexpr size_t kMaxRegistryFileBytes = 1 << 20;

// Fills registry from the text; false with "line N: ..." on a text it does
// not understand, and then the registry is left empty.
bool ParseRegistryText(const std::string& text, MemoryRegistry& registry, std::string& error);
// The registry as a file's text, CR LF line ends.
std::string RegistryText(const MemoryRegistry& registry);

// A missing file is an empty registry (true). An unreadable or bad file is
// false with an error naming the file.
bool LoadRegistryFile(const std::string& path, MemoryRegistry& registry, std::string& error);
// Writes a sibling file and renames it over the old one.
bool SaveRegistryFile(const std::string& path, const MemoryRegistry& registry);

// A file named in a rig: beside the rig file when relative.
std::string BesideRig(const std::string& rigPath, const std::string& file);

}  // namespace jv::sim
