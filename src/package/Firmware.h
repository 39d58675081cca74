#pragma once
// Check sums of a loaded image and the firmware information block inside it.
// Nothing here reads outside the image span, whatever the record claims.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "package/Ytr.h"

namespace jv {

// The firmware information block: the signature 05 80 00, then text fields
// at these offsets from it, each zero-padded to its width.
struct SInfoField {
    size_t at;
    size_t width;
};
inline constexpr uint8_t kInfoSignature[] = {0x05, 0x80, 0x00};
inline constexpr SInfoField kInfoModel{8, 24};  // vendor (8) and product (16), space padded
inline constexpr SInfoField kInfoVersion{32, 4};
inline constexpr SInfoField kInfoHardwareId{38, 2};
inline constexpr SInfoField kInfoDateCode{40, 6};
inline constexpr size_t kInfoBlockLength = kInfoDateCode.at + kInfoDateCode.width;
// The version field of the boot loader's own block, in front of the firmware's.
inline constexpr char kBootLoaderVersion[] = "BOOT";
// Some firmware keeps its date code in front of the block instead: "DC" and
// the six characters, starting this far before the signature.
inline constexpr size_t kDateTagBefore = 12;

// Sum of all image bytes; for ATAPI flash type 6 the last 8 bytes are left
// out. Callers compare its low 16 bits.
uint32_t CalcCheckSum(std::span<const uint8_t> image, const SYTRParameter& record);

// Sum of the bytes outside the kernel block and the reserved blocks: a byte in
// several blocks is taken off once per block. Parts of blocks outside the
// image (or, for type 6, in its last 8 bytes) take nothing off. Costs one
// pass over the image and a sort of the blocks' edges, never a pass per block.
uint16_t CalcFixDataCheckSum(std::span<const uint8_t> image, const SYTRParameter& record);

// Ascending positions of the information signature 05 80 00.
std::vector<uint32_t> FindInfoSignatures(std::span<const uint8_t> image);

// The information block fields, each ended at its first zero byte. Empty when
// the image has no block to read or the field lies outside the image. mode is
// the ATAPI flash type code: 7 reads version and date code from the second
// block whatever the first one holds.
std::string GetImageHardwareId(std::span<const uint8_t> image);
std::string GetImageModelName(std::span<const uint8_t> image);
std::string GetImageVersion(std::span<const uint8_t> image, uint8_t mode);
std::string GetImageDateCode(std::span<const uint8_t> image, uint8_t mode);

// Whether the image holds the information block the fields above are read
// from, whole.
bool HasInfoBlock(std::span<const uint8_t> image, uint8_t mode);

// Calculated check sum, hardware ID, model name, version, date code.
void PrintFirmwareInfo(std::span<const uint8_t> image, const SYTRParameter& record);

}  // namespace jv
