#pragma once
// A flash memory array as the cells behave: programming can only turn bits
// from 1 to 0, and only an erase brings a sector back to 0xFF. Used for the
// drive's own firmware flash and for the chips on a virtual IDE channel.
#include <cstdint>
#include <span>
#include <vector>

namespace jv::sim {

class FlashMemory {
public:
    explicit FlashMemory(uint32_t size = 0, uint32_t sectorSize = 0x10000);

    uint32_t Size() const { return static_cast<uint32_t>(cells_.size()); }
    uint32_t SectorSize() const { return sectorSize_; }
    std::span<const uint8_t> Bytes() const { return cells_; }
    uint8_t Read(uint32_t address) const { return address < Size() ? cells_[address] : 0xFF; }

    // ANDs the data into the cells. False (nothing written) when the range
    // does not fit; bits that were already 0 stay 0.
    bool Program(uint32_t address, std::span<const uint8_t> data);
    // Erases the sector holding the address; false outside the array.
    bool EraseSector(uint32_t address);
    void EraseAll();
    // Erase the sectors a range touches, then program it: what a drive's own
    // firmware does with an image it received.
    bool Rewrite(uint32_t address, std::span<const uint8_t> data);

private:
    std::vector<uint8_t> cells_;
    uint32_t sectorSize_;
};

// A 64-bit FNV-1a fingerprint of flash contents: a twin's rig file names the
// flash it was captured with by it.
uint64_t FlashFingerprint(std::span<const uint8_t> bytes);

}  // namespace jv::sim
