#pragma once
// The flash ROM chips the IDE route knows: how each one is recognised from
// its codes, and the erase, program and read routines of its family. The
// routines reach the chip only through the register slots of FlashmcuIde.h.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drive/Winfunc.h"
#include "flash/Flashmsg.h"

namespace jv {

enum class EChipBus : uint8_t { Parallel, Serial };

// Erase and program algorithm families.
enum class EChipFamily : uint8_t {
    ParallelA,     // P-A: 0555/02AA cycles, no wait after a byte
    ParallelB,     // P-B: 5555/2AAA cycles, 20 us after a byte
    ParallelPage128,
    ParallelPage256,
    SerialAai,     // auto-address-increment, one byte per command
    SerialAaiWord, // auto-address-increment, two bytes per command
    SerialPage,    // 256-byte page program, the common progress rows
    SerialPageLines,  // page program, bank and offset lines of its own
    SerialSt,      // page program without touching the status register
};

// How the identification reads a part's two codes.
enum class EIdProbe : uint8_t {
    SequenceA,  // 0555/02AA unlock, one whole sequence for each byte read
    SequenceB,  // 5555/2AAA unlock, one whole sequence for each byte read
    SequenceW,  // the six-cycle software ID entry of the page-write parts
    SequenceC,  // 5555/2AAA unlock once, both bytes read in it
    Res,        // serial: the first two bytes RES returns
};

// What tells apart parts whose two codes are alike.
enum class EIdDetail : uint8_t {
    None,
    // Maker 7F continues at 0x100: that byte is compared before the device
    // code, and read once for all the parts that need it.
    Continuation,
    // Two more codes at 0x100 and 0x101, each read afresh after the device
    // code matched.
    Extended,
    Rems,  // bytes of the REMS reply
    Rdid,  // bytes of the RDID reply
};

// Stands for any byte in a code comparison.
inline constexpr uint16_t kAnyCode = 0x100;

struct SIdByte {
    uint16_t at = 0;            // address (parallel) or reply byte (serial)
    uint16_t value = kAnyCode;  // kAnyCode: the part answers anything there
};

struct SChipId {
    EIdProbe probe;
    // The probe's first byte: the maker code, or, for the serial parts that
    // answer RES with their signature only, that signature. kAnyCode: any.
    uint16_t maker;
    // The probe's second byte: either of these. kAnyCode in both: any.
    std::array<uint16_t, 2> devices;
    EIdDetail detail = EIdDetail::None;
    std::array<SIdByte, 2> more{};  // the detail's bytes, all of which must match
};

// Behaviour a part has beyond its family's.
enum EChipQuirk : uint8_t {
    kQuirkNone = 0,
    // The part an unmatched chip of its bus is taken for.
    kQuirkCatchAll = 1,
    // Whole-chip reads use the plain read, not the fast one.
    kQuirkPlainWholeRead = 2,
};

struct SChipInfo {
    uint8_t type;
    const char* name;
    EChipBus bus;
    SChipId id;
    EChipFamily family;
    uint32_t size;  // bytes the part holds, from its part number
    uint8_t quirks = kQuirkNone;
};

inline constexpr uint32_t k128K = 0x20000;
inline constexpr uint32_t k256K = 0x40000;
inline constexpr uint32_t k512K = 0x80000;
inline constexpr uint32_t k1M = 0x100000;
inline constexpr uint32_t k2M = 0x200000;

inline constexpr uint16_t kMakerAmic = 0x37;
inline constexpr uint16_t kMakerContinuation = 0x7F;  // the maker's code is in a further bank
inline constexpr uint16_t kMakerEon = 0x1C;           // in the second bank, after one 7F
inline constexpr uint16_t kMakerMxic = 0xC2;
inline constexpr uint16_t kMakerPmc = 0x9D;
inline constexpr uint16_t kMakerSanyo = 0x62;
inline constexpr uint16_t kMakerSpansion = 0x01;
inline constexpr uint16_t kMakerSst = 0xBF;
inline constexpr uint16_t kMakerSt = 0x20;
inline constexpr uint16_t kMakerSyncmos = 0x40;
inline constexpr uint16_t kMakerWinbond = 0xDA;

inline constexpr uint8_t kChipTypeCount = 39;
inline constexpr uint8_t kFirstSerialChip = 15;

namespace chip_rows {
using B = EChipBus;
using F = EChipFamily;
using P = EIdProbe;
using D = EIdDetail;
constexpr uint16_t kAny = kAnyCode;

constexpr SChipId Id(P probe, uint16_t maker, uint16_t device, uint16_t alternative = kAny) {
    return {probe, maker, {device, alternative == kAny ? device : alternative}};
}
constexpr SChipId Id(P probe, uint16_t maker, uint16_t device, D detail, SIdByte a, SIdByte b = {}) {
    return {probe, maker, {device, device}, detail, {a, b}};
}
// A serial part known by RES's first byte alone, or with a REMS or RDID byte.
constexpr SChipId Res(uint16_t first, uint16_t second = kAny) { return Id(P::Res, first, second); }
constexpr SChipId Res(uint16_t first, D detail, SIdByte a, SIdByte b = {}) {
    return Id(P::Res, first, kAny, detail, a, b);
}

inline constexpr SChipInfo kRows[kChipTypeCount] = {
    {0, "AMIC A290011", B::Parallel, Id(P::SequenceA, kMakerAmic, 0xA1, 0x4C), F::ParallelA, k128K},
    {1, "EON EN29F010", B::Parallel,
     Id(P::SequenceA, kMakerContinuation, 0x20, D::Continuation, {0x100, kMakerEon}), F::ParallelA, k128K},
    {2, "SST 39SF010", B::Parallel, Id(P::SequenceB, kMakerSst, 0xB5), F::ParallelB, k128K, kQuirkCatchAll},
    {3, "PMC PM39F010", B::Parallel, Id(P::SequenceA, kMakerPmc, 0x1C), F::ParallelB, k128K},
    {4, "SYNCMOS S29C51001", B::Parallel, Id(P::SequenceB, kMakerSyncmos, 0x01, 0xA1), F::ParallelB, k128K},
    {5, "WINBOND W29EE011", B::Parallel, Id(P::SequenceW, kMakerWinbond, 0xC1), F::ParallelPage128, k128K},
    {6, "MXIC 29F040", B::Parallel, Id(P::SequenceA, kMakerMxic, 0xA4), F::ParallelA, k512K},
    {7, "EON EN29F040", B::Parallel,
     Id(P::SequenceA, kMakerContinuation, 0x7F, D::Extended, {0x100, kMakerEon}, {0x101, 0x04}), F::ParallelA,
     k512K},
    {8, "AMIC A29040", B::Parallel, Id(P::SequenceA, kMakerAmic, 0x86), F::ParallelA, k512K},
    {9, "WINBOND W29C040", B::Parallel, Id(P::SequenceC, kMakerWinbond, 0x46), F::ParallelPage256, k512K},
    {10, "PMC PM39LV040", B::Parallel, Id(P::SequenceA, kMakerPmc, 0x3E), F::ParallelB, k512K},
    {11, "WINBOND W39L040", B::Parallel, Id(P::SequenceC, kMakerWinbond, 0xB6), F::ParallelB, k512K},
    {12, "MXIC 29LV040", B::Parallel, Id(P::SequenceA, kMakerMxic, 0x4F), F::ParallelA, k512K},
    {13, "EON EN29LV040", B::Parallel,
     Id(P::SequenceA, kMakerContinuation, 0x4F, D::Continuation, {0x100, kMakerEon}), F::ParallelA, k512K},
    {14, "AMIC A29L004", B::Parallel, Id(P::SequenceA, kMakerAmic, 0x34, 0xB5), F::ParallelA, k512K},
    {15, "SST SST25VF040", B::Serial, Res(kMakerSst, 0x44), F::SerialAai, k512K, kQuirkCatchAll},
    {16, "SST SST25VF020", B::Serial, Res(kMakerSst, 0x43), F::SerialAai, k256K},
    {17, "SST SST25VF010A", B::Serial, Res(kMakerSst, 0x49), F::SerialAai, k128K},
    {18, "SST SST25LF080A", B::Serial, Res(kMakerSst, 0x80), F::SerialAai, k1M},
    {19, "SST SST25VF016B", B::Serial, Res(kMakerSst, 0x41), F::SerialAaiWord, k2M},
    {20, "NEX NX25B40", B::Serial, Res(0x32), F::SerialPage, k512K},
    // REMS neither EON's nor MXIC's: those two are matched first.
    {21, "SPANSION S25FL004A", B::Serial, Res(0x12, D::Rems, {0, kAny}), F::SerialPageLines, k512K},
    {22, "SPANSION S25FL016A", B::Serial, Res(0x14, D::Rdid, {0, kMakerSpansion}), F::SerialPageLines, k2M},
    {23, "SANYO LE25FW406M", B::Serial, Res(kMakerSanyo, 0x07), F::SerialPageLines, k512K},
    {24, "PMC Pm25LV010", B::Serial, Res(kMakerPmc, 0x7C), F::SerialPage, k128K, kQuirkPlainWholeRead},
    {25, "PMC Pm25LV020", B::Serial, Res(kMakerPmc, 0x7D), F::SerialPage, k256K, kQuirkPlainWholeRead},
    {26, "PMC Pm25LV040", B::Serial, Res(kMakerPmc, 0x7E), F::SerialPage, k512K, kQuirkPlainWholeRead},
    {27, "MXIC MX25L4005", B::Serial, Res(0x12, D::Rems, {0, kMakerMxic}), F::SerialPage, k512K},
    {28, "MXIC MX25L8005", B::Serial, Res(0x13, D::Rdid, {0, kMakerMxic}), F::SerialPage, k1M},
    {29, "MXIC MX25L2005", B::Serial, Res(0x11), F::SerialPage, k256K},
    {30, "MXIC MX25L1005", B::Serial, Res(0x10), F::SerialPage, k128K},
    {31, "MXIC MX25L1605A", B::Serial, Res(0x14, D::Rdid, {0, kMakerMxic}), F::SerialPage, k2M},
    {32, "SAIFUN SA25F080", B::Serial, Res(0x14, D::Rdid, {4, 0x13}), F::SerialPage, k1M},
    {33, "SAIFUN SA25F0160", B::Serial, Res(0x14, D::Rdid, {4, 0x14}), F::SerialPage, k2M},
    // Parts without RES: whatever it answered, RDID decides.
    {34, "ST M25PE40", B::Serial, Res(kAny, D::Rdid, {0, kMakerSt}, {2, 0x13}), F::SerialSt, k512K},
    {35, "ST M25PE80", B::Serial, Res(kAny, D::Rdid, {0, kMakerSt}), F::SerialSt, k1M},
    // RDID other than MXIC's: that one is matched first.
    {36, "ST M25P80", B::Serial, Res(0x13, D::Rdid, {0, kAny}), F::SerialSt, k1M},
    // RDID none of the above: those are matched first.
    {37, "NEX NX25P16", B::Serial, Res(0x14, D::Rdid, {0, kAny}), F::SerialPage, k2M},
    {38, "EON EN25P40", B::Serial, Res(0x12, D::Rems, {0, kMakerEon}), F::SerialPage, k512K},
};

// The order the matchers try the parts of each bus in: the first whose codes
// match wins, and the probes and detail reads go to the chip in this order.
inline constexpr uint8_t kParallelOrder[] = {7, 1, 13, 0, 8, 14, 3, 10, 6, 12, 4, 2, 5, 9, 11};
inline constexpr uint8_t kSerialOrder[] = {15, 16, 17, 18, 19, 20, 30, 29, 38, 27, 21, 23,
                                           24, 25, 26, 28, 36, 31, 22, 32, 33, 37, 34, 35};

// Every part stands once in the order of its own bus; the rows stand at
// their type; one catch-all per bus.
constexpr bool OrdersAreWhole() {
    std::array<int, kChipTypeCount> seen{};
    for (uint8_t t : kParallelOrder) {
        if (t >= kChipTypeCount || kRows[t].bus != B::Parallel) return false;
        ++seen[t];
    }
    for (uint8_t t : kSerialOrder) {
        if (t >= kChipTypeCount || kRows[t].bus != B::Serial) return false;
        ++seen[t];
    }
    int catchAll[2] = {0, 0};
    for (uint8_t t = 0; t < kChipTypeCount; ++t) {
        if (seen[t] != 1 || kRows[t].type != t) return false;
        if (kRows[t].quirks & kQuirkCatchAll) ++catchAll[kRows[t].bus == B::Serial];
    }
    return catchAll[0] == 1 && catchAll[1] == 1;
}
static_assert(OrdersAreWhole());
}  // namespace chip_rows

inline constexpr const SChipInfo (&kChipTable)[kChipTypeCount] = chip_rows::kRows;

// One ID read: the sequence's cycles, the byte at the address, the reset.
uint8_t ReadIdA(EDriveIndex drive, uint32_t address);
uint8_t ReadIdB(EDriveIndex drive, uint32_t address);

// Both install the register routines of the IDE flash type first. A chip
// that matches nothing is taken as its bus's catch-all part (type 2 or 15).
uint8_t IdentifyParallelChip(EDriveIndex drive, uint8_t ideFlashType);
uint8_t IdentifySerialChip(EDriveIndex drive, uint8_t ideFlashType);
// The size of the chip the last identification found, or 0 (unknown) when
// only the catch-all rule matched: type 2 or 15 then stands for any part
// nobody knows, of any size.
uint32_t IdentifiedChipSize();

using SerialWriteResult = std::optional<std::string>;

struct SChipRoutines {
    bool (*EraseChip)(EDriveIndex drive) = nullptr;
    // last: the image's final byte. A page-write part then writes the page
    // it has loaded, whole or not, and gets its page write time.
    void (*ProgramByte)(EDriveIndex drive, uint32_t address, uint8_t value, bool last) = nullptr;
    bool (*ReadChip)(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent) = nullptr;
    bool (*ReadChipRange)(EDriveIndex drive, uint32_t start, uint32_t length, std::span<uint8_t> buffer,
                          bool silent) = nullptr;
    SerialWriteResult (*WriteSerialFlashROM)(EDriveIndex drive, std::span<const uint8_t> image, uint32_t length,
                                             bool silent) = nullptr;
};

// Fills the routine slots for the chip type; false, with the slots as they
// were, for a type the table does not hold (the caller says so and ends).
bool SelectChipAlgorithm(uint8_t chipType);
const SChipRoutines& ChipRoutines();
void ResetChipRoutines();

// Serial chips: RDSR until (status & 3) == value, for at most boundMs; a
// bound that runs out records an access fault and gives false.
bool WaitSerialStatus(EDriveIndex drive, uint8_t value, uint32_t boundMs);

}  // namespace jv
