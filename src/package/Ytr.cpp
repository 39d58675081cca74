#include "package/Ytr.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "package/Encode.h"
#include "package/EncodeDetail.h"
#include "platform/ByteOrder.h"
#include "platform/Console.h"

namespace jv {

namespace {

constexpr size_t kVersionOffset = 24;
constexpr size_t kV3TableOffset = 56;
constexpr size_t kLegacyTableOffset = 36;
constexpr uint32_t kLegacyMaxBanks = 38;  // the size table must end by offset 112
constexpr size_t kPhilipsHeader = 40;     // length prefix and identification text

constexpr std::string_view kIdeNames[] = {"Not support", "MTK Type", "ALI Type", "ALI2 Type", "MTK2 Type"};
constexpr std::string_view kUnknownName = "Unknown Type";

struct SAtapiName {
    EAtapiFlashType code;
    std::string_view name;
};
constexpr SAtapiName kAtapiNames[] = {
    {EAtapiFlashType::None, "Not support"}, {EAtapiFlashType::Mtk, "MTK Type"},   {EAtapiFlashType::Ali, "ALI Type"},
    {EAtapiFlashType::Mtk2, "MTK2 Type"},   {EAtapiFlashType::Mtk3, "MTK3 Type"}, {EAtapiFlashType::Mtk4, "MTK4 Type"},
    {EAtapiFlashType::Mtk5, "MTK5 Type"},   {EAtapiFlashType::Mtk6, "MTK6 Type"}, {EAtapiFlashType::Mtk7, "MTK7 Type"},
};

bool IsVersion3(std::span<const uint8_t> b) {
    return b.size() > kVersionOffset && b[kVersionOffset] == '3';
}

// Where everything of a package lies, worked out from its header and checked
// against the bytes supplied before anyone copies a byte.
struct SLayout {
    bool version3 = false;
    uint32_t bankCount = 0;
    uint32_t bankStride = 0;
    size_t bankTable = 0;  // offset of the bank-size table
    size_t dataOffset = 0;
    uint32_t totalLength = 0;
    uint32_t imageSize = 0;
};

std::optional<SLayout> ParseLayout(std::span<const uint8_t> b) {
    if (b.size() <= kVersionOffset || std::memcmp(b.data(), kYtrMagic.data(), kYtrMagic.size()) != 0) return std::nullopt;
    SLayout layout;
    const uint8_t version = b[kVersionOffset];
    uint64_t dataOffset = 0;
    uint64_t bankSizeLimit = 0;
    uint64_t imageSize = 0;
    if (version == '3') {
        if (b.size() < kV3TableOffset) return std::nullopt;
        const uint64_t banks = Le32(b, 36);
        const uint64_t stride = Le32(b, 40);
        const uint64_t blocks = Le32(b, 44);
        if (blocks > kMaxReserveBlocks) return std::nullopt;
        dataOffset = kV3TableOffset + 4 * banks + 8 * blocks;
        if (dataOffset > b.size()) return std::nullopt;
        imageSize = banks * stride;
        if (imageSize > kMaxImageSize) return std::nullopt;
        // The kernel block is only read here, never followed: one that
        // reaches past the image is clipped to it, and one that starts
        // beyond it skipped, wherever the image is indexed by it. The
        // reserved blocks are checked when the package is loaded.
        layout.version3 = true;
        layout.bankCount = static_cast<uint32_t>(banks);
        layout.bankStride = static_cast<uint32_t>(stride);
        layout.bankTable = kV3TableOffset;
        bankSizeLimit = stride;
    } else if (version == ' ' || version == '1' || version == '2') {
        if (b.size() < kLegacyTableOffset) return std::nullopt;
        const uint32_t banks = Le16(b, 34);
        if (banks > kLegacyMaxBanks) return std::nullopt;
        dataOffset = banks <= 8 ? 64 : 112;
        if (dataOffset > b.size()) return std::nullopt;
        imageSize = uint64_t{banks} * kLegacyBankSize;
        layout.bankCount = banks;
        layout.bankStride = kLegacyBankSize;
        layout.bankTable = kLegacyTableOffset;
        bankSizeLimit = kLegacyBankSize;
    } else {
        return std::nullopt;
    }
    uint64_t total = dataOffset;
    for (uint32_t i = 0; i < layout.bankCount; ++i) {
        const uint64_t size = layout.version3 ? Le32(b, layout.bankTable + 4 * size_t{i})
                                              : Le16(b, layout.bankTable + 2 * size_t{i});
        if (size > bankSizeLimit) return std::nullopt;
        total += size;
    }
    if (total > b.size() || total > UINT32_MAX) return std::nullopt;
    layout.dataOffset = static_cast<size_t>(dataOffset);
    layout.totalLength = static_cast<uint32_t>(total);
    layout.imageSize = static_cast<uint32_t>(imageSize);
    return layout;
}

std::string_view NameOf(std::span<const std::string_view> names, uint8_t code) {
    return code < names.size() ? names[code] : kUnknownName;
}

}  // namespace

bool ReserveBlocksFit(std::span<const SYTRReserveBlock> blocks, uint32_t imageSize) {
    if (blocks.size() > kMaxReserveBlocks) return false;
    // In order of address, each must begin where the one before it (clipped
    // to the image) ended or later; one of length 0 covers nothing.
    std::vector<std::pair<uint32_t, uint64_t>> ranges;
    ranges.reserve(blocks.size());
    for (const SYTRReserveBlock& block : blocks) {
        if (block.Address >= imageSize) return false;
        if (block.Length == 0) continue;
        ranges.emplace_back(block.Address, std::min<uint64_t>(uint64_t{block.Address} + block.Length, imageSize));
    }
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) return false;
    }
    return true;
}

std::string_view IdeFlashTypeName(uint8_t code) {
    return NameOf(kIdeNames, code);
}

std::string_view AtapiFlashTypeName(uint8_t code) {
    for (const SAtapiName& row : kAtapiNames) {
        if (static_cast<uint8_t>(row.code) == code) return row.name;
    }
    return kUnknownName;
}

bool IsPhilipsImage(std::span<const uint8_t> bytes) {
    return bytes.size() >= 11 && std::memcmp(bytes.data() + 4, "Philips", 7) == 0;
}

uint32_t GetImageSize(std::span<const uint8_t> bytes) {
    if (IsPhilipsImage(bytes)) {
        const uint32_t length = Be32(bytes, 0);
        if (length < kPhilipsHeader || uint64_t{length} + 4 > bytes.size()) return 0;
        return length - kPhilipsHeader > kMaxImageSize ? 0 : length;
    }
    uint64_t size = 0;
    if (IsVersion3(bytes)) {
        if (bytes.size() < 44) return 0;
        size = uint64_t{Le32(bytes, 36)} * Le32(bytes, 40);
    } else {
        if (bytes.size() < 36) return 0;
        size = uint64_t{Le16(bytes, 34)} * kLegacyBankSize;
    }
    return size > kMaxImageSize ? 0 : static_cast<uint32_t>(size);
}

uint32_t GetYtrLength(std::span<const uint8_t> bytes) {
    const auto layout = ParseLayout(bytes);
    return layout ? layout->totalLength : 0;
}

bool LoadPhilipsImage(std::span<const uint8_t> bytes, SYTRParameter& record, std::span<uint8_t> image) {
    if (bytes.size() < 4) return false;
    const uint32_t length = Be32(bytes, 0);
    if (length < kPhilipsHeader || uint64_t{length} + 4 > bytes.size()) return false;
    if (image.size() != length - kPhilipsHeader) return false;
    record.HeaderCheckSum = Be16(bytes, length);
    record.TrailerValue2 = Be16(bytes, size_t{length} + 2);
    const auto text = bytes.subspan(4, 35);
    const auto end = std::find(text.begin(), text.end(), uint8_t{0});
    record.Identification.assign(text.begin(), end);
    std::copy_n(bytes.begin() + kPhilipsHeader, image.size(), image.begin());
    return true;
}

bool LoadYtr(std::span<const uint8_t> bytes, SYTRParameter& record, std::span<uint8_t> image) {
    if (IsPhilipsImage(bytes)) return LoadPhilipsImage(bytes, record, image);
    const auto layout = ParseLayout(bytes);
    if (!layout || image.size() != layout->imageSize) return false;
    std::vector<SYTRReserveBlock> reserveBlocks;
    if (layout->version3) {
        const uint32_t blocks = Le32(bytes, 44);
        const size_t blockTable = layout->bankTable + 4 * size_t{layout->bankCount};
        reserveBlocks.resize(blocks);
        for (uint32_t i = 0; i < blocks; ++i) {
            reserveBlocks[i] = {Le32(bytes, blockTable + 8 * size_t{i}), Le32(bytes, blockTable + 8 * size_t{i} + 4)};
        }
        if (!ReserveBlocksFit(reserveBlocks, layout->imageSize)) return false;
    }

    const uint8_t encoding = bytes[25];
    const uint8_t key = GetEncodeKey(bytes);
    std::vector<uint32_t> bankSizes(layout->bankCount);
    size_t from = layout->dataOffset;
    for (uint32_t i = 0; i < layout->bankCount; ++i) {
        const uint32_t size = layout->version3 ? Le32(bytes, layout->bankTable + 4 * size_t{i})
                                               : Le16(bytes, layout->bankTable + 2 * size_t{i});
        bankSizes[i] = size;
        const auto source = bytes.subspan(from, size);
        const auto slot = image.subspan(size_t{i} * layout->bankStride, layout->bankStride);
        const auto bank = slot.first(size);
        if (layout->version3 && encoding == 2) {
            // Every bank starts again from the header's key.
            EncodeInto(bank, source, key);
        } else if (!layout->version3 && encoding == 1 && size != 0) {
            // Each bank's own key is its first stored byte; decoding straight
            // from the package spares a second pass over the bank.
            EncodeInto(bank, source, static_cast<uint8_t>(source[0] + 2));
        } else {
            std::copy(source.begin(), source.end(), bank.begin());
        }
        // The rest of the slot is zero, written here rather than by the
        // caller beforehand: one pass over the image instead of two.
        std::fill(slot.begin() + size, slot.end(), uint8_t{0});
        from += size;
    }

    record.HeaderCheckSum = Le16(bytes, 32);
    record.MaxBankSize = layout->bankStride;
    record.BankSizes = std::move(bankSizes);
    if (layout->version3) {
        record.IdeFlashType = bytes[26];
        record.AtapiFlashType = bytes[27];
        record.KernelType = bytes[34];
        record.KernelAddress = Le32(bytes, 48);
        record.KernelLength = Le32(bytes, 52);
        record.ReserveBlocks = std::move(reserveBlocks);
    } else {
        // The old layouts carry none of these; every such package was made
        // for the same family of drives.
        record.IdeFlashType = 1;
        record.AtapiFlashType = 1;
        record.KernelType = 0;
        record.KernelAddress = 0;
        record.KernelLength = 0;
        record.ReserveBlocks.assign(std::begin(kLegacyReserveBlocks), std::end(kLegacyReserveBlocks));
    }
    return true;
}

void PrintYtrHeader(const SYTRParameter& record) {
    const std::string ide(IdeFlashTypeName(record.IdeFlashType));
    const std::string atapi(AtapiFlashTypeName(record.AtapiFlashType));
    Print("YTR Header Check Sum     : %04Xh\n", record.HeaderCheckSum);
    Print("IDE Flash Type           : %s\n", ide.c_str());
    Print("Atapi Flash Type         : %s\n", atapi.c_str());
    Print("Atapi Flash Kernel Type  : %s\n", record.KernelType != 0 ? atapi.c_str() : "Not support");
    Print("Atapi Flash Kernel Block : Address %08Xh, Length %08Xh\n", record.KernelAddress, record.KernelLength);
    Print("Max Bank Size            : %08Xh\n", record.MaxBankSize);
    Print("Total Bank               : %d\n", static_cast<int>(record.BankSizes.size()));
    for (size_t i = 0; i < record.BankSizes.size(); ++i) {
        Print("  Bank %-2d Size           : %08Xh\n", static_cast<int>(i), record.BankSizes[i]);
    }
    Print("Total Reserved Blocks    : %d\n", static_cast<int>(record.ReserveBlocks.size()));
    for (size_t i = 0; i < record.ReserveBlocks.size(); ++i) {
        Print("  Reserved Block %-2d      : Address %08Xh, Length %08Xh\n", static_cast<int>(i),
              record.ReserveBlocks[i].Address, record.ReserveBlocks[i].Length);
    }
}

}  // namespace jv
