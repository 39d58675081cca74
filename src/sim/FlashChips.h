#pragma once
// The 39 flash chips a drive controller can carry, emulated strictly: each
// answers its identification codes only to its own sequence, command cycles
// at the wrong addresses are ignored, cells only program from 1 to 0, erase
// takes (virtual) time with the busy indication of the chip, and the serial
// chips keep their write-enable latch, protection bits and AAI mode the way
// the parts do. A host algorithm that gets a step wrong reads back wrong
// bytes instead of a quiet success.
#include <array>
#include <cstdint>
#include <vector>

#include "sim/FlashMemory.h"

namespace jv::sim {

inline constexpr uint8_t kChipTypes = 39;

enum class EChipFamily : uint8_t { PA, PB, P128, P256, SAai, SAaiWord, SPp, SPpl, SSt };

// Which unlock sequence takes a parallel chip into its identification mode.
enum class EIdEntry : uint8_t { A, B, C, W, Serial };

struct SChipModel {
    uint8_t type;
    EChipFamily family;
    EIdEntry entry;
    // Parallel: identification reads at 0, 1, 0x100, 0x101.
    // Serial: RES reply bytes 0, 1 (repeating), REMS 0, 1 (repeating).
    std::array<uint8_t, 4> codes;
    uint8_t alternative;  // the other device code some parts answer; 0 none
    // Serial: RDID reply bytes 0-4; all 0xFF when the part has no RDID.
    std::array<uint8_t, 5> rdid;
    bool hasRes;
    bool hasRems;
};

const SChipModel& ChipModel(uint8_t type);  // type < kChipTypes
bool IsSerialChip(uint8_t type);
// Bytes the part holds, from its datasheet; 0 outside the types.
uint32_t ChipPartSize(uint8_t type);

struct SChipFaults {
    bool variant = false;     // answers the alternative device code
    bool unknownId = false;   // answers codes no table knows
    bool staysBusy = false;   // the first erase or program never ends
    int protectedAtStart = -1;  // -1 the part's default, 0 no, 1 yes
    std::vector<uint32_t> stuckBytes;
};

// Times the parts take, in milliseconds of the installed clock.
inline constexpr uint64_t kEraseMsPA = 1000;
inline constexpr uint64_t kEraseMsPB = 100;
inline constexpr uint64_t kEraseMsPageWrite = 40;
inline constexpr uint64_t kPageWriteMs = 5;
// A page-write part starts writing its loaded page once no byte has come for
// this long, whether the page is full or not (microseconds).
inline constexpr uint64_t kPageLoadTimeoutUs = 200;
inline constexpr uint64_t kEraseMsSst = 100;
inline constexpr uint64_t kEraseMsSerial = 500;
inline constexpr uint64_t kPageProgramMs = 1;

class VirtualFlashChip {
public:
    VirtualFlashChip(uint8_t type, FlashMemory& cells, SChipFaults faults);

    uint8_t Type() const { return model_.type; }
    const SChipModel& Model() const { return model_; }

    // Parallel bus: one write cycle, one read cycle.
    void BusWrite(uint32_t address, uint8_t value);
    uint8_t BusRead(uint32_t address);

    // Serial bus: chip select low, one byte each way, chip select high.
    // Write commands take effect when the chip is deselected.
    void Select();
    uint8_t Shift(uint8_t out);
    void Deselect();

    // Lets the part's own time pass: a page load that timed out is written,
    // an erase or program whose time is up ends. Every bus access does this
    // first; whoever looks at the cells without one calls it.
    void Settle();

    bool Busy();
    bool InIdMode() const { return idMode_; }
    bool InAaiMode() const { return (status_ & kAai) != 0; }
    uint8_t StatusRegister();
    // Bumped on every erase and program that reached the cells.
    uint64_t Changes() const { return changes_; }

    static constexpr uint8_t kWip = 0x01;
    static constexpr uint8_t kWel = 0x02;
    static constexpr uint8_t kProtection = 0x3C;
    static constexpr uint8_t kAai = 0x40;
    static constexpr uint8_t kStatusLock = 0x80;

private:
    enum class EState : uint8_t { Read, Unlock1, Unlock2, Setup, SetupUnlock1, SetupUnlock2, ProgramArmed, PageLoad };

    void StartBusy(uint64_t ms, bool countReads = false);
    void ProgramCell(uint32_t address, uint8_t value);
    void EraseAll(uint64_t ms);
    uint32_t Wrap(uint32_t address) const;
    uint8_t IdCode(uint32_t address) const;
    uint32_t PageSize() const;
    void CommitPage(uint64_t atMs);
    uint8_t SerialReply();
    void ExecuteSerial();
    bool Protected() const { return (status_ & kProtection) != 0; }

    SChipModel model_;
    FlashMemory& cells_;
    SChipFaults faults_;

    // Busy until that clock time, or for that many more status reads.
    bool busy_ = false;
    bool stuckBusy_ = false;
    uint64_t busyUntilMs_ = 0;
    uint32_t busyReads_ = 0;
    bool countedBusy_ = false;
    bool toggle_ = false;
    uint8_t lastProgrammed_ = 0xFF;
    uint64_t changes_ = 0;

    // Parallel.
    EState state_ = EState::Read;
    bool idMode_ = false;
    bool highUnlock_ = false;  // the sequence under way uses 5555/2AAA
    bool pageOpen_ = false;
    uint32_t pageBase_ = 0;
    uint64_t loadDeadlineUs_ = 0;  // when an open page load times out
    std::vector<int16_t> pageLatch_;

    // Serial.
    bool selected_ = false;
    std::vector<uint8_t> command_;
    uint8_t status_ = 0;
    bool statusWriteEnabled_ = false;  // EWSR on the parts that have it
    uint32_t aaiAddress_ = 0;
    uint32_t readAddress_ = 0;
};

}  // namespace jv::sim
