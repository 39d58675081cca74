#pragma once
// The ATAPI flash types the flash engines take: for each, its code, the
// routine that sends the image, and which image bytes that routine carries
// to the drive. Whatever needs one of these facts reads it from this one
// table. (The name the header print-out shows stays with the package
// format, package/Ytr.h, which tools without any drive code link.)
#include <cstdint>
#include <vector>

#include "flash/Flashmcu.h"
#include "package/Ytr.h"

namespace jv {

// Which image bytes a type's routine sends.
enum class EAtapiSends : uint8_t {
    BanksOrPages,  // bank by bank, each made even, or each 64 KB page but its last two bytes
    WholeAliPages, // every whole 16 KB page; a part page is not sent
    Mtk5Blocks,    // its whole 64 KB blocks, two passes of 16 at most
    Everything,    // every page whole, the last one padded
    First128K,     // the first two 64 KB blocks
};

struct SAtapiFlashType {
    EAtapiFlashType code;
    AtapiFlashRoutine sender;
    EAtapiSends sends;
};

// The row of a header's code; nullptr for a code no routine takes (0 and
// anything past the last type).
const SAtapiFlashType* FindAtapiFlashType(uint8_t code);

// A run of image offsets: from up to, not including, to.
struct SOffsetRange {
    uint32_t from = 0;
    uint32_t to = 0;
};

// The image offsets the package's ATAPI routine sends to the drive when it
// flashes an image of length bytes, ascending and apart; nothing for a code
// without a routine, and nothing for a bank too long to send whole (that
// flash fails before anything is sent).
std::vector<SOffsetRange> AtapiSentRanges(const SYTRParameter& header, uint32_t length);

}  // namespace jv
