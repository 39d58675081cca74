#pragma once
// Check sums of a loaded image and the firmware information block inside it.
// Nothing here reads outside the image span, whatever the record claims.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "package/Ytr.h"

namespace jv {

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

// Calculated check sum, hardware ID, model name, version, date code.
void PrintFirmwareInfo(std::span<const uint8_t> image, const SYTRParameter& record);

}  // namespace jv
