// ALI, which sends the image page by page with its sums, and MTK7, which
// sends the first two blocks in chunks and saves each.
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

FlashResult FlashAli(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter,
                     bool, bool, bool updater) {
    std::span<const uint8_t> bytes = Readable(std::span<const uint8_t>(image), length);
    const uint32_t pages = length / kAliPageLength;
    // Without one whole page nothing would be sent, and the ready wait would
    // report a flash that never happened.
    if (pages == 0) return Fail(updater, 1, kWriteBufferFail);
    const uint16_t imageSum = Sum16(bytes);
    std::vector<uint8_t> scratch;
    BeginFlashWrite();
    for (uint32_t p = 0; p < pages; ++p) {
        auto page = Piece(bytes, static_cast<uint64_t>(p) * kAliPageLength, kAliPageLength, scratch);
        const auto number = static_cast<uint8_t>(p + 1);
        // The drive checks each page and, with the last, the whole image's
        // sum and starts programming; a page it refused means it keeps its
        // old firmware.
        if (StatedRefusal(ExecuteDataOut(drive, WriteAliPageCommand(Sum16(page), imageSum, number,
                                                           static_cast<uint8_t>(pages)), page))) {
            return Fail(updater, 1, kWriteBufferFail);
        }
    }
    return AwaitReady(drive, updater, 1);
}


FlashResult FlashMtk7(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter, bool, bool,
                      bool updater) {
    std::span<const uint8_t> bytes = Readable(std::span<const uint8_t>(image), length);
    std::vector<uint8_t> scratch;
    BeginFlashWrite();
    // The drive wants the upper block first: it boots from the lower one.
    for (uint8_t b : {uint8_t{1}, uint8_t{0}}) {
        for (uint32_t k = 0; k < 4; ++k) {
            const uint64_t offset = b * kFlashPageStride + k * kChunkLength;
            if (!ExecuteDataOut(drive, Mtk7ChunkCommand(b, static_cast<uint8_t>(0x40 * k)),
                         Piece(bytes, offset, kChunkLength, scratch))) {
                return Fail(updater, 1, kWriteBufferFail);
            }
        }
        // The save of the lower block restarts the drive once it has
        // programmed it, which may cost the save its answer; a refused save
        // programs nothing.
        if (StatedRefusal(ExecuteNoData(drive, Mtk7SaveCommand(b)))) return Fail(updater, 1, kWriteBufferFail);
    }
    return AwaitReady(drive, updater, 3);
}


}  // namespace jv
