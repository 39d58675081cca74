#include "drive/Winfunc.h"

#include <array>
#include <functional>
#include <optional>
#include <numeric>

#include "DriveRigFixture.h"
#include "flash/Flashmsg.h"

namespace jv {
namespace {

using testing::DriveRigTest;
using testing::Hex;

constexpr const char* kPlainDrive = R"([drive]
vendor = ZERV
product = DVDRW QLX-1640
revision = 1.02
date_code = 051107
hardware_id = 3A
disc = yes
)";

class WinfuncTest : public DriveRigTest {};

struct SExpectedBlock {
    const char* what;
    std::function<void()> send;
    const char* block;
    uint8_t direction;
    uint32_t length;
};

TEST_F(WinfuncTest, EveryCommandGoesOutAsItsTwelveByteBlock) {
    LoadRig(kPlainDrive);
    std::vector<uint8_t> big(65535);
    std::array<uint8_t, 18> sense{};
    const std::vector<SExpectedBlock> cases = {
        {"TestUnitReady", [] { TestUnitReady(0); }, "00 00 00 00 00 00 00 00 00 00 00 00", kDirNone, 0},
        {"RequestSense plain", [&] { RequestSense(0, sense, false, false); }, "03 00 00 00 12 00 00 00 00 00 00 00",
         kDirIn, 18},
        {"RequestSense flags", [&] { RequestSense(0, sense, true, true); }, "03 00 00 10 12 80 00 00 00 00 00 00",
         kDirIn, 18},
        {"InquiryModelName", [] { InquiryModelName(0); }, "12 00 00 00 FF 00 00 00 00 00 00 00", kDirIn, 255},
        {"ReadBankNumber", [] { ReadBankNumber(0); }, "5A 00 38 5A 45 C0 00 00 00 00 00 00", kDirIn, 4},
        {"ReadVendorData", [&] { ReadVendorData(0, big); }, "5A 00 38 5A 45 A3 00 00 00 00 00 00", kDirIn, 65535},
        {"QueryFeature", [&] { QueryFeature(0, big, 3); }, "5A 00 34 5A 45 00 00 00 00 00 00 00", kDirIn, 8},
        {"GetFirmwareChecksum", [&] { GetFirmwareChecksum(0, big); }, "5A 00 34 5A 45 0B 00 00 00 00 00 00", kDirIn,
         8},
        {"SetFirmwareChecksum", [] { SetFirmwareChecksum(0, 0x1234, 0xBEEF); },
         "5A 00 34 5A 45 0B 01 12 34 BE EF 00", kDirNone, 0},
        {"SetTrayLock on", [] { SetTrayLock(0, true); }, "1E 00 00 00 01 00 00 00 00 00 00 00", kDirNone, 0},
        {"SetTrayLock off", [] { SetTrayLock(0, false); }, "1E 00 00 00 00 00 00 00 00 00 00 00", kDirNone, 0},
        {"LoadTray", [] { LoadTray(0); }, "1B 01 00 00 03 00 00 00 00 00 00 00", kDirNone, 0},
        {"EjectTray", [] { EjectTray(0); }, "1B 01 00 00 02 00 00 00 00 00 00 00", kDirNone, 0},
        {"IsTrayOpen", [] { IsTrayOpen(0); }, "4A 01 00 00 10 00 00 00 10 00 00 00", kDirIn, 16},
        {"IsDiscPresent", [] { IsDiscPresent(0); }, "4A 01 00 00 50 00 00 00 10 00 00 00", kDirIn, 16},
        {"WriteFirmwareBlock", [&] { WriteFirmwareBlock(0, big, 2, 3, 0x1234, 0xABCD); },
         "FA 34 12 CD AB 02 01 34 12 CD AB 03", kDirOut, 16384},
        {"WriteBufferOffset", [&] { WriteBufferOffset(0, std::span(big).first(0x4000), 0x02, 0xC000); },
         "3B 06 00 02 C0 00 00 40 00 00 00 00", kDirOut, 0x4000},
        {"WriteBufferSave set", [] { WriteBufferSave(0, true); }, "3B 07 00 10 00 00 10 00 00 00 00 00", kDirNone,
         0},
        {"WriteBufferSave clear", [] { WriteBufferSave(0, false); }, "3B 07 00 00 00 00 10 00 00 00 00 00",
         kDirNone, 0},
        {"WriteBufferMode1", [] { WriteBufferMode1(0, 1); }, "3B 01 01 00 00 00 00 00 00 00 00 00", kDirNone, 0},
        {"ReadDriveByte", [] { ReadDriveByte(0, 0x4039); }, "DF 83 00 00 01 00 00 40 39 00 00 00", kDirIn, 255},
        {"WriteDriveByte", [] { WriteDriveByte(0, 0x423F, 0x5D); }, "DF 84 00 00 01 00 00 42 3F 5D 00 00", kDirOut,
         0},
        {"ModeSenseCapabilities", [&] { ModeSenseCapabilities(0, big); }, "5A 00 2A 00 00 00 00 00 28 00 00 00",
         kDirIn, 40},
    };
    for (const auto& c : cases) {
        Drive(0).ClearTranscript();
        c.send();
        ASSERT_EQ(Sent().size(), 1u) << c.what;
        EXPECT_EQ(Hex(Sent()[0].cdb), c.block) << c.what;
        EXPECT_EQ(Sent()[0].direction, c.direction) << c.what;
        EXPECT_EQ(Sent()[0].length, c.length) << c.what;
    }
}

TEST_F(WinfuncTest, ShortBuffersAndFeatureNumbersOutOfRangeSendNothing) {
    LoadRig(kPlainDrive);
    std::array<uint8_t, 7> small{};
    EXPECT_FALSE(QueryFeature(0, small, 0));
    EXPECT_FALSE(GetFirmwareChecksum(0, small));
    EXPECT_FALSE(RequestSense(0, small, false, false));
    EXPECT_FALSE(WriteFirmwareBlock(0, std::vector<uint8_t>(16383), 0, 1, 0, 0));
    EXPECT_FALSE(WriteBufferOffset(0, std::vector<uint8_t>(0x10000), 0, 0));
    // The flash protocols go through the same guarded path: a span of
    // 65,536 bytes would otherwise go out with a length of 0.
    EXPECT_FALSE(ExecuteDataOut(0, kCmdWriteBufferOffset, std::vector<uint8_t>(0x10000)));
    EXPECT_FALSE(ExecuteDataIn(0, kCmdInquiry, small, kInquiryLength));
    std::array<uint8_t, 8> reply{};
    EXPECT_FALSE(QueryFeature(0, reply, -1));
    EXPECT_FALSE(QueryFeature(0, reply, 14));
    EXPECT_TRUE(Sent().empty());
    // Commands to a drive the scan did not find go nowhere.
    EXPECT_FALSE(TestUnitReady(1));
    EXPECT_EQ(InquiryModelName(5), "");
}

TEST_F(WinfuncTest, IdentityStringsKeepTheirSpaces) {
    LoadRig(R"([drive]
vendor = "ABCDEF"
product = "QLX-3301ABCD"
revision = "1.0 "
date_code = 060714
)");
    EXPECT_EQ(InquiryModelName(0), "ABCDEF  QLX-3301ABCD    ");
    EXPECT_EQ(InquiryModelName(0).size(), 24u);
    EXPECT_EQ(InquiryRevision(0), "1.0 ");
    EXPECT_EQ(InquiryDateCode(0), "060714");
}

TEST_F(WinfuncTest, IdentityOfADriveThatRefusesInquiryIsEmpty) {
    LoadRig(R"([drive]
hardware_id_page = fails
fail_opcode = 12 05:24:00
)");
    EXPECT_EQ(InquiryModelName(0), "");
    EXPECT_EQ(InquiryRevision(0), "");
    EXPECT_EQ(InquiryDateCode(0), "");
    EXPECT_EQ(ReadHardwareId(0), "");
}

TEST_F(WinfuncTest, HardwareIdComesFromTheVendorPageOrFallsBackToInquiry) {
    LoadRig(R"([zerv]
hardware_id = 3A
inquiry_hardware_id = 99
[other]
hardware_id = 3A
hardware_id_page = other
inquiry_hardware_id = P1
[refused]
hardware_id_page = fails
inquiry_hardware_id = Q7
)");
    EXPECT_EQ(ReadHardwareId(0), "3A");
    EXPECT_EQ(Sent(0).size(), 1u);  // no INQUIRY when the page answers "ZERV"

    EXPECT_EQ(ReadHardwareId(1), "P1");
    ASSERT_EQ(Sent(1).size(), 2u);
    EXPECT_EQ(Hex(Sent(1)[0].cdb), "5A 00 38 5A 45 10 00 00 00 04 00 00");
    EXPECT_EQ(Sent(1)[0].length, 20u);
    EXPECT_EQ(Hex(Sent(1)[1].cdb), "12 00 00 00 FF 00 00 00 00 00 00 00");

    EXPECT_EQ(ReadHardwareId(2), "Q7");
}

TEST_F(WinfuncTest, FeatureBitsFollowTheirBytesAndFeature13IsBit6) {
    LoadRig(R"([some]
features = 1, 8, 9, 12
[thirteen]
features = 13
[refuses]
features = 1
fail_opcode = 5A 05:24:00
)");
    std::array<uint8_t, 8> reply{};
    for (int n = 0; n <= 13; ++n) {
        const bool expected = n == 0 || n == 1 || n == 8 || n == 9 || n == 12;
        EXPECT_EQ(QueryFeature(0, reply, n), expected) << "feature " << n;
    }
    EXPECT_EQ(reply[5], 0x81);
    EXPECT_EQ(reply[6], 0x09);

    for (int n = 1; n <= 12; ++n) EXPECT_FALSE(QueryFeature(1, reply, n)) << "feature " << n;
    EXPECT_TRUE(QueryFeature(1, reply, 13));
    EXPECT_EQ(reply[6], 0x40);

    EXPECT_FALSE(QueryFeature(2, reply, 0));
    EXPECT_FALSE(QueryFeature(2, reply, 1));
}

TEST_F(WinfuncTest, FirmwareChecksumsAreExchangedMostSignificantByteFirst) {
    LoadRig(R"([good]
checksum = 0x1234, 0xABCD
[short]
checksum = 0x1234, 0xABCD
checksum_length = 4
)");
    std::array<uint8_t, 8> reply{};
    ASSERT_TRUE(GetFirmwareChecksum(0, reply));
    EXPECT_EQ(reply[4], 0x12);
    EXPECT_EQ(reply[5], 0x34);
    EXPECT_EQ(reply[6], 0xAB);
    EXPECT_EQ(reply[7], 0xCD);
    EXPECT_FALSE(GetFirmwareChecksum(1, reply));  // length byte below 5

    ASSERT_TRUE(SetFirmwareChecksum(0, 0x0102, 0xFEDC));
    EXPECT_EQ(Drive(0).LastChecksumA(), 0x0102);
    EXPECT_EQ(Drive(0).LastChecksumB(), 0xFEDC);
}

TEST_F(WinfuncTest, BankNumberIsAskedAgainWhileTheDriveAnswersAbove32) {
    LoadRig(R"([settles]
bank_number = 40, 33, 32
[busy]
bank_number = 99
[refuses]
bank_number = 3
fail_opcode = 5A 05:24:00
)");
    EXPECT_EQ(ReadBankNumber(0), 32);
    EXPECT_EQ(Sent(0).size(), 3u);
    // A drive that stays busy gives up with 0 instead of holding the caller.
    EXPECT_EQ(ReadBankNumber(1), 0);
    EXPECT_EQ(Sent(1).size(), 50u);
    EXPECT_EQ(ReadBankNumber(2), 0);
    EXPECT_EQ(Sent(2).size(), 1u);
}

// --- waiting for the drive -------------------------------------------------

TEST_F(WinfuncTest, ReadyDriveAndDriveWithoutDiscEndTheWaitAtOnce) {
    LoadRig(R"([ready]
disc = yes
[empty]
disc = no
)");
    EXPECT_EQ(WaitDriveReady(0, 120), EReadyWait::kReady);
    EXPECT_EQ(WaitDriveReady(1, 120), EReadyWait::kReady);
    EXPECT_EQ(Sent(1).size(), 1u);
    EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(WinfuncTest, WaitPollsEvery200msUntilTheDriveIsReady) {
    LoadRig(R"([drive]
disc = yes
ready_after_ms = 5000
)");
    EXPECT_EQ(WaitDriveReady(0, 120), EReadyWait::kReady);
    EXPECT_GE(Elapsed(), 5000u);
    EXPECT_LT(Elapsed(), 5200u);
    EXPECT_EQ(Sent().size(), 26u);  // at 0, 200, ... 5000 ms
}

TEST_F(WinfuncTest, WaitGivesUpAfter120SecondsAndUnlocksTheTray) {
    LoadRig(R"([drive]
disc = yes
locked = yes
fail_opcode = 00 02:04:00
)");
    EXPECT_EQ(WaitDriveReady(0, 120), EReadyWait::kTimedOut);
    EXPECT_GT(Elapsed(), 120000u);
    EXPECT_LE(Elapsed(), 120400u);
    EXPECT_EQ(LastBlock(), "1E 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_FALSE(Drive(0).Locked());
}

TEST_F(WinfuncTest, EscapeDuringTheWaitUnlocksAndStopsIt) {
    // Outside a flash any other key is read and ignored; while the flash is
    // being written a first ESC is only a warning, and the second one stops.
    for (const bool flashing : {false, true}) {
        SCOPED_TRACE(flashing ? "while flashing" : "outside a flash");
        LoadRig(R"([drive]
disc = yes
locked = yes
fail_opcode = 00 02:04:00
)");
        console_.SetKeys(flashing ? "\x1b\x1b" : "x\x1b");
        if (flashing) BeginFlashWrite();
        SFlashWriteEnd end;
        EXPECT_EQ(WaitDriveReady(0, 120), EReadyWait::kStopped);
        EXPECT_EQ(LastBlock(), "1E 00 00 00 00 00 00 00 00 00 00 00");
        EXPECT_FALSE(Drive(0).Locked());
        EXPECT_EQ(Elapsed(), 200u);
    }
}

// --- tray ------------------------------------------------------------------

const std::string kSpaces63(63, ' ');

TEST_F(WinfuncTest, TrayIsClosedByCommandWithoutAskingAnything) {
    LoadRig(R"([drive]
tray = open
)");
    EXPECT_TRUE(PrepareTray(0, &AskAboutTray));
    EXPECT_FALSE(Drive(0).TrayOpen());
    EXPECT_EQ(console_.Transcript(), "");
}

TEST_F(WinfuncTest, LoadRefusedWithUnitAttention1DStillClosesByCommand) {
    // The tray does not move for the refused loads; someone pushes it shut
    // after 12 s while the program keeps sending LoadTray every 5 s.
    LoadRig(R"([drive]
tray = open
fail_opcode = 1B 06:1D:00
hand_closes_tray_ms = 12000
)");
    EXPECT_TRUE(PrepareTray(0, &AskAboutTray));
    EXPECT_EQ(console_.Transcript(), "");
    EXPECT_EQ(Elapsed(), 15000u);
    int loads = 0;
    for (const auto& e : Sent()) loads += e.cdb[0] == 0x1B;
    EXPECT_EQ(loads, 4);  // the first and one per 5 s pause
}

TEST_F(WinfuncTest, OtherLoadRefusalAsksTheUserToCloseTheTray) {
    LoadRig(R"([drive]
tray = open
tray_motor = no
hand_closes_tray_ms = 1000
)");
    console_.SetKeys("y");
    EXPECT_TRUE(PrepareTray(0, &AskAboutTray));
    EXPECT_EQ(console_.Transcript(),
              "<at 1,6>Please close the tray and press Y to continue !<at 1,6>" + kSpaces63);
    EXPECT_EQ(Elapsed(), 5000u);
}

TEST_F(WinfuncTest, DecliningToCloseTheTrayEndsPreparation) {
    LoadRig(R"([drive]
tray = open
tray_motor = no
)");
    console_.SetKeys("n");
    EXPECT_FALSE(PrepareTray(0, &AskAboutTray));
    EXPECT_EQ(console_.Transcript(), "<at 1,6>Please close the tray and press Y to continue !");
    console_.ClearTranscript();
    console_.SetKeys("");  // end of input reads as no
    EXPECT_FALSE(PrepareTray(0, &AskAboutTray));
}

TEST_F(WinfuncTest, DiscIsEjectedAndTheTrayClosedAgainOnceItIsOut) {
    LoadRig(R"([drive]
disc = yes
hand_removes_disc_ms = 2000
)");
    console_.SetKeys("y");
    EXPECT_TRUE(PrepareTray(0, &AskAboutTray));
    EXPECT_EQ(console_.Transcript(), "<at 1,6>Please remove your disc from the tray and press Y to continue !<at 1,6>" +
                                         kSpaces63);
    EXPECT_FALSE(Drive(0).DiscPresent());
    EXPECT_FALSE(Drive(0).TrayOpen());
    EXPECT_EQ(Elapsed(), 10000u);  // after the eject, and after the load
    EXPECT_EQ(console_.KeysLeft(), 0u);
}

TEST_F(WinfuncTest, DiscNobodyRemovesIsEjectedAgainUntilTheUserDeclines) {
    LoadRig(R"([drive]
disc = yes
)");
    console_.SetKeys("yn");
    EXPECT_FALSE(PrepareTray(0, &AskAboutTray));
    const std::string prompt = "<at 1,6>Please remove your disc from the tray and press Y to continue !";
    EXPECT_EQ(console_.Transcript(), prompt + "<at 1,6>" + kSpaces63 + prompt);
    EXPECT_TRUE(Drive(0).TrayOpen());
}

TEST_F(WinfuncTest, TrayThatNeverClosesByCommandIsHandedToTheUser) {
    LoadRig(R"([drive]
tray = open
fail_opcode = 1B 06:1D:00
)");
    console_.SetKeys("n");
    EXPECT_FALSE(PrepareTray(0, &AskAboutTray));
    EXPECT_EQ(console_.Transcript(), "<at 1,6>Please close the tray and press Y to continue !");
    EXPECT_EQ(Elapsed(), 120000u);
}

// --- 16 KB download ---------------------------------------------------------

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 16384);
    return image;
}

TEST_F(WinfuncTest, DownloadSendsEveryBlockAndIgnoresTheRebootOfTheLast) {
    LoadRig(R"([drive]
disc = yes
reboot_ms = 8000
)");
    const auto image = Pattern(3 * 16384);
    EXPECT_EQ(DownloadFirmware(0, image, 3, 0x1234, 0xABCD), std::nullopt);
    EXPECT_EQ(Drive(0).DownloadedImage(), image);
    EXPECT_EQ(Drive(0).DownloadB(), 0x1234);
    EXPECT_EQ(Drive(0).DownloadC(), 0xABCD);
    std::vector<std::string> blocks;
    for (const auto& e : Sent())
        if (e.cdb[0] == 0xFA) blocks.push_back(Hex(e.cdb));
    EXPECT_EQ(blocks, (std::vector<std::string>{"FA 34 12 CD AB 00 01 34 12 CD AB 03",
                                                 "FA 34 12 CD AB 01 01 34 12 CD AB 03",
                                                 "FA 34 12 CD AB 02 01 34 12 CD AB 03"}));
    // The 20 s pause, then the wait for the rebooted drive (ready by then).
    EXPECT_GE(Elapsed(), 20000u);
    EXPECT_LT(Elapsed(), 20400u);
    EXPECT_EQ(LastBlock(), "00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(WinfuncTest, DownloadReportsTheSenseOfAFailingBlock) {
    LoadRig(R"([drive]
disc = yes
)");
    // After the ready check and the first block, the second block fails.
    sim::SFault fault;
    fault.nth = Drive(0).CommandCount() + 3;
    fault.sense = {0x05, 0x24, 0x00};
    Drive(0).InjectFault(fault);
    const auto image = Pattern(3 * 16384);
    EXPECT_EQ(DownloadFirmware(0, image, 3, 1, 2), "Firmware update failure (05:24:00)");
    EXPECT_EQ(Sent().size(), 3u);  // nothing after the failing block
    EXPECT_EQ(Elapsed(), 0u);
}

TEST_F(WinfuncTest, ALastBlockThatIsRefusedIsAFailureButAResetOrBusyDriveIsNot) {
    const auto image = Pattern(3 * 16384);
    const struct {
        std::array<uint8_t, 3> sense;  // byte 2 as the drive sends it, ASC, ASCQ
        FlashResult result;
        bool descriptor = false;
    } cases[] = {
        {{0x05, 0x24, 0x00}, "Firmware update failure (05:24:00)"},  // the drive refuses the block
        {{0x04, 0x44, 0x00}, "Firmware update failure (04:44:00)"},  // it cannot write its flash
        {{0x02, 0x04, 0x01}, std::nullopt},                          // busy: restarting
        {{0x06, 0x29, 0x00}, std::nullopt},                          // reset
        // The text shows sense byte 2 as it came, ILI flag and all; descriptor
        // sense keeps its flags elsewhere, so there it is the key alone.
        {{0x25, 0x24, 0x00}, "Firmware update failure (25:24:00)"},
        {{0x25, 0x24, 0x00}, "Firmware update failure (05:24:00)", true},
    };
    for (const auto& c : cases) {
        LoadRig(std::string("[drive]\ndisc = yes\n") + (c.descriptor ? "sense_format = descriptor\n" : ""));
        sim::SFault fault;
        fault.nth = Drive(0).CommandCount() + 4;  // the ready check, then blocks 0, 1 and 2
        fault.sense = {c.sense[0], c.sense[1], c.sense[2]};
        Drive(0).InjectFault(fault);
        EXPECT_EQ(DownloadFirmware(0, image, 3, 1, 2), c.result);
        ASSERT_GE(Sent().size(), 4u);
        EXPECT_EQ(Hex(Sent()[3].cdb), "FA 01 00 02 00 02 01 01 00 02 00 03");  // the refused one was the last
    }
}

TEST_F(WinfuncTest, DownloadOfAShortImagePadsTheLastBlockWithZeros) {
    LoadRig(R"([drive]
disc = yes
)");
    const auto image = Pattern(2 * 16384 + 100);
    EXPECT_EQ(DownloadFirmware(0, image, 3, 0, 0), std::nullopt);
    const auto& got = Drive(0).DownloadedImage();
    ASSERT_EQ(got.size(), 3u * 16384);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<std::ptrdiff_t>(image.size()), got.end(),
                            [](uint8_t b) { return b == 0; }));
}

TEST_F(WinfuncTest, DownloadWithABlockCountTheCommandCannotCarryIsRefused) {
    LoadRig(R"([drive]
disc = yes
)");
    const auto image = Pattern(16384);
    EXPECT_EQ(DownloadFirmware(0, image, 0, 0, 0), "Firmware update failure (00:00:00)");
    EXPECT_EQ(DownloadFirmware(0, image, 256, 0, 0), "Firmware update failure (00:00:00)");
    EXPECT_TRUE(Sent().empty());
}

}  // namespace
}  // namespace jv
