#include "sim/FlashChips.h"

#include <algorithm>
#include <utility>

#include "platform/Clock.h"

namespace jv::sim {

namespace {

using F = EChipFamily;
using E = EIdEntry;
constexpr std::array<uint8_t, 5> kNoRdid{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Parallel rows: codes read at 0, 1, 0x100, 0x101 in identification mode.
// Most parts decode only A0 there, so 0x100/0x101 repeat the first pair.
constexpr SChipModel Parallel(uint8_t type, F family, E entry, uint8_t m, uint8_t d, uint8_t alternative = 0,
                              uint8_t m100 = 0, uint8_t d101 = 0) {
    bool extended = m100 != 0;
    return {type, family, entry, {m, d, extended ? m100 : m, extended ? d101 : d}, alternative, kNoRdid, false,
            false};
}

// Serial rows: RES pair, REMS pair (when the part has REMS), RDID bytes.
constexpr SChipModel Serial(uint8_t type, F family, bool hasRes, uint8_t r0, uint8_t r1, bool hasRems = false,
                            uint8_t e0 = 0xFF, uint8_t e1 = 0xFF, std::array<uint8_t, 5> rdid = kNoRdid) {
    return {type, family, E::Serial, {r0, r1, e0, e1}, 0, rdid, hasRes, hasRems};
}

constexpr std::array<SChipModel, kChipTypes> kModels{{
    Parallel(0, F::PA, E::A, 0x37, 0xA1, 0x4C),
    Parallel(1, F::PA, E::A, 0x7F, 0x20, 0, 0x1C, 0x20),
    Parallel(2, F::PB, E::B, 0xBF, 0xB5),
    Parallel(3, F::PB, E::A, 0x9D, 0x1C),
    Parallel(4, F::PB, E::B, 0x40, 0x01, 0xA1),
    Parallel(5, F::P128, E::W, 0xDA, 0xC1),
    Parallel(6, F::PA, E::A, 0xC2, 0xA4),
    Parallel(7, F::PA, E::A, 0x7F, 0x7F, 0, 0x1C, 0x04),
    Parallel(8, F::PA, E::A, 0x37, 0x86),
    Parallel(9, F::P256, E::C, 0xDA, 0x46),
    Parallel(10, F::PB, E::A, 0x9D, 0x3E),
    Parallel(11, F::PB, E::C, 0xDA, 0xB6),
    Parallel(12, F::PA, E::A, 0xC2, 0x4F),
    Parallel(13, F::PA, E::A, 0x7F, 0x4F, 0, 0x1C, 0x4F),
    Parallel(14, F::PA, E::A, 0x37, 0x34, 0xB5),
    Serial(15, F::SAai, true, 0xBF, 0x44, true, 0xBF, 0x44),
    Serial(16, F::SAai, true, 0xBF, 0x43, true, 0xBF, 0x43),
    Serial(17, F::SAai, true, 0xBF, 0x49, true, 0xBF, 0x49),
    Serial(18, F::SAai, true, 0xBF, 0x80, true, 0xBF, 0x80),
    Serial(19, F::SAaiWord, true, 0xBF, 0x41, true, 0xBF, 0x41, {0xBF, 0x25, 0x41, 0xBF, 0x25}),
    Serial(20, F::SPp, true, 0x32, 0x32),
    Serial(21, F::SPpl, true, 0x12, 0x12, true, 0x01, 0x12, {0x01, 0x02, 0x12, 0x01, 0x02}),
    Serial(22, F::SPpl, true, 0x14, 0x14, true, 0x01, 0x14, {0x01, 0x02, 0x14, 0x01, 0x02}),
    Serial(23, F::SPpl, true, 0x62, 0x07),
    Serial(24, F::SPp, true, 0x9D, 0x7C),
    Serial(25, F::SPp, true, 0x9D, 0x7D),
    Serial(26, F::SPp, true, 0x9D, 0x7E),
    Serial(27, F::SPp, true, 0x12, 0x12, true, 0xC2, 0x12, {0xC2, 0x20, 0x13, 0xC2, 0x20}),
    Serial(28, F::SPp, true, 0x13, 0x13, true, 0xC2, 0x13, {0xC2, 0x20, 0x14, 0xC2, 0x20}),
    Serial(29, F::SPp, true, 0x11, 0x11, true, 0xC2, 0x11),
    Serial(30, F::SPp, true, 0x10, 0x10, true, 0xC2, 0x10),
    Serial(31, F::SPp, true, 0x14, 0x14, true, 0xC2, 0x14, {0xC2, 0x20, 0x15, 0xC2, 0x20}),
    Serial(32, F::SPp, true, 0x14, 0x14, false, 0xFF, 0xFF, {0x7F, 0x7F, 0x7F, 0x7F, 0x13}),
    Serial(33, F::SPp, true, 0x14, 0x14, false, 0xFF, 0xFF, {0x7F, 0x7F, 0x7F, 0x7F, 0x14}),
    Serial(34, F::SSt, false, 0xFF, 0xFF, false, 0xFF, 0xFF, {0x20, 0x80, 0x13, 0x20, 0x80}),
    Serial(35, F::SSt, false, 0xFF, 0xFF, false, 0xFF, 0xFF, {0x20, 0x80, 0x14, 0x20, 0x80}),
    Serial(36, F::SSt, true, 0x13, 0x13, false, 0xFF, 0xFF, {0x20, 0x20, 0x14, 0x20, 0x20}),
    Serial(37, F::SPp, true, 0x14, 0x14),
    Serial(38, F::SPp, true, 0x12, 0x12, true, 0x1C, 0x12),
}};

// Capacities of the parts, in the order of the rows above.
constexpr uint32_t kKiB = 1024;
constexpr std::array<uint32_t, kChipTypes> kPartSizes{{
    // parallel, types 0 to 14
    128 * kKiB, 128 * kKiB, 128 * kKiB, 128 * kKiB, 128 * kKiB, 128 * kKiB, 512 * kKiB, 512 * kKiB,
    512 * kKiB, 512 * kKiB, 512 * kKiB, 512 * kKiB, 512 * kKiB, 512 * kKiB, 512 * kKiB,
    // serial, types 15 to 38
    512 * kKiB, 256 * kKiB, 128 * kKiB, 1024 * kKiB, 2048 * kKiB, 512 * kKiB, 512 * kKiB, 2048 * kKiB,
    512 * kKiB, 128 * kKiB, 256 * kKiB, 512 * kKiB, 512 * kKiB, 1024 * kKiB, 256 * kKiB, 128 * kKiB,
    2048 * kKiB, 1024 * kKiB, 2048 * kKiB, 512 * kKiB, 1024 * kKiB, 1024 * kKiB, 2048 * kKiB, 512 * kKiB,
}};

constexpr uint32_t kLowUnlock1 = 0x0555, kLowUnlock2 = 0x02AA;
constexpr uint32_t kHighUnlock1 = 0x5555, kHighUnlock2 = 0x2AAA;
// What a part with the unknown-codes fault answers to every identification.
constexpr uint8_t kUnknownA = 0xA5, kUnknownB = 0x5A;

// Microseconds of the installed clock, from its performance counter (the
// millisecond clock is too coarse for a load time-out).
uint64_t NowUs() {
    Clock& clock = TheClock();
    const uint64_t counter = clock.PerfCounter();
    const uint64_t frequency = clock.PerfFrequency();
    if (frequency == 0) return clock.MonotonicMs() * 1000;
    return counter / frequency * 1'000'000 + counter % frequency * 1'000'000 / frequency;
}

bool IsSst(const SChipModel& m) { return m.family == F::SAai || m.family == F::SAaiWord; }
bool IsPageWrite(const SChipModel& m) { return m.family == F::P128 || m.family == F::P256; }

}  // namespace

const SChipModel& ChipModel(uint8_t type) { return kModels[std::min<size_t>(type, kChipTypes - 1)]; }
bool IsSerialChip(uint8_t type) { return type < kChipTypes && kModels[type].entry == E::Serial; }
uint32_t ChipPartSize(uint8_t type) { return type < kChipTypes ? kPartSizes[type] : 0; }

VirtualFlashChip::VirtualFlashChip(uint8_t type, FlashMemory& cells, SChipFaults faults)
    : model_(ChipModel(type)), cells_(cells), faults_(std::move(faults)) {
    if (model_.entry == E::Serial) {
        // The parts the algorithms unprotect with WRSR come up protected;
        // the ones the algorithms never unprotect come up open.
        bool protect = faults_.protectedAtStart < 0 ? model_.family != F::SSt : faults_.protectedAtStart == 1;
        if (protect) status_ = kProtection & 0x1C;
    }
    std::sort(faults_.stuckBytes.begin(), faults_.stuckBytes.end());
    if (IsPageWrite(model_)) pageLatch_.assign(PageSize(), -1);
}

// ---- time and cells ----

void VirtualFlashChip::Settle() {
    // The counter is read only while a load is open: it is time, and the
    // virtual clock moves on with every read.
    if (state_ == EState::PageLoad && pageOpen_ && NowUs() >= loadDeadlineUs_) {
        CommitPage(loadDeadlineUs_ / 1000);
    }
    if (!busy_ || stuckBusy_) return;
    // A page program ends after its time or once the host has seen it busy
    // in two status reads, whichever comes first: a virtual host that polls
    // must not have to spin a millisecond of counter reads per page.
    const bool timeUp = NowMs() >= busyUntilMs_;
    if (!timeUp && !(countedBusy_ && busyReads_ == 0)) return;
    busy_ = false;
    // Write enable ends with the operation it allowed.
    status_ = static_cast<uint8_t>(status_ & ~(kWip | kWel));
}

void VirtualFlashChip::StartBusy(uint64_t ms, bool countReads) {
    busy_ = true;
    busyUntilMs_ = NowMs() + ms;
    countedBusy_ = countReads;
    busyReads_ = countReads ? 2 : 0;
    if (faults_.staysBusy) stuckBusy_ = true;
    status_ |= kWip;
}

bool VirtualFlashChip::Busy() {
    Settle();
    return busy_;
}

uint32_t VirtualFlashChip::Wrap(uint32_t address) const {
    // Address lines above the part's size are not connected.
    return cells_.Size() == 0 ? 0 : address % cells_.Size();
}

void VirtualFlashChip::ProgramCell(uint32_t address, uint8_t value) {
    if (cells_.Size() == 0) return;
    address = Wrap(address);
    lastProgrammed_ = value;
    if (std::binary_search(faults_.stuckBytes.begin(), faults_.stuckBytes.end(), address)) return;
    const uint8_t one[1] = {value};
    cells_.Program(address, one);
    ++changes_;
}

void VirtualFlashChip::EraseAll(uint64_t ms) {
    cells_.EraseAll();
    ++changes_;
    lastProgrammed_ = 0xFF;
    StartBusy(ms);
}

uint8_t VirtualFlashChip::StatusRegister() {
    Settle();
    return status_;
}

// ---- parallel bus ----

uint32_t VirtualFlashChip::PageSize() const { return model_.family == F::P128 ? 128 : 256; }

uint8_t VirtualFlashChip::IdCode(uint32_t address) const {
    if (faults_.unknownId) return (address & 1) ? kUnknownB : kUnknownA;
    size_t index = (address & 1) | ((address >> 7) & 2);
    uint8_t code = model_.codes[index];
    if ((address & 1) && faults_.variant && model_.alternative != 0) code = model_.alternative;
    return code;
}

// Writes the loaded page; the write time runs from atMs.
void VirtualFlashChip::CommitPage(uint64_t atMs) {
    if (pageOpen_) {
        for (uint32_t i = 0; i < pageLatch_.size(); ++i)
            if (pageLatch_[i] >= 0) ProgramCell(pageBase_ + i, static_cast<uint8_t>(pageLatch_[i]));
        std::fill(pageLatch_.begin(), pageLatch_.end(), int16_t{-1});
        StartBusy(kPageWriteMs);
        busyUntilMs_ = atMs + kPageWriteMs;
    }
    pageOpen_ = false;
    state_ = EState::Read;
}

void VirtualFlashChip::BusWrite(uint32_t address, uint8_t value) {
    if (model_.entry == E::Serial) return;
    Settle();
    if (busy_) return;  // the part ignores the bus while it works
    if (state_ == EState::ProgramArmed) {
        ProgramCell(address, value);
        state_ = EState::Read;
        return;
    }
    if (state_ == EState::PageLoad) {
        uint32_t page = PageSize();
        uint32_t base = address - address % page;
        if (!pageOpen_) {
            pageOpen_ = true;
            pageBase_ = base;
        } else if (base != pageBase_) {
            // A byte of another page ends the load; it is not part of it.
            CommitPage(NowMs());
            return;
        }
        pageLatch_[address % page] = value;
        if (address % page == page - 1) {
            CommitPage(NowMs());
        } else {
            loadDeadlineUs_ = NowUs() + kPageLoadTimeoutUs;
        }
        return;
    }
    if (value == 0xF0) {  // read-array reset, from any step of a sequence
        idMode_ = false;
        state_ = EState::Read;
        return;
    }
    const uint32_t a = address & 0xFFFF;
    const uint32_t unlock1 = highUnlock_ ? kHighUnlock1 : kLowUnlock1;
    const uint32_t unlock2 = highUnlock_ ? kHighUnlock2 : kLowUnlock2;
    // Which address pair the part decodes for identification and for its
    // program and erase commands.
    const bool idHigh = model_.entry != E::A;
    const bool commandHigh = model_.family != F::PA;
    switch (state_) {
        case EState::Read:
            if (value == 0xAA && (a == kLowUnlock1 || a == kHighUnlock1)) {
                highUnlock_ = a == kHighUnlock1;
                state_ = EState::Unlock1;
            }
            return;
        case EState::Unlock1:
            state_ = value == 0x55 && a == unlock2 ? EState::Unlock2 : EState::Read;
            return;
        case EState::Unlock2:
            state_ = EState::Read;
            if (a != unlock1) return;
            if (value == 0x90 && highUnlock_ == idHigh && (model_.entry == E::A || model_.entry == E::B ||
                                                           model_.entry == E::C))
                idMode_ = true;
            else if (value == 0xA0 && highUnlock_ == commandHigh)
                state_ = IsPageWrite(model_) ? EState::PageLoad : EState::ProgramArmed;
            else if (value == 0x80 && (highUnlock_ == commandHigh || (model_.entry == E::W && highUnlock_)))
                state_ = EState::Setup;
            return;
        case EState::Setup:
            state_ = value == 0xAA && a == unlock1 ? EState::SetupUnlock1 : EState::Read;
            return;
        case EState::SetupUnlock1:
            state_ = value == 0x55 && a == unlock2 ? EState::SetupUnlock2 : EState::Read;
            return;
        case EState::SetupUnlock2:
            state_ = EState::Read;
            if (a != unlock1) return;
            if (value == 0x10 && highUnlock_ == commandHigh) {
                idMode_ = false;
                EraseAll(model_.family == F::PA   ? kEraseMsPA
                         : model_.family == F::PB ? kEraseMsPB
                                                  : kEraseMsPageWrite);
            } else if (value == 0x60 && model_.entry == E::W) {
                idMode_ = true;
            }
            // 0x20 on the page-write parts switches their software data
            // protection off; page writes still need their page-start cycles.
            return;
        default:
            state_ = EState::Read;
            return;
    }
}

uint8_t VirtualFlashChip::BusRead(uint32_t address) {
    if (model_.entry == E::Serial) return 0xFF;
    Settle();
    // A read ends a load that is still open: the part starts writing it.
    if (state_ == EState::PageLoad && pageOpen_) CommitPage(NowMs());
    if (busy_) {
        // Data polling: DQ7 is the complement of the byte being written (0
        // during an erase), DQ6 toggles on every read.
        toggle_ = !toggle_;
        return static_cast<uint8_t>((~lastProgrammed_ & 0x80) | (toggle_ ? 0x40 : 0x00));
    }
    if (idMode_) return IdCode(address);
    return cells_.Read(Wrap(address));
}

// ---- serial bus ----

void VirtualFlashChip::Select() {
    if (model_.entry != E::Serial) return;
    Settle();
    selected_ = true;
    command_.clear();
}

uint8_t VirtualFlashChip::SerialReply() {
    const uint8_t op = command_[0];
    const size_t n = command_.size();  // this byte included
    if (op == 0x05) {
        if (n == 1) return 0xFF;
        uint8_t s = status_;
        if (busyReads_ > 0 && --busyReads_ == 0) Settle();
        return s;
    }
    if (busy_) return 0xFF;  // only RDSR is heard while the part works
    if (InAaiMode()) return 0xFF;
    auto pair = [&](uint8_t a, uint8_t b, size_t first) {
        if (faults_.unknownId) return ((n - first) & 1) ? kUnknownA : kUnknownB;
        return ((n - first) & 1) ? a : b;
    };
    switch (op) {
        case 0xAB:
            if (n <= 4 || !model_.hasRes) return 0xFF;
            return pair(model_.codes[0], faults_.variant && model_.alternative ? model_.alternative : model_.codes[1],
                        4);
        case 0x90:
            if (n <= 4 || !model_.hasRems) return 0xFF;
            return pair(model_.codes[2], model_.codes[3], 4);
        case 0x9F:
            if (n <= 4 || model_.rdid == kNoRdid) return 0xFF;
            if (faults_.unknownId) return (n & 1) ? kUnknownA : kUnknownB;
            return model_.rdid[(n - 5) % 5];
        case 0x03:
        case 0x0B: {
            size_t header = op == 0x03 ? 4 : 5;
            if (n < header) return 0xFF;
            if (n == header) {
                readAddress_ = (uint32_t{command_[1]} << 16) | (uint32_t{command_[2]} << 8) | command_[3];
                return 0xFF;
            }
            return cells_.Read(Wrap(readAddress_++));
        }
        default:
            return 0xFF;
    }
}

uint8_t VirtualFlashChip::Shift(uint8_t out) {
    if (!selected_) return 0xFF;
    if (command_.empty()) Settle();
    command_.push_back(out);
    // Reads stream without end; only a short head of a long command is kept.
    if (command_.size() > 4096) command_.resize(4096);
    return SerialReply();
}

void VirtualFlashChip::Deselect() {
    if (!selected_) return;
    selected_ = false;
    if (!command_.empty()) ExecuteSerial();
    command_.clear();
}

void VirtualFlashChip::ExecuteSerial() {
    Settle();
    if (busy_) return;
    const uint8_t op = command_[0];
    const size_t n = command_.size();
    const bool sst = IsSst(model_);
    const bool wel = (status_ & kWel) != 0;
    const uint8_t aaiOp = model_.family == F::SAaiWord ? 0xAD : 0xAF;
    auto address = [&] { return (uint32_t{command_[1]} << 16) | (uint32_t{command_[2]} << 8) | command_[3]; };
    auto dropWel = [&] { status_ = static_cast<uint8_t>(status_ & ~kWel); };

    if (InAaiMode()) {
        if (op == 0x04 && n == 1) {
            status_ = static_cast<uint8_t>(status_ & ~(kAai | kWel));
        } else if (op == aaiOp) {
            const size_t width = op == 0xAD ? 2 : 1;
            if (n != 1 + width) return;
            for (size_t i = 0; i < width; ++i) ProgramCell(aaiAddress_++, command_[1 + i]);
        }
        return;  // everything else is ignored until WRDI
    }
    switch (op) {
        case 0x06:
            if (n == 1) status_ |= kWel;
            return;
        case 0x04:
            if (n == 1) dropWel();
            return;
        case 0x50:
            if (n == 1 && sst) statusWriteEnabled_ = true;
            return;
        case 0x01:
            if (n == 2 && (wel || (sst && statusWriteEnabled_))) {
                status_ = static_cast<uint8_t>((status_ & (kWip | kAai)) | (command_[1] & (kProtection | kStatusLock)));
                dropWel();
            }
            statusWriteEnabled_ = false;
            return;
        case 0x60:
        case 0xC7:
            if (n != 1 || !wel || (op == 0x60 && !sst)) return;
            if (Protected()) {
                dropWel();
                return;
            }
            status_ |= kWel;
            EraseAll(sst ? kEraseMsSst : kEraseMsSerial);
            return;
        case 0x02: {
            if (n < 5 || !wel) return;
            if (Protected()) {
                dropWel();
                return;
            }
            uint32_t start = address();
            if (sst) {
                // These parts program one byte with 02.
                ProgramCell(start, command_[4]);
            } else {
                // A page program wraps inside its 256-byte page; bytes past
                // 256 overwrite the first ones sent.
                std::array<int16_t, 256> page;
                page.fill(-1);
                for (size_t i = 4; i < n; ++i) page[(start + (i - 4)) & 0xFF] = command_[i];
                uint32_t base = start & ~uint32_t{0xFF};
                for (uint32_t i = 0; i < 256; ++i)
                    if (page[i] >= 0) ProgramCell(base + i, static_cast<uint8_t>(page[i]));
            }
            StartBusy(kPageProgramMs, true);
            return;
        }
        case 0xAF:
        case 0xAD: {
            const size_t width = op == 0xAD ? 2 : 1;
            if (op != aaiOp || n != 4 + width || !wel) return;
            if (Protected()) {
                dropWel();
                return;
            }
            aaiAddress_ = address();
            if (width == 2) aaiAddress_ &= ~uint32_t{1};
            status_ |= kAai;
            for (size_t i = 0; i < width; ++i) ProgramCell(aaiAddress_++, command_[4 + i]);
            return;
        }
        default:
            return;
    }
}

}  // namespace jv::sim
