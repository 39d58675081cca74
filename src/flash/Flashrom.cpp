#include "flash/Flashrom.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <optional>

#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/FlashromCommon.h"
#include "platform/ByteOrder.h"
#include "platform/Console.h"
#include "platform/Ports.h"
#include "platform/Process.h"

namespace jv {

using namespace rom;

namespace {

SChipRoutines g_routines;
uint8_t g_readOpcode = kRead;
uint8_t g_rangeOpcode = kFastRead;
int32_t g_readWaitUs = 10;

// --- parallel ----------------------------------------------------------------

// Polls address 0 for DQ7 with a millisecond deadline and no sleep.
bool PollErased(EDriveIndex drive, int32_t limitMs) {
    TPerfTimer timer(1000);
    timer.SetDeadline(0, limitMs);
    for (;;) {
        if (ReadFlashByte(drive, 0) & kErased) return true;
        if (Faulted() || timer.Remaining(0) == 0) return false;
    }
}

bool EraseParallelA(EDriveIndex drive) {
    WriteCycles(drive, kEraseA);
    bool erased = false;
    for (int i = 0; i < kPaEraseReads && !erased && !Faulted(); ++i) {
        DelayMs(kPaErasePollMs);
        erased = (ReadFlashByte(drive, 0) & kErased) != 0;
    }
    DelayMs(10);
    return erased;
}

bool EraseParallelB(EDriveIndex drive) {
    WriteCycles(drive, kEraseB);
    return PollErased(drive, kPbEraseMs);
}

bool ErasePageWrite(EDriveIndex drive) {
    WriteCycles(drive, kProtectionOff);
    DelayMs(10);
    WriteCycles(drive, kEraseB);
    DelayMs(50);
    return PollErased(drive, kPageEraseMs);
}

void ProgramParallelA(EDriveIndex drive, uint32_t address, uint8_t value, bool) {
    WriteCycles(drive, kProgramA);
    WriteFlashByte(drive, address, value);
}

void ProgramParallelB(EDriveIndex drive, uint32_t address, uint8_t value, bool) {
    WriteCycles(drive, kProgramB);
    WriteFlashByte(drive, address, value);
    DelayUs(20);
}

template <uint32_t PageSize>
void ProgramPageWrite(EDriveIndex drive, uint32_t address, uint8_t value, bool last) {
    constexpr uint32_t mask = PageSize - 1;
    if ((address & mask) == 0) WriteCycles(drive, kProgramB);
    WriteFlashByte(drive, address, value);
    // The chip starts writing its page buffer once the loads stop: after a
    // page's last byte, and after the image's last byte, which may end a
    // page early. Nothing may touch the chip before that write is done.
    if (last || ((address + 1) & mask) == 0) DelayUs(kPageWriteUs);
}

// --- serial ------------------------------------------------------------------

uint8_t ReadStatus(EDriveIndex drive) {
    uint8_t status = 0;
    const uint8_t out[1] = {kRdsr};
    SerialCommand(drive, out, std::span<uint8_t>(&status, 1));
    return status;
}

bool WaitNotBusyAfterPage(EDriveIndex drive) {
    if (Faulted()) return false;
    TPerfTimer timer(1000);
    timer.SetDeadline(0, static_cast<int32_t>(kRegisterWaitMs));
    for (;;) {
        const uint8_t status = ReadStatus(drive);
        // A command that failed answered nothing: its zero is no status.
        if (Faulted()) return false;
        if ((status & kWip) == 0) return true;
        if (timer.Remaining(0) == 0) {
            SetIdeAccessFault("Serial flash stays busy after a page program: status wait timed out!");
            return false;
        }
    }
}

bool Step(EDriveIndex drive, std::initializer_list<uint8_t> bytes, uint8_t waitFor,
          uint32_t boundMs = kRegisterWaitMs) {
    return Send(drive, bytes) && WaitSerialStatus(drive, waitFor, boundMs);
}

// SST parts: the status register made writable and cleared (no block
// protected), then the whole chip erased.
void SstChipErase(EDriveIndex drive) {
    Send(drive, {kEwsr});
    Step(drive, {kWrsr, 0x00}, kIdle);
    Step(drive, {kWren}, kWriteEnabled);
    Step(drive, {kSstErase}, kIdle, kEraseWaitMs);
}

bool EraseSst(EDriveIndex drive) {
    SstChipErase(drive);
    Step(drive, {kWrdi}, kIdle);
    return !Faulted();
}

bool EraseStandard(EDriveIndex drive) {
    Step(drive, {kWrsr, 0x00}, kIdle);
    Step(drive, {kWren}, kWriteEnabled);
    Step(drive, {kChipErase}, kIdle, kEraseWaitMs);
    Step(drive, {kWrdi}, kIdle);
    return !Faulted();
}

bool EraseSt(EDriveIndex drive) {
    Step(drive, {kWren}, kWriteEnabled);
    Step(drive, {kChipErase}, kIdle, kEraseWaitMs);
    Step(drive, {kWrdi}, kIdle);
    return !Faulted();
}

uint32_t Clip(uint32_t length, std::span<const uint8_t> image) {
    return static_cast<uint32_t>(std::min<size_t>(length, image.size()));
}

// Auto-address-increment programming after an SST chip erase: the first
// command carries address 0, the following ones only data, one byte or one
// word each.
SerialWriteResult WriteAai(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent,
                           bool words) {
    length = Clip(length, image);
    // An odd last byte of a word goes out with an erased partner, which
    // leaves the cell after the image as it was.
    auto at = [&](uint32_t i) -> uint8_t { return i < length ? image[i] : 0xFF; };
    const uint32_t step = words ? 2 : 1;
    SstChipErase(drive);
    Step(drive, {kWren}, kWriteEnabled);
    if (length > 0) {
        if (!silent) ShowFlashProgress(0);
        words ? Send(drive, {kAaiWord, 0, 0, 0, at(0), at(1)}) : Send(drive, {kAaiByte, 0, 0, 0, at(0)});
        for (uint32_t i = step; i < length && !Faulted(); i += step) {
            if (!silent) ShowFlashProgress(i);
            words ? Send(drive, {kAaiWord, at(i), at(i + 1)}) : Send(drive, {kAaiByte, at(i)});
            DelayUs(5);
        }
    }
    Step(drive, {kWrdi}, kIdle);
    return std::nullopt;
}

SerialWriteResult WriteAaiByte(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent) {
    return WriteAai(drive, image, length, silent, false);
}

SerialWriteResult WriteAaiWord(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent) {
    return WriteAai(drive, image, length, silent, true);
}

enum class EPageStyle { Progress, Lines };

void ProgramPages(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent,
                  EPageStyle style) {
    std::array<uint8_t, 4 + kPage> command{};
    for (uint32_t i = 0; i < length && !Faulted(); i += kPage) {
        if (!silent) {
            if (style == EPageStyle::Progress) {
                ShowFlashProgress(i);
            } else {
                ShowPageLines(i);
            }
        }
        Step(drive, {kWren}, kWriteEnabled);
        command[0] = kPageProgram;
        PutBe24(command, 1, i);
        // A short last page carries only the image's bytes (a page program
        // may be shorter than the page): the cells after the image keep what
        // the erase left, and nothing is read past the image.
        const uint32_t count = std::min(kPage, length - i);
        std::copy_n(image.begin() + i, count, command.begin() + 4);
        if (!Faulted()) SerialCommand(drive, std::span<const uint8_t>(command.data(), 4 + size_t{count}), {});
        DelayUs(5);
        WaitNotBusyAfterPage(drive);
    }
    Step(drive, {kWrdi}, kIdle);
}

// Page programming after a chip erase; ST parts skip clearing the status
// register and are only write-enabled twice.
SerialWriteResult EraseAndProgramPages(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length,
                                       bool silent, bool clearStatus, EPageStyle style) {
    length = Clip(length, image);
    Step(drive, {kWren}, kWriteEnabled);
    if (clearStatus) Step(drive, {kWrsr, 0x00}, kIdle);
    Step(drive, {kWren}, kWriteEnabled);
    Step(drive, {kChipErase}, kIdle, kEraseWaitMs);
    ProgramPages(drive, image, length, silent, style);
    return std::nullopt;
}

SerialWriteResult WritePages(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent) {
    return EraseAndProgramPages(drive, image, length, silent, true, EPageStyle::Progress);
}

SerialWriteResult WritePageLines(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent) {
    return EraseAndProgramPages(drive, image, length, silent, true, EPageStyle::Lines);
}

SerialWriteResult WriteSt(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length, bool silent) {
    return EraseAndProgramPages(drive, image, length, silent, false, EPageStyle::Lines);
}

// One read command of up to 256 bytes at address into out.
bool ReadBlock(EDriveIndex drive, uint8_t opcode, uint32_t address, std::span<uint8_t> out) {
    std::array<uint8_t, 5> command{opcode};
    PutBe24(command, 1, address);
    const size_t sent = opcode == kFastRead ? 5 : 4;
    if (Faulted()) return false;
    return SerialCommand(drive, std::span<const uint8_t>(command).first(sent), out);
}

bool ReadSerialChip(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool) {
    length = static_cast<uint32_t>(std::min<size_t>(length, buffer.size()));
    bool ok = true;
    for (uint32_t o = 0; o < length; o += kPage) {
        ok = ReadBlock(drive, g_readOpcode, o, buffer.subspan(o, std::min(kPage, length - o)));
        if (!ok) return false;
        DelayUs(g_readWaitUs);
    }
    return ok;
}

bool ReadSerialChipRange(EDriveIndex drive, uint32_t start, uint32_t length, std::span<uint8_t> buffer, bool) {
    // Only what lies inside the caller's buffer is read.
    if (start >= buffer.size()) return true;
    length = static_cast<uint32_t>(std::min<size_t>(length, buffer.size() - start));
    const uint32_t whole = length & ~(kPage - 1);
    for (uint32_t o = 0; o < whole; o += kPage) {
        if (!ReadBlock(drive, g_rangeOpcode, start + o, buffer.subspan(start + o, kPage))) return false;
        DelayUs(10);
    }
    if (length % kPage != 0) {
        if (!ReadBlock(drive, g_rangeOpcode, start + whole, buffer.subspan(start + whole, length % kPage))) {
            return false;
        }
        DelayUs(10);
    }
    return true;
}

}  // namespace

bool SelectChipAlgorithm(uint8_t chipType) {
    if (chipType >= kChipTypeCount) return false;
    g_routines = {};
    g_readOpcode = kFastRead;
    g_rangeOpcode = kFastRead;
    g_readWaitUs = 5;
    switch (kChipTable[chipType].family) {
    case EChipFamily::ParallelA:
        g_routines.EraseChip = &EraseParallelA;
        g_routines.ProgramByte = &ProgramParallelA;
        break;
    case EChipFamily::ParallelB:
        g_routines.EraseChip = &EraseParallelB;
        g_routines.ProgramByte = &ProgramParallelB;
        break;
    case EChipFamily::ParallelPage128:
        g_routines.EraseChip = &ErasePageWrite;
        g_routines.ProgramByte = &ProgramPageWrite<128>;
        break;
    case EChipFamily::ParallelPage256:
        g_routines.EraseChip = &ErasePageWrite;
        g_routines.ProgramByte = &ProgramPageWrite<256>;
        break;
    case EChipFamily::SerialAai:
        g_routines.EraseChip = &EraseSst;
        g_routines.WriteSerialFlashROM = &WriteAaiByte;
        g_readOpcode = kRead;
        g_rangeOpcode = kRead;
        g_readWaitUs = 10;
        break;
    case EChipFamily::SerialAaiWord:
        g_routines.EraseChip = &EraseSst;
        g_routines.WriteSerialFlashROM = &WriteAaiWord;
        g_readWaitUs = 10;
        break;
    case EChipFamily::SerialPage:
        g_routines.EraseChip = &EraseStandard;
        g_routines.WriteSerialFlashROM = &WritePages;
        if (kChipTable[chipType].quirks & kQuirkPlainWholeRead) g_readOpcode = kRead;
        break;
    case EChipFamily::SerialPageLines:
        g_routines.EraseChip = &EraseStandard;
        g_routines.WriteSerialFlashROM = &WritePageLines;
        break;
    case EChipFamily::SerialSt:
        g_routines.EraseChip = &EraseSt;
        g_routines.WriteSerialFlashROM = &WriteSt;
        break;
    }
    if (kChipTable[chipType].bus == EChipBus::Serial) {
        g_routines.ReadChip = &ReadSerialChip;
        g_routines.ReadChipRange = &ReadSerialChipRange;
    }
    return true;
}

const SChipRoutines& ChipRoutines() { return g_routines; }
void ResetChipRoutines() { g_routines = {}; }

bool WaitSerialStatus(EDriveIndex drive, uint8_t value, uint32_t boundMs) {
    if (Faulted()) return false;
    TPerfTimer timer(1000);
    timer.SetDeadline(0, static_cast<int32_t>(boundMs));
    for (;;) {
        const uint8_t status = ReadStatus(drive);
        if (Faulted()) return false;
        if ((status & 3) == value) return true;
        if (timer.Remaining(0) == 0) {
            SetIdeAccessFault("Serial flash status wait timed out: the chip does not finish!");
            return false;
        }
    }
}

}  // namespace jv
