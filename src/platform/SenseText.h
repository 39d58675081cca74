#pragma once
// The words for what a drive said in its sense data, for every message that
// tells the user why a command failed and for whatever prints recorded
// commands: the sense key's name and the three codes, "HARDWARE ERROR
// (04/44/00)", followed by the host SCSI library's text for the additional
// sense code where the platform has one (libsgutils2 on Linux): "HARDWARE
// ERROR (04/44/00), Internal target failure". Elsewhere (Windows, the
// simulator) the key's name and the codes alone, the same on every host.
#include <cstdint>
#include <string>
#include <string_view>

namespace jv {

// "HARDWARE ERROR" for 4; the flag bits above the key are no part of it.
std::string_view SenseKeyName(uint8_t key);

std::string SenseText(uint8_t key, uint8_t asc, uint8_t ascq);

// Provided by the platform binding linked into each program: the host
// library's text for an additional sense code and qualifier, empty where it
// has none.
std::string AdditionalSenseText(uint8_t asc, uint8_t ascq);

}  // namespace jv
