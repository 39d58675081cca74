#pragma once
// The auto-insert notification of Windows 95/98/ME: it must be off while a
// drive is flashed. The drive's device key is found in the registry from the
// drive's identity; the ASPI machines are the only ones that run this.
#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace jv {

inline constexpr uint8_t kAutoInsertOff = 0;
inline constexpr uint8_t kAutoInsertOn = 1;
inline constexpr uint8_t kAutoInsertUnknown = 2;

// "Enum\SCSI\" and the first 25 characters of the device name (model name
// and version), spaces made "_".
std::string DriveKeyPath(const std::string& deviceName);

// Opens the instance key whose "RevisionLevel" matches the device name's
// version; the caller closes it.
bool OpenDriveKey(const std::string& deviceName, Registry::Key& instanceKey);

// 0 or 1 as the registry holds it; 2 when there is nothing to read.
uint8_t ReadAutoInsert(const std::string& deviceName);
bool WriteAutoInsert(const std::string& deviceName, uint8_t value);

// Before an update: switches a notification that is on off and tells the
// user to restart. True when the run must end there.
bool SwitchOffAutoInsert(const std::string& deviceName);
// After a successful flash: asks (unless silent) and switches it back on.
void OfferAutoInsertOn(const std::string& deviceName, bool silent);

}  // namespace jv
