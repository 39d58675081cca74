#include "readback/Twin.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "drive/Winfunc.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "sim/FlashMemory.h"
#include "util/Tool.h"

namespace jv {

namespace {

constexpr uint16_t kHardwareIdPageLength = 20;
constexpr int kLastFeature = 13;
// The capabilities page's DVD-ROM read bit: a LITE drive's flash preparation
// goes by it.
constexpr size_t kCapabilitiesDvdByte = 10;
constexpr uint8_t kDvdReadBit = 0x08;

// The rig's controller names, by flash type.
constexpr const char* kAtapiControllers[] = {nullptr, "mtk", "ali", "mtk2", "mtk3", "mtk4", "mtk5", "mtk6", "mtk7"};
constexpr const char* kIdeControllers[] = {nullptr, "mtk", "ali", "ali2", "mtk2"};

// INQUIRY bytes [first, first + count) up to the first NUL, as the program
// reads its identity strings.
std::string Field(std::span<const uint8_t> reply, size_t first, size_t count) {
    const char* text = reinterpret_cast<const char*>(reply.data() + first);
    return std::string(text, strnlen(text, count));
}

// A rig value in quotes, so that the padding spaces stay; a quote or a
// control character could not be read back and becomes a space.
std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) out += (c == '"' || static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    return out + "\"";
}

std::string Where(EDriveIndex drive) {
    const SDriveEntry& entry = TheAtapi().Entry(drive);
    if (entry.devicePath[0] != '\0') {
        return Format("drive %u (%s)", drive, std::string(entry.devicePath, strnlen(entry.devicePath, sizeof entry.devicePath)).c_str());
    }
    return Format("drive %u (ASPI %u:%u:%u)", drive, entry.adapter, entry.target, entry.lun);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<STwinIdentity> ReadTwinIdentity(EDriveIndex drive) {
    // A drive the scan did not see fails its INQUIRY, saying so.
    std::array<uint8_t, 256> reply{};
    if (!Inquiry(drive, reply)) return std::nullopt;
    STwinIdentity twin;
    twin.vendor = Field(reply, 8, 8);
    twin.product = Field(reply, 16, 16);
    twin.revision = Field(reply, 32, 4);
    twin.inquiryHardwareId = Field(reply, 38, 2);
    twin.dateCode = Field(reply, 40, 6);

    // Which form of the vendor page answers decides where the updater finds
    // the hardware ID; the twin answers in the same form.
    std::array<uint8_t, kHardwareIdPageLength> page{};
    if (!ExecuteOnDrive(drive, kCmdHardwareId.data(), page.data(), kHardwareIdPageLength, kDirIn)) {
        twin.hardwareIdPage = "fails";
    } else if (LastCommandTransferred() == kHardwareIdPageLength && std::memcmp(page.data(), "ZERV", 4) == 0) {
        twin.hardwareIdPage = "zerv";
        twin.hardwareId = std::string(reinterpret_cast<const char*>(page.data() + 18), 2);
    } else {
        twin.hardwareIdPage = "other";
    }
    twin.bankNumber = ReadBankNumber(drive);
    std::array<uint8_t, kFeatureReplyLength> features{};
    for (int n = 1; n <= kLastFeature; ++n) {
        if (QueryFeature(drive, features, n)) twin.features = static_cast<uint16_t>(twin.features | 1u << n);
    }
    std::array<uint8_t, kCapabilitiesLength> capabilities{};
    if (ModeSenseCapabilities(drive, capabilities) && LastCommandTransferred() > kCapabilitiesDvdByte) {
        twin.dvd = (capabilities[kCapabilitiesDvdByte] & kDvdReadBit) != 0;
    }
    twin.where = Where(drive);
    return twin;
}

std::string TwinFlashName(const std::string& rigFile) {
    const size_t slash = rigFile.find_last_of("/\\");
    const size_t dot = rigFile.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? rigFile.substr(0, dot) : rigFile) + "-flash.bin";
}

std::optional<std::string> TwinNamesTaken(const std::string& rigFile) {
    for (const std::string& name : {rigFile, TwinFlashName(rigFile)}) {
        if (const SNewFile free = CheckNewFile(name); free.result != ENewFile::Ok) return NewFileRefusal(name, free);
    }
    return std::nullopt;
}

std::string TwinRigText(const STwinIdentity& drive, const SYTRParameter& like, EBackupRoute route,
                        const SFlashRead& read, const std::string& flashFileName) {
    const uint32_t seconds = TheClock().SecondsOfDay();
    const uint32_t date = TheClock().LocalDate();
    std::string text = Format(
        "; A virtual twin of %s, captured on %04u-%02u-%02u at %02u:%02u:%02u:\n"
        "; the drive as it was read, its flash (every byte read) in %s beside\n"
        "; this file. Rehearse a package on it: JORVANE_RIG=<this file> jorvane-sim PACKAGE\n",
        drive.where.c_str(), date / 10000, date / 100 % 100, date % 100, seconds / 3600, seconds / 60 % 60,
        seconds % 60, flashFileName.c_str());
    text += "[twin]\n";
    text += "vendor = " + Quoted(drive.vendor) + "\n";
    text += "product = " + Quoted(drive.product) + "\n";
    text += "revision = " + Quoted(drive.revision) + "\n";
    text += "date_code = " + Quoted(drive.dateCode) + "\n";
    text += "inquiry_hardware_id = " + Quoted(drive.inquiryHardwareId) + "\n";
    if (!drive.hardwareId.empty()) text += "hardware_id = " + Quoted(drive.hardwareId) + "\n";
    text += "hardware_id_page = " + drive.hardwareIdPage + "\n";
    text += Format("bank_number = %u\n", drive.bankNumber);
    std::string features;
    for (int n = 1; n <= kLastFeature; ++n) {
        if (drive.features & (1u << n)) features += (features.empty() ? "" : ", ") + std::to_string(n);
    }
    if (!features.empty()) text += "features = " + features + "\n";
    if (drive.dvd) text += std::string("dvd = ") + (*drive.dvd ? "yes" : "no") + "\n";
    if (like.AtapiFlashType >= kAtapiMtk && like.AtapiFlashType <= kAtapiMtk7) {
        text += std::string("controller = ") + kAtapiControllers[like.AtapiFlashType] + "\n";
    }
    if (IsIdeFlashType(like.IdeFlashType)) {
        text += std::string("ide_controller = ") + kIdeControllers[like.IdeFlashType] + "\n";
    }
    if (route == EBackupRoute::Ide && read.chip) {
        text += Format("flash_chip = %u\n", *read.chip);
        // A chip no rule knows by its ID: the twin's answers no ID either,
        // so the updater treats it alike (its size unknown).
        if (!read.chipKnown) text += "chip_unknown_id = yes\n";
    }
    const auto size = std::bit_ceil(static_cast<uint32_t>(read.bytes.size()));
    text += Format("flash_size = 0x%X\n", size);
    text += "flash_file = " + flashFileName + "\n";
    // What was read need not be an image the simulator takes the identity
    // from: the drive's own answers stand until a package is flashed.
    std::vector<uint8_t> flash(size, 0xFF);
    std::copy(read.bytes.begin(), read.bytes.end(), flash.begin());
    text += Format("captured_flash = 0x%016llX\n", static_cast<unsigned long long>(sim::FlashFingerprint(flash)));
    return text;
}

std::optional<std::string> WriteTwin(const std::string& rigFile, const STwinIdentity& drive,
                                     const SYTRParameter& like, EBackupRoute route, const SFlashRead& read) {
    const std::string flashFile = TwinFlashName(rigFile);
    const std::string text = TwinRigText(drive, like, route, read, BaseName(flashFile));
    if (auto why = WriteNewFile(flashFile, read.bytes)) return why;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (auto why = WriteNewFile(rigFile, std::span(bytes, text.size()))) {
        std::remove(flashFile.c_str());
        return why;
    }
    return std::nullopt;
}

}  // namespace jv
