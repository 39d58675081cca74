#pragma once
// Loader-side helper of the byte transform: decoding straight from the
// package into the image saves a pass over every bank.
#include <cstdint>
#include <span>

namespace jv {

// destination[i] = transform of source[i] for the first min(sizes) bytes;
// the spans are either the same bytes or do not overlap at all.
void EncodeInto(std::span<uint8_t> destination, std::span<const uint8_t> source, uint8_t key);

}  // namespace jv
