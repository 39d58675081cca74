#pragma once
// The flash ROM chips the IDE route knows: how each one is recognised from
// its codes, and the erase, program and read routines of its family. The
// routines reach the chip only through the register slots of FlashmcuIde.h.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drive/Buffer.h"
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

struct SChipInfo {
    uint8_t type;
    const char* name;
    EChipBus bus;
    const char* identification;
    EChipFamily family;
    uint32_t size;  // bytes the part holds, from its part number
};

inline constexpr uint32_t k128K = 0x20000;
inline constexpr uint32_t k256K = 0x40000;
inline constexpr uint32_t k512K = 0x80000;
inline constexpr uint32_t k1M = 0x100000;
inline constexpr uint32_t k2M = 0x200000;

inline constexpr uint8_t kChipTypeCount = 39;
inline constexpr uint8_t kFirstSerialChip = 15;

inline constexpr SChipInfo kChipTable[kChipTypeCount] = {
    {0, kChipNames[0], EChipBus::Parallel, "sequence A: 37 A1 or 37 4C", EChipFamily::ParallelA, k128K},
    {1, kChipNames[1], EChipBus::Parallel, "sequence A: 7F, 1C at 0x100, device 20", EChipFamily::ParallelA, k128K},
    {2, kChipNames[2], EChipBus::Parallel, "sequence B: BF B5; any parallel chip unmatched",
     EChipFamily::ParallelB, k128K},
    {3, kChipNames[3], EChipBus::Parallel, "sequence A: 9D 1C", EChipFamily::ParallelB, k128K},
    {4, kChipNames[4], EChipBus::Parallel, "sequence B: 40 01 or 40 A1", EChipFamily::ParallelB, k128K},
    {5, kChipNames[5], EChipBus::Parallel, "sequence W: DA C1", EChipFamily::ParallelPage128, k128K},
    {6, kChipNames[6], EChipBus::Parallel, "sequence A: C2 A4", EChipFamily::ParallelA, k512K},
    {7, kChipNames[7], EChipBus::Parallel, "sequence A: 7F 7F, 1C 04 at 0x100", EChipFamily::ParallelA, k512K},
    {8, kChipNames[8], EChipBus::Parallel, "sequence A: 37 86", EChipFamily::ParallelA, k512K},
    {9, kChipNames[9], EChipBus::Parallel, "sequence C: DA 46", EChipFamily::ParallelPage256, k512K},
    {10, kChipNames[10], EChipBus::Parallel, "sequence A: 9D 3E", EChipFamily::ParallelB, k512K},
    {11, kChipNames[11], EChipBus::Parallel, "sequence C: DA B6", EChipFamily::ParallelB, k512K},
    {12, kChipNames[12], EChipBus::Parallel, "sequence A: C2 4F", EChipFamily::ParallelA, k512K},
    {13, kChipNames[13], EChipBus::Parallel, "sequence A: 7F, 1C at 0x100, device 4F", EChipFamily::ParallelA, k512K},
    {14, kChipNames[14], EChipBus::Parallel, "sequence A: 37 34 or 37 B5", EChipFamily::ParallelA, k512K},
    {15, kChipNames[15], EChipBus::Serial, "RES: BF 44; any serial chip unmatched", EChipFamily::SerialAai, k512K},
    {16, kChipNames[16], EChipBus::Serial, "RES: BF 43", EChipFamily::SerialAai, k256K},
    {17, kChipNames[17], EChipBus::Serial, "RES: BF 49", EChipFamily::SerialAai, k128K},
    {18, kChipNames[18], EChipBus::Serial, "RES: BF 80", EChipFamily::SerialAai, k1M},
    {19, kChipNames[19], EChipBus::Serial, "RES: BF 41", EChipFamily::SerialAaiWord, k2M},
    {20, kChipNames[20], EChipBus::Serial, "RES: 32", EChipFamily::SerialPage, k512K},
    {21, kChipNames[21], EChipBus::Serial, "RES: 12, REMS neither 1C nor C2", EChipFamily::SerialPageLines, k512K},
    {22, kChipNames[22], EChipBus::Serial, "RES: 14, RDID 01", EChipFamily::SerialPageLines, k2M},
    {23, kChipNames[23], EChipBus::Serial, "RES: 62 07", EChipFamily::SerialPageLines, k512K},
    {24, kChipNames[24], EChipBus::Serial, "RES: 9D 7C", EChipFamily::SerialPage, k128K},
    {25, kChipNames[25], EChipBus::Serial, "RES: 9D 7D", EChipFamily::SerialPage, k256K},
    {26, kChipNames[26], EChipBus::Serial, "RES: 9D 7E", EChipFamily::SerialPage, k512K},
    {27, kChipNames[27], EChipBus::Serial, "RES: 12, REMS C2", EChipFamily::SerialPage, k512K},
    {28, kChipNames[28], EChipBus::Serial, "RES: 13, RDID C2", EChipFamily::SerialPage, k1M},
    {29, kChipNames[29], EChipBus::Serial, "RES: 11", EChipFamily::SerialPage, k256K},
    {30, kChipNames[30], EChipBus::Serial, "RES: 10", EChipFamily::SerialPage, k128K},
    {31, kChipNames[31], EChipBus::Serial, "RES: 14, RDID C2", EChipFamily::SerialPage, k2M},
    {32, kChipNames[32], EChipBus::Serial, "RES: 14, RDID byte 4 13", EChipFamily::SerialPage, k1M},
    {33, kChipNames[33], EChipBus::Serial, "RES: 14, RDID byte 4 14", EChipFamily::SerialPage, k2M},
    {34, kChipNames[34], EChipBus::Serial, "RDID: 20 ?? 13", EChipFamily::SerialSt, k512K},
    {35, kChipNames[35], EChipBus::Serial, "RDID: 20, byte 2 not 13", EChipFamily::SerialSt, k1M},
    {36, kChipNames[36], EChipBus::Serial, "RES: 13, RDID not C2", EChipFamily::SerialSt, k1M},
    {37, kChipNames[37], EChipBus::Serial, "RES: 14, no other RDID match", EChipFamily::SerialPage, k2M},
    {38, kChipNames[38], EChipBus::Serial, "RES: 12, REMS 1C", EChipFamily::SerialPage, k512K},
};

// One ID read: the sequence's cycles, the byte at the address, the reset.
uint8_t ReadIdA(EDriveIndex drive, uint32_t address);
uint8_t ReadIdB(EDriveIndex drive, uint32_t address);

// Both install the register routines of the IDE flash type first. A chip
// that matches nothing is taken as type 2 (parallel) or 15 (serial).
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

// Fills the routine slots for the chip type. A type above 38 prints "I don't
// know this Flash ROM type.\n", waits for a key and ends the program (code 0).
void SelectChipAlgorithm(uint8_t chipType);
const SChipRoutines& ChipRoutines();
void ResetChipRoutines();

// Serial chips: RDSR until (status & 3) == value, for at most boundMs; a
// bound that runs out records an access fault and gives false.
bool WaitSerialStatus(EDriveIndex drive, uint8_t value, uint32_t boundMs);

}  // namespace jv
