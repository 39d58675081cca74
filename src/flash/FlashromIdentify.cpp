// Telling the flash chip behind the controller from its codes, by the
// rows of the chip table.
#include "flash/Flashrom.h"

#include <array>
#include <initializer_list>
#include <optional>

#include "flash/FlashmcuIde.h"
#include "flash/FlashromCommon.h"
#include "platform/Ports.h"
#include "platform/Process.h"

namespace jv {

using namespace rom;

namespace {

// What the last identification found, and whether only the catch-all took it.
uint8_t g_identified = 0;
bool g_catchAll = true;

}  // namespace

uint8_t ReadIdA(EDriveIndex drive, uint32_t address) {
    WriteCycles(drive, kIdA);
    const uint8_t value = ReadFlashByte(drive, address);
    WriteFlashByte(drive, 0, kReadArrayReset);
    return value;
}

uint8_t ReadIdB(EDriveIndex drive, uint32_t address) {
    WriteCycles(drive, kIdB);
    const uint8_t value = ReadFlashByte(drive, address);
    WriteCycles(drive, kIdExit);
    return value;
}

namespace {

uint8_t CatchAll(uint8_t type) {
    g_catchAll = true;
    return type;
}

bool CodeMatches(uint16_t expected, uint8_t actual) { return expected == kAnyCode || expected == actual; }

// One walk of a bus's parts in their order. Each probe runs when the first
// part that needs it comes up, and the detail reads are made as the part's
// row asks for them, so the chip sees the same reads in the same order
// whatever part it turns out to be.
class ChipMatcher {
public:
    explicit ChipMatcher(EDriveIndex drive) : drive_(drive) {}

    template <size_t N>
    std::optional<uint8_t> Walk(const uint8_t (&order)[N]) {
        for (uint8_t type : order) {
            if (Matches(kChipTable[type].id)) return type;
        }
        return std::nullopt;
    }

private:
    bool Matches(const SChipId& id) {
        Probe(id.probe);
        if (!CodeMatches(id.maker, first_)) return false;
        if (id.detail == EIdDetail::Continuation && !CodeMatches(id.more[0].value, Continuation(id))) {
            return false;
        }
        if (!CodeMatches(id.devices[0], second_) && !CodeMatches(id.devices[1], second_)) return false;
        switch (id.detail) {
        case EIdDetail::None:
        case EIdDetail::Continuation:
            return true;
        case EIdDetail::Extended:
            for (const SIdByte& b : id.more) {
                if (!CodeMatches(b.value, ProbeByte(id.probe, b.at))) return false;
            }
            return true;
        case EIdDetail::Rems:
        case EIdDetail::Rdid: {
            const std::array<uint8_t, 5>& reply = Reply(id.detail);
            for (const SIdByte& b : id.more) {
                if (b.value != kAnyCode && (b.at >= reply.size() || reply[b.at] != b.value)) return false;
            }
            return true;
        }
        }
        return false;
    }

    void Probe(EIdProbe probe) {
        if (probed_ == probe) return;
        probed_ = probe;
        switch (probe) {
        case EIdProbe::SequenceA:
        case EIdProbe::SequenceB:
            first_ = ProbeByte(probe, 0);
            second_ = ProbeByte(probe, 1);
            break;
        case EIdProbe::SequenceW:
            ReadInSequence(kIdW);
            break;
        case EIdProbe::SequenceC:
            ReadInSequence(kIdB);
            break;
        case EIdProbe::Res: {
            const auto res = Ask(drive_, kRes);
            first_ = res[0];
            second_ = res[1];
            break;
        }
        }
    }

    template <size_t N>
    void ReadInSequence(const SCycle (&entry)[N]) {
        WriteCycles(drive_, entry);
        DelayUs(10);
        first_ = ReadFlashByte(drive_, 0);
        second_ = ReadFlashByte(drive_, 1);
        WriteCycles(drive_, kIdExit);
        DelayUs(10);
    }

    uint8_t ProbeByte(EIdProbe probe, uint32_t address) {
        return probe == EIdProbe::SequenceB ? ReadIdB(drive_, address) : ReadIdA(drive_, address);
    }

    uint8_t Continuation(const SChipId& id) {
        if (!continuation_) continuation_ = ProbeByte(id.probe, id.more[0].at);
        return *continuation_;
    }

    const std::array<uint8_t, 5>& Reply(EIdDetail detail) {
        std::optional<std::array<uint8_t, 5>>& reply = detail == EIdDetail::Rems ? rems_ : rdid_;
        if (!reply) reply = Ask(drive_, detail == EIdDetail::Rems ? kRems : kRdid);
        return *reply;
    }

    EDriveIndex drive_;
    std::optional<EIdProbe> probed_;
    uint8_t first_ = 0;
    uint8_t second_ = 0;
    std::optional<uint8_t> continuation_;
    std::optional<std::array<uint8_t, 5>> rems_;
    std::optional<std::array<uint8_t, 5>> rdid_;
};

constexpr uint8_t CatchAllOf(EChipBus bus) {
    for (const SChipInfo& chip : kChipTable) {
        if (chip.bus == bus && (chip.quirks & kQuirkCatchAll)) return chip.type;
    }
    return 0;
}

uint8_t MatchParallelChip(EDriveIndex drive, uint8_t ideFlashType) {
    SelectIdeAccess(ideFlashType);
    ChipMatcher matcher(drive);
    if (const auto type = matcher.Walk(chip_rows::kParallelOrder)) return *type;
    return CatchAll(CatchAllOf(EChipBus::Parallel));
}

uint8_t MatchSerialChip(EDriveIndex drive, uint8_t ideFlashType) {
    SelectIdeAccess(ideFlashType);
    Send(drive, {kWrdi});
    ChipMatcher matcher(drive);
    if (const auto type = matcher.Walk(chip_rows::kSerialOrder)) return *type;
    return CatchAll(CatchAllOf(EChipBus::Serial));
}

}  // namespace

uint8_t IdentifyParallelChip(EDriveIndex drive, uint8_t ideFlashType) {
    g_catchAll = false;
    g_identified = MatchParallelChip(drive, ideFlashType);
    return g_identified;
}

uint8_t IdentifySerialChip(EDriveIndex drive, uint8_t ideFlashType) {
    g_catchAll = false;
    g_identified = MatchSerialChip(drive, ideFlashType);
    return g_identified;
}

uint32_t IdentifiedChipSize() {
    if (g_catchAll || g_identified >= kChipTypeCount) return 0;
    return kChipTable[g_identified].size;
}

}  // namespace jv
