#include <gtest/gtest.h>

#include <set>
#include <string>

#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

TEST(MessageTable, SilentEmptiesEverySlotAndNormalModeRestoresTheTexts) {
    SetMessageTable(true);
    for (int slot = 0; slot < kMessageSlotCount; ++slot) EXPECT_EQ(FlashMessage(slot), "") << slot;

    SetMessageTable(false);
    EXPECT_EQ(FlashMessage(kMsgLoadYtrFail), "Load YTR Fail!");
    EXPECT_EQ(FlashMessage(kMsgDriveUnavailable), "This drive is unavailble!");
    EXPECT_EQ(FlashMessage(kMsgVerifyError), "Flash Verify Error!");
    EXPECT_TRUE(FlashMessage(kMsgOtherDrives).starts_with("\n\nUnable to update firmware!"));
    EXPECT_TRUE(FlashMessage(kMsgOtherDrives).ends_with("then execute again.\n"));
    std::set<std::string> distinct;
    for (int slot = 0; slot < kMessageSlotCount; ++slot) distinct.insert(FlashMessage(slot));
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kMessageSlotCount));
    EXPECT_EQ(distinct.count(""), 0u);

    // A slot number from a corrupted caller must not read past the table.
    EXPECT_EQ(FlashMessage(-1), "");
    EXPECT_EQ(FlashMessage(kMessageSlotCount), "");
}

TEST(FlashProgress, EachLineAtItsRowAndProgressOncePer256Bytes) {
    RecordingConsole console;
    ScopedConsole scope(console);
    ShowFlashProgress(0x30100);
    ShowFlashProgress(0x30101);
    ShowFlashProgress(0x1FFF00);
    ShowVerifyAddress(0x1FF00);
    ShowVerifyAddress(0x1FF01);
    ShowUpdating();
    ShowChecksumVerifying();
    ShowAddress(0x1A);
    ShowFixedDataSum(0x00AB);
    EXPECT_EQ(console.Transcript(),
              "<at 1,9>Flash Bank: 3\n\nFlash Progress: 00100h\n"
              "<at 1,9>Flash Bank: 31\n\nFlash Progress: 0FF00h\n"
              "<at 1,15>Verify Address : 1FF00h\n"
              "<at 1,5>Updating... Please wait for at least 4 minutes!\n"
              "<at 1,13>Checksum verifying......Please wait!!!\n"
              "<at 1,11>Address : 001A\n"
              "<at 1,17>Sum of fixed data is <color 2>AB<color 15> h\n");
}

TEST(ChipNames, KnownTypesPrintTheirNameUnknownOnlyALineFeed) {
    RecordingConsole console;
    ScopedConsole scope(console);
    for (int type : {0, 14, 38, 39, -1}) PrintChipName(type);
    EXPECT_EQ(console.Transcript(), "AMIC A290011\nAMIC A29L004\nEON EN25P40\n\n\n");
    EXPECT_STREQ(ChipName(26), "PMC Pm25LV040");
    EXPECT_STREQ(ChipName(32), "SAIFUN SA25F080");
    std::set<std::string> distinct;
    for (const SChipInfo& chip : kChipTable) distinct.insert(chip.name);
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kChipTypeCount));
}

}  // namespace
}  // namespace jv
