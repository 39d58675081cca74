// Reading the drive's flash back through its read command.
#include "flash/Flashmcu.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "flash/FlashmcuCommon.h"
#include "flash/Flashmsg.h"
#include "package/Firmware.h"
#include "platform/ByteOrder.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Process.h"

namespace jv {

using namespace mcu;

bool ReadFlashImage(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent,
                    SFlashReadReport* report) {
    const uint64_t rounded = (static_cast<uint64_t>(length) + kFlashBlockLength - 1) & ~uint64_t{kFlashBlockLength - 1};
    // Past the last page number the command would read page 0 again and
    // hand it back as the flash's upper part.
    if (rounded > kMaxFlashReadLength) {
        if (report) {
            report->failedAt = static_cast<uint32_t>(kMaxFlashReadLength);
            report->why = "the read command reaches no further";
        }
        return false;
    }
    const bool showProgress = report && report->progress && !silent;
    std::array<uint8_t, kFlashBlockLength> block{};
    for (uint64_t position = 0; position < rounded; position += kFlashBlockLength) {
        const auto page = static_cast<uint8_t>(position / kFlashPageStride);
        const auto offset = static_cast<uint16_t>(position % kFlashPageStride);
        const CommandBlock cdb = ReadFlashBlockCommand(offset, page);
        int repeats = 0;
        for (;;) {
            const bool answered = ExecuteDataIn(drive, cdb, block, kFlashBlockLength);
            const uint32_t got = LastCommandTransferred();
            if (answered && got == kFlashBlockLength) break;
            if (++repeats > kReadBlockRepeats) {
                if (report) {
                    report->failedAt = static_cast<uint32_t>(position);
                    report->why = answered ? Format("the drive returned %u of %u bytes", got, kFlashBlockLength)
                                           : LastCommandFailure();
                }
                return false;
            }
        }
        if (position < buffer.size()) {
            const size_t count = std::min<size_t>(kFlashBlockLength, static_cast<size_t>(buffer.size() - position));
            std::copy_n(block.begin(), count, buffer.begin() + static_cast<std::ptrdiff_t>(position));
        }
        if (showProgress) {
            report->progress(static_cast<uint32_t>(position + kFlashBlockLength), static_cast<uint32_t>(rounded));
        }
    }
    return true;
}


}  // namespace jv
