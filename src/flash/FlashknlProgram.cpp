// Programming a parallel chip byte by byte, with the page read-back that the
// page-write parts need.
#include <cstdint>
#include <span>

#include "flash/Flashknl.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "platform/Process.h"

namespace jv {

namespace {

constexpr uint8_t kPageRetries = 8;

// Read-backs left for the page being programmed; a page that reads back
// right, or one that has used them all, starts the next page afresh.
uint8_t g_pageBudget = kPageRetries;

}  // namespace

void ProgramParallelChip(EDriveIndex drive, std::span<const uint8_t> image, bool silent, uint8_t chipType) {
    const SChipRoutines& chip = ChipRoutines();
    BeginFlashWrite();
    if (chip.EraseChip) chip.EraseChip(drive);
    if (!chip.ProgramByte) return;
    const auto length = static_cast<uint32_t>(image.size());
    uint32_t pageSize = 0;
    if (chipType == 5) pageSize = 128;
    if (chipType == 9) pageSize = 256;
    for (uint32_t address = 0; address < length && !IdeAccessFault(); ++address) {
        if (!silent) ShowFlashProgress(address);
        const bool last = address + 1 == length;
        chip.ProgramByte(drive, address, image[address], last);
        // An image that ends inside a page ends that page: it is written and
        // read back like every other one.
        if (pageSize == 0 || ((address & (pageSize - 1)) != pageSize - 1 && !last)) continue;
        if (g_pageBudget == 0) {
            g_pageBudget = kPageRetries;
            continue;
        }
        const uint32_t pageStart = address & ~(pageSize - 1);
        bool same = true;
        for (uint32_t a = pageStart; a <= address && same; ++a) same = ReadFlashByte(drive, a) == image[a];
        if (same) {
            g_pageBudget = kPageRetries;
        } else {
            --g_pageBudget;
            address = pageStart - 1;  // the loop's step lands on the page start
        }
    }
}

uint8_t PageRetryBudget() { return g_pageBudget; }

}  // namespace jv
