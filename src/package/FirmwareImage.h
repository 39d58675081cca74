#pragma once
// Firmware images of this project's own making: filler bytes around the boot
// loader's information block and the firmware's own. The sample package
// carries one, and a virtual drive fresh from the factory holds one that says
// what the drive reports. They run on nothing but a virtual drive.
#include <cstdint>
#include <string>
#include <vector>

#include "package/Firmware.h"

namespace jv {

// What the firmware's block says; a text longer than its field is cut.
struct SFirmwareIdentity {
    std::string vendor;      // 8, space padded in the model name
    std::string product;     // 16, space padded
    std::string version;     // 4
    std::string dateCode;    // 6
    std::string hardwareId;  // 2
};

// Both blocks lie in the first 16 KB: every way of reading a flash back
// reaches them, through a package as short as one ALI page too.
inline constexpr uint32_t kBootInfoBlockAt = 0x100;
inline constexpr uint32_t kFirmwareInfoBlockAt = 0x1000;
inline constexpr uint32_t kFirmwareImageMin = kFirmwareInfoBlockAt + kInfoBlockLength;

// size bytes of filler that never holds the byte 05, so that the boot
// loader's block ("BOOT") and the firmware's behind it are the only blocks a
// reader finds. The last two bytes of every whole 64 KB bank are 0: the page
// protocols never send them. Empty when size is below kFirmwareImageMin.
std::vector<uint8_t> BuildFirmwareImage(const SFirmwareIdentity& identity, uint32_t size);

}  // namespace jv
