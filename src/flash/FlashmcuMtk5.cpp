// MTK5: the image in 16 KB chunks of 64 KB blocks, in one pass or two.
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

namespace {


enum class EPass : uint8_t { Single, First, Second };

void ShowMtk5Progress(EPass pass, uint8_t block, int32_t blocks, std::string& progress) {
    if (block == 0) {
        progress += ".";
        ShowProgressDots(progress);
        return;
    }
    const int32_t s = 100 * static_cast<int32_t>(block);
    int32_t percent = s / blocks;
    if (pass == EPass::First) percent = (s - 1600) / blocks;
    if (pass == EPass::Second) percent = (s + 1600) / blocks;
    ShowProgressPercent(static_cast<int>(percent));
}

FlashResult SendMtk5Chunk(EDriveIndex drive, std::span<const uint8_t> chunk, uint8_t block, uint16_t offset,
                          bool updater) {
    for (int repeat = 0; !WriteBufferOffset(drive, chunk, block, offset); ++repeat) {
        if (repeat == kChunkRepeats) return Fail(updater, 1, kWriteBufferFail);
        SleepMs(kPollPauseMs);
    }
    return std::nullopt;
}

// One megabyte: its blocks, the save, and the wait until the drive has
// written it. Returns only failures; a pass that ends or completes is fine.
FlashResult RunMtk5Pass(EDriveIndex drive, std::span<const uint8_t> image, int32_t blocks, EPass pass, bool high,
                        std::string& progress, bool updater) {
    const int32_t first = pass == EPass::First ? kMtk5PassBlocks : 0;
    const int32_t end = pass == EPass::Single ? blocks : first + kMtk5PassBlocks;
    std::vector<uint8_t> scratch;

    // A refused mode switch or save leaves the drive with nothing to
    // program, and the poll would meet a drive that is simply ready.
    BeginFlashWrite();
    if (StatedRefusal(WriteBufferMode1(drive, 1))) return Fail(updater, 1, kWriteBufferFail);
    for (int32_t b = first; b < end; ++b) {
        for (int k = 0; k < kMtk5ChunksPerBlock; ++k) {
            const uint64_t offset =
                static_cast<uint64_t>(b) * kFlashPageStride + static_cast<uint64_t>(k) * kChunkLength;
            auto chunk = Piece(image, offset, kChunkLength, scratch);
            if (auto failure = SendMtk5Chunk(drive, chunk, static_cast<uint8_t>(b),
                                             static_cast<uint16_t>(k * kChunkLength), updater)) {
                return failure;
            }
        }
    }
    if (StatedRefusal(WriteBufferMode1(drive, 0)) || StatedRefusal(WriteBufferSave(drive, pass == EPass::First))) {
        return Fail(updater, 1, kWriteBufferFail);
    }

    const uint64_t start = NowMs();
    for (;;) {
        if (NowMs() - start > kProgressLimitMs) return std::string(kProgressTimeout);
        const std::optional<SSense> polled = RequestSenseParsed(drive, high, false);
        if (!polled) {
            SleepMs(kFailedSensePauseMs);
            continue;
        }
        const SSense& sense = *polled;
        if (sense.key == kSenseNoSense || IsNoMedium(sense)) return std::nullopt;
        const bool writing = IsBecomingReady(sense) && (sense.ascq == kAscqOperationInProgress || sense.ascq == kAscqLongWriteInProgress);
        const bool working = writing || (IsUnitAttention(sense) && sense.asc == kAscPowerOnReset);
        if (!working) return Fail(updater, 4, kTriggerFail);
        const int32_t doneAt = pass == EPass::Second ? kMtk5PassBlocks : blocks;
        // Without the information field the drive says nothing of its
        // progress: the pass goes on until it reports the reset or the end.
        const bool complete = IsUnitAttention(sense) || (sense.hasInformation && sense.ProgressBlock() == doneAt);
        if (!complete) {
            if (sense.hasInformation) ShowMtk5Progress(pass, sense.ProgressBlock(), blocks, progress);
            SleepMs(kPollPauseMs);
            continue;
        }
        if (pass == EPass::Single) {
            RequestSenseParsed(drive, high, true);
        } else if (pass == EPass::Second) {
            while (!RequestSenseParsed(drive, high, true)) {
                SleepMs(kPollPauseMs);
                if (NowMs() - start > kFinalSenseLimitMs) return std::string(kProgressTimeout);
            }
        }
        if (FlashResult wait = AwaitReady(drive, updater, 3)) return wait;
        if (pass == EPass::First && sense.hasInformation) {
            const int32_t percent = (100 * static_cast<int32_t>(sense.ProgressBlock()) - 1600) / blocks;
            ShowProgressPercent(static_cast<int>(percent));
        }
        return std::nullopt;
    }
}

}  // namespace

FlashResult FlashMtk5(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool, bool, bool updater) {
    std::span<const uint8_t> bytes = Readable(std::span<const uint8_t>(image), length);
    const auto blocks = static_cast<int32_t>(length / kFlashPageStride);
    // Without one whole block nothing would be sent, and the progress could
    // not be worked out; refuse before the drive is told anything.
    if (blocks == 0) return Fail(updater, 1, kWriteBufferFail);
    const bool high = blocks > kMtk5PassBlocks;

    for (int attempt = 1;; ++attempt) {
        std::string progress = "Flashing";
        FlashResult failure;
        if (high) {
            failure = RunMtk5Pass(drive, bytes, blocks, EPass::First, high, progress, updater);
            if (!failure) failure = RunMtk5Pass(drive, bytes, blocks, EPass::Second, high, progress, updater);
        } else {
            failure = RunMtk5Pass(drive, bytes, blocks, EPass::Single, high, progress, updater);
        }
        if (failure) return failure;
        ShowProgressPercent(100);
        SleepMs(kAfterFlashPauseMs);

        if (InquiryRevision(drive) != "BOOT") break;
        if (attempt >= kMtk5Attempts) return Fail(updater, 8, kFlashError);
        ClearScreen();
        Print("Last flash fail !\n");
        Print("retrying flash %d time(s)\n", attempt + 1);
    }
    if (FlashResult wait = AwaitReady(drive, updater, 3)) return wait;
    return ExchangeChecksum(drive, bytes, parameter, updater);
}


}  // namespace jv
