#include <gtest/gtest.h>

#include <set>
#include <string>

#include "flash/Flashmsg.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

TEST(MessageTable, SilentEmptiesEverySlotAndNormalModeRestoresTheTexts) {
    SetMessageTable(true);
    for (int slot = 0; slot < kMessageSlotCount; ++slot) EXPECT_EQ(FlashMessage(slot), "") << slot;

    SetMessageTable(false);
    EXPECT_EQ(FlashMessage(kMsgLoadYtrFail), "Load YTR Fail!");
    EXPECT_EQ(FlashMessage(kMsgCheckSumError), "Check Sum Error!");
    EXPECT_EQ(FlashMessage(kMsgDriveUnavailable), "This drive is unavailble!");
    EXPECT_EQ(FlashMessage(kMsgAtapiTypeUnsupported), "Atapi Flash Type is not supported!");
    EXPECT_EQ(FlashMessage(kMsgVerifyError), "Flash Verify Error!");
    EXPECT_EQ(FlashMessage(kMsgOtherDrives),
              "\n\nUnable to update firmware! The action might be corrupt by other ODD drives.\n"
              "Please disconnect other ODD drives and then execute again.\n");
    std::set<std::string> distinct;
    for (int slot = 0; slot < kMessageSlotCount; ++slot) {
        EXPECT_FALSE(FlashMessage(slot).empty()) << slot;
        distinct.insert(FlashMessage(slot));
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kMessageSlotCount));

    // A slot number from a corrupted caller must not read past the table.
    EXPECT_EQ(FlashMessage(-1), "");
    EXPECT_EQ(FlashMessage(kMessageSlotCount), "");
}

TEST(FlashProgress, PrintsBankAndOffsetOnRowsNineToElevenOncePer256Bytes) {
    RecordingConsole console;
    ScopedConsole scope(console);
    ShowFlashProgress(0x30100);
    EXPECT_EQ(console.Transcript(), "<at 1,9>Flash Bank: 3\n\nFlash Progress: 00100h\n");

    console.ClearTranscript();
    ShowFlashProgress(0x30101);
    ShowFlashProgress(0x300FF);
    EXPECT_EQ(console.Transcript(), "");

    ShowFlashProgress(0x0);
    ShowFlashProgress(0x1FFF00);
    EXPECT_EQ(console.Transcript(),
              "<at 1,9>Flash Bank: 0\n\nFlash Progress: 00000h\n"
              "<at 1,9>Flash Bank: 31\n\nFlash Progress: 0FF00h\n");
}

TEST(FlashProgress, VerifyAddressIsThinnedAndPrintedWithoutLeadingZeros) {
    RecordingConsole console;
    ScopedConsole scope(console);
    ShowVerifyAddress(0x1FF00);
    ShowVerifyAddress(0x1FF01);
    ShowVerifyAddress(0x100);
    EXPECT_EQ(console.Transcript(), "<at 1,15>Verify Address : 1FF00h\n<at 1,15>Verify Address : 100h\n");
}

TEST(FlashProgress, FixedRowsForAnnouncementChecksumAndDriveAddress) {
    RecordingConsole console;
    ScopedConsole scope(console);
    ShowUpdating();
    ShowChecksumVerifying();
    ShowAddress(0x1A);
    ShowAddress(0xBEEF);
    EXPECT_EQ(console.Transcript(),
              "<at 1,5>Updating... Please wait for at least 4 minutes!\n"
              "<at 1,13>Checksum verifying......Please wait!!!\n"
              "<at 1,11>Address : 001A\n"
              "<at 1,11>Address : BEEF\n");
}

TEST(FlashProgress, FixedDataSumIsGreenThenBrightWhite) {
    RecordingConsole console;
    ScopedConsole scope(console);
    ShowFixedDataSum(0x00AB);
    ShowFixedDataSum(0xFFFF);
    EXPECT_EQ(console.Transcript(),
              "<at 1,17>Sum of fixed data is <color 2>AB<color 15> h\n"
              "<at 1,17>Sum of fixed data is <color 2>FFFF<color 15> h\n");
}

TEST(ChipNames, KnownTypesPrintTheirNameUnknownOnlyALineFeed) {
    RecordingConsole console;
    ScopedConsole scope(console);
    PrintChipName(0);
    PrintChipName(14);
    PrintChipName(38);
    PrintChipName(39);
    PrintChipName(-1);
    PrintChipName(255);
    EXPECT_EQ(console.Transcript(), "AMIC A290011\nAMIC A29L004\nEON EN25P40\n\n\n\n");

    EXPECT_STREQ(ChipName(15), "SST SST25VF040");
    EXPECT_STREQ(ChipName(26), "PMC Pm25LV040");
    EXPECT_STREQ(ChipName(32), "SAIFUN SA25F080");
    std::set<std::string> distinct(std::begin(kChipNames), std::end(kChipNames));
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kChipNameCount));
}

}  // namespace
}  // namespace jv
