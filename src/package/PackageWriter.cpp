#include "package/PackageWriter.h"

#include <algorithm>
#include <cstring>

#include "package/Firmware.h"
#include "platform/ByteOrder.h"

namespace jv {

namespace {

constexpr size_t kTableOffset = 56;
constexpr uint8_t kVersion3 = '3';
constexpr uint8_t kStoredPlain = 0;

// The same limits the loader puts on a header, so that whatever is written
// here loads back. Reserved and kernel blocks that only reach past the image
// are written as they are: the loader takes them so and their users clip them.
bool Describes(const SYTRParameter& record, std::span<const uint8_t> image) {
    const uint64_t size = uint64_t{record.MaxBankSize} * record.BankSizes.size();
    if (size != image.size() || size > kMaxImageSize) return false;
    if (!ReserveBlocksFit(record.ReserveBlocks, static_cast<uint32_t>(size))) return false;
    return std::all_of(record.BankSizes.begin(), record.BankSizes.end(),
                       [&](uint32_t bank) { return bank <= record.MaxBankSize; });
}

uint64_t HeaderLength(const SYTRParameter& record) {
    return kTableOffset + 4 * uint64_t{record.BankSizes.size()} + 8 * uint64_t{record.ReserveBlocks.size()};
}

}  // namespace

uint64_t Ytr3LengthAtMost(const SYTRParameter& record) {
    return HeaderLength(record) + uint64_t{record.MaxBankSize} * record.BankSizes.size();
}

std::vector<uint8_t> CarriedImage(const SYTRParameter& record, std::span<const uint8_t> image) {
    std::vector<uint8_t> carried(image.size(), 0);
    for (size_t i = 0; i < record.BankSizes.size(); ++i) {
        const uint64_t start = uint64_t{record.MaxBankSize} * i;
        if (start >= image.size()) break;
        const auto count = static_cast<size_t>(std::min<uint64_t>(record.BankSizes[i], image.size() - start));
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(start), count,
                    carried.begin() + static_cast<std::ptrdiff_t>(start));
    }
    return carried;
}

std::optional<std::vector<uint8_t>> BuildYtr3(const SYTRParameter& record, std::span<const uint8_t> image) {
    if (!Describes(record, image)) return std::nullopt;
    const uint64_t banks = record.BankSizes.size();
    const uint64_t blocks = record.ReserveBlocks.size();
    const uint64_t headerLength = HeaderLength(record);
    uint64_t length = headerLength;
    for (uint32_t bank : record.BankSizes) length += bank;
    if (length > UINT32_MAX) return std::nullopt;

    std::vector<uint8_t> out(static_cast<size_t>(headerLength), 0);
    out.reserve(static_cast<size_t>(length));
    std::memcpy(out.data(), kYtrMagic.data(), kYtrMagic.size());
    out[24] = kVersion3;
    out[25] = kStoredPlain;
    out[26] = record.IdeFlashType;
    out[27] = record.AtapiFlashType;
    // Key bytes 28-31 stay 0: nothing is encoded.
    const std::vector<uint8_t> loaded = CarriedImage(record, image);
    PutLe16(out, 32, static_cast<uint16_t>(CalcCheckSum(loaded, record)));
    out[34] = record.KernelType;
    PutLe32(out, 36, static_cast<uint32_t>(banks));
    PutLe32(out, 40, record.MaxBankSize);
    PutLe32(out, 44, static_cast<uint32_t>(blocks));
    PutLe32(out, 48, record.KernelAddress);
    PutLe32(out, 52, record.KernelLength);
    size_t at = kTableOffset;
    for (uint32_t bank : record.BankSizes) {
        PutLe32(out, at, bank);
        at += 4;
    }
    for (const SYTRReserveBlock& block : record.ReserveBlocks) {
        PutLe32(out, at, block.Address);
        PutLe32(out, at + 4, block.Length);
        at += 8;
    }
    for (size_t i = 0; i < banks; ++i) {
        const auto start = image.begin() + static_cast<std::ptrdiff_t>(size_t{record.MaxBankSize} * i);
        out.insert(out.end(), start, start + record.BankSizes[i]);
    }
    return out;
}

}  // namespace jv
