#include "flash/AtapiFlashTypes.h"

#include <algorithm>

namespace jv {

namespace {

using T = EAtapiFlashType;
using S = EAtapiSends;

constexpr SAtapiFlashType kTypes[] = {
    {T::Mtk, &FlashMtk, S::BanksOrPages},
    {T::Ali, &FlashAli, S::WholeAliPages},
    {T::Mtk2, &FlashMtk2, S::BanksOrPages},
    {T::Mtk3, &FlashMtk3, S::BanksOrPages},
    {T::Mtk4, &FlashMtk4, S::BanksOrPages},
    {T::Mtk5, &FlashMtk5, S::Mtk5Blocks},
    {T::Mtk6, &FlashMtk6, S::Everything},
    {T::Mtk7, &FlashMtk7, S::First128K},
};

constexpr uint64_t kMtk5Reach = 2ull * kMtk5PassBlocks * kFlashPageStride;

}  // namespace

const SAtapiFlashType* FindAtapiFlashType(uint8_t code) {
    for (const SAtapiFlashType& type : kTypes) {
        if (static_cast<uint8_t>(type.code) == code) return &type;
    }
    return nullptr;
}

std::vector<SOffsetRange> AtapiSentRanges(const SYTRParameter& header, uint32_t length) {
    std::vector<SOffsetRange> sent;
    // Cut to the image; a range that meets the one before it joins it.
    const auto add = [&](uint64_t from, uint64_t to) {
        to = std::min<uint64_t>(to, length);
        if (from >= to) return;
        if (!sent.empty() && sent.back().to >= from) {
            sent.back().to = std::max(sent.back().to, static_cast<uint32_t>(to));
        } else {
            sent.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to)});
        }
    };
    const SAtapiFlashType* type = FindAtapiFlashType(header.AtapiFlashType);
    if (type == nullptr) return sent;
    switch (type->sends) {
        case S::BanksOrPages:
            if (header.MaxBankSize == kFlashPageStride) {
                // A bank too long to send whole fails the flash before anything is sent.
                const auto tooLong = [](uint32_t size) { return size > kMaxBankLength; };
                if (std::any_of(header.BankSizes.begin(), header.BankSizes.end(), tooLong)) return sent;
                // Bank by bank, each made even: an odd bank takes the byte behind it along.
                for (size_t i = 0; i < header.BankSizes.size(); ++i) {
                    const uint64_t start = uint64_t{kFlashPageStride} * i;
                    add(start, start + ((uint64_t{header.BankSizes[i]} + 1) & ~uint64_t{1}));
                }
            } else {
                // Page by page the 16-bit length field leaves out each page's last two bytes.
                for (uint64_t page = 0; page < length; page += kFlashPageStride) add(page, page + kMaxBankLength);
            }
            break;
        case S::WholeAliPages:
            add(0, uint64_t{length} / kAliPageLength * kAliPageLength);
            break;
        case S::Mtk5Blocks: {
            const uint64_t blocks = length / kFlashPageStride;
            add(0, blocks > uint64_t{kMtk5PassBlocks} ? kMtk5Reach : blocks * kFlashPageStride);
            break;
        }
        case S::Everything:
            add(0, length);
            break;
        case S::First128K:
            add(0, kMtk7Reach);
            break;
    }
    return sent;
}

}  // namespace jv
