#pragma once
// Whose registers the register route may touch. On a machine whose primary
// channel in compatibility mode holds the system disk, a drive number alone
// would send vendor commands, a reset and a chip erase to that disk. So the
// chosen drive is first found where the system says it sits (its ATA port,
// device and the port's I/O addresses), then asked at those ports who it is
// (IDENTIFY PACKET DEVICE, whose model must be the drive's INQUIRY vendor and
// product). Only then does the program hold the channel, and the access
// routines reach the held registers and nothing else.
#include <cstdint>
#include <optional>
#include <string>

#include "drive/Winfunc.h"
#include "flash/FlashmcuIde.h"

namespace jv {

// Bound of the whole identification, from selecting the device to its last
// data word.
inline constexpr uint32_t kIdentifyWaitMs = 2000;

// Finds, identifies and holds the channel of a drive the scan found: nothing
// when its registers are now the program's, else why not (one line, no line
// feed). Before the device at the ports has identified itself as the drive,
// the only writes are its device select and IDENTIFY PACKET DEVICE.
std::optional<std::string> ClaimIdeChannel(EDriveIndex drive);

// The register record of a channel and device.
IORegisterSetting IdeRegistersAt(const SIdeLocation& location);

// Holds a channel for a drive. ClaimIdeChannel does so once the drive was
// proven there; tests of the register routines hold one themselves.
void HoldIdeChannel(EDriveIndex drive, const SIdeLocation& location);
void ReleaseIdeChannel();
// The registers held for the drive; nullptr when none are.
const IORegisterSetting* HeldIdeRegisters(EDriveIndex drive);
// When the held drive is the slave of its channel: the drive of the table
// the system places as master of the same channel, if any.
std::optional<EDriveIndex> HeldChannelMaster(EDriveIndex drive);

// The identification at the ports alone: empty when the device there answers
// IDENTIFY PACKET DEVICE as a CD/DVD drive whose model is identity (blanks
// do not count), else why not. where names the ports in the texts.
std::string IdentifyAtPorts(const IORegisterSetting& registers, const std::string& identity,
                            const std::string& where);

// The model of an IDENTIFY reply (words 27 to 46, each high byte first) and
// the vendor and product of an INQUIRY reply, each with its blanks
// collapsed, for comparing and for showing.
std::string IdentifyModel(const uint16_t (&words)[256]);
std::string InquiryVendorProduct(const uint8_t* inquiry);

}  // namespace jv
