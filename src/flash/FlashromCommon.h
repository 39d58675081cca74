#pragma once
// What the chip algorithms and the chip identification share: the command
// cycles and opcodes of the parts, and the few steps both take. Only the
// Flashrom*.cpp files include this.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "flash/FlashmcuIde.h"

namespace jv::rom {

struct SCycle {
    uint16_t address;
    uint8_t data;
};

inline constexpr SCycle kIdA[] = {{0x0555, 0xAA}, {0x02AA, 0x55}, {0x0555, 0x90}};
inline constexpr SCycle kIdB[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x90}};
inline constexpr SCycle kIdW[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x80},
                           {0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x60}};
inline constexpr SCycle kIdExit[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0xF0}};
inline constexpr SCycle kEraseA[] = {{0x0555, 0xAA}, {0x02AA, 0x55}, {0x0555, 0x80},
                              {0x0555, 0xAA}, {0x02AA, 0x55}, {0x0555, 0x10}};
inline constexpr SCycle kProgramA[] = {{0x0555, 0xAA}, {0x02AA, 0x55}, {0x0555, 0xA0}};
inline constexpr SCycle kEraseB[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x80},
                              {0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x10}};
inline constexpr SCycle kProgramB[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0xA0}};
inline constexpr SCycle kProtectionOff[] = {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x80},
                                     {0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x20}};

inline constexpr uint8_t kReadArrayReset = 0xF0;
inline constexpr uint8_t kErased = 0x80;  // DQ7 of an erased (0xFF) byte

inline constexpr uint8_t kWrdi = 0x04;
inline constexpr uint8_t kRes = 0xAB;
inline constexpr uint8_t kRems = 0x90;
inline constexpr uint8_t kRdid = 0x9F;
inline constexpr uint8_t kRdsr = 0x05;
inline constexpr uint8_t kEwsr = 0x50;
inline constexpr uint8_t kWrsr = 0x01;
inline constexpr uint8_t kWren = 0x06;
inline constexpr uint8_t kSstErase = 0x60;
inline constexpr uint8_t kChipErase = 0xC7;
inline constexpr uint8_t kAaiByte = 0xAF;
inline constexpr uint8_t kAaiWord = 0xAD;
inline constexpr uint8_t kPageProgram = 0x02;
inline constexpr uint8_t kRead = 0x03;
inline constexpr uint8_t kFastRead = 0x0B;
inline constexpr uint8_t kWip = 0x01;
inline constexpr uint8_t kWriteEnabled = 2;
inline constexpr uint8_t kIdle = 0;

inline constexpr uint32_t kPage = 256;
inline constexpr int kPaEraseReads = 128;
inline constexpr uint32_t kPaErasePollMs = 80;
inline constexpr int32_t kPbEraseMs = 3000;
inline constexpr int32_t kPageEraseMs = 100;
inline constexpr int32_t kPageWriteUs = 10000;

template <size_t N>
inline void WriteCycles(EDriveIndex drive, const SCycle (&cycles)[N]) {
    for (const SCycle& c : cycles) WriteFlashByte(drive, c.address, c.data);
}

inline bool Faulted() { return IdeAccessFault().has_value(); }


inline bool Send(EDriveIndex drive, std::initializer_list<uint8_t> bytes) {
    if (Faulted()) return false;
    return SerialCommand(drive, std::span<const uint8_t>(bytes.begin(), bytes.size()), {});
}

inline std::array<uint8_t, 5> Ask(EDriveIndex drive, uint8_t opcode) {
    std::array<uint8_t, 5> reply{};
    const uint8_t out[4] = {opcode, 0, 0, 0};
    SerialCommand(drive, out, reply);
    return reply;
}


}  // namespace jv::rom
