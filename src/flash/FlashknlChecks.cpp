// The checks around a flash: the image against its package and the drives
// it is for, and the write protection of the drives that keep one.
#include "flash/Flashknl.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "drive/Winfunc.h"
#include "flash/Flashmsg.h"
#include "package/Firmware.h"

namespace jv {

namespace {

constexpr size_t kModelNameLength = 24;
// Working-memory bytes holding the write-protect bit of the two "LITE"
// drive families; which family a drive is shows in its DVD-ROM read bit.
constexpr uint16_t kLiteDvdAddress = 0x4039;
constexpr uint16_t kLiteCdAddress = 0x423F;
constexpr uint8_t kLiteProtectMask = 0xFD;
constexpr size_t kCapabilitiesDvdByte = 10;
constexpr uint8_t kDvdReadBit = 0x08;

}  // namespace

FlashResult ValidateImage(std::span<const uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                          bool checkChecksum, bool checkModel, std::span<const std::string> availableModels) {
    const auto bytes = image.first(std::min<size_t>(length, image.size()));
    if (checkChecksum && static_cast<uint16_t>(CalcCheckSum(bytes, parameter)) != parameter.HeaderCheckSum) {
        return FlashMessage(kMsgCheckSumError);
    }
    if (checkModel) {
        const std::string model = GetImageModelName(bytes);
        bool listed = false;
        for (size_t i = 0; i < availableModels.size() && !listed; ++i) {
            listed = std::strncmp(model.c_str(), availableModels[i].c_str(), kModelNameLength) == 0;
        }
        if (!listed) return FlashMessage(kMsgDriveUnavailable);
    }
    return std::nullopt;
}

bool PrepareLiteDrive(EDriveIndex drive) {
    if (!IsDriveIndexValid(drive)) return true;
    std::array<uint8_t, 256> inquiry{};
    Inquiry(drive, inquiry);
    if (std::memcmp(&inquiry[8], "LITE", 4) != 0) return true;
    std::array<uint8_t, kCapabilitiesLength> capabilities{};
    // A page that came back without its DVD byte says nothing of which
    // address holds the protection: no byte of the drive is written on a guess.
    if (ModeSenseCapabilities(drive, capabilities) && LastCommandTransferred() <= kCapabilitiesDvdByte) return true;
    const uint16_t address = (capabilities[kCapabilitiesDvdByte] & kDvdReadBit) ? kLiteDvdAddress : kLiteCdAddress;
    const auto value = static_cast<uint8_t>(ReadDriveByte(drive, address) & kLiteProtectMask);
    WriteDriveByte(drive, address, value);
    return true;
}

}  // namespace jv
