#pragma once
// The flash engines' message table and the progress lines they write at
// fixed rows of the console window.
#include <cstdint>
#include <string>

#include "drive/Winfunc.h"

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

// The console rows the flash run's lines show on: the protocols say what
// happened, and only this unit decides where it shows.
enum class ERow : int {
    Updating = 5,
    TrayPrompt = 6,
    FlashProgress = 9,  // the bank, the drive's own progress, or MTK5's percentage
    Address = 11,
    PageLines = 12,     // bank and offset of the serial parts that show their own
    Checksum = 13,
    VerifyAddress = 15,
    FixedDataSum = 17,
    ChipNote = 19,
};

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
// Row 9: the bank a drive reports while it flashes.
void ShowFlashBank(int bank);
// Row 9: the run's progress as a percentage, or as a line of dots while the
// drive reports none.
void ShowProgressPercent(int percent);
void ShowProgressDots(const std::string& dots);
// Row 12: the bank and offset of the page a serial part is given.
void ShowPageLines(uint32_t position);
// A chip type the table does not hold: says so and waits for a key.
void ShowUnknownChipType();
// Row 6: asks the user to close the tray or to take the disc out, and
// blanks the row again once the user says yes.
bool AskAboutTray(ETrayRequest request);
// Row 19, between the flash time and the result, the one row no progress
// line takes: what the IDE job keeps of the chip, or why it refused.
void ShowChipNote(const std::string& text);

}  // namespace jv
