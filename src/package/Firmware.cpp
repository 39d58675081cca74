#include "package/Firmware.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Console.h"
#include "util/WideVectors.h"

namespace jv {

namespace {

constexpr size_t kMtk5Tail = 8;  // the drive keeps its own data in the last 8 bytes

// Each byte is summed as its distance from zero: the compiler turns that into
// one sum-of-absolute-differences instruction per 16 bytes, where a widening
// sum takes several and a byte-at-a-time loop several times more. The
// fixed-length inner block is what lets it vectorise at the cautious
// optimisation level of an ordinary release build as well.
JV_WIDE_VECTORS uint32_t SumBytes(std::span<const uint8_t> bytes) {
    constexpr size_t kBlock = 256;
    static constexpr uint8_t kZero[kBlock] = {};
    const uint8_t* p = bytes.data();
    const size_t n = bytes.size();
    uint32_t total = 0;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        int block = 0;  // at most 256 x 255
        for (size_t k = 0; k < kBlock; ++k) block += std::abs(p[i + k] - kZero[k]);
        total += static_cast<uint32_t>(block);
    }
    for (; i < n; ++i) total += p[i];
    return total;
}

// How far from the start of the image bytes count: for MTK5 images the last 8
// bytes are not firmware and are left out of every sum.
size_t SummedLength(std::span<const uint8_t> image, const SYTRParameter& record) {
    if (record.AtapiFlashType != kAtapiMtk5) return image.size();
    return image.size() > kMtk5Tail ? image.size() - kMtk5Tail : 0;
}

// The bytes of a block that lie before limit; nothing for a block beyond it.
std::span<const uint8_t> Clip(std::span<const uint8_t> image, uint64_t address, uint64_t length, size_t limit) {
    if (address >= limit) return {};
    return image.subspan(static_cast<size_t>(address),
                         static_cast<size_t>(std::min<uint64_t>(length, limit - address)));
}

bool MatchesAt(const uint8_t* p) {
    return p[0] == kInfoSignature[0] && p[1] == kInfoSignature[1] && p[2] == kInfoSignature[2];
}

// Calls found(position) for each signature in ascending order until it
// returns false. memchr runs to the next 05 byte at the speed of the C
// library; where 05 bytes lie close together, a call per byte would cost
// more than testing the block behind a hit whole, branch-free (the compiler
// vectorises that), and passing over it when it holds no 05 80.
template <typename Found>
void ScanSignatures(std::span<const uint8_t> image, Found found) {
    constexpr size_t kBlock = 64;
    const uint8_t* p = image.data();
    const size_t n = image.size();
    if (n < sizeof(kInfoSignature)) return;
    const size_t end = n - sizeof(kInfoSignature) + 1;  // one past the last position a signature can start at
    size_t i = 0;
    while (i < end) {
        const void* hit = std::memchr(p + i, kInfoSignature[0], end - i);
        if (hit == nullptr) return;
        i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
        const size_t blockEnd = std::min(i + kBlock, end);
        if (blockEnd - i == kBlock) {
            // Byte lanes (a wider flag would quarter the vector width), and
            // only the first two signature bytes: 05 80 alone is rare enough.
            uint8_t any = 0;
            for (size_t k = 0; k < kBlock; ++k) {
                any |= static_cast<uint8_t>((p[i + k] == 0x05) & (p[i + k + 1] == 0x80));
            }
            if (any == 0) {
                i = blockEnd;
                continue;
            }
        }
        for (; i < blockEnd; ++i) {
            if (MatchesAt(p + i) && !found(static_cast<uint32_t>(i))) return;
        }
    }
}

// The readers only ever need the first two blocks, and whether there is
// exactly one.
struct SFirstBlocks {
    size_t count = 0;  // 0, 1, or 2 for "two or more"
    uint32_t position[2] = {0, 0};
};

SFirstBlocks FirstBlocks(std::span<const uint8_t> image) {
    SFirstBlocks blocks;
    ScanSignatures(image, [&](uint32_t position) {
        blocks.position[blocks.count++] = position;
        return blocks.count < 2;
    });
    return blocks;
}

// A text field of the block at position block, ended at its first zero
// byte; empty when any of it lies outside the image.
std::string Field(std::span<const uint8_t> image, uint64_t block, SInfoField field) {
    const uint64_t at = block + field.at;
    if (at + field.width > image.size()) return {};
    const auto bytes = image.subspan(static_cast<size_t>(at), field.width);
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), uint8_t{0}));
}

// The first block may belong to the boot loader; when there is more than one
// block and the first says "BOOT", the firmware's own block is the second.
size_t BootRuleIndex(std::span<const uint8_t> image, const SFirstBlocks& blocks) {
    if (blocks.count < 2) return 0;
    const uint64_t at = uint64_t{blocks.position[0]} + kInfoVersion.at;
    return at + kInfoVersion.width <= image.size() &&
                   std::memcmp(image.data() + at, kBootLoaderVersion, kInfoVersion.width) == 0
               ? 1
               : 0;
}

// Position of the chosen block, or nothing when the image has no such block.
std::optional<size_t> ChosenBlock(std::span<const uint8_t> image, bool secondAlways) {
    const SFirstBlocks blocks = FirstBlocks(image);
    const size_t index = secondAlways ? 1 : BootRuleIndex(image, blocks);
    if (index >= blocks.count) return std::nullopt;
    return blocks.position[index];
}

}  // namespace

uint32_t CalcCheckSum(std::span<const uint8_t> image, const SYTRParameter& record) {
    return SumBytes(image.first(SummedLength(image, record)));
}

uint16_t CalcFixDataCheckSum(std::span<const uint8_t> image, const SYTRParameter& record) {
    const size_t limit = SummedLength(image, record);
    // Block by block a byte is taken off once for every reserved block it
    // lies in. The blocks' edges, in order, cut the image into runs that
    // lie in the same number of blocks: a run in none counts once, a run in
    // one not at all (nothing to sum), a run in several is taken off once
    // for each block past the first. One pass over the image, whatever the
    // blocks claim; the kernel block is taken off on its own, as it always was.
    std::vector<std::pair<uint64_t, int32_t>> edges;
    edges.reserve(2 * record.ReserveBlocks.size());
    for (const SYTRReserveBlock& block : record.ReserveBlocks) {
        const auto part = Clip(image, block.Address, block.Length, limit);
        if (part.empty()) continue;
        edges.emplace_back(block.Address, 1);
        edges.emplace_back(uint64_t{block.Address} + part.size(), -1);
    }
    std::sort(edges.begin(), edges.end());
    const auto run = [&](uint64_t from, uint64_t to) {
        return SumBytes(image.subspan(static_cast<size_t>(from), static_cast<size_t>(to - from)));
    };
    uint32_t sum = 0;
    uint64_t at = 0;
    uint32_t depth = 0;
    for (const auto& [edge, step] : edges) {
        if (edge > at) {
            if (depth == 0) sum += run(at, edge);
            if (depth > 1) sum -= (depth - 1) * run(at, edge);
        }
        at = edge;
        depth += static_cast<uint32_t>(step);
    }
    if (limit > at) sum += run(at, limit);
    sum -= SumBytes(Clip(image, record.KernelAddress, record.KernelLength, limit));
    return static_cast<uint16_t>(sum);
}

std::vector<uint32_t> FindInfoSignatures(std::span<const uint8_t> image) {
    std::vector<uint32_t> positions;
    ScanSignatures(image, [&](uint32_t position) {
        positions.push_back(position);
        return true;
    });
    return positions;
}

std::string GetImageHardwareId(std::span<const uint8_t> image) {
    const auto block = ChosenBlock(image, false);
    return block ? Field(image, *block, kInfoHardwareId) : std::string();
}

std::string GetImageModelName(std::span<const uint8_t> image) {
    const auto block = ChosenBlock(image, false);
    return block ? Field(image, *block, kInfoModel) : std::string();
}

std::string GetImageVersion(std::span<const uint8_t> image, uint8_t mode) {
    const auto block = ChosenBlock(image, mode == kAtapiMtk6);
    return block ? Field(image, *block, kInfoVersion) : std::string();
}

std::string GetImageDateCode(std::span<const uint8_t> image, uint8_t mode) {
    const auto block = ChosenBlock(image, mode == kAtapiMtk6);
    if (!block) return {};
    const size_t p = *block;
    // Some firmware keeps a "DC"-tagged date code just in front of the block.
    if (p >= kDateTagBefore && image[p - kDateTagBefore] == 'D' && image[p - kDateTagBefore + 1] == 'C')
        return Field(image, p - kDateTagBefore, {2, kInfoDateCode.width});
    return Field(image, p, kInfoDateCode);
}

bool HasInfoBlock(std::span<const uint8_t> image, uint8_t mode) {
    const auto block = ChosenBlock(image, mode == kAtapiMtk6);
    return block && *block + kInfoBlockLength <= image.size();
}

void PrintFirmwareInfo(std::span<const uint8_t> image, const SYTRParameter& record) {
    const uint8_t mode = record.AtapiFlashType;
    Print("Calculated Check Sum     : %04Xh\n", CalcCheckSum(image, record) & 0xFFFF);
    Print("Hardware ID              : %s\n", GetImageHardwareId(image).c_str());
    Print("Model Name               : %s\n", GetImageModelName(image).c_str());
    Print("Version                  : %s\n", GetImageVersion(image, mode).c_str());
    Print("Date Code                : %s\n", GetImageDateCode(image, mode).c_str());
}

}  // namespace jv
