#pragma once
// The flash engines' message table and the progress lines they write at
// fixed rows of the console window.
#include <cstdint>
#include <string>

namespace jv {

// Slots of the message table.
enum MessageSlot : int {
    kMsgLoadYtrFail = 0,         // "Load YTR Fail!"
    kMsgCheckSumError = 1,       // "Check Sum Error!"
    kMsgHardwareIdError = 2,     // "Hardware ID Error!"
    kMsgModelNameError = 3,      // "Model Name Error!"
    kMsgVersionNewer = 4,        // "Drive firmware version is newer!"
    kMsgDriveUnavailable = 5,    // "This drive is unavailble!"
    kMsgAtapiError = 6,          // "Atapi error!"
    kMsgNewFirmwareError = 7,    // "New firmware error!"
    kMsgAtapiTypeUnsupported = 8,
    kMsgIdeTypeUnsupported = 9,
    kMsgVerifyError = 10,        // "Flash Verify Error!"
    kMsgOtherDrives = 11,        // unable to update, disconnect other drives
};
inline constexpr int kMessageSlotCount = 12;

// Fills every slot: the texts, or in silent mode the empty text (which still
// means failure to the caller; it only prints nothing).
void SetMessageTable(bool silent);
// The text of a slot as last filled; empty before the first filling and for
// a slot outside 0..11.
const std::string& FlashMessage(int slot);

// The printed name of a chip type; empty for a type outside 0..38.
const char* ChipName(int chipType);

// Row 5: the update announcement.
void ShowUpdating();
// The chip's printed name (nothing for an unknown type), then a line feed.
void PrintChipName(int chipType);
// position = bank * 65536 + offset; printed on rows 9-11 once every 256 bytes.
void ShowFlashProgress(uint32_t position);
// Row 13.
void ShowChecksumVerifying();
// Row 15, once every 256 bytes.
void ShowVerifyAddress(uint32_t address);
// Row 17, the value in green.
void ShowFixedDataSum(uint16_t sum);
// Row 11: the address the drive reports while it flashes.
void ShowAddress(uint16_t address);
// Row 19, between the flash time and the result, the one row no progress
// line takes: what the IDE job keeps of the chip, or why it refused.
void ShowChipNote(const std::string& text);

}  // namespace jv
