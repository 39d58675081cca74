// The page protocol family: MTK, MTK2, MTK3, MTK4 and MTK6.
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
        if (ExecuteDataIn(drive, ReadFlashBlockCommand(offset, bank), std::span(current).subspan(j * kFlashBlockLength),
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
        ExecuteDataOut(drive, WriteKernelPieceCommand(bank, flashAddress),
                Piece(image, base + kKernelPieceLength * j, kKernelPieceLength, scratch));
    }
    return std::nullopt;
}

// The first count bytes of page number, made even; false when the drive
// refused them.
bool SendPage(EDriveIndex drive, std::span<const uint8_t> image, uint32_t number, uint32_t count,
              std::vector<uint8_t>& scratch) {
    const auto even = static_cast<uint16_t>((count + 1) & ~1u);
    const uint64_t start = static_cast<uint64_t>(number) * kFlashPageStride;
    return ExecuteDataOut(drive, WriteFlashPageCommand(static_cast<uint8_t>(number), even),
                          Piece(image, start, even, scratch));
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
        if (!SendPage(drive, image, static_cast<uint32_t>(i), size, scratch)) return Fail(updater, 1, kWriteBufferFail);
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
        if (!SendPage(drive, image, i, left, scratch)) return Fail(updater, 1, kWriteBufferFail);
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
        if (StatedRefusal(ExecuteDataOut(drive, WriteFlashPageCommand(number, 0x0000),
                                  Piece(image, start, kMtk6HalfLength, scratch))) ||
            !ExecuteDataOut(drive, WriteFlashPageCommand(number, 0x8000),
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
                              StartFlashCommand(member.usesImmediate && immediate, static_cast<uint8_t>(sent),
                                              parameter.HeaderCheckSum),
                              Piece(bytes, 0, kStartFlashDataLength, scratch)))) {
        return Fail(updater, 1, kWriteBufferFail);
    }

    if (member.poll != EPoll::None) {
        if (auto timeout = PollPageProgress(drive, member.poll, immediate, silent, updater)) return timeout;
    }
    if (!member.waitReady) return std::nullopt;
    return AwaitReady(drive, updater, 3);
}

}  // namespace

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


}  // namespace jv
