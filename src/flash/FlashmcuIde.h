#pragma once
// The register half of the drive controller access: the host puts the
// controller into flash access mode through the IDE task-file registers and
// then reads and writes flash bytes (parallel chips) or exchanges command
// bytes with a serial flash (MTK2). Callers use only the process-wide slots
// that SelectIdeAccess fills.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "drive/Winfunc.h"

namespace jv {

// Ports read from, in task-file order.
struct IOReadRegisterOffset {
    uint16_t data = 0;
    uint16_t error = 0;
    uint16_t sectorCount = 0;
    uint16_t sectorNumber = 0;
    uint16_t cylinderLow = 0;
    uint16_t cylinderHigh = 0;
    uint16_t device = 0;
    uint16_t status = 0;
    uint16_t alternateStatus = 0;
};

// Ports written to, in task-file order.
struct IOWriteRegisterOffset {
    uint16_t data = 0;
    uint16_t features = 0;
    uint16_t sectorCount = 0;
    uint16_t sectorNumber = 0;
    uint16_t cylinderLow = 0;
    uint16_t cylinderHigh = 0;
    uint16_t device = 0;
    uint16_t command = 0;
    uint16_t deviceControl = 0;
};

struct IORegisterSetting {
    IOReadRegisterOffset read;
    IOWriteRegisterOffset write;
    uint8_t deviceSelect = 0;
};

// What the register routines write to the command register, by their names.
inline constexpr uint8_t kEnterFlashMode = 0x80;
inline constexpr uint8_t kLeaveFlashMode = 0x81;
inline constexpr uint8_t kDeviceReset = 0x08;
inline constexpr uint8_t kAliWrite = 0x82;
inline constexpr uint8_t kAliRead = 0x83;
inline constexpr uint8_t kSerialReadBuffer = 0x00;
inline constexpr uint8_t kSerialWriteBuffer = 0x01;
inline constexpr uint8_t kSerialStart = 0x04;
inline constexpr uint8_t kSerialComplete = 0x05;
inline constexpr uint8_t kIdentifyPacketDevice = 0xA1;

// IDE flash types.
inline constexpr uint8_t kIdeMtk = 1;
inline constexpr uint8_t kIdeAli = 2;
inline constexpr uint8_t kIdeAli2 = 3;
inline constexpr uint8_t kIdeMtk2 = 4;

// One row per IDE flash type: its code, the controller's name as the
// messages give it, whether the flash sits behind serial commands, and the
// bytes of flash its register access reaches: the address bits its byte and
// block routines carry (MTK bits 0-19, ALI four 64 KB bank codes, ALI2 eight,
// the serial commands 24 bits). Past the reach nothing can be read or
// written: the addresses wrap onto the bytes below.
struct SIdeFlashType {
    uint8_t code;
    const char* controller;
    bool serial;
    uint32_t reach;
};
inline constexpr SIdeFlashType kIdeFlashTypes[] = {
    {kIdeMtk, "MTK", false, 1u << 20},
    {kIdeAli, "ALI", false, 4u << 16},
    {kIdeAli2, "ALI2", false, 8u << 16},
    {kIdeMtk2, "MTK2", true, 1u << 24},
};

// The row of a code; null for a code that is no IDE flash type.
constexpr const SIdeFlashType* FindIdeFlashType(uint8_t code) {
    for (const SIdeFlashType& row : kIdeFlashTypes) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

constexpr bool IsIdeFlashType(uint8_t code) { return FindIdeFlashType(code) != nullptr; }

// The reach of the row above; 0 for other codes.
constexpr uint32_t IdeReach(uint8_t ideFlashType) {
    const SIdeFlashType* row = FindIdeFlashType(ideFlashType);
    return row ? row->reach : 0;
}

using IdeInitialiseFn = void (*)(EDriveIndex drive);
using IdeFinishFn = void (*)(EDriveIndex drive);
using WriteFlashByteFn = void (*)(EDriveIndex drive, uint32_t address, uint8_t value);
using ReadFlashByteFn = uint8_t (*)(EDriveIndex drive, uint32_t address);
using ReadFlashBytesFn = bool (*)(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent);
using SerialCommandFn = bool (*)(EDriveIndex drive, std::span<const uint8_t> out, std::span<uint8_t> in);

struct SIdeAccess {
    IdeInitialiseFn initialise = nullptr;
    IdeFinishFn finish = nullptr;
    WriteFlashByteFn writeFlashByte = nullptr;
    ReadFlashByteFn readFlashByte = nullptr;
    ReadFlashBytesFn readFlashBytes = nullptr;
    SerialCommandFn serialCommand = nullptr;
};

// Fills the slots the type has routines for (the others keep what they
// held), then prints "\r". Types other than 1 to 4 install nothing.
void SelectIdeAccess(uint8_t ideFlashType);
const SIdeAccess& IdeAccess();
// Empties every slot and resets the serial mode byte (tests, a new run).
void ResetIdeAccess();

// The status byte the last MTK2 initialise read; 0x73 selects the direct
// register layout of the serial routines.
uint8_t SerialModeByte();

// Calls through the slots; an empty slot does nothing (reads give 0, the
// serial command fails).
void IdeInitialise(EDriveIndex drive);
void IdeFinish(EDriveIndex drive);
void WriteFlashByte(EDriveIndex drive, uint32_t address, uint8_t value);
uint8_t ReadFlashByte(EDriveIndex drive, uint32_t address);
// Reads length bytes from flash address 0; never past the buffer's end.
bool ReadFlashBytes(EDriveIndex drive, uint32_t length, std::span<uint8_t> buffer, bool silent);
// Sends out as one command and reads in.size() reply bytes. False when the
// controller stopped answering.
bool SerialCommand(EDriveIndex drive, std::span<const uint8_t> out, std::span<uint8_t> in);

// Every register wait has a bound. The first wait that runs out records a
// fault; from then on no wait polls any more, so a dead channel ends a job in
// one bound's time, and the flash kernel reports the fault.
inline constexpr uint32_t kRegisterWaitMs = 1000;
inline constexpr uint32_t kEraseWaitMs = 60000;
const std::optional<std::string>& IdeAccessFault();
void SetIdeAccessFault(std::string text);
void ClearIdeAccessFault();

// A busy wait of some microseconds on the performance counter.
void DelayUs(int32_t microseconds);

}  // namespace jv
