#include "flash/Flashmcu.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "flash/AtapiFlashTypes.h"
#include "flash/Flashmsg.h"
#include "package/Firmware.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "util/ByteOrder.h"

namespace jv {

namespace {

constexpr const char* kWriteBufferFail = "Write Buffer Fail !\n";
constexpr const char* kWaitReadyTimeout = "Wait Drive Ready TimeOut !\n";
constexpr const char* kTriggerFail = "Trigger Fail !\n";
constexpr const char* kSetChecksumError = "SET F/W CheckSum Error !\n";
constexpr const char* kGetChecksumError = "Get CheckSum Error !\n";
constexpr const char* kChecksumError = "CheckSum Error !\n";
constexpr const char* kFlashError = "Flash Error !\n";
constexpr const char* kProgressTimeout = "Flash progress TimeOut !\n";
constexpr const char* kKernelMismatch = "Kernel does not match.";

constexpr uint64_t kProgressLimitMs = 120000;
constexpr uint64_t kFinalSenseLimitMs = 240000;
constexpr uint32_t kPollPauseMs = 500;
constexpr uint32_t kAfterFlashPauseMs = 3000;
constexpr int kChunkRepeats = 10;
constexpr int kMtk5Attempts = 3;
constexpr int kMtk5ChunksPerBlock = 4;
constexpr int kChecksumFeature = 13;
// MTK5 asks for the sense again soon after a REQUEST SENSE fails: a drive
// busy writing may miss a few, and only the poll's own bound ends it.
constexpr uint32_t kFailedSensePauseMs = 50;

std::string Fail(bool updater, int code, const char* descriptive) {
    if (updater) return Format("Flash Fail ! (%d)\n", code);
    return descriptive;
}

// The readable part of the caller's image: its first length bytes, never more
// than the buffer holds.
template <typename T>
std::span<T> Readable(std::span<T> image, uint32_t length) {
    return image.first(std::min<size_t>(length, image.size()));
}

// count bytes of the image from offset; whatever lies past its end is sent
// as zeros from the scratch copy.
std::span<const uint8_t> Piece(std::span<const uint8_t> image, uint64_t offset, uint32_t count,
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
bool StatedRefusal(bool taken) { return !taken && LastCommandOutcome() == ECommandOutcome::Refused; }

// 64 KB pages needed for length bytes, the last one possibly partial.
uint32_t PageCount(uint32_t length) {
    return static_cast<uint32_t>((static_cast<uint64_t>(length) + kFlashPageStride - 1) / kFlashPageStride);
}

uint16_t Sum16(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint16_t>(sum);
}

// REQUEST SENSE into a cleared buffer: the reply parsed, or nothing when the
// command failed.
std::optional<SSense> RequestSenseParsed(EDriveIndex drive, bool flagA, bool flagB) {
    std::array<uint8_t, kSenseLength> reply{};
    if (!RequestSense(drive, reply, flagA, flagB)) return std::nullopt;
    return ParseSense(reply);
}

// ---- the page protocol ----

enum class EKernelCheck : uint8_t { QueryOnly, Full };
enum class EPoll : uint8_t { None, Mtk3, Mtk6 };

struct SPageMember {
    EKernelCheck kernel;
    bool usesImmediate;
    EPoll poll;
    bool halfPages;  // MTK6's own data phase
    bool waitReady;
};

constexpr SPageMember kMemberMtk{EKernelCheck::QueryOnly, false, EPoll::None, false, true};
constexpr SPageMember kMemberMtk2{EKernelCheck::Full, false, EPoll::None, false, true};
constexpr SPageMember kMemberMtk3{EKernelCheck::Full, true, EPoll::Mtk3, false, true};
constexpr SPageMember kMemberMtk4{EKernelCheck::QueryOnly, false, EPoll::None, false, true};
constexpr SPageMember kMemberMtk6{EKernelCheck::QueryOnly, false, EPoll::Mtk6, true, false};

// Compares the drive's flash kernel with the image's and rewrites it when
// they differ. Only a report that points past the image, or a kernel too long
// for the read-back, stops the flash.
FlashResult CheckKernel(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool updater) {
    // A failing query need not transfer anything; what is left in a cleared
    // buffer cannot pass for a report.
    std::vector<uint8_t> report(kKernelReportLength, 0);
    if (ReadVendorData(drive, report)) return std::nullopt;
    const uint8_t bank = report[4];
    if (report[0] != 0x55 || report[1] != 0xDD || bank >= 8) return std::nullopt;
    const uint16_t address = Be16(report, 5);
    const uint32_t kernelLength = Be16(report, 7);
    const uint64_t base = static_cast<uint64_t>(bank) * kFlashPageStride + address;
    if (base + kernelLength > length) return std::string(kKernelMismatch);
    if (kernelLength > kMaxKernelLength) return Fail(updater, 1, kWriteBufferFail);

    const uint32_t rounded = (kernelLength + kFlashBlockLength - 1) & ~(kFlashBlockLength - 1);
    std::vector<uint8_t> current(rounded, 0);
    // A block the drive answered with fewer bytes than asked holds no kernel
    // to compare: it counts as one that differs, and the kernel is written.
    bool shortRead = false;
    for (uint32_t j = 0; j < rounded / kFlashBlockLength; ++j) {
        const auto offset = static_cast<uint16_t>(address + kFlashBlockLength * j);
        if (ExecuteDataIn(drive, ReadFlashBlockBlock(offset, bank), std::span(current).subspan(j * kFlashBlockLength),
                          kFlashBlockLength) &&
            LastCommandTransferred() < kFlashBlockLength) {
            shortRead = true;
        }
    }
    std::vector<uint8_t> scratch;
    auto wanted = Piece(image, base, kernelLength, scratch);
    if (!shortRead && std::equal(wanted.begin(), wanted.end(), current.begin())) return std::nullopt;

    const uint32_t pieces = (kernelLength + kKernelPieceLength - 1) / kKernelPieceLength;
    BeginFlashWrite();
    for (uint32_t j = 0; j < pieces; ++j) {
        const auto flashAddress = static_cast<uint16_t>(address + kKernelPieceLength * j);
        ExecuteDataOut(drive, WriteKernelPieceBlock(bank, flashAddress),
                Piece(image, base + kKernelPieceLength * j, kKernelPieceLength, scratch));
    }
    return std::nullopt;
}

// Bank by bank: each bank's data, made even, after a 0x00 put behind it.
FlashResult SendBanks(EDriveIndex drive, std::span<uint8_t> image, const SYTRParameter& parameter, bool updater,
                      uint32_t& sent) {
    std::vector<uint8_t> scratch;
    sent = 0;
    for (size_t i = 0; i < parameter.BankSizes.size(); ++i) {
        const uint32_t size = parameter.BankSizes[i];
        const uint64_t start = static_cast<uint64_t>(i) * kFlashPageStride;
        if (start + size < image.size()) image[static_cast<size_t>(start + size)] = 0x00;
        const auto even = static_cast<uint16_t>((size + 1) & ~1u);
        if (!ExecuteDataOut(drive, WriteFlashPageBlock(static_cast<uint8_t>(i), even), Piece(image, start, even, scratch))) {
            return Fail(updater, 1, kWriteBufferFail);
        }
        ++sent;
    }
    return std::nullopt;
}

// 64 KB pages of which the length field can carry 65,534 bytes.
FlashResult SendPages(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool updater,
                      uint32_t& sent) {
    std::vector<uint8_t> scratch;
    sent = 0;
    const uint32_t pages = PageCount(length);
    for (uint32_t i = 0; i < pages; ++i) {
        const uint32_t left = std::min<uint32_t>(length - kFlashPageStride * i, kMaxBankLength);
        const auto even = static_cast<uint16_t>((left + 1) & ~1u);
        const uint64_t start = static_cast<uint64_t>(i) * kFlashPageStride;
        if (!ExecuteDataOut(drive, WriteFlashPageBlock(static_cast<uint8_t>(i), even), Piece(image, start, even, scratch))) {
            return Fail(updater, 1, kWriteBufferFail);
        }
        ++sent;
    }
    return std::nullopt;
}

// Whole 64 KB pages as two halves. A half the drive refused is a page it
// does not hold, whichever half it was.
FlashResult SendHalfPages(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool updater,
                          uint32_t& sent) {
    std::vector<uint8_t> scratch;
    sent = 0;
    const uint32_t pages = PageCount(length);
    for (uint32_t i = 0; i < pages; ++i) {
        const uint64_t start = static_cast<uint64_t>(i) * kFlashPageStride;
        const auto number = static_cast<uint8_t>(i);
        // The drive answers for the page with its second half; a first half it
        // plainly refused is a page it does not hold all the same.
        if (StatedRefusal(ExecuteDataOut(drive, WriteFlashPageBlock(number, 0x0000),
                                  Piece(image, start, kMtk6HalfLength, scratch))) ||
            !ExecuteDataOut(drive, WriteFlashPageBlock(number, 0x8000),
                     Piece(image, start + kMtk6HalfLength, kMtk6HalfLength, scratch))) {
            return Fail(updater, 1, kWriteBufferFail);
        }
        ++sent;
    }
    return std::nullopt;
}

FlashResult PollPageProgress(EDriveIndex drive, EPoll poll, bool immediate, bool silent, bool updater) {
    const uint64_t start = NowMs();
    for (;;) {
        if (TestUnitReady(drive)) return std::nullopt;
        if (NowMs() - start > kProgressLimitMs) return std::string(kProgressTimeout);
        const SSense sense = ReadSense();
        if (IsNoMedium(sense)) return std::nullopt;
        const bool busy = IsBecomingReady(sense);
        // A sense without the information field has no progress to show.
        const bool shown = !silent && sense.hasInformation;
        if (poll == EPoll::Mtk3) {
            if (busy && sense.ascq == kAscqLongWriteInProgress) {
                if (shown && immediate) ShowFlashBank(sense.ProgressBlock());
                if (shown) ShowAddress(sense.ProgressAddress());
            }
        } else if (busy) {
            if (shown) ShowAddress(sense.ProgressAddress());
        } else {
            return Fail(updater, 4, kTriggerFail);
        }
        SleepMs(kPollPauseMs);
    }
}

FlashResult RunPageProtocol(const SPageMember& member, EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                            const SYTRParameter& parameter, bool immediate, bool silent, bool updater) {
    std::span<uint8_t> own = Readable(image, length);
    std::span<const uint8_t> bytes = own;
    const bool bankTransfer = !member.halfPages && parameter.MaxBankSize == kFlashPageStride;
    if (bankTransfer) {
        // A bank this large cannot be sent whole; refuse it before anything is written.
        for (uint32_t size : parameter.BankSizes)
            if (size > kMaxBankLength) return Fail(updater, 1, kWriteBufferFail);
    }

    if (member.kernel == EKernelCheck::Full) {
        if (auto failure = CheckKernel(drive, bytes, length, updater)) return failure;
    } else {
        // Older drives expect the query before the pages; its answer means nothing here.
        std::vector<uint8_t> report(kKernelReportLength, 0);
        ReadVendorData(drive, report);
    }

    uint32_t sent = 0;
    FlashResult failure;
    BeginFlashWrite();
    if (member.halfPages) {
        failure = SendHalfPages(drive, bytes, length, updater, sent);
    } else if (bankTransfer) {
        failure = SendBanks(drive, own, parameter, updater, sent);
    } else {
        failure = SendPages(drive, bytes, length, updater, sent);
    }
    if (failure) return failure;

    // A drive that refuses the start (its count or sum of the pages disagrees)
    // keeps its old firmware and is ready at once: the poll and the ready wait
    // would take that for a finished flash. One that holds its answer while
    // it programs is polled like one that answered.
    std::vector<uint8_t> scratch;
    if (StatedRefusal(ExecuteDataOut(drive,
                              StartFlashBlock(member.usesImmediate && immediate, static_cast<uint8_t>(sent),
                                              parameter.HeaderCheckSum),
                              Piece(bytes, 0, kStartFlashDataLength, scratch)))) {
        return Fail(updater, 1, kWriteBufferFail);
    }

    if (member.poll != EPoll::None) {
        if (auto timeout = PollPageProgress(drive, member.poll, immediate, silent, updater)) return timeout;
    }
    if (!member.waitReady) return std::nullopt;
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
    return std::nullopt;
}

// ---- MTK5 ----

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
        if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
        if (pass == EPass::First && sense.hasInformation) {
            const int32_t percent = (100 * static_cast<int32_t>(sense.ProgressBlock()) - 1600) / blocks;
            ShowProgressPercent(static_cast<int>(percent));
        }
        return std::nullopt;
    }
}

FlashResult ExchangeChecksum(EDriveIndex drive, std::span<const uint8_t> image, const SYTRParameter& parameter,
                             bool updater) {
    std::array<uint8_t, 256> reply{};
    if (!QueryFeature(drive, reply, kChecksumFeature)) return std::nullopt;
    const uint16_t sum = CalcFixDataCheckSum(image, parameter);
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
    if (!SetFirmwareChecksum(drive, parameter.HeaderCheckSum, sum)) return Fail(updater, 5, kSetChecksumError);
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
    reply.fill(0);
    if (!GetFirmwareChecksum(drive, reply)) return Fail(updater, 6, kGetChecksumError);
    if (Be16(reply, 6) != sum) return Fail(updater, 7, kChecksumError);
    return std::nullopt;
}

// ---- protocol slots ----

AtapiFlashRoutine gFlashRoutine = nullptr;
FlashReadRoutine gReadRoutine = nullptr;

}  // namespace

CommandBlock WriteFlashPageBlock(uint8_t number, uint16_t field) {
    CommandBlock block = kCmdWriteFlashPage;
    block[7] = number;
    PutBe16(block, 8, field);
    return block;
}

CommandBlock StartFlashBlock(bool withProgress, uint8_t pagesSent, uint16_t headerCheckSum) {
    CommandBlock block = kCmdStartFlash;
    block[6] = withProgress ? 0x05 : 0x04;
    block[7] = static_cast<uint8_t>(0xE0 + pagesSent);
    PutBe16(block, 10, headerCheckSum);
    return block;
}

CommandBlock ReadFlashBlockBlock(uint16_t offset, uint8_t page) {
    CommandBlock block = kCmdReadFlashBlock;
    PutBe16(block, 6, offset);
    block[9] = page;
    return block;
}

CommandBlock WriteKernelPieceBlock(uint8_t bank, uint16_t address) {
    CommandBlock block = kCmdWriteKernelPiece;
    block[7] = bank;
    PutBe16(block, 8, address);
    return block;
}

CommandBlock WriteAliPageBlock(uint16_t pageSum, uint16_t imageSum, uint8_t page, uint8_t count) {
    CommandBlock block = kCmdWriteAliPage;
    PutBe16(block, 6, pageSum);
    PutBe16(block, 8, imageSum);
    block[10] = page;
    block[11] = count;
    return block;
}

CommandBlock Mtk7ChunkBlock(uint8_t block, uint8_t offset256) {
    CommandBlock cdb = kCmdMtk7Chunk;
    cdb[3] = block;
    cdb[4] = offset256;
    return cdb;
}

CommandBlock Mtk7SaveBlock(uint8_t block) {
    CommandBlock cdb = kCmdMtk7Save;
    cdb[3] = block;
    return cdb;
}

void SelectAtapiProtocol(uint8_t atapiFlashType) {
    if (const SAtapiFlashType* type = FindAtapiFlashType(atapiFlashType)) {
        gFlashRoutine = type->sender;
        gReadRoutine = &ReadFlashImage;
    }
    Print("\r");
}

AtapiFlashRoutine SelectedFlashRoutine() { return gFlashRoutine; }
FlashReadRoutine SelectedReadRoutine() { return gReadRoutine; }

FlashResult FlashAtapi(EDriveIndex drive, std::span<uint8_t> image, uint32_t length,
                       const SYTRParameter& parameter, const SFlashOptions& options, bool updater) {
    const uint8_t type = parameter.AtapiFlashType;
    if (FindAtapiFlashType(type) == nullptr) return FlashMessage(kMsgAtapiTypeUnsupported);
    SelectAtapiProtocol(type);
    SetMessageTable(options.silent != 0);
    if (!options.silent) ShowUpdating();
    return SelectedFlashRoutine()(drive, image, length, parameter, options.immediateAtapi != 0, options.silent != 0,
                                  updater);
}

FlashResult FlashMtk(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                     bool immediate, bool silent, bool updater) {
    return RunPageProtocol(kMemberMtk, drive, image, length, parameter, immediate, silent, updater);
}

FlashResult FlashMtk2(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater) {
    return RunPageProtocol(kMemberMtk2, drive, image, length, parameter, immediate, silent, updater);
}

FlashResult FlashMtk3(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater) {
    return RunPageProtocol(kMemberMtk3, drive, image, length, parameter, immediate, silent, updater);
}

FlashResult FlashMtk4(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater) {
    return RunPageProtocol(kMemberMtk4, drive, image, length, parameter, immediate, silent, updater);
}

FlashResult FlashMtk6(EDriveIndex drive, std::span<uint8_t> image, uint32_t length, SYTRParameter parameter,
                      bool immediate, bool silent, bool updater) {
    return RunPageProtocol(kMemberMtk6, drive, image, length, parameter, immediate, silent, updater);
}

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
        if (StatedRefusal(ExecuteDataOut(drive, WriteAliPageBlock(Sum16(page), imageSum, number,
                                                           static_cast<uint8_t>(pages)), page))) {
            return Fail(updater, 1, kWriteBufferFail);
        }
    }
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 1, kWaitReadyTimeout);
    return std::nullopt;
}

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
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
    return ExchangeChecksum(drive, bytes, parameter, updater);
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
            if (!ExecuteDataOut(drive, Mtk7ChunkBlock(b, static_cast<uint8_t>(0x40 * k)),
                         Piece(bytes, offset, kChunkLength, scratch))) {
                return Fail(updater, 1, kWriteBufferFail);
            }
        }
        // The save of the lower block restarts the drive once it has
        // programmed it, which may cost the save its answer; a refused save
        // programs nothing.
        if (StatedRefusal(ExecuteNoData(drive, Mtk7SaveBlock(b)))) return Fail(updater, 1, kWriteBufferFail);
    }
    if (!WaitDriveReady(drive, kReadyWaitSeconds)) return Fail(updater, 3, kWaitReadyTimeout);
    return std::nullopt;
}

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
        const CommandBlock cdb = ReadFlashBlockBlock(offset, page);
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
