// The SG_IO route: its scan of the device nodes, and how it turns what the
// kernel said into a status, an outcome and the bytes that moved.
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

class FakeSgSystem final : public SgApi {
public:
    // Node number -> what opening it gives: a peripheral type, or -errno.
    std::map<int, int> nodes;
    std::set<int> refusesCommands;  // nodes whose commands fail with EPERM
    std::map<int, int> unitAttentions;  // node -> INQUIRYs answered with UNIT ATTENTION first
    std::map<int, int> inquiries;       // node -> INQUIRYs asked
    // What the system says of the next command instead, with the sense the
    // drive returned.
    std::optional<SResult> scripted;
    uint8_t scriptedSense[18] = {};
    std::vector<std::string> warnings;
    std::vector<std::string> opened;
    int openNow = 0;
    // INQUIRY fills the whole buffer, but the kernel says only this many
    // bytes of it moved.
    uint32_t inquiryMoves = UINT32_MAX;

    int Open(const char* path) override {
        const int node = SgNodeNumber(path);
        auto it = nodes.find(node);
        if (it == nodes.end()) return -ENOENT;
        if (it->second < 0) return it->second;
        opened.push_back(path);
        ++openNow;
        return 100 + node;
    }
    void Close(int) override { --openNow; }
    SResult Execute(int descriptor, const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t,
                    uint8_t* sense, uint8_t, int timeoutSeconds) override {
        SResult result;
        EXPECT_GT(timeoutSeconds, 0);
        const int node = descriptor - 100;
        if (scripted) {
            std::memcpy(sense, scriptedSense, scripted->senseLength);
            return *std::exchange(scripted, std::nullopt);
        }
        if (refusesCommands.count(node)) {
            result.osError = EPERM;
            return result;
        }
        if (command[0] == 0x12 && inquiries[node]++ < unitAttentions[node]) {
            result.scsiStatus = 2;
            sense[0] = 0x70;
            sense[2] = 0x06;
            sense[7] = 10;
            result.senseLength = 18;
        } else if (command[0] == 0x12) {
            FillInquiry(data, length, "NODE" + std::to_string(node), static_cast<uint8_t>(nodes[node]));
            result.resid = static_cast<int32_t>(length - std::min<uint32_t>(inquiryMoves, length));
        } else if (command[0] != 0) {
            result.scsiStatus = 2;
            sense[0] = 0x70;
            sense[2] = 0x05;
            sense[7] = 10;
            result.senseLength = 18;
        }
        return result;
    }
    void Warn(const std::string& line) override { warnings.push_back(line); }
};

TEST(SgIoScan, ListsOnlyNodesThatAnswerAsCdDvdDrivesAndNamesTheOthers) {
    auto api = std::make_unique<FakeSgSystem>();
    FakeSgSystem& system = *api;
    // 1 is a disk behind a node named like a drive, 2 a CD/DVD type whose
    // qualifier says no unit is there, 4 answers its first two INQUIRYs with
    // UNIT ATTENTION, 5 never gets past them; 25 is beyond the probe.
    system.nodes = {{0, 5}, {1, 0}, {2, 0x25}, {3, 5}, {4, 5}, {5, 5}, {24, 5}, {25, 5}};
    system.unitAttentions = {{4, 2}, {5, 3}};
    SgIoRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.Scan(table), 4);
    EXPECT_STREQ(table[0].devicePath, "/dev/sr0");
    EXPECT_STREQ(table[1].devicePath, "/dev/sr3");
    EXPECT_STREQ(table[2].devicePath, "/dev/sr4");
    EXPECT_STREQ(table[3].devicePath, "/dev/sr24");
    EXPECT_EQ(std::string(table[1].identity), "NODE3" + std::string(19, ' '));
    EXPECT_EQ(system.openNow, 0);  // the probe closes what it opened
    EXPECT_EQ(system.inquiries[5], kSgInquiryAttempts);
    const std::vector<std::string> expected = {
        "/dev/sr1: peripheral device type 00h, qualifier 0: not a CD/DVD drive (type 05h); it is not listed",
        "/dev/sr2: peripheral device type 05h, qualifier 1: not a CD/DVD drive (type 05h); it is not listed",
        "/dev/sr5: no answer to INQUIRY (asked 3 times), so it cannot be told to be a CD/DVD drive; it is not listed",
    };
    EXPECT_EQ(system.warnings, expected);
    ASSERT_EQ(route.InaccessibleNodes().size(), 1u);
    EXPECT_EQ(route.InaccessibleNodes()[0].device, "/dev/sr5");
}

// Bytes past what the kernel says moved are no part of the identity, in the
// scan or later: they are cleared, whatever the buffer held.
TEST_F(DriveAccessTest, AnInquiryCutShortGivesOnlyTheBytesThatCame) {
    auto api = std::make_unique<FakeSgSystem>();
    FakeSgSystem& system = *api;
    system.nodes = {{0, 5}};
    system.inquiryMoves = 20;
    ResetDriveAccessForTest(std::make_unique<SgIoRoute>(std::move(api)), true);
    EXPECT_EQ(std::string(TheAtapi().Entry(0).identity), "NODE0       ");
    EXPECT_EQ(InquiryModelName(0), "NODE0       ");
    EXPECT_EQ(LastCommandTransferred(), 20u);
    EXPECT_EQ(InquiryRevision(0), "");
}

TEST(SgIoScan, LackOfAccessIsSaidOnceNamingTheNodeAndWhatItNeeds) {
    auto api = std::make_unique<FakeSgSystem>();
    FakeSgSystem& system = *api;
    system.nodes = {{0, -EACCES}, {1, 5}, {2, 5}, {3, -EBUSY}, {4, -ENXIO}};
    system.refusesCommands = {2};
    SgIoRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    // sr0 cannot be opened; sr2 is refused its INQUIRY, so nothing says it is
    // a drive; sr4 has no device behind it.
    EXPECT_EQ(route.Scan(table), 1);
    EXPECT_STREQ(table[0].devicePath, "/dev/sr1");
    ASSERT_EQ(system.warnings.size(), 4u);
    EXPECT_EQ(system.warnings[0],
              "/dev/sr0: " + std::string(std::strerror(EACCES)) +
                  ": listing needs read access to the node (group cdrom); update, backup and verify need root "
                  "(CAP_SYS_RAWIO)");
    EXPECT_NE(system.warnings[1].find("/dev/sr2: the kernel refused a drive command"), std::string::npos);
    EXPECT_EQ(system.warnings[2],
              "/dev/sr2: no answer to INQUIRY, so it cannot be told to be a CD/DVD drive; it is not listed");
    EXPECT_EQ(system.warnings[3], "/dev/sr3: cannot be opened: " + std::string(std::strerror(EBUSY)));
    const auto nodes = route.InaccessibleNodes();
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].device, "/dev/sr0");
    EXPECT_EQ(nodes[0].reason, std::strerror(EACCES));
    EXPECT_EQ(nodes[1].device, "/dev/sr2");
    EXPECT_EQ(nodes[2].device, "/dev/sr3");

    // Commands refused later on the same node add no further line.
    system.refusesCommands = {1};
    route.Select(table[0]);
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0);
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0);
    ASSERT_EQ(system.warnings.size(), 5u);
    EXPECT_NE(system.warnings[4].find("/dev/sr1"), std::string::npos);
}

TEST(SgIoRoute, StatusAndSenseOfTheCurrentDevice) {
    auto api = std::make_unique<FakeSgSystem>();
    api->nodes = {{0, 5}};
    SgIoRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.Scan(table), 1);
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0);  // nothing selected yet
    route.Select(table[0]);
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 1);
    const uint8_t vendor[12] = {0xE7};
    EXPECT_EQ(route.Execute(vendor, nullptr, 0, kDirNone), 2);
    uint8_t sense[18] = {};
    EXPECT_EQ(route.CopySense(sense), 18u);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 1);
    EXPECT_EQ(route.CopySense(sense), 0u);  // a good command leaves no old sense behind
}

TEST(SgIoRoute, OutcomeTellsARefusalFromNoVerdict) {
    using E = ECommandOutcome;
    using R = SgApi::SResult;
    struct SCase {
        const char* what;
        R result;
        uint8_t senseCode, senseKey;  // sense byte 0 and the key
        E outcome;
        uint8_t status;
    } cases[] = {
        {"good", R{}, 0, 0, E::Good, 1},
        {"check condition, illegal request", R{0, false, false, 2, 18, 0, {}}, 0x70, 0x05, E::Refused, 2},
        {"check condition, medium error, descriptor format", R{0, false, false, 2, 8, 0, {}}, 0x72, 0x03, E::Refused, 2},
        {"check condition, not ready", R{0, false, false, 2, 18, 0, {}}, 0x70, 0x02, E::NoVerdict, 2},
        {"check condition, unit attention", R{0, false, false, 2, 18, 0, {}}, 0x70, 0x06, E::NoVerdict, 2},
        {"check condition without sense", R{0, false, false, 2, 0, 0, {}}, 0, 0, E::NoVerdict, 2},
        {"busy", R{0, false, false, 0x08, 0, 0, {}}, 0, 0, E::NoVerdict, 0x08},
        {"reservation conflict", R{0, false, false, 0x18, 0, 0, {}}, 0, 0, E::Refused, 0x18},
        {"host time-out", R{0, true, false, 0, 0, 0, {}}, 0, 0, E::NoVerdict, 0},
        {"bus reset", R{0, false, true, 0, 0, 0, {}}, 0, 0, E::NoVerdict, 0},
        {"system call failed", R{EIO, false, false, 0, 0, 0, {}}, 0, 0, E::NoVerdict, 0},
    };
    auto api = std::make_unique<FakeSgSystem>();
    FakeSgSystem& system = *api;
    system.nodes = {{0, 5}};
    SgIoRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.Scan(table), 1);
    route.Select(table[0]);
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(system.scriptedSense, 0, sizeof system.scriptedSense);
        system.scriptedSense[0] = c.senseCode;
        system.scriptedSense[c.senseCode >= 0x72 ? 1 : 2] = c.senseKey;
        system.scripted = c.result;
        EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), c.status);
        EXPECT_EQ(route.LastOutcome(), c.outcome);
    }
}

}  // namespace
}  // namespace jv
