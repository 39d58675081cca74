#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "sim/FlashMemory.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"

namespace jv::sim {
namespace {

constexpr uint8_t kIn = 0x08;
constexpr uint8_t kOut = 0x10;

using Block = std::array<uint8_t, 12>;

constexpr Block kTestUnitReady{};
constexpr Block kInquiry{0x12, 0, 0, 0, 0xFF};
constexpr Block kLoad{0x1B, 0x01, 0, 0, 0x03};
constexpr Block kEject{0x1B, 0x01, 0, 0, 0x02};
constexpr Block kLock{0x1E, 0, 0, 0, 0x01};
constexpr Block kUnlock{0x1E};
constexpr Block kTrayEvent{0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x10};
constexpr Block kDiscEvent{0x4A, 0x01, 0, 0, 0x50, 0, 0, 0, 0x10};
constexpr Block kHardwareIdPage{0x5A, 0, 0x38, 0x5A, 0x45, 0x10, 0, 0, 0, 0x04};
constexpr Block kBankNumber{0x5A, 0, 0x38, 0x5A, 0x45, 0xC0};
constexpr Block kVendorData{0x5A, 0, 0x38, 0x5A, 0x45, 0xA3};
constexpr Block kFeatures{0x5A, 0, 0x34, 0x5A, 0x45, 0x00};
constexpr Block kGetChecksum{0x5A, 0, 0x34, 0x5A, 0x45, 0x0B};
constexpr Block kCapabilities{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x28};

// Every test runs on its own virtual clock so drive timings are exact.
class VirtualDriveTest : public ::testing::Test {
protected:
    void SetUp() override { SetClock(&clock_); }
    void TearDown() override { SetClock(nullptr); }

    SCommandOutcome Run(VirtualDrive& drive, const Block& cdb, uint8_t direction = 0, uint32_t length = 0) {
        reply_.assign(length, 0xEE);
        return drive.Execute(cdb.data(), direction, length ? reply_.data() : nullptr, length);
    }
    static std::array<uint8_t, 3> Sense(const VirtualDrive& drive) {
        const auto& s = drive.LastSense().bytes;
        return {s[2], s[12], s[13]};
    }
    std::string ReplyText(size_t from, size_t count) const {
        return std::string(reply_.begin() + static_cast<long>(from), reply_.begin() + static_cast<long>(from + count));
    }

    VirtualClock clock_;
    std::vector<uint8_t> reply_;
};

using Sense3 = std::array<uint8_t, 3>;

SDriveConfig Identity() {
    SDriveConfig c;
    c.vendor = "PLEXTA";
    c.product = "DVDR  PX-7000";
    c.revision = "1.07";
    c.dateCode = "050311";
    c.hardwareId = "7B";
    c.inquiryHardwareId = "Q2";
    c.disc = true;
    return c;
}

TEST_F(VirtualDriveTest, InquiryCarriesPaddedIdentityAndHonoursAllocationAndHostLength) {
    VirtualDrive drive(Identity());
    auto out = Run(drive, kInquiry, kIn, 255);
    ASSERT_EQ(out.scsiStatus, kStatusGood);
    EXPECT_EQ(out.transferred, 96u);
    EXPECT_EQ(reply_[0], 0x05);
    EXPECT_EQ(reply_[4] + 5, 96);
    EXPECT_EQ(ReplyText(8, 24), "PLEXTA  DVDR  PX-7000   ");
    EXPECT_EQ(ReplyText(32, 4), "1.07");
    EXPECT_EQ(ReplyText(38, 2), "Q2");
    EXPECT_EQ(ReplyText(40, 6), "050311");
    EXPECT_EQ(reply_[96], 0xEE);  // nothing past the reply

    // The allocation length in the block limits the reply...
    Block short36 = kInquiry;
    short36[4] = 36;
    EXPECT_EQ(Run(drive, short36, kIn, 255).transferred, 36u);
    EXPECT_EQ(reply_[36], 0xEE);
    // ...and so does the host's buffer.
    EXPECT_EQ(Run(drive, kInquiry, kIn, 10).transferred, 10u);
    // A command set up without a data-in phase moves no data.
    auto none = Run(drive, kInquiry, 0, 64);
    EXPECT_EQ(none.transferred, 0u);
    EXPECT_EQ(reply_[0], 0xEE);
    // Vital product data pages other than the list are refused.
    Block vpd{0x12, 0x01, 0x80, 0, 0xFF};
    EXPECT_EQ(Run(drive, vpd, kIn, 255).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x05, 0x24, 0x00}));
}

TEST_F(VirtualDriveTest, HardwareIdPageAnswersZervOrSomethingElseOrFails) {
    SDriveConfig c = Identity();
    VirtualDrive zerv(c);
    ASSERT_EQ(Run(zerv, kHardwareIdPage, kIn, 20).scsiStatus, kStatusGood);
    EXPECT_EQ(ReplyText(0, 4), "ZERV");
    EXPECT_EQ(ReplyText(18, 2), "7B");

    c.hardwareIdPage = EHardwareIdPage::Other;
    VirtualDrive other(c);
    ASSERT_EQ(Run(other, kHardwareIdPage, kIn, 20).scsiStatus, kStatusGood);
    EXPECT_NE(ReplyText(0, 4), "ZERV");

    c.hardwareIdPage = EHardwareIdPage::Fails;
    VirtualDrive fails(c);
    EXPECT_EQ(Run(fails, kHardwareIdPage, kIn, 20).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(fails), (Sense3{0x05, 0x24, 0x00}));
}

TEST_F(VirtualDriveTest, BankNumberRepliesFollowTheConfiguredSequenceAndTheLastRepeats) {
    SDriveConfig c = Identity();
    c.bankReplies = {40, 0, 3};
    VirtualDrive drive(c);
    std::vector<uint8_t> seen;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(Run(drive, kBankNumber, kIn, 4).scsiStatus, kStatusGood);
        seen.push_back(reply_[0]);
    }
    EXPECT_EQ(seen, (std::vector<uint8_t>{40, 0, 3, 3, 3}));
}

TEST_F(VirtualDriveTest, FeatureBitsSitWhereTheQueryLooksForThem) {
    SDriveConfig c = Identity();
    c.features = (1u << 1) | (1u << 8) | (1u << 9) | (1u << 12) | (1u << 13);
    VirtualDrive drive(c);
    ASSERT_EQ(Run(drive, kFeatures, kIn, 8).scsiStatus, kStatusGood);
    EXPECT_EQ(ReplyText(0, 2), "ZE");
    EXPECT_EQ(reply_[5], 0x81);         // features 1 and 8
    EXPECT_EQ(reply_[6], 0x01 | 0x08 | 0x40);  // 9, 12, and 13 in bit 6 (not bit 4)
}

TEST_F(VirtualDriveTest, ChecksumPageReportsValuesAndTakesNewOnes) {
    SDriveConfig c = Identity();
    c.checksum = {0x1234, 0xBEEF, 6};
    VirtualDrive drive(c);
    ASSERT_EQ(Run(drive, kGetChecksum, kIn, 8).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_, (std::vector<uint8_t>{'Z', 'E', 6, 0, 0x12, 0x34, 0xBE, 0xEF}));
    Block set{0x5A, 0, 0x34, 0x5A, 0x45, 0x0B, 0x01, 0xA1, 0xA0, 0xB1, 0xB0};
    ASSERT_EQ(Run(drive, set).scsiStatus, kStatusGood);
    EXPECT_EQ(drive.LastChecksumA(), 0xA1A0);
    EXPECT_EQ(drive.LastChecksumB(), 0xB1B0);
}

TEST_F(VirtualDriveTest, VendorDataSucceedsOrFailsLeavingTheKernelReport) {
    SDriveConfig c = Identity();
    VirtualDrive plain(c);
    EXPECT_EQ(Run(plain, kVendorData, kIn, 65535).scsiStatus, kStatusGood);

    c.kernel = {true, 2, 0x8000, 0x1F00};
    VirtualDrive withKernel(c);
    auto out = Run(withKernel, kVendorData, kIn, 65535);
    EXPECT_EQ(out.scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(std::vector<uint8_t>(reply_.begin(), reply_.begin() + 9),
              (std::vector<uint8_t>{0x55, 0xDD, 0, 0, 2, 0x80, 0x00, 0x1F, 0x00}));
}

TEST_F(VirtualDriveTest, CapabilitiesPageShowsTheDvdReadBitAtReplyByteTen) {
    SDriveConfig c = Identity();
    VirtualDrive dvd(c);
    ASSERT_EQ(Run(dvd, kCapabilities, kIn, 40).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[8], 0x2A);
    EXPECT_TRUE(reply_[10] & 0x08);
    c.dvd = false;
    VirtualDrive cd(c);
    ASSERT_EQ(Run(cd, kCapabilities, kIn, 40).scsiStatus, kStatusGood);
    EXPECT_FALSE(reply_[10] & 0x08);
}

TEST_F(VirtualDriveTest, NotReadyWithoutDiscOrWithTheTrayOpenAndSenseClearsOnSuccess) {
    SDriveConfig c = Identity();
    c.disc = false;
    VirtualDrive drive(c);
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x02, 0x3A, 0x01}));
    EXPECT_EQ(drive.LastSense().bytes[0], 0x70);

    // REQUEST SENSE hands over the pending failure, then the condition.
    Block requestSense{0x03, 0, 0, 0, 18};
    ASSERT_EQ(Run(drive, requestSense, kIn, 18).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[2], 0x02);
    EXPECT_EQ(reply_[12], 0x3A);
    for (uint8_t b : drive.LastSense().bytes) EXPECT_EQ(b, 0);  // cleared by the good command

    ASSERT_EQ(Run(drive, kEject).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x02, 0x3A, 0x02}));

    drive.SetDisc(true);
    ASSERT_EQ(Run(drive, kLoad).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusGood);
}

TEST_F(VirtualDriveTest, BecomesReadyAfterItsTimeOrNever) {
    SDriveConfig c = Identity();
    c.readyAfterMs = 5000;
    VirtualDrive slow(c);
    EXPECT_EQ(Run(slow, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(slow), (Sense3{0x02, 0x04, 0x01}));
    // Spinning up is no reason to refuse what needs no disc.
    EXPECT_EQ(Run(slow, kBankNumber, kIn, 4).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(slow, kInquiry, kIn, 255).scsiStatus, kStatusGood);
    clock_.SleepMs(4999);
    EXPECT_EQ(Run(slow, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    clock_.SleepMs(1);
    EXPECT_EQ(Run(slow, kTestUnitReady).scsiStatus, kStatusGood);

    // A drive that never becomes ready says so even without a disc, so a
    // wait cannot mistake it for an empty drive.
    c.readyAfterMs = -1;
    c.disc = false;
    VirtualDrive never(c);
    clock_.SleepMs(3600 * 1000);
    EXPECT_EQ(Run(never, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(never), (Sense3{0x02, 0x04, 0x01}));
}

TEST_F(VirtualDriveTest, TrayAndDiscShowInTheMediaEventAndALockedTrayStaysShut) {
    VirtualDrive drive(Identity());
    ASSERT_EQ(Run(drive, kTrayEvent, kIn, 16).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[5], 0x02);  // closed, disc present
    EXPECT_EQ(Run(drive, kLock).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kEject).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x05, 0x53, 0x02}));
    EXPECT_FALSE(drive.TrayOpen());
    EXPECT_EQ(Run(drive, kUnlock).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kEject).scsiStatus, kStatusGood);
    ASSERT_EQ(Run(drive, kDiscEvent, kIn, 16).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[5], 0x03);  // open, disc present
    EXPECT_EQ(reply_[4], 3);     // media removal, reported once
    ASSERT_EQ(Run(drive, kTrayEvent, kIn, 16).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[4], 0);
    Block notPolled = kTrayEvent;
    notPolled[1] = 0;
    EXPECT_EQ(Run(drive, notPolled, kIn, 16).scsiStatus, kStatusCheckCondition);
}

TEST_F(VirtualDriveTest, MotorlessTrayRefusesLoadAndAHandClosesIt) {
    SDriveConfig c = Identity();
    c.trayMotor = false;
    c.trayOpen = true;
    c.handClosesTrayMs = 3000;
    c.handRemovesDiscMs = 1000;
    VirtualDrive drive(c);
    EXPECT_EQ(Run(drive, kLoad).scsiStatus, kStatusCheckCondition);
    EXPECT_NE(Sense(drive), (Sense3{0x06, 0x1D, 0x00}));
    EXPECT_TRUE(drive.TrayOpen());
    clock_.SleepMs(1000);
    ASSERT_EQ(Run(drive, kDiscEvent, kIn, 16).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[5], 0x01);  // still open, disc gone
    clock_.SleepMs(2000);
    ASSERT_EQ(Run(drive, kTrayEvent, kIn, 16).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[5], 0x00);
}

TEST_F(VirtualDriveTest, AClockThatReadsEarlierDoesNotSetTheHandsOff) {
    clock_.SleepMs(10000);
    SDriveConfig c = Identity();
    c.trayOpen = true;
    c.handClosesTrayMs = 3000;
    VirtualDrive drive(c);
    VirtualClock earlier;
    SetClock(&earlier);
    EXPECT_TRUE(drive.TrayOpen());
    SetClock(&clock_);
    clock_.SleepMs(3000);
    EXPECT_FALSE(drive.TrayOpen());
}

TEST_F(VirtualDriveTest, ComplainingLoadStillClosesTheTray) {
    SDriveConfig c = Identity();
    c.trayOpen = true;
    c.loadComplains = true;
    VirtualDrive drive(c);
    EXPECT_EQ(Run(drive, kLoad).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x06, 0x1D, 0x00}));
    EXPECT_FALSE(drive.TrayOpen());
}

TEST_F(VirtualDriveTest, UnknownCommandsAreIllegalRequests) {
    VirtualDrive drive(Identity());
    Block unknown{0xC7, 1, 2, 3};
    EXPECT_EQ(Run(drive, unknown, kIn, 64).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x05, 0x20, 0x00}));
    EXPECT_EQ(reply_[0], 0xEE);
    Block unknownVendor{0x5A, 0, 0x38, 0x5A, 0x45, 0x77};
    EXPECT_EQ(Run(drive, unknownVendor, kIn, 64).scsiStatus, kStatusCheckCondition);
    Block unknownPage{0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0x28};
    EXPECT_EQ(Run(drive, unknownPage, kIn, 40).scsiStatus, kStatusCheckCondition);
}

TEST_F(VirtualDriveTest, FaultsFailTheNthCommandOrAnOpcodeOrNeverAnswer) {
    SDriveConfig c = Identity();
    c.faults.push_back({SFault::EKind::NthCommand, 2, 0, {0x03, 0x11, 0x05}, false});
    VirtualDrive drive(c);
    drive.InjectFault({SFault::EKind::Opcode, 0, 0x1B, {0x06, 0x1D, 0x00}, false});
    drive.InjectFault({SFault::EKind::NthCommand, 5, 0, {}, true});

    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kInquiry, kIn, 255).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(reply_[0], 0xEE);
    EXPECT_EQ(Sense(drive), (Sense3{0x03, 0x11, 0x05}));
    EXPECT_EQ(Run(drive, kInquiry, kIn, 255).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kLoad).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x06, 0x1D, 0x00}));
    auto hang = Run(drive, kTestUnitReady);
    EXPECT_TRUE(hang.timedOut);
    EXPECT_EQ(hang.transferred, 0u);
    Block requestSense{0x03, 0, 0, 0, 18};
    ASSERT_EQ(Run(drive, requestSense, kIn, 18).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[0], 0x70);  // a valid report of "no sense", not zeros
    EXPECT_EQ(reply_[2], 0x00);
    EXPECT_EQ(Run(drive, kEject).scsiStatus, kStatusCheckCondition);  // every 1B
    drive.ClearFaults();
    EXPECT_EQ(Run(drive, kEject).scsiStatus, kStatusGood);

    const auto& t = drive.Transcript();
    ASSERT_EQ(t.size(), 8u);
    EXPECT_TRUE(t[4].timedOut);
    EXPECT_EQ(t[1].scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(t[1].cdb, kInquiry);
    EXPECT_EQ(t[1].direction, kIn);
    EXPECT_EQ(t[1].length, 255u);
}

TEST_F(VirtualDriveTest, GarbledRepliesSucceedWithNoiseInTheirDataOnly) {
    VirtualDrive drive(Identity());
    SFault garble;
    garble.kind = SFault::EKind::Opcode;
    garble.opcode = 0x12;
    garble.garble = true;
    drive.InjectFault(garble);
    auto clean = drive.InquiryData();
    auto out = Run(drive, kInquiry, kIn, 255);
    EXPECT_EQ(out.scsiStatus, kStatusGood);
    EXPECT_EQ(out.transferred, 96u);
    EXPECT_FALSE(std::equal(clean.begin(), clean.end(), reply_.begin()));
    EXPECT_EQ(reply_[96], 0xEE);  // the noise stays inside the reply
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusGood);
}

TEST_F(VirtualDriveTest, TranscriptNotesTheTimeEachCommandArrived) {
    VirtualDrive drive(Identity());
    Run(drive, kTestUnitReady);
    clock_.SleepMs(200);
    Run(drive, kTestUnitReady);
    ASSERT_EQ(drive.Transcript().size(), 2u);
    EXPECT_EQ(drive.Transcript()[1].atMs - drive.Transcript()[0].atMs, 200u);
}

// FA b0 b1 c0 c1 i 01 b0 b1 c0 c1 n with b = 0x1234, c = 0xABCD.
Block DownloadBlockCdb(uint8_t block, uint8_t count) {
    return {0xFA, 0x34, 0x12, 0xCD, 0xAB, block, 0x01, 0x34, 0x12, 0xCD, 0xAB, count};
}

TEST_F(VirtualDriveTest, DownloadTakesTheImageAndRebootsOnTheLastBlock) {
    SDriveConfig c = Identity();
    c.rebootMs = 8000;
    VirtualDrive drive(c);
    std::vector<uint8_t> image(3 * 16384);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 16384);
    for (uint8_t i = 0; i < 3; ++i) {
        auto cdb = DownloadBlockCdb(i, 3);
        auto out = drive.Execute(cdb.data(), kOut, image.data() + i * 16384, 16384);
        if (i < 2) {
            EXPECT_EQ(out.scsiStatus, kStatusGood) << int(i);
            EXPECT_EQ(out.transferred, 16384u);
        } else {
            EXPECT_EQ(out.scsiStatus, kStatusCheckCondition);
        }
    }
    EXPECT_EQ(drive.RebootCount(), 1u);
    EXPECT_EQ(drive.DownloadedImage(), image);
    EXPECT_EQ(drive.DownloadB(), 0x1234);
    EXPECT_EQ(drive.DownloadC(), 0xABCD);
    auto flashed = drive.Flash().Bytes();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flashed.begin()));

    // Rebooting: the first command learns of the reset, then the drive is
    // busy until the reboot time has passed.
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x06, 0x29, 0x00}));
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Sense(drive), (Sense3{0x02, 0x04, 0x01}));
    // While it restarts only the commands that report on it are answered.
    EXPECT_EQ(Run(drive, kBankNumber, kIn, 4).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(Run(drive, kInquiry, kIn, 255).scsiStatus, kStatusGood);
    clock_.SleepMs(8000);
    EXPECT_EQ(Run(drive, kBankNumber, kIn, 4).scsiStatus, kStatusGood);
    EXPECT_EQ(Run(drive, kTestUnitReady).scsiStatus, kStatusGood);
}

TEST_F(VirtualDriveTest, DownloadRefusesBlocksOutOfOrderOrMalformed) {
    VirtualDrive drive(Identity());
    std::vector<uint8_t> block(16384, 0x5A);
    auto send = [&](Block cdb, uint8_t direction = kOut, uint32_t length = 16384) {
        return drive.Execute(cdb.data(), direction, block.data(), length).scsiStatus;
    };
    EXPECT_EQ(send(DownloadBlockCdb(1, 3)), kStatusCheckCondition);  // no block 0 yet
    EXPECT_EQ(Sense(drive), (Sense3{0x05, 0x24, 0x00}));
    EXPECT_EQ(send(DownloadBlockCdb(0, 3)), kStatusGood);
    EXPECT_EQ(send(DownloadBlockCdb(2, 3)), kStatusCheckCondition);  // skipped block 1
    EXPECT_EQ(send(DownloadBlockCdb(1, 4)), kStatusCheckCondition);  // count changed
    Block mismatched = DownloadBlockCdb(1, 3);
    mismatched[8] = 0x99;  // the repeated b differs
    EXPECT_EQ(send(mismatched), kStatusCheckCondition);
    EXPECT_EQ(send(DownloadBlockCdb(1, 3), kOut, 1000), kStatusCheckCondition);  // short block
    EXPECT_EQ(send(DownloadBlockCdb(1, 3), kIn), kStatusCheckCondition);
    EXPECT_EQ(send(DownloadBlockCdb(3, 3)), kStatusCheckCondition);  // past the count
    EXPECT_EQ(send(DownloadBlockCdb(1, 3)), kStatusGood);
    EXPECT_EQ(drive.RebootCount(), 0u);
    EXPECT_TRUE(drive.DownloadedImage().empty());

    SDriveConfig small = Identity();
    small.flashSize = 0x8000;
    VirtualDrive tiny(small);
    auto cdb = DownloadBlockCdb(0, 3);
    EXPECT_EQ(tiny.Execute(cdb.data(), kOut, block.data(), 16384).scsiStatus, kStatusCheckCondition);
}

TEST_F(VirtualDriveTest, WriteBufferStaysInsideTheFlashAndSaveProgramsIt) {
    SDriveConfig c = Identity();
    c.flashSize = 0x20000;
    VirtualDrive drive(c);
    std::vector<uint8_t> chunk(0x4000, 0x42);
    Block at64k{0x3B, 0x06, 0, 0x01, 0x40, 0x00, 0, 0x40, 0x00};
    EXPECT_EQ(drive.Execute(at64k.data(), kOut, chunk.data(), 0x4000).scsiStatus, kStatusGood);
    Block pastEnd{0x3B, 0x06, 0, 0x01, 0xE0, 0x00, 0, 0x40, 0x00};
    EXPECT_EQ(drive.Execute(pastEnd.data(), kOut, chunk.data(), 0x4000).scsiStatus, kStatusCheckCondition);
    Block longerThanData{0x3B, 0x06, 0, 0x00, 0x00, 0x00, 0, 0x80, 0x00};
    EXPECT_EQ(drive.Execute(longerThanData.data(), kOut, chunk.data(), 0x4000).scsiStatus, kStatusCheckCondition);
    EXPECT_EQ(drive.Flash().Read(0x14000), 0xFF);  // not yet saved
    Block save{0x3B, 0x07};
    EXPECT_EQ(Run(drive, save).scsiStatus, kStatusGood);
    EXPECT_EQ(drive.Flash().Read(0x14000), 0x42);
    EXPECT_EQ(drive.Flash().Read(0x14000 + 0x4000), 0xFF);
}

TEST_F(VirtualDriveTest, SavesThatCarryDataProgramEveryPieceOfTheirSector) {
    SDriveConfig c = Identity();
    c.flashSize = 0x20000;
    VirtualDrive drive(c);
    const std::vector<uint8_t> sector0(drive.Flash().Bytes().begin(), drive.Flash().Bytes().begin() + 0x10000);
    // Four 16 KiB pieces of one 64 KiB sector, each sent in a saving command:
    // a later piece must neither be dropped nor erase an earlier one.
    for (uint8_t piece = 0; piece < 4; ++piece) {
        std::vector<uint8_t> chunk(0x4000, static_cast<uint8_t>(0x10 + piece));
        const auto at = static_cast<uint32_t>(0x10000 + piece * 0x4000);
        Block save{0x3B, 0x07, 0, static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 8), 0, 0, 0x40, 0x00};
        ASSERT_EQ(drive.Execute(save.data(), kOut, chunk.data(), 0x4000).scsiStatus, kStatusGood);
    }
    for (uint8_t piece = 0; piece < 4; ++piece) {
        EXPECT_EQ(drive.Flash().Read(0x10000 + piece * 0x4000u), 0x10 + piece);
        EXPECT_EQ(drive.Flash().Read(0x10000 + piece * 0x4000u + 0x3FFF), 0x10 + piece);
    }
    EXPECT_TRUE(std::equal(sector0.begin(), sector0.end(), drive.Flash().Bytes().begin()));
    std::vector<uint8_t> chunk(0x4000, 0x55);
    Block pastEnd{0x3B, 0x07, 0, 0x01, 0xE0, 0x00, 0, 0x40, 0x00};
    EXPECT_EQ(drive.Execute(pastEnd.data(), kOut, chunk.data(), 0x4000).scsiStatus, kStatusCheckCondition);
}

TEST_F(VirtualDriveTest, DriveBytesAreReadAndWrittenByAddress) {
    VirtualDrive drive(Identity());
    Block write{0xDF, 0x84, 0, 0, 0x01, 0, 0, 0x40, 0x39, 0x5D};
    EXPECT_EQ(drive.Execute(write.data(), kOut, nullptr, 0).scsiStatus, kStatusGood);
    Block read{0xDF, 0x83, 0, 0, 0x01, 0, 0, 0x40, 0x39};
    ASSERT_EQ(Run(drive, read, kIn, 255).scsiStatus, kStatusGood);
    EXPECT_EQ(reply_[0], 0x5D);
    EXPECT_EQ(drive.DriveByte(0x4039), 0x5D);
}

TEST(VirtualFlashMemory, ProgrammingOnlyClearsBitsAndEraseRestoresThem) {
    FlashMemory flash(0x20000, 0x10000);
    const uint8_t first[] = {0xF0, 0x0F};
    const uint8_t second[] = {0x3C, 0xFF};
    ASSERT_TRUE(flash.Program(0x10, first));
    ASSERT_TRUE(flash.Program(0x10, second));
    EXPECT_EQ(flash.Read(0x10), 0x30);
    EXPECT_EQ(flash.Read(0x11), 0x0F);
    EXPECT_FALSE(flash.Program(0x1FFFF, first));  // runs past the end
    EXPECT_EQ(flash.Read(0x1FFFF), 0xFF);
    ASSERT_TRUE(flash.EraseSector(0xFFFF));
    EXPECT_EQ(flash.Read(0x10), 0xFF);
    EXPECT_FALSE(flash.EraseSector(0x20000));

    // Rewrite erases every sector the range touches, and only those.
    ASSERT_TRUE(flash.Program(0x10010, first));
    ASSERT_TRUE(flash.Program(0x0, first));
    const uint8_t across[] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(flash.Rewrite(0xFFFE, across));
    EXPECT_EQ(flash.Read(0x0), 0xFF);
    EXPECT_EQ(flash.Read(0x10000), 0x33);
    EXPECT_EQ(flash.Read(0x10010), 0xFF);
}

std::string DataPath(const std::string& name) { return std::string(JV_SOURCE_DIR) + "/tests/data/" + name; }

TEST(RigFile, SampleRigHasThreeDrivesInFileOrder) {
    VirtualClock clock;
    SetClock(&clock);
    std::string error;
    auto rig = LoadRig(DataPath("rig-three-drives.ini"), error);
    SetClock(nullptr);
    ASSERT_TRUE(rig) << error;
    ASSERT_EQ(rig->drives.size(), 3u);
    const auto& writer = rig->drives[0]->Config();
    EXPECT_EQ(writer.name, "writer");
    EXPECT_EQ(writer.hardwareId, "3A");
    EXPECT_EQ(writer.features, (1u << 1) | (1u << 13));
    EXPECT_EQ(writer.checksum.packageValue, 0x1234);
    EXPECT_EQ(writer.checksum.imageValue, 0xBEEF);
    const auto& pioneer = rig->drives[1]->Config();
    EXPECT_EQ(pioneer.vendor, "PIONEER");
    EXPECT_EQ(pioneer.product, "DVD-RW  DVR-X99");
    EXPECT_EQ(pioneer.hardwareIdPage, EHardwareIdPage::Other);
    EXPECT_EQ(pioneer.inquiryHardwareId, "P1");
    const auto& combo = rig->drives[2]->Config();
    EXPECT_EQ(combo.product, "QLX-2209K");
    EXPECT_TRUE(combo.disc);
    EXPECT_EQ(combo.bankReplies, (std::vector<uint8_t>{1}));
}

TEST(RigFile, KeysReachTheDriveConfiguration) {
    std::string error;
    auto rig = ParseRig(
        "\xEF\xBB\xBF# comment\n[a]\nproduct = \"  QLX \"\nbank_number = 40, 0, 3\nReady_After_ms = Never\n"
        "tray = Open\nTRAY_MOTOR = No\nload_sense = 06:1d:00\nkernel_report = 2, 0x8000, 0x1F00\n"
        "hand_closes_tray_ms = 3000\nfail_command = 7 03:11:00\nfail_opcode = 1B 06:1D:00\n"
        "hang_opcode = 12\ngarble_command = 3\nflash_size = 0x100000\nchecksum_length = 4\nhold_command = 9\n[b]\n",
        "t.ini", error);
    ASSERT_TRUE(rig) << error;
    ASSERT_EQ(rig->drives.size(), 2u);
    const auto& a = rig->drives[0]->Config();
    EXPECT_EQ(a.product, "  QLX ");
    EXPECT_EQ(a.bankReplies, (std::vector<uint8_t>{40, 0, 3}));
    EXPECT_EQ(a.readyAfterMs, -1);
    EXPECT_TRUE(a.trayOpen);
    EXPECT_FALSE(a.trayMotor);
    EXPECT_TRUE(a.loadComplains);
    EXPECT_EQ(a.loadSense.asc, 0x1D);
    EXPECT_TRUE(a.kernel.present);
    EXPECT_EQ(a.kernel.address, 0x8000);
    EXPECT_EQ(a.kernel.length, 0x1F00);
    EXPECT_EQ(a.handClosesTrayMs, 3000);
    EXPECT_EQ(a.flashSize, 0x100000u);
    EXPECT_EQ(a.checksum.length, 4);
    ASSERT_EQ(a.faults.size(), 5u);
    EXPECT_EQ(a.faults[0].nth, 7u);
    EXPECT_EQ(a.faults[0].sense.key, 0x03);
    EXPECT_EQ(a.faults[1].opcode, 0x1B);
    EXPECT_TRUE(a.faults[2].noAnswer);
    EXPECT_EQ(a.faults[2].opcode, 0x12);
    EXPECT_TRUE(a.faults[3].garble);
    EXPECT_FALSE(a.faults[3].noAnswer);
    EXPECT_EQ(a.faults[3].nth, 3u);
    EXPECT_TRUE(a.faults[4].held);
    EXPECT_EQ(a.faults[4].nth, 9u);
    EXPECT_EQ(rig->drives[1]->Config().name, "b");
}

TEST(RigFile, BadRigTextsNameTheLineAndTheProblem) {
    const std::pair<const char*, const char*> cases[] = {
        {"vendor = X\n", "t.ini:1: key 'vendor' before the first [drive] section"},
        {"[a]\nspeed = 4\n", "t.ini:2: unknown key 'speed'"},
        {"[a]\n\nvendor = TOOLONGNAME\n", "t.ini:3: vendor = 'TOOLONGNAME': longer than 8 characters"},
        {"[a]\n[a]\n", "t.ini:2: section [a] appears twice"},
        {"[A]\n[Rig]\n[a]\n", "t.ini:3: section [a] appears twice"},
        {"[rig]\nplatform = nt\nPlatform = linux\n", "t.ini:3: key 'Platform' given twice"},
        {"[a\n", "t.ini:1: section header without ']'"},
        {"[a]\nvendor\n", "t.ini:2: expected key = value"},
        {"[a]\nfail_opcode = 1B 6:1D\n", "t.ini:2: fail_opcode = '1B 6:1D': sense is not like 05:24:00"},
        {"[a]\nfail_command = 0 05:24:00\n", "t.ini:2: fail_command = '0 05:24:00': not a command number"},
        {"[a]\ngarble_opcode = 12 05:24:00\n", "t.ini:2: garble_opcode = '12 05:24:00': expects one number"},
        {"[a]\nbank_number = 3, 256\n", "t.ini:2: bank_number = '3, 256': not a list of numbers 0 to 255"},
        {"[a]\nfeatures = 14\n", "t.ini:2: features = '14': not a list of feature numbers 1 to 13"},
        {"[a]\nready_after_ms = -5\n", "t.ini:2: ready_after_ms = '-5': not a time in milliseconds"},
        {"[a]\ndisc = maybe\n", "t.ini:2: disc = 'maybe': not yes or no"},
        {"[a]\nrevision = 1\nRevision = 2\n", "t.ini:3: key 'Revision' given twice"},
        {"[a]\nchecksum = 0x10000, 1\n", "t.ini:2: checksum = '0x10000, 1': expects two 16-bit values"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(ParseRig(text, "t.ini", error)) << text;
        EXPECT_EQ(error, expected);
    }
}

TEST(RigFile, RigSectionHoldsMachineSettingsAndIsNoDrive) {
    std::string error;
    auto rig = ParseRig("[first]\nvendor = A\n[Rig]\nPlatform = win98\nspeed = any\n[second]\nvendor = B\n", "t.ini",
                        error);
    ASSERT_TRUE(rig) << error;
    ASSERT_EQ(rig->drives.size(), 2u);
    EXPECT_EQ(rig->drives[1]->Config().vendor, "B");
    EXPECT_EQ(rig->settings, (std::map<std::string, std::string>{{"platform", "win98"}, {"speed", "any"}}));
}

TEST(RigFile, MissingFileIsAnErrorAndAnEmptyFileAnEmptyRig) {
    std::string error;
    EXPECT_FALSE(LoadRig(DataPath("no-such-rig.ini"), error));
    EXPECT_NE(error.find("cannot read rig file"), std::string::npos);
    auto empty = ParseRig("; nothing\n", "e.ini", error);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->drives.empty());
}

}  // namespace
}  // namespace jv::sim
