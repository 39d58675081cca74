#include "flash/Flashknl.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "driver/Settings.h"
#include "drive/Winfunc.h"
#include "flash/Flashmcu.h"
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

FlashResult FlashImage(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                       SFlashOptions options, bool updater) {
    SetMessageTable(options.silent != 0);
    if (options.atapiFlash) return FlashAtapi(drive, image, length, parameter, options, updater);

    // Every pass runs; the last one decides.
    FlashResult result;
    for (uint32_t pass = 0; pass < options.repeatCount; ++pass) {
        if (parameter.IdeFlashType == 0) return FlashMessage(kMsgIdeTypeUnsupported);
        result = FlashIdeJob(drive, image, length, parameter, options);
    }
    return result;
}

FlashResult FlashIdeJob(EDriveIndex, std::span<uint8_t>, uint32_t, const SYTRParameter&, const SFlashOptions&) {
    // The register-level route is not in this build yet. Until it is, a job
    // must not look as if it wrote anything.
    return FlashMessage(kMsgIdeTypeUnsupported);
}

FlashResult ValidateImage(std::span<const uint8_t> image, uint32_t length, const SYTRParameter& parameter,
                          bool checkChecksum, bool checkModel) {
    const auto bytes = image.first(std::min<size_t>(length, image.size()));
    if (checkChecksum && static_cast<uint16_t>(CalcCheckSum(bytes, parameter)) != parameter.HeaderCheckSum) {
        return FlashMessage(kMsgCheckSumError);
    }
    if (checkModel) {
        const std::string model = GetImageModelName(bytes);
        const char* const* models = ModelList();
        bool listed = false;
        for (int i = 0; i < ModelListCount() && !listed; ++i) {
            listed = std::strncmp(model.c_str(), models[i], kModelNameLength) == 0;
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
    ModeSenseCapabilities(drive, capabilities);
    const uint16_t address = (capabilities[kCapabilitiesDvdByte] & kDvdReadBit) ? kLiteDvdAddress : kLiteCdAddress;
    const auto value = static_cast<uint8_t>(ReadDriveByte(drive, address) & kLiteProtectMask);
    WriteDriveByte(drive, address, value);
    return true;
}

// The IDE register layer is not in yet; until it is, the entry has no chip
// to identify and leaves the drive alone.
void IdeDriveEntry(EDriveIndex, int, bool, bool) {}

}  // namespace jv
