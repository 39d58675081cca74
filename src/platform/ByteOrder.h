#pragma once
// Multi-byte values as they travel: most significant byte first in command
// blocks, drive replies, sense data, serial flash addresses and the Philips
// image's length; least significant first in package headers and the
// Philips-format download's values. Callers check that the bytes are there
// before they read or write them; nothing here depends on anything else of
// the program.
#include <cstddef>
#include <cstdint>
#include <span>

namespace jv {

constexpr uint16_t Be16(std::span<const uint8_t> bytes, size_t at = 0) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

constexpr uint32_t Be32(std::span<const uint8_t> bytes, size_t at = 0) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 | uint32_t{bytes[at + 2]} << 8 |
           uint32_t{bytes[at + 3]};
}

constexpr void PutBe16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

// The three low bytes of value: a serial flash address.
constexpr void PutBe24(std::span<uint8_t> bytes, size_t at, uint32_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 16);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
    bytes[at + 2] = static_cast<uint8_t>(value);
}

constexpr void PutBe32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 24);
    PutBe24(bytes, at + 1, value);
}

constexpr uint16_t Le16(std::span<const uint8_t> bytes, size_t at = 0) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

constexpr uint32_t Le32(std::span<const uint8_t> bytes, size_t at = 0) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

constexpr void PutLe16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

constexpr void PutLe32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
    PutLe16(bytes, at, static_cast<uint16_t>(value));
    PutLe16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace jv
