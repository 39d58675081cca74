#pragma once
// The reversible byte transform of encoded bank data. The key sequence does
// not depend on the data, so the same routine encodes and decodes.
#include <cstdint>
#include <span>

namespace jv {

// In place; the key steps (key x 35) after every eighth byte.
void EncodeBytes(std::span<uint8_t> bytes, uint8_t key);

// EncodeBytes with key = first byte + 2 (taken before the transform). Nothing
// happens to an empty span.
void EncodeBankSelfKeyed(std::span<uint8_t> bytes);

// ((B - C) x A + D) mod 256 from the version 3 header bytes 28 to 31; 0 when
// the header is shorter than 32 bytes.
uint8_t GetEncodeKey(std::span<const uint8_t> header);

}  // namespace jv
