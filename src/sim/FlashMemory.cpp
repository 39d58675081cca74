#include "sim/FlashMemory.h"

#include <algorithm>
#include <cstring>

namespace jv::sim {

FlashMemory::FlashMemory(uint32_t size, uint32_t sectorSize)
    : cells_(size, 0xFF), sectorSize_(sectorSize == 0 ? 0x10000 : sectorSize) {}

bool FlashMemory::Program(uint32_t address, std::span<const uint8_t> data) {
    if (address > Size() || data.size() > Size() - address) return false;
    // Eight cells at a time: a whole image goes through here on every save.
    uint8_t* cells = cells_.data() + address;
    const uint8_t* bytes = data.data();
    size_t i = 0;
    for (; i + 8 <= data.size(); i += 8) {
        uint64_t now, with;
        std::memcpy(&now, cells + i, 8);
        std::memcpy(&with, bytes + i, 8);
        now &= with;
        std::memcpy(cells + i, &now, 8);
    }
    for (; i < data.size(); ++i) cells[i] &= bytes[i];
    return true;
}

bool FlashMemory::EraseSector(uint32_t address) {
    if (address >= Size()) return false;
    uint32_t start = address - address % sectorSize_;
    uint32_t end = std::min(Size(), start + sectorSize_);
    std::fill(cells_.begin() + start, cells_.begin() + end, uint8_t{0xFF});
    return true;
}

void FlashMemory::EraseAll() { std::fill(cells_.begin(), cells_.end(), uint8_t{0xFF}); }

bool FlashMemory::Rewrite(uint32_t address, std::span<const uint8_t> data) {
    if (address > Size() || data.size() > Size() - address) return false;
    if (data.empty()) return true;
    uint32_t last = address + static_cast<uint32_t>(data.size()) - 1;
    for (uint32_t sector = address - address % sectorSize_; sector <= last; sector += sectorSize_) {
        EraseSector(sector);
        if (sector > Size() - sectorSize_) break;  // no wrap past the top sector
    }
    return Program(address, data);
}

uint64_t FlashFingerprint(std::span<const uint8_t> bytes) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint8_t b : bytes) hash = (hash ^ b) * 0x100000001B3ull;
    return hash;
}

}  // namespace jv::sim
