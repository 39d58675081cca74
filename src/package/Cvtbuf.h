#pragma once
// The CVT buffer: one Philips-format image behind its 4-byte big-endian
// length, flashed with the vendor download instead of the flash kernel.
#include <cstdint>
#include <span>
#include <vector>

#include "package/Ytr.h"

namespace jv {

// The CVT buffer's data area, its capacity long.
std::span<const uint8_t> CvtBufferData();

// True when the data holds a Philips-format image that the data can hold
// whole: a length prefix claiming more than the buffer counts as empty.
bool CvtHoldsImage(std::span<const uint8_t> data);

// Fills the record's Philips fields and an image of L - 40 bytes. False when
// the length is unusable (under 41) or the loader refuses the data.
bool LoadCvtImage(std::span<const uint8_t> data, SYTRParameter& record, std::vector<uint8_t>& image);

}  // namespace jv
