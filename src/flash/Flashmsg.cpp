#include "flash/Flashmsg.h"

#include <array>

#include "flash/Flashrom.h"
#include "platform/Console.h"

namespace jv {
namespace {

constexpr const char* kMessageTexts[kMessageSlotCount] = {
    "Load YTR Fail!",
    "Check Sum Error!",
    "Hardware ID Error!",
    "Model Name Error!",
    "Drive firmware version is newer!",
    "This drive is unavailble!",
    "Atapi error!",
    "New firmware error!",
    "Atapi Flash Type is not supported!",
    "IDE Flash Type is not supported!",
    "Flash Verify Error!",
    ("\n\nUnable to update firmware! The action might be corrupt by other ODD drives.\n"
     "Please disconnect other ODD drives and then execute again.\n"),
};

std::array<std::string, kMessageSlotCount>& Slots() {
    static std::array<std::string, kMessageSlotCount> slots;
    return slots;
}

}  // namespace

void SetMessageTable(bool silent) {
    auto& slots = Slots();
    for (int i = 0; i < kMessageSlotCount; ++i) slots[i] = silent ? "" : kMessageTexts[i];
}

const std::string& FlashMessage(int slot) {
    static const std::string none;
    if (slot < 0 || slot >= kMessageSlotCount) return none;
    return Slots()[slot];
}

namespace {
void At(ERow row) { GotoXY(1, static_cast<int>(row)); }
}  // namespace

const char* ChipName(int chipType) {
    if (chipType < 0 || chipType >= kChipTypeCount) return "";
    return kChipTable[chipType].name;
}

void ShowUpdating() {
    At(ERow::Updating);
    Print("Updating... Please wait for at least 4 minutes!\n");
}

void PrintChipName(int chipType) { Print("%s\n", ChipName(chipType)); }

void ShowFlashProgress(uint32_t position) {
    // One update per 256 bytes keeps a slow console from holding up the flash.
    if ((position & 0xFF) != 0) return;
    At(ERow::FlashProgress);
    Print("Flash Bank: %d\n", static_cast<int>(position >> 16));
    Print("\n");
    Print("Flash Progress: %05Xh\n", static_cast<unsigned>(position & 0xFFFF));
}

void ShowChecksumVerifying() {
    At(ERow::Checksum);
    Print("Checksum verifying......Please wait!!!\n");
}

void ShowVerifyAddress(uint32_t address) {
    if ((address & 0xFF) != 0) return;
    At(ERow::VerifyAddress);
    Print("Verify Address : %Xh\n", static_cast<unsigned>(address));
}

void ShowFixedDataSum(uint16_t sum) {
    At(ERow::FixedDataSum);
    Print("Sum of fixed data is ");
    SetTextColor(2);
    Print("%lX", static_cast<unsigned long>(sum));
    SetTextColor(15);
    Print(" h\n");
}

void ShowChipNote(const std::string& text) {
    At(ERow::ChipNote);
    Print("%s\n", text.c_str());
}

void ShowAddress(uint16_t address) {
    At(ERow::Address);
    Print("Address : %04X\n", static_cast<unsigned>(address));
}

void ShowFlashBank(int bank) {
    At(ERow::FlashProgress);
    Print("Flash Bank: %d\n", bank);
}

void ShowProgressPercent(int percent) {
    At(ERow::FlashProgress);
    Print("Flash Progress: %3d%%\n", percent);
}

void ShowProgressDots(const std::string& dots) {
    At(ERow::FlashProgress);
    Print("%s\n", dots.c_str());
}

void ShowPageLines(uint32_t position) {
    At(ERow::PageLines);
    Print("Flash Bank: %d", static_cast<int>(position >> 16));
    Print("\nFlash & Verify: %05Xh\n", position & 0xFFFF);
}

void ShowUnknownChipType() {
    Print("I don't know this Flash ROM type.\n");
    GetKey();
}

bool AskAboutTray(ETrayRequest request) {
    At(ERow::TrayPrompt);
    Print("%s", request == ETrayRequest::kCloseTray
                    ? "Please close the tray and press Y to continue !"
                    : "Please remove your disc from the tray and press Y to continue !");
    if (!AskYes()) return false;
    At(ERow::TrayPrompt);
    Print("%63s", "");
    return true;
}

}  // namespace jv
