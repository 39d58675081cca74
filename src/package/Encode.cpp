#include "package/Encode.h"

#include <algorithm>

#include "package/EncodeDetail.h"
#include "util/WideVectors.h"

namespace jv {

namespace {

// The key multiplier 35 has order 64 modulo 256, so the added values repeat
// every 64 groups of 8 bytes. With them laid out once, the transform becomes
// one subtraction per byte that the compiler can vectorise.
constexpr size_t kPeriod = 512;

void FillPattern(uint8_t* pattern, size_t count, uint8_t key) {
    for (size_t i = 0; i < count; ++i) {
        const size_t step = i % 8;
        pattern[i] = static_cast<uint8_t>(key + 57 * step);
        if (step == 7) key = static_cast<uint8_t>(key * 35);
    }
}

// Separate pointers for the copying and the in-place case, so that neither
// loop needs a run-time overlap check before it can be vectorised.
JV_WIDE_VECTORS void Transform(uint8_t* __restrict out, const uint8_t* __restrict in, size_t count, uint8_t key) {
    alignas(64) uint8_t pattern[kPeriod];
    FillPattern(pattern, std::min(count, kPeriod), key);
    size_t i = 0;
    for (; i + kPeriod <= count; i += kPeriod) {
        for (size_t j = 0; j < kPeriod; ++j) out[i + j] = static_cast<uint8_t>(pattern[j] - in[i + j]);
    }
    for (size_t j = 0; i + j < count; ++j) out[i + j] = static_cast<uint8_t>(pattern[j] - in[i + j]);
}

JV_WIDE_VECTORS void TransformInPlace(uint8_t* bytes, size_t count, uint8_t key) {
    alignas(64) uint8_t pattern[kPeriod];
    FillPattern(pattern, std::min(count, kPeriod), key);
    size_t i = 0;
    for (; i + kPeriod <= count; i += kPeriod) {
        for (size_t j = 0; j < kPeriod; ++j) bytes[i + j] = static_cast<uint8_t>(pattern[j] - bytes[i + j]);
    }
    for (size_t j = 0; i + j < count; ++j) bytes[i + j] = static_cast<uint8_t>(pattern[j] - bytes[i + j]);
}

}  // namespace

void EncodeInto(std::span<uint8_t> destination, std::span<const uint8_t> source, uint8_t key) {
    const size_t count = std::min(destination.size(), source.size());
    if (destination.data() == source.data()) {
        TransformInPlace(destination.data(), count, key);
    } else {
        Transform(destination.data(), source.data(), count, key);
    }
}

void EncodeBytes(std::span<uint8_t> bytes, uint8_t key) {
    TransformInPlace(bytes.data(), bytes.size(), key);
}

void EncodeBankSelfKeyed(std::span<uint8_t> bytes) {
    if (bytes.empty()) return;
    EncodeBytes(bytes, static_cast<uint8_t>(bytes[0] + 2));
}

uint8_t GetEncodeKey(std::span<const uint8_t> header) {
    if (header.size() < 32) return 0;
    const unsigned a = header[28], b = header[29], c = header[30], d = header[31];
    return static_cast<uint8_t>((b - c) * a + d);
}

}  // namespace jv
