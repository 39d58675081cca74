#include "package/FirmwareImage.h"

#include <algorithm>

namespace jv {

namespace {

constexpr uint32_t kBankSize = 0x10000;
constexpr uint8_t kSignatureStart = kInfoSignature[0];

// The boot loader's block carries a date code of its own.
constexpr const char* kBootDateCode = "000101";

// A text field, cut or zero-padded to its width.
void PutField(std::vector<uint8_t>& image, size_t block, SInfoField field, const std::string& text) {
    for (size_t i = 0; i < field.width; ++i) {
        image[block + field.at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
    }
}

std::string Padded(const std::string& text, size_t width) {
    std::string padded = text.substr(0, width);
    padded.resize(width, ' ');
    return padded;
}

void PutInfoBlock(std::vector<uint8_t>& image, size_t at, const SFirmwareIdentity& identity) {
    std::copy(std::begin(kInfoSignature), std::end(kInfoSignature), image.begin() + static_cast<std::ptrdiff_t>(at));
    // The filler must not pass for a date code tagged in front of the block.
    image[at - kDateTagBefore] = 0;
    PutField(image, at, kInfoModel, Padded(identity.vendor, 8) + Padded(identity.product, 16));
    PutField(image, at, kInfoVersion, identity.version);
    PutField(image, at, kInfoHardwareId, identity.hardwareId);
    PutField(image, at, kInfoDateCode, identity.dateCode);
}

}  // namespace

std::vector<uint8_t> BuildFirmwareImage(const SFirmwareIdentity& identity, uint32_t size) {
    if (size < kFirmwareImageMin) return {};
    std::vector<uint8_t> image(size);
    uint32_t state = 0x2F6E2B1u;
    for (uint8_t& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
        if (byte == kSignatureStart) byte = kSignatureStart + 1;
    }
    for (size_t bank = kBankSize; bank <= image.size(); bank += kBankSize) {
        image[bank - 2] = 0;
        image[bank - 1] = 0;
    }
    SFirmwareIdentity boot = identity;
    boot.version = kBootLoaderVersion;
    boot.dateCode = kBootDateCode;
    PutInfoBlock(image, kBootInfoBlockAt, boot);
    PutInfoBlock(image, kFirmwareInfoBlockAt, identity);
    return image;
}

}  // namespace jv
