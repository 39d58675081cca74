#pragma once
// What the ATAPI flash protocols share: their failure texts, their bounds,
// and the helpers that cut the image and read the drive's answers. Only the
// Flashmcu*.cpp files include this.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drive/Winfunc.h"
#include "flash/Flashmcu.h"
#include "platform/Console.h"
#include "platform/Sense.h"

namespace jv::mcu {

inline constexpr const char* kWriteBufferFail = "Write Buffer Fail !\n";
inline constexpr const char* kWaitReadyTimeout = "Wait Drive Ready TimeOut !\n";
inline constexpr const char* kTriggerFail = "Trigger Fail !\n";
inline constexpr const char* kSetChecksumError = "SET F/W CheckSum Error !\n";
inline constexpr const char* kGetChecksumError = "Get CheckSum Error !\n";
inline constexpr const char* kChecksumError = "CheckSum Error !\n";
inline constexpr const char* kFlashError = "Flash Error !\n";
inline constexpr const char* kProgressTimeout = "Flash progress TimeOut !\n";
inline constexpr const char* kKernelMismatch = "Kernel does not match.";

inline constexpr uint64_t kProgressLimitMs = 120000;
inline constexpr uint64_t kFinalSenseLimitMs = 240000;
inline constexpr uint32_t kPollPauseMs = 500;
inline constexpr uint32_t kAfterFlashPauseMs = 3000;
inline constexpr int kChunkRepeats = 10;
inline constexpr int kMtk5Attempts = 3;
inline constexpr int kMtk5ChunksPerBlock = 4;
// MTK5 asks for the sense again soon after a REQUEST SENSE fails: a drive
// busy writing may miss a few, and only the poll's own bound ends it.
inline constexpr uint32_t kFailedSensePauseMs = 50;

inline std::string Fail(bool updater, int code, const char* descriptive) {
    if (updater) return Format("Flash Fail ! (%d)\n", code);
    return descriptive;
}

// Waits for the drive after a step: nothing when it is ready, else the
// protocol's time-out failure with its code, or the run's end when the user
// pressed ESC.
inline FlashResult AwaitReady(EDriveIndex drive, bool updater, int code) {
    return AwaitDriveReady(drive, kReadyWaitSeconds, Fail(updater, code, kWaitReadyTimeout));
}

// The readable part of the caller's image: its first length bytes, never more
// than the buffer holds.
template <typename T>
std::span<T> Readable(std::span<T> image, uint32_t length) {
    return image.first(std::min<size_t>(length, image.size()));
}

// count bytes of the image from offset; whatever lies past its end is sent
// as zeros from the scratch copy.
inline std::span<const uint8_t> Piece(std::span<const uint8_t> image, uint64_t offset, uint32_t count,
                               std::vector<uint8_t>& scratch) {
    if (offset + count <= image.size()) return image.subspan(static_cast<size_t>(offset), count);
    scratch.assign(count, 0);
    if (offset < image.size()) {
        std::copy(image.begin() + static_cast<std::ptrdiff_t>(offset), image.end(), scratch.begin());
    }
    return scratch;
}

// For the commands whose answer the protocol does not wait for: the start of
// programming, the switches and saves around the WRITE BUFFER chunks, the
// first half of an MTK6 page and the ALI pages. A drive may take such a
// command and hold its answer while it programs, so a time-out, a reset or
// NOT READY must not end the flash while the drive may still be writing;
// only a refusal in the drive's own words (it did nothing) does.
inline bool StatedRefusal(bool taken) { return !taken && LastCommandOutcome() == ECommandOutcome::Refused; }

// 64 KB pages needed for length bytes, the last one possibly partial.
inline uint32_t PageCount(uint32_t length) {
    return static_cast<uint32_t>((static_cast<uint64_t>(length) + kFlashPageStride - 1) / kFlashPageStride);
}

inline uint16_t Sum16(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint16_t>(sum);
}

// REQUEST SENSE into a cleared buffer: the reply parsed, or nothing when the
// command failed.
inline std::optional<SSense> RequestSenseParsed(EDriveIndex drive, bool flagA, bool flagB) {
    std::array<uint8_t, kSenseLength> reply{};
    if (!RequestSense(drive, reply, flagA, flagB)) return std::nullopt;
    return ParseSense(reply);
}

// The drive's check sum of its fixed data set and compared, for the
// protocols whose drives keep one.
FlashResult ExchangeChecksum(EDriveIndex drive, std::span<const uint8_t> image, const SYTRParameter& parameter,
                             bool updater);

}  // namespace jv::mcu
