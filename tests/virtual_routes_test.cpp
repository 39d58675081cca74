// The virtual machines: the same route logic with a rig's drives.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include "DriveAccessFixture.h"
#include "drive/Winfunc.h"
#include "flash/Flashknl.h"
#include "platform/AspiRoute.h"
#include "platform/Clock.h"
#include "platform/PassThroughRoute.h"
#include "platform/SgIoRoute.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualRoute.h"

namespace jv {
namespace {

sim::SRig ThreeDrives() {
    std::string error;
    // Drive a was just reset: the scan's INQUIRY meets UNIT ATTENTION.
    auto rig = sim::ParseRig("[a]\nvendor = ZERV\nproduct = QLX-1\nrevision = 1.01\nfail_command = 1 06:29:00\n"
                             "[b]\nvendor = PIONEER\nproduct = DVR-X99\nrevision = 1.10\n"
                             "[c]\nvendor = ZERV\nproduct = QLX-2209K\nrevision = 2.01\nhang_opcode = E7\n"
                             "hold_opcode = E8\n",
                             "three", error);
    EXPECT_TRUE(rig) << error;
    return rig ? std::move(*rig) : sim::SRig{};
}

std::vector<sim::VirtualDrive*> DrivesOf(sim::SRig& rig) {
    std::vector<sim::VirtualDrive*> drives;
    for (auto& drive : rig.drives) drives.push_back(drive.get());
    return drives;
}

class VirtualMachines : public DriveAccessTest, public ::testing::WithParamInterface<EVirtualPlatform> {};

TEST_P(VirtualMachines, ScanFindsTheRigInOrderAndCommandsReachTheRightDrive) {
    VirtualClockScope time;
    sim::SRig rig = ThreeDrives();
    ResetDriveAccessForTest(MakeVirtualRoute(DrivesOf(rig), GetParam()), GetParam() != EVirtualPlatform::Win98);
    ASSERT_EQ(ListDriveIndexes(), (std::vector<EDriveIndex>{0, 1, 2}));
    EXPECT_EQ(std::string(TheAtapi().Entry(1).identity, 15), "PIONEER DVR-X99");

    for (auto& drive : rig.drives) drive->ClearTranscript();
    uint8_t reply[36] = {};
    ASSERT_TRUE(ExecuteOnDrive(2, kInquiry, reply, sizeof reply, kDirIn));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 16, 9), "QLX-2209K");
    EXPECT_TRUE(rig.drives[0]->Transcript().empty());
    ASSERT_EQ(rig.drives[2]->Transcript().size(), 1u);
    EXPECT_EQ(rig.drives[2]->Transcript()[0].length, 36u);
    EXPECT_EQ(rig.drives[2]->Transcript()[0].direction, kDirIn);

    // An unknown command: CHECK CONDITION, ILLEGAL REQUEST, ASC 0x20.
    const uint8_t unknown[12] = {0xF9};
    EXPECT_FALSE(ExecuteOnDrive(0, unknown, nullptr, 0, kDirNone));
    EXPECT_EQ(LastCommandOutcome(), ECommandOutcome::Refused);
    const SSense sense = ReadSense();
    EXPECT_EQ(sense.key, 0x05);
    EXPECT_EQ(sense.asc, 0x20);
    // Without a disc: NOT READY, which is no refusal.
    EXPECT_FALSE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_EQ(LastCommandOutcome(), ECommandOutcome::NoVerdict);
}

TEST_P(VirtualMachines, ADriveThatNeverAnswersFailsAfterTheRoutesTimeOut) {
    VirtualClockScope time;
    sim::SRig rig = ThreeDrives();
    auto log = std::make_shared<SVirtualSystemLog>();
    ResetDriveAccessForTest(MakeVirtualRoute(DrivesOf(rig), GetParam(), log),
                            GetParam() != EVirtualPlatform::Win98);
    const uint64_t before = time.clock.MonotonicMs();
    const uint8_t hangs[12] = {0xE7};
    EXPECT_FALSE(ExecuteOnDrive(2, hangs, nullptr, 0, kDirNone));
    const uint64_t waited = time.clock.MonotonicMs() - before;
    if (GetParam() == EVirtualPlatform::Win98) {
        EXPECT_EQ(waited, 60000u);
        EXPECT_EQ(log->aborts, 1u);
    } else {
        EXPECT_EQ(waited, 20000u);
    }
    EXPECT_EQ(LastCommandOutcome(), ECommandOutcome::NoVerdict);

    // A command the drive takes but never answers: the same to the host,
    // except that an ASPI adapter's own time-out ends it (at once here).
    const uint8_t held[12] = {0xE8};
    const uint64_t heldFrom = time.clock.MonotonicMs();
    EXPECT_FALSE(ExecuteOnDrive(2, held, nullptr, 0, kDirNone));
    EXPECT_EQ(LastCommandOutcome(), ECommandOutcome::NoVerdict);
    EXPECT_EQ(time.clock.MonotonicMs() - heldFrom, GetParam() == EVirtualPlatform::Win98 ? 0u : 20000u);
    EXPECT_EQ(log->aborts, GetParam() == EVirtualPlatform::Win98 ? 1u : 0u);
    EXPECT_TRUE(ExecuteOnDrive(2, kTestUnitReady, nullptr, 0, kDirNone) ||
                rig.drives[2]->Transcript().back().scsiStatus == 2);
}

// Every route tells how many bytes a command really brought: SG_IO by the
// kernel's residue, the pass-through by its transfer length, ASPI by the
// residual count its adapter keeps.
TEST_P(VirtualMachines, EveryRouteCountsTheBytesThatMoved) {
    VirtualClockScope time;
    std::string error;
    auto rig = sim::ParseRig("[a]\nshort_read = yes\n", "short", error);
    ASSERT_TRUE(rig) << error;
    ResetDriveAccessForTest(MakeVirtualRoute(DrivesOf(*rig), GetParam()), GetParam() != EVirtualPlatform::Win98);
    uint8_t reply[256] = {};
    constexpr uint8_t kLongInquiry[12] = {0x12, 0, 0, 0, 0xFF};
    ASSERT_TRUE(ExecuteOnDrive(0, kLongInquiry, reply, 255, kDirIn));
    EXPECT_EQ(LastCommandTransferred(), 96u);  // all the drive has
    constexpr uint8_t kReadFlash[12] = {0x5A, 0, 0x38, 0x5A, 0x45, 0x11};
    ASSERT_TRUE(ExecuteOnDrive(0, kReadFlash, reply, 256, kDirIn));
    EXPECT_EQ(LastCommandTransferred(), 128u);  // GOOD, and half of it
    ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone);  // no disc: NOT READY, no data either way
    EXPECT_EQ(LastCommandTransferred(), 0u);
    EXPECT_FALSE(ExecuteOnDrive(7, kReadFlash, reply, 256, kDirIn));
    EXPECT_EQ(LastCommandTransferred(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Platforms, VirtualMachines,
                         ::testing::Values(EVirtualPlatform::Linux, EVirtualPlatform::Nt, EVirtualPlatform::Win98),
                         [](const auto& info) {
                             return std::string(info.param == EVirtualPlatform::Linux ? "Linux"
                                                : info.param == EVirtualPlatform::Nt  ? "Nt"
                                                                                       : "Win98");
                         });

TEST_F(DriveAccessTest, Win98ScansByAspiAddressNotByRigOrder) {
    VirtualClockScope time;
    std::string error;
    auto rig = sim::ParseRig("[late]\nproduct = ON-ADAPTER-1\naspi = 1:0:0\n"
                             "[early]\nproduct = ON-ADAPTER-0\naspi = 0:5:2\n"
                             "[plain]\nproduct = DEFAULT-SLOT\n",  // drive 2: 0:2:0
                             "addressed", error);
    ASSERT_TRUE(rig) << error;
    ResetDriveAccessForTest(MakeVirtualRoute(DrivesOf(*rig), EVirtualPlatform::Win98), false);
    ASSERT_EQ(ListDriveIndexes().size(), 3u);
    EXPECT_EQ(std::string(TheAtapi().Entry(0).identity + 8, 12), "DEFAULT-SLOT");
    EXPECT_EQ(std::string(TheAtapi().Entry(1).identity + 8, 12), "ON-ADAPTER-0");
    EXPECT_EQ(std::tie(TheAtapi().Entry(1).adapter, TheAtapi().Entry(1).target, TheAtapi().Entry(1).lun),
              std::make_tuple(0, 5, 2));
    EXPECT_EQ(std::string(TheAtapi().Entry(2).identity + 8, 12), "ON-ADAPTER-1");

    for (auto& drive : rig->drives) drive->ClearTranscript();
    EXPECT_TRUE(ExecuteOnDrive(2, kTestUnitReady, nullptr, 0, kDirNone) ||
                !rig->drives[0]->Transcript().empty());
    EXPECT_EQ(rig->drives[0]->Transcript().size(), 1u);
    EXPECT_TRUE(rig->drives[1]->Transcript().empty());
}

TEST(RigSettings, AspiAddressesAreCheckedAndNeverShared) {
    std::string error;
    for (const char* bad : {"1:0", "16:0:0", "0:8:0", "0:0:8", "a:b:c", "0:0:0:0"}) {
        EXPECT_FALSE(sim::ParseRig(std::string("[a]\naspi = ") + bad + "\n", "bad.ini", error)) << bad;
        EXPECT_NE(error.find("bad.ini:2"), std::string::npos) << error;
    }
    EXPECT_FALSE(sim::ParseRig("[a]\naspi = 0:1:0\naspi = 0:2:0\n", "twice.ini", error));
    // The second drive's default place (0:1:0) is taken by the first.
    EXPECT_FALSE(sim::ParseRig("[a]\naspi = 0:1:0\n[b]\n", "clash.ini", error));
    EXPECT_NE(error.find("[a] and [b]"), std::string::npos) << error;
    EXPECT_NE(error.find("0:1:0"), std::string::npos) << error;
    auto rig = sim::ParseRig("[a]\naspi = 15:7:7\n[b]\n", "edge.ini", error);
    ASSERT_TRUE(rig) << error;
    EXPECT_EQ(sim::AspiAddressOf(rig->drives[0]->Config(), 0), (sim::SAspiAddress{15, 7, 7}));
    EXPECT_EQ(sim::AspiAddressOf(rig->drives[1]->Config(), 1), (sim::SAspiAddress{0, 1, 0}));
    EXPECT_EQ(sim::AspiAddressOf(rig->drives[1]->Config(), 17), (sim::SAspiAddress{2, 1, 0}));
}

TEST_F(DriveAccessTest, TwentyFiveVirtualDrivesGiveTwenty) {
    std::string text;
    for (int i = 0; i < 25; ++i) text += "[d" + std::to_string(i) + "]\nproduct = D" + std::to_string(i) + "\n";
    std::string error;
    auto rig = sim::ParseRig(text, "many", error);
    ASSERT_TRUE(rig) << error;
    for (EVirtualPlatform platform : {EVirtualPlatform::Linux, EVirtualPlatform::Nt, EVirtualPlatform::Win98}) {
        ResetDriveAccessForTest(MakeVirtualRoute(DrivesOf(*rig), platform), true);
        EXPECT_EQ(ListDriveIndexes().size(), 20u);
        EXPECT_EQ(std::string(TheAtapi().Entry(19).identity + 8, 3), "D19");
    }
}

TEST(RigSettings, TheRigSectionChoosesThePlatform) {
    std::string error;
    auto rig = sim::ParseRig("[a]\nvendor = X\n[Rig]\nPlatform = Win98\n", "t.ini", error);
    ASSERT_TRUE(rig) << error;
    EVirtualPlatform platform{};
    ASSERT_TRUE(RigPlatform(rig->settings, platform, error));
    EXPECT_EQ(platform, EVirtualPlatform::Win98);
    ASSERT_TRUE(RigPlatform({}, platform, error));
    EXPECT_EQ(platform, EVirtualPlatform::Linux);
    EXPECT_FALSE(RigPlatform({{"platform", "dos"}}, platform, error));
    EXPECT_NE(error.find("'dos'"), std::string::npos);
    EXPECT_FALSE(RigPlatform({{"speed", "fast"}}, platform, error));
}

}  // namespace
}  // namespace jv
