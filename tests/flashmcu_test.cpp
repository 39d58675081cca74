#include "flash/Flashmcu.h"

#include "FlashDriveFake.h"
#include "PackageBuilder.h"
#include "flash/Flashmsg.h"
#include "platform/Process.h"

namespace jv {
namespace {

using testing::FlashDriveTest;
using testing::Hex;
using testing::MakeSense;
using testing::SSentCommand;
using Bytes = std::vector<uint8_t>;

SYTRParameter Parameter(uint8_t type, uint32_t maxBank = 0x20000, std::vector<uint32_t> banks = {}) {
    SYTRParameter p;
    p.AtapiFlashType = type;
    p.HeaderCheckSum = 0x1234;
    p.MaxBankSize = maxBank;
    p.BankSizes = std::move(banks);
    return p;
}

Bytes Slice(const Bytes& image, size_t from, size_t count) {
    Bytes out(count, 0);
    for (size_t i = 0; i < count && from + i < image.size(); ++i) out[i] = image[from + i];
    return out;
}

uint16_t PlainSum(const Bytes& bytes) { return static_cast<uint16_t>(test::ReferenceSum(bytes, false)); }

uint16_t Be16Of(const CommandBlock& block) { return static_cast<uint16_t>(block[8] << 8 | block[9]); }

class FlashmcuTest : public FlashDriveTest {
protected:
    FlashResult Run(AtapiFlashRoutine routine, Bytes& image, const SYTRParameter& p, bool immediate = false,
                    bool silent = false, bool updater = false) {
        return routine(0, image, static_cast<uint32_t>(image.size()), p, immediate, silent, updater);
    }
};

TEST_F(FlashmcuTest, PageTransferLeavesOutTheLastTwoBytesOfEveryPage) {
    Bytes image = test::FillerBytes(0x200000, 1);
    ASSERT_EQ(Run(&FlashMtk, image, Parameter(kAtapiMtk)), std::nullopt);
    auto pages = Filter(0x5A, 0xA0);
    ASSERT_EQ(pages.size(), 33u);
    for (size_t i = 0; i < 32; ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "5A 00 38 5A 45 A0 05 %02X FF FE 00 00", static_cast<unsigned>(i));
        EXPECT_EQ(Hex(pages[i].cdb), expected);
        EXPECT_EQ(pages[i].data, Slice(image, i * 0x10000, 0xFFFE)) << i;
    }
    EXPECT_EQ(Hex(pages[32].cdb), "5A 00 38 5A 45 A0 04 00 00 80 12 34");
    EXPECT_EQ(pages[32].data, Slice(image, 0, 128));
    EXPECT_EQ(Hex(Commands().front().cdb), "5A 00 38 5A 45 A3 00 00 00 00 00 00");
}

TEST_F(FlashmcuTest, OddLastPageGoesOutZeroPaddedAndImmediateOnlyCountsForMtk3) {
    Bytes image = test::FillerBytes(0x20001, 2);
    ASSERT_EQ(Run(&FlashMtk4, image, Parameter(kAtapiMtk4), true), std::nullopt);
    auto pages = Filter(0x5A, 0xA0);
    ASSERT_EQ(pages.size(), 4u);
    EXPECT_EQ(Hex(pages[1].cdb), "5A 00 38 5A 45 A0 05 01 FF FE 00 00");
    EXPECT_EQ(Hex(pages[2].cdb), "5A 00 38 5A 45 A0 05 02 00 02 00 00");
    EXPECT_EQ(pages[2].data, (Bytes{image[0x20000], 0}));
    EXPECT_EQ(Hex(pages[3].cdb), "5A 00 38 5A 45 A0 04 E3 00 80 12 34");

    // Half a page past the first: the second page is all that is left of it.
    image.resize(0x18001);
    state_->sent.clear();
    ASSERT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3), true), std::nullopt);
    pages = Filter(0x5A, 0xA0);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(Hex(pages[1].cdb), "5A 00 38 5A 45 A0 05 01 80 02 00 00");
    EXPECT_EQ(pages[1].data, Slice(image, 0x10000, 0x8002));
    EXPECT_EQ(Hex(pages[2].cdb), "5A 00 38 5A 45 A0 05 E2 00 80 12 34");
}

TEST_F(FlashmcuTest, BankTransferEndsEachBankWithZeroAndRefusesBanksTooLargeToSend) {
    Bytes image = test::FillerBytes(0x20000, 3);
    image[0x17FFF] = 0xAA;
    ASSERT_EQ(Run(&FlashMtk, image, Parameter(kAtapiMtk, 0x10000, {0xFFFE, 0x7FFF})), std::nullopt);
    EXPECT_EQ(image[0x17FFF], 0x00);
    EXPECT_EQ(image[0xFFFE], 0x00);
    auto pages = Filter(0x5A, 0xA0);
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(Hex(pages[0].cdb), "5A 00 38 5A 45 A0 05 00 FF FE 00 00");
    EXPECT_EQ(Hex(pages[1].cdb), "5A 00 38 5A 45 A0 05 01 80 00 00 00");
    EXPECT_EQ(pages[1].data, Slice(image, 0x10000, 0x8000));
    EXPECT_EQ(pages[2].cdb[7], 0xE2);

    for (bool updater : {true, false}) {
        state_->sent.clear();
        state_->kernelReport = true;
        state_->kernelLength = 0x100;
        EXPECT_EQ(Run(&FlashMtk2, image, Parameter(kAtapiMtk2, 0x10000, {0x100, 0xFFFF}), false, false, updater),
                  updater ? "Flash Fail ! (1)\n" : "Write Buffer Fail !\n");
        EXPECT_TRUE(Filter(0x5A, 0xA0).empty());
        EXPECT_TRUE(Filter(0x5A, 0xA2).empty());
    }
}

TEST_F(FlashmcuTest, KernelIsReadBackAndRewrittenOnlyWhenItDiffers) {
    Bytes image = test::FillerBytes(0x20000, 4);
    // A drive that answers the query has no kernel to check.
    ASSERT_EQ(Run(&FlashMtk2, image, Parameter(kAtapiMtk2)), std::nullopt);
    EXPECT_TRUE(Filter(0x5A, 0x11).empty());

    state_->kernelReport = true;
    state_->kernelBank = 1;
    state_->kernelAddress = 0x2000;
    state_->kernelLength = 0x0181;
    state_->sent.clear();
    ASSERT_EQ(Run(&FlashMtk2, image, Parameter(kAtapiMtk2)), std::nullopt);
    auto reads = Filter(0x5A, 0x11);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(Hex(reads[0].cdb), "5A 00 38 5A 45 11 20 00 00 01 00 00");
    EXPECT_EQ(Hex(reads[1].cdb), "5A 00 38 5A 45 11 21 00 00 01 00 00");
    auto pieces = Filter(0x5A, 0xA2);
    ASSERT_EQ(pieces.size(), 4u);
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(Be16Of(pieces[j].cdb), 0x2000 + 0x80 * j);
        EXPECT_EQ(Hex(pieces[j].cdb).substr(0, 23), "5A 00 38 5A 45 A2 00 01");
        EXPECT_EQ(pieces[j].data, Slice(image, 0x12000 + 0x80 * j, 0x80));
    }
    // Now the drive holds the image's kernel: read back, nothing written.
    state_->sent.clear();
    ASSERT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3)), std::nullopt);
    EXPECT_EQ(Filter(0x5A, 0x11).size(), 2u);
    EXPECT_TRUE(Filter(0x5A, 0xA2).empty());

    state_->kernelAddress = 0xF000;
    state_->kernelLength = 0x1100;  // 0x10000 + 0xF000 + 0x1100 > 0x20000
    state_->sent.clear();
    EXPECT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3), false, false, true), "Kernel does not match.");
    EXPECT_TRUE(Filter(0x5A, 0xA0).empty());

    Bytes large = test::FillerBytes(0x40000, 5);
    state_->kernelAddress = 0;
    state_->kernelLength = 0xFF01;
    state_->sent.clear();
    EXPECT_EQ(Run(&FlashMtk3, large, Parameter(kAtapiMtk3), false, false, true), "Flash Fail ! (1)\n");
    EXPECT_EQ(Commands().size(), 1u);
}

TEST_F(FlashmcuTest, Mtk3ShowsBankAndAddressWhileBusyAndGivesUpAfterTwoMinutes) {
    Bytes image = test::FillerBytes(0x10000, 6);
    state_->busy = {MakeSense(0x02, 0x04, 0x08, 3, 0xBEEF), MakeSense(0x02, 0x04, 0x01, 4, 0x1111)};
    ASSERT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3), true), std::nullopt);
    EXPECT_EQ(console_.Transcript(), "<at 1,9>Flash Bank: 3\n<at 1,11>Address : BEEF\n");

    console_.ClearTranscript();
    state_->busy = {MakeSense(0x02, 0x04, 0x08, 3, 0xBEEF)};
    ASSERT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3), true, true), std::nullopt);
    EXPECT_EQ(console_.Transcript(), "");

    state_->busy.assign(400, MakeSense(0x02, 0x04, 0x08));
    const uint64_t before = Elapsed();
    EXPECT_EQ(Run(&FlashMtk3, image, Parameter(kAtapiMtk3), false, true, true), "Flash progress TimeOut !\n");
    EXPECT_NEAR(static_cast<double>(Elapsed() - before), 120500.0, 600.0);
}

TEST_F(FlashmcuTest, Mtk6SendsHalfPagesAndStopsOnAnUnexpectedSense) {
    Bytes image = test::FillerBytes(0x18001, 7);
    state_->busy = {MakeSense(0x02, 0x04, 0x02, 0, 0x4000)};
    ASSERT_EQ(Run(&FlashMtk6, image, Parameter(kAtapiMtk6, 0x10000, {0x100})), std::nullopt);
    auto pages = Filter(0x5A, 0xA0);
    ASSERT_EQ(pages.size(), 5u);
    EXPECT_EQ(Hex(pages[0].cdb), "5A 00 38 5A 45 A0 05 00 00 00 00 00");
    EXPECT_EQ(Hex(pages[3].cdb), "5A 00 38 5A 45 A0 05 01 80 00 00 00");
    EXPECT_EQ(pages[3].data, Slice(image, 0x18000, 0x8000));
    EXPECT_EQ(pages[4].cdb[7], 0xE2);
    EXPECT_EQ(Commands().back().cdb[0], 0x00);  // no ready wait after the poll
    EXPECT_EQ(console_.Transcript(), "<at 1,11>Address : 4000\n");

    for (bool updater : {true, false}) {
        state_->busy = {MakeSense(0x03, 0x11, 0x00)};
        EXPECT_EQ(Run(&FlashMtk6, image, Parameter(kAtapiMtk6), false, false, updater),
                  updater ? "Flash Fail ! (4)\n" : "Trigger Fail !\n");
    }
}

TEST_F(FlashmcuTest, AliSendsWholePagesWithPageAndImageSums) {
    Bytes image = test::FillerBytes(0x8100, 8);
    ASSERT_EQ(Run(&FlashAli, image, Parameter(kAtapiAli)), std::nullopt);
    auto pages = Filter(0xFD);
    ASSERT_EQ(pages.size(), 2u);
    const uint16_t total = PlainSum(image);
    for (size_t p = 0; p < 2; ++p) {
        const Bytes page = Slice(image, p * 0x4000, 0x4000);
        const uint16_t sum = PlainSum(page);
        const CommandBlock expected{0xFD, 0x07, 0x42, 0x45, 0x4E, 0x51, uint8_t(sum >> 8), uint8_t(sum),
                                    uint8_t(total >> 8), uint8_t(total), uint8_t(p + 1), 0x02};
        EXPECT_EQ(Hex(pages[p].cdb), Hex(expected));
        EXPECT_EQ(pages[p].data, page);
    }
    // Less than a page: nothing would be sent, so nothing is, and the drive
    // is not told a flash happened.
    Bytes part(0x3FFF, 1);
    state_->sent.clear();
    EndFlashWrite();
    EXPECT_EQ(Run(&FlashAli, part, Parameter(kAtapiAli), false, false, true), "Flash Fail ! (1)\n");
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(FlashWriteInProgress());
    state_->failOpcode = 0x00;
    state_->failSense = MakeSense(0x02, 0x04, 0x01);
    EXPECT_EQ(Run(&FlashAli, image, Parameter(kAtapiAli), false, false, true), "Flash Fail ! (1)\n");
    EXPECT_EQ(Run(&FlashAli, image, Parameter(kAtapiAli)), "Wait Drive Ready TimeOut !\n");
}

TEST_F(FlashmcuTest, Mtk7SendsEightChunksUpperBlockFirstWhateverTheLength) {
    Bytes image = test::FillerBytes(0x8000, 9);
    ASSERT_EQ(Run(&FlashMtk7, image, Parameter(kAtapiMtk7)), std::nullopt);
    auto writes = Filter(0x3B);
    ASSERT_EQ(writes.size(), 10u);
    const char* blocks[] = {"3B 06 00 01 00 00 00 40 00 00 00 00", "3B 06 00 01 40 00 00 40 00 00 00 00",
                            "3B 06 00 01 80 00 00 40 00 00 00 00", "3B 06 00 01 C0 00 00 40 00 00 00 00",
                            "3B 07 00 01 00 00 00 00 00 00 00 00", "3B 06 00 00 00 00 00 40 00 00 00 00",
                            "3B 06 00 00 40 00 00 40 00 00 00 00", "3B 06 00 00 80 00 00 40 00 00 00 00",
                            "3B 06 00 00 C0 00 00 40 00 00 00 00", "3B 07 00 00 00 00 00 00 00 00 00 00"};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(Hex(writes[i].cdb), blocks[i]);
    EXPECT_EQ(writes[0].data, Bytes(0x4000, 0));
    EXPECT_EQ(writes[6].data, Slice(image, 0x4000, 0x4000));
    EXPECT_EQ(writes[7].data, Bytes(0x4000, 0));
}

class Mtk5Test : public FlashmcuTest {
protected:
    FlashResult Flash(Bytes& image, bool updater = false) {
        return Run(&FlashMtk5, image, Parameter(kAtapiMtk5), false, true, updater);
    }
};

TEST_F(Mtk5Test, SixteenBlocksFlashInOnePassWithItsOwnPercentages) {
    Bytes image = test::FillerBytes(0x100000, 10);
    state_->senses = {MakeSense(0x02, 0x04, 0x08, 8), MakeSense(0x02, 0x04, 0x07, 0), MakeSense(0x02, 0x04, 0x08, 0),
                      MakeSense(0x00, 0, 0)};
    ASSERT_EQ(Flash(image), std::nullopt);
    auto chunks = Filter(0x3B);
    ASSERT_EQ(chunks.size(), 67u);
    EXPECT_EQ(Hex(chunks[0].cdb), "3B 01 01 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(Hex(chunks[64].cdb), "3B 06 00 0F C0 00 00 40 00 00 00 00");
    EXPECT_EQ(chunks[64].data, Slice(image, 0xFC000, 0x4000));
    EXPECT_EQ(Hex(chunks[66].cdb), "3B 07 00 00 00 00 10 00 00 00 00 00");
    EXPECT_EQ(console_.Transcript(), "<at 1,9>Flash Progress:  50%\n<at 1,9>Flashing.\n<at 1,9>Flashing..\n"
                                     "<at 1,9>Flash Progress: 100%\n");
    EXPECT_EQ(Filter(0x5A, 0x0B).size(), 0u);  // no feature 13, no check sums
}

TEST_F(Mtk5Test, ThirtyTwoBlocksSendTheSecondMegabyteFirst) {
    Bytes image = test::FillerBytes(0x200000, 11);
    state_->senses = {MakeSense(0x02, 0x04, 0x08, 24), MakeSense(0x02, 0x04, 0x08, 32), MakeSense(0x02, 0x04, 0x08, 8),
                      MakeSense(0x06, 0x29, 0x00, 9)};
    ASSERT_EQ(Flash(image), std::nullopt);
    auto writes = Filter(0x3B);
    ASSERT_EQ(writes.size(), 2 * 67u);
    EXPECT_EQ(Hex(writes[1].cdb), "3B 06 00 10 00 00 00 40 00 00 00 00");
    EXPECT_EQ(Hex(writes[66].cdb), "3B 07 00 10 00 00 10 00 00 00 00 00");
    EXPECT_EQ(Hex(writes[68].cdb), "3B 06 00 00 00 00 00 40 00 00 00 00");
    EXPECT_EQ(Hex(writes[133].cdb), "3B 07 00 00 00 00 10 00 00 00 00 00");
    for (const auto& c : Filter(0x03)) EXPECT_EQ(c.cdb[3], 0x10);
    EXPECT_EQ(Filter(0x03).back().cdb[5], 0x80);
    EXPECT_EQ(console_.Text(), "Flash Progress:  25%\nFlash Progress:  50%\nFlash Progress:  75%\n"
                               "Flash Progress: 100%\n");
}

TEST_F(Mtk5Test, DriveLeftInBootCodeIsRetriedTwiceThenCodeEight) {
    Bytes image = test::FillerBytes(0x20000, 12);
    state_->revisions = {"BOOT"};
    EXPECT_EQ(Flash(image, true), "Flash Fail ! (8)\n");
    EXPECT_EQ(Filter(0x3B, -1).size(), 3 * 11u);
    EXPECT_EQ(console_.Text(), "Flash Progress: 100%\nLast flash fail !\nretrying flash 2 time(s)\n"
                               "Flash Progress: 100%\nLast flash fail !\nretrying flash 3 time(s)\n"
                               "Flash Progress: 100%\n");
    state_->revisions = {"BOOT", "BOOT", "1.10"};
    console_.ClearTranscript();
    EXPECT_EQ(Flash(image), std::nullopt);
    EXPECT_NE(console_.Text().find("retrying flash 3 time(s)\nFlash Progress: 100%\n"), std::string::npos);
}

TEST_F(Mtk5Test, ChecksumExchangeAndChunkRepeats) {
    Bytes image = test::FillerBytes(0x20000, 13);
    state_->checksumFeature = true;
    state_->checksumReply = static_cast<uint16_t>(test::ReferenceSum(image, true));
    ASSERT_EQ(Flash(image), std::nullopt);
    auto sums = Filter(0x5A, 0x0B);
    ASSERT_EQ(sums.size(), 2u);
    char set[64];
    std::snprintf(set, sizeof set, "5A 00 34 5A 45 0B 01 12 34 %02X %02X 00", state_->checksumReply >> 8,
                  state_->checksumReply & 0xFF);
    EXPECT_EQ(Hex(sums[0].cdb), set);

    state_->checksumReply ^= 1;
    EXPECT_EQ(Flash(image, true), "Flash Fail ! (7)\n");
    EXPECT_EQ(Flash(image), "CheckSum Error !\n");

    // A chunk is sent again every 500 ms, ten times at most.
    state_->sent.clear();
    state_->failWriteBufferMode = 0x06;
    const uint64_t before = Elapsed();
    EXPECT_EQ(Flash(image), "Write Buffer Fail !\n");
    EXPECT_EQ(Commands().size(), 12u);  // the first WRITE BUFFER mode 1 and eleven sends of the chunk
    EXPECT_EQ(Elapsed() - before, 5000u);

    Bytes tiny(0xFFFF, 1);
    state_->sent.clear();
    EXPECT_EQ(Flash(tiny, true), "Flash Fail ! (1)\n");
    EXPECT_TRUE(Commands().empty());
}

TEST_F(Mtk5Test, ASenseThatNeverComesEndsThePollOnlyAtItsBound) {
    Bytes image = test::FillerBytes(0x10000, 14);
    // Refused at once, again and again: a short pause after each, and only
    // the two minutes end the poll, however fast the drive fails.
    state_->failOpcode = 0x03;
    const uint64_t before = Elapsed();
    EXPECT_EQ(Flash(image), "Flash progress TimeOut !\n");
    EXPECT_GE(Elapsed() - before, 120000u);
    EXPECT_GE(Filter(0x03).size(), 1200u);  // pauses of at most 100 ms
    EXPECT_LE(Filter(0x03).size(), 2401u);

    // Never answered: each try costs the transport's time-out.
    LoadRig("[drive]\nhang_opcode = 03\n");
    EXPECT_EQ(Flash(image, true), "Flash progress TimeOut !\n");
    EXPECT_LT(Elapsed(), 400000u);
}

TEST_F(FlashmcuTest, ReadFlashImageReadsWholeBlocksAndGivesUpOnADeadOne) {
    for (size_t i = 0; i < 0x10200; ++i) state_->flash[i] = static_cast<uint8_t>(i * 7);
    Bytes buffer(0x10101, 0xEE);
    EXPECT_TRUE(ReadFlashImage(0, 0x10101, buffer, false));
    EXPECT_EQ(buffer, Slice(state_->flash, 0, 0x10101));
    EXPECT_EQ(Commands().size(), 258u);
    EXPECT_EQ(Hex(Commands()[257].cdb), "5A 00 38 5A 45 11 01 00 00 01 00 00");

    state_->sent.clear();
    state_->failOpcode = 0x5A;
    EXPECT_FALSE(ReadFlashImage(0, 0x100, buffer, false));
    EXPECT_EQ(Commands().size(), 11u);
}

TEST_F(FlashmcuTest, SelectionFillsBothSlotsOnlyForKnownTypes) {
    SelectAtapiProtocol(kAtapiMtk7);
    EXPECT_EQ(SelectedFlashRoutine(), &FlashMtk7);
    SelectAtapiProtocol(9);
    EXPECT_EQ(SelectedFlashRoutine(), &FlashMtk7);
    SelectAtapiProtocol(0);
    SelectAtapiProtocol(kAtapiAli);
    EXPECT_EQ(SelectedFlashRoutine(), &FlashAli);
    EXPECT_EQ(SelectedReadRoutine(), &ReadFlashImage);
    EXPECT_EQ(console_.Transcript(), "\r\r\r\r");
}

}  // namespace
}  // namespace jv
