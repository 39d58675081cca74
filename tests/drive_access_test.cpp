// The drive access object, its scans and routes: which drives are found in
// which order, which commands are sent or refused, when devices are opened
// and closed, and how each route turns what the system said into a status.
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

#include "drive/Buffer.h"
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

constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x24, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kTestUnitReady[12] = {};

// Fills an INQUIRY reply for a CD/DVD device (or another type).
void FillInquiry(uint8_t* data, uint16_t length, const std::string& identity, uint8_t type = 5) {
    std::vector<uint8_t> reply(64, ' ');
    reply[0] = type;
    std::memcpy(reply.data() + 8, identity.data(), std::min<size_t>(identity.size(), 28));
    std::memcpy(data, reply.data(), std::min<size_t>(length, reply.size()));
}

class VirtualClockScope {
public:
    VirtualClockScope() { SetClock(&clock); }
    ~VirtualClockScope() { SetClock(nullptr); }
    VirtualClock clock;
};

// Puts the platform's own route back after a test replaced it.
class DriveAccessTest : public ::testing::Test {
protected:
    void TearDown() override { ResetDriveAccessForTest(); }
};

// --- the object above the route

struct SRouteLog {
    std::vector<std::string> selected;
    std::vector<uint8_t> opcodes;
};

class ScriptedRoute final : public DriveRoute {
public:
    ScriptedRoute(int drives, SRouteLog& log) : drives_(drives), log_(log) {}
    int Scan(std::span<SDriveEntry> table) override {
        const int count = std::min<int>(drives_, static_cast<int>(table.size()));
        for (int i = 0; i < count; ++i) CopyField(table[i].devicePath, ("dev" + std::to_string(i)).c_str());
        return count;
    }
    void Select(const SDriveEntry& entry) override {
        log_.selected.push_back(entry.devicePath);
        current_ = entry.devicePath;
    }
    uint8_t Execute(const uint8_t command[12], uint8_t*, uint16_t, uint8_t) override {
        log_.opcodes.push_back(command[0]);
        return current_ == "dev2" ? 2 : 1;  // the third drive always fails
    }
    size_t CopySense(std::span<uint8_t> sense) const override {
        if (current_ != "dev2") return 0;
        // ILLEGAL REQUEST with the ILI flag above the key.
        const uint8_t fixed[18] = {0x70, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
        const size_t count = std::min(sense.size(), sizeof fixed);
        std::copy_n(fixed, count, sense.begin());
        return count;
    }
    ECommandOutcome LastOutcome() const override {
        return current_ == "dev2" ? ECommandOutcome::Refused : ECommandOutcome::Good;
    }
    const SCommandDetail& LastDetail() const override { return detail_; }

private:
    SCommandDetail detail_;
    int drives_;
    SRouteLog& log_;
    std::string current_;
};

TEST_F(DriveAccessTest, IndexesAtOrAboveTheDriveCountAreRefusedWithoutSending) {
    SRouteLog log;
    ResetDriveAccessForTest(std::make_unique<ScriptedRoute>(3, log), true);
    EXPECT_EQ(ListDriveIndexes(), (std::vector<EDriveIndex>{0, 1, 2}));
    EXPECT_TRUE(IsDriveIndexValid(2));
    EXPECT_FALSE(IsDriveIndexValid(3));
    EXPECT_FALSE(IsDriveIndexValid(20));
    EXPECT_FALSE(IsDriveIndexValid(255));
    EXPECT_FALSE(ExecuteOnDrive(3, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_FALSE(ExecuteOnDrive(20, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(log.opcodes.empty());
    EXPECT_EQ(log.selected, std::vector<std::string>{"dev0"});  // start-up selects drive 0
}

TEST_F(DriveAccessTest, TheDriveIsSelectedOnlyWhenTheIndexChanges) {
    SRouteLog log;
    ResetDriveAccessForTest(std::make_unique<ScriptedRoute>(3, log), true);
    EXPECT_TRUE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(ExecuteOnDrive(1, kInquiry, nullptr, 0, kDirNone));
    EXPECT_TRUE(ExecuteOnDrive(1, kInquiry, nullptr, 0, kDirNone));
    EXPECT_FALSE(ExecuteOnDrive(2, kInquiry, nullptr, 0, kDirNone));
    EXPECT_EQ(log.selected, (std::vector<std::string>{"dev0", "dev1", "dev2"}));
    EXPECT_EQ(log.opcodes.size(), 4u);
    const SSense sense = ReadSense();
    EXPECT_EQ(sense.key, 0x05);  // the flag bits above the key are no part of it
    EXPECT_EQ(sense.asc, 0x24);
}

TEST_F(DriveAccessTest, NoDrivesMeansAnEmptyListAndEveryCommandRefused) {
    SRouteLog log;
    ResetDriveAccessForTest(std::make_unique<ScriptedRoute>(0, log), false);
    EXPECT_TRUE(ListDriveIndexes().empty());
    EXPECT_FALSE(UsesPassThrough());
    EXPECT_FALSE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(log.selected.empty());
    EXPECT_TRUE(log.opcodes.empty());
}

// --- why a command failed

// A route that says of every command what it is told to.
class ScriptedFailureRoute final : public DriveRoute {
public:
    SCommandDetail detail;
    std::vector<uint8_t> sense;
    uint8_t status = 2;
    int Scan(std::span<SDriveEntry> table) override {
        CopyField(table[0].devicePath, "dev0");
        return 1;
    }
    void Select(const SDriveEntry&) override {}
    uint8_t Execute(const uint8_t*, uint8_t*, uint16_t, uint8_t) override { return status; }
    size_t CopySense(std::span<uint8_t> out) const override {
        const size_t count = std::min(out.size(), sense.size());
        std::copy_n(sense.begin(), count, out.begin());
        return count;
    }
    ECommandOutcome LastOutcome() const override { return ECommandOutcome::NoVerdict; }
    const SCommandDetail& LastDetail() const override { return detail; }
};

TEST_F(DriveAccessTest, AFailedCommandSaysWhyInTheDrivesWordsWhereItGaveAny) {
    using B = std::vector<uint8_t>;
    const uint8_t hardware[18] = {0x70, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00};
    const struct {
        const char* what;
        bool answered;
        uint8_t status;
        uint32_t timeoutSeconds;
        const char* transport;
        B sense;
        const char* says;
    } cases[] = {
        {"fixed sense", true, 2, 0, "", B(hardware, hardware + 18), "HARDWARE ERROR (04/44/00)"},
        {"fixed sense, ILI above the key", true, 2, 0, "", {0x70, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00},
         "ILLEGAL REQUEST (05/24/00)"},
        {"descriptor sense", true, 2, 0, "", {0x72, 0x03, 0x11, 0x05, 0, 0, 0, 0}, "MEDIUM ERROR (03/11/05)"},
        {"every key has its name", true, 2, 0, "", {0x72, 0x0B, 0x47, 0x00, 0, 0, 0, 0}, "ABORTED COMMAND (0B/47/00)"},
        {"no answer", false, 0, 20, "", {}, "no answer within 20 s"},
        {"the transport's error", false, 0, 0, "Host_status=0x07 [DID_ERROR]", {}, "Host_status=0x07 [DID_ERROR]"},
        {"check condition without sense", true, 2, 0, "", {}, "CHECK CONDITION without sense data"},
        {"busy", true, 0x08, 0, "", {}, "the drive is busy (status 08h)"},
        {"task set full", true, 0x28, 0, "", {}, "status 28h"},
    };
    auto owned = std::make_unique<ScriptedFailureRoute>();
    ScriptedFailureRoute& route = *owned;
    ResetDriveAccessForTest(std::move(owned), true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        route.detail = SCommandDetail{};
        route.detail.answered = c.answered;
        route.detail.scsiStatus = c.status;
        route.detail.timeoutSeconds = c.timeoutSeconds;
        route.detail.transport = c.transport;
        route.sense = c.sense;
        EXPECT_FALSE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
        EXPECT_EQ(LastCommandFailure(), c.says);
    }
    EXPECT_FALSE(ExecuteOnDrive(1, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_EQ(LastCommandFailure(), "no such drive");
}

// A LITE drive whose capabilities page comes back without its DVD byte:
// which address holds the protection is unknown, and no byte is written.
class ShortPageRoute final : public DriveRoute {
public:
    std::vector<uint8_t> opcodes;
    int Scan(std::span<SDriveEntry> table) override {
        CopyField(table[0].devicePath, "dev0");
        return 1;
    }
    void Select(const SDriveEntry&) override {}
    uint8_t Execute(const uint8_t command[12], uint8_t* data, uint16_t length, uint8_t) override {
        opcodes.push_back(command[0]);
        detail_ = SCommandDetail{};
        detail_.answered = true;
        if (command[0] == 0x12) {
            FillInquiry(data, length, "LITEON  DVD-ROM");
            detail_.transferred = std::min<uint32_t>(length, 64);
        } else if (command[0] == 0x5A) {
            detail_.transferred = 8;  // the header, no page
        }
        return kStatusGood;
    }
    size_t CopySense(std::span<uint8_t>) const override { return 0; }
    ECommandOutcome LastOutcome() const override { return ECommandOutcome::Good; }
    const SCommandDetail& LastDetail() const override { return detail_; }

private:
    SCommandDetail detail_;
};

TEST_F(DriveAccessTest, ALiteDriveWhosePageCameBackShortGetsNoWrite) {
    auto owned = std::make_unique<ShortPageRoute>();
    ShortPageRoute& route = *owned;
    ResetDriveAccessForTest(std::move(owned), true);
    route.opcodes.clear();
    EXPECT_TRUE(PrepareLiteDrive(0));
    EXPECT_EQ(route.opcodes, (std::vector<uint8_t>{0x12, 0x5A}));
}

// --- SG_IO

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

// --- sense data, as every reader sees it

TEST(SenseParser, FixedDescriptorShortAndGarbage) {
    using B = std::vector<uint8_t>;
    struct SCase {
        const char* what;
        B bytes;
        bool valid;
        uint8_t key, asc, ascq;
        bool progress;
        uint8_t block;
        uint16_t address;
    } cases[] = {
        {"fixed, flashing", {0x70, 0, 0x02, 0, 3, 0x80, 0x00, 10, 0, 0, 0, 0, 0x04, 0x08, 0, 0, 0, 0},
         true, 0x02, 0x04, 0x08, true, 3, 0x8000},
        {"fixed, deferred, VALID and ILI set", {0xF1, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01, 0, 0, 0, 0},
         true, 0x05, 0x24, 0x01, true, 0, 0},
        {"fixed, additional length 0: bytes 12-13 are not sense",
         {0x70, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x24, 0x01}, true, 0x05, 0, 0, true, 0, 0},
        {"fixed, cut after the key", {0x70, 0, 0x06}, true, 0x06, 0, 0, false, 0, 0},
        {"fixed, two bytes", {0x70, 0}, false, 0, 0, 0, false, 0, 0},
        {"descriptor with information", {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5,
                                         0x12, 0x34},
         true, 0x02, 0x04, 0x08, true, 5, 0x1234},
        {"descriptor, sense-key-specific descriptor first",
         {0x73, 0x02, 0x04, 0x07, 0, 0, 0, 20, 0x02, 0x06, 0, 0, 0x80, 0x40, 0, 0, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0,
          2, 0xAB, 0xCD},
         true, 0x02, 0x04, 0x07, true, 2, 0xABCD},
        {"descriptor, header only", {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0}, true, 0x05, 0x20, 0x00, false, 0, 0},
        {"descriptor, information cut at 18 bytes",
         {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5}, true, 0x02, 0x04, 0x08, false,
         0, 0},
        {"descriptor, additional length shorter than its descriptor",
         {0x72, 0x02, 0x04, 0x08, 0, 0, 0, 4, 0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 5, 0x12, 0x34}, true, 0x02, 0x04,
         0x08, false, 0, 0},
        {"descriptor, lengths claiming more than returned", {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 0xFF, 0x00, 0xFF, 0x80},
         true, 0x03, 0x11, 0x00, false, 0, 0},
        {"descriptor, two bytes", {0x72, 0x06}, true, 0x06, 0, 0, false, 0, 0},
        {"nothing", {}, false, 0, 0, 0, false, 0, 0},
        {"a cleared area", B(18, 0), false, 0, 0, 0, false, 0, 0},
        {"not sense data", {0x12, 0x05, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0}, false, 0, 0, 0, false, 0, 0},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        const SSense sense = ParseSense(c.bytes);
        EXPECT_EQ(sense.valid, c.valid);
        EXPECT_EQ(sense.key, c.key);
        EXPECT_EQ(sense.asc, c.asc);
        EXPECT_EQ(sense.ascq, c.ascq);
        EXPECT_EQ(sense.hasInformation, c.progress);
        if (c.progress) {
            EXPECT_EQ(sense.ProgressBlock(), c.block);
            EXPECT_EQ(sense.ProgressAddress(), c.address);
        }
    }
}

// --- NT pass-through

class FakeNtKernel final : public PassThroughApi {
public:
    std::map<char, uint32_t> letters;  // drive type by letter
    std::set<char> unopenable;
    std::vector<char> typeAsked;
    std::vector<std::string> log;  // "open E", "close E"
    std::map<Handle, char> handles;
    Handle next = 40;
    bool timeOut = false;

    uint32_t DriveType(const char* root) override {
        EXPECT_EQ(std::string(root + 1), ":\\");
        typeAsked.push_back(root[0]);
        auto it = letters.find(root[0]);
        return it == letters.end() ? 1 : it->second;
    }
    Handle Open(const char* path) override {
        EXPECT_EQ(std::string(path, 4), "\\\\.\\");
        const char letter = path[4];
        log.push_back(std::string("open ") + letter);
        if (unopenable.count(letter)) return kInvalidHandle;
        handles[next] = letter;
        return next++;
    }
    void Close(Handle handle) override {
        log.push_back(std::string("close ") + handles.at(handle));
        handles.erase(handle);
    }
    bool Ioctl(Handle handle, passthrough::SPassThroughBuffer& buffer, uint32_t& lastError) override {
        if (!handles.count(handle)) {
            lastError = 6;
            return false;
        }
        if (timeOut) {
            lastError = passthrough::kErrorSemTimeout;
            return false;
        }
        if (buffer.request.cdb[0] == 0x12) {
            std::string identity = std::string("DRIVE ") + handles[handle];
            identity.resize(24, ' ');
            identity += "9.99";
            // The request holds a 32-bit stand-in; the pointer it stands for
            // is the one AddressOf was given for this command.
            if (buffer.request.dataBuffer == 1 && data_)
                FillInquiry(data_, static_cast<uint16_t>(buffer.request.dataTransferLength), identity);
        }
        return true;
    }
    uint32_t AddressOf(void* pointer) override {
        data_ = static_cast<uint8_t*>(pointer);
        return pointer ? 1 : 0;
    }

private:
    uint8_t* data_ = nullptr;
};

TEST(DriveLetterScan, CdRomLettersAFromToYInOrderAndZIsNeverAsked) {
    auto api = std::make_unique<FakeNtKernel>();
    FakeNtKernel& kernel = *api;
    kernel.letters = {{'C', 3}, {'E', 5}, {'F', 5}, {'G', 5}, {'Z', 5}};
    kernel.unopenable = {'F'};
    PassThroughRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.ScanDriveLetters(table), 2);
    EXPECT_STREQ(table[0].devicePath, "\\\\.\\E:");
    EXPECT_STREQ(table[1].devicePath, "\\\\.\\G:");
    EXPECT_EQ(kernel.typeAsked.size(), 25u);
    EXPECT_EQ(kernel.typeAsked.front(), 'A');
    EXPECT_EQ(kernel.typeAsked.back(), 'Y');
    // Each open closes the device before it; the last one stays open.
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"open E", "close E", "open F", "open G"}));
}

TEST(DriveLetterScan, ReadsIdentityAndRevisionFromTheInquiry) {
    auto api = std::make_unique<FakeNtKernel>();
    api->letters = {{'D', 5}};
    PassThroughRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.Scan(table), 1);
    EXPECT_EQ(std::string(table[0].identity), "DRIVE D" + std::string(17, ' '));
    EXPECT_EQ(std::string(table[0].revision, 4), "9.99");
}

TEST_F(DriveAccessTest, PassThroughReopensOnlyWhenAnotherDriveIsAddressed) {
    auto api = std::make_unique<FakeNtKernel>();
    FakeNtKernel& kernel = *api;
    kernel.letters = {{'E', 5}, {'G', 5}};
    ResetDriveAccessForTest(std::make_unique<PassThroughRoute>(std::move(api)), true);
    // Scan: E, then G; start-up selects drive 0 again.
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"open E", "close E", "open G", "close G", "open E"}));
    kernel.log.clear();
    EXPECT_TRUE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_TRUE(kernel.log.empty());
    EXPECT_TRUE(ExecuteOnDrive(1, kTestUnitReady, nullptr, 0, kDirNone));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"close E", "open G"}));

    // A device that cannot be opened any more fails its commands.
    kernel.unopenable = {'E'};
    EXPECT_FALSE(ExecuteOnDrive(0, kTestUnitReady, nullptr, 0, kDirNone));
    // A time-out without a status byte is no success.
    kernel.unopenable.clear();
    kernel.timeOut = true;
    EXPECT_FALSE(ExecuteOnDrive(1, kTestUnitReady, nullptr, 0, kDirNone));
}

// --- ASPI

class FakeAspiLayer final : public AspiApi {
public:
    uint32_t supportInfo = 0x0100;
    std::map<std::tuple<int, int, int>, uint8_t> devices;  // (adapter, target, LUN) -> type
    std::vector<std::tuple<int, int, int>> asked;
    std::vector<std::tuple<int, int, int>> executedOn;
    bool failEvents = false;
    bool neverComplete = false;
    int pendingPolls = 0;  // device-type requests stay pending this many polls
    EWait waitResult = EWait::TimedOut;
    uint32_t waitedMs = 0;
    int aborts = 0;
    uint32_t abortedAddress = 0;
    int eventsOpen = 0;
    int sends = 0;
    uint32_t refuseWith = 0;

    uint32_t GetSupportInfo() override { return supportInfo; }
    uint32_t Send(void* request) override {
        ++sends;
        const uint8_t command = *static_cast<uint8_t*>(request);
        // A layer that refuses every request without touching it.
        if (refuseWith != 0) return refuseWith;
        if (command == aspi::kCmdGetDeviceType) {
            auto& r = *static_cast<aspi::SGetDeviceType*>(request);
            asked.emplace_back(r.adapter, r.target, r.lun);
            scan_ = &r;
            auto it = devices.find({r.adapter, r.target, r.lun});
            scanStatus_ = it == devices.end() ? aspi::kStatusNoDevice : aspi::kStatusCompleted;
            if (it != devices.end()) r.deviceType = it->second;
            polls_ = pendingPolls;
            if (polls_ == 0) r.status = scanStatus_;
        } else if (command == aspi::kCmdExecute) {
            auto& r = *static_cast<aspi::SExecute*>(request);
            executedOn.emplace_back(r.adapter, r.target, r.lun);
            if (!neverComplete) r.status = aspi::kStatusCompleted;
        } else if (command == aspi::kCmdAbort) {
            ++aborts;
            abortedAddress = static_cast<aspi::SAbort*>(request)->requestToAbort;
        }
        return *(static_cast<uint8_t*>(request) + 1);
    }
    uint32_t MakeEvent() override {
        if (failEvents) return 0;
        ++eventsOpen;
        return 9;
    }
    EWait Wait(uint32_t, uint32_t milliseconds) override {
        waitedMs = milliseconds;
        return waitResult;
    }
    void CloseEvent(uint32_t) override { --eventsOpen; }
    uint32_t AddressOf(void* pointer) override { return pointer ? 0x1000u : 0; }
    void PumpMessages() override {
        if (scan_ && polls_ > 0 && --polls_ == 0) scan_->status = scanStatus_;
    }

private:
    aspi::SGetDeviceType* scan_ = nullptr;
    uint8_t scanStatus_ = 0;
    int polls_ = 0;
};

TEST(AspiScan, AdaptersThenTargetsThenLunsAndOnlyCdRoms) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = 0x0100 | 2;
    layer.devices = {{{1, 0, 0}, 5}, {{0, 1, 0}, 5}, {{0, 0, 0}, 0}, {{0, 6, 3}, 5}};
    layer.pendingPolls = 3;  // the layer answers only after messages were pumped
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    ASSERT_EQ(route.ScanAspiDevices(table), 3);
    EXPECT_EQ(std::tie(table[0].adapter, table[0].target, table[0].lun), std::make_tuple(0, 1, 0));
    EXPECT_EQ(std::tie(table[1].adapter, table[1].target, table[1].lun), std::make_tuple(0, 6, 3));
    EXPECT_EQ(std::tie(table[2].adapter, table[2].target, table[2].lun), std::make_tuple(1, 0, 0));
    EXPECT_EQ(layer.asked.size(), 128u);  // 2 adapters x 8 targets x 8 LUNs
    EXPECT_EQ(layer.asked[1], std::make_tuple(0, 0, 1));
    EXPECT_EQ(layer.asked[8], std::make_tuple(0, 1, 0));
    // Each drive found is asked for its identity on its own address.
    EXPECT_EQ(layer.executedOn,
              (std::vector<std::tuple<int, int, int>>{{0, 1, 0}, {0, 6, 3}, {1, 0, 0}}));
}

TEST(AspiScan, AdapterCountCountsOnlyWhenTheLayerSaysCompleted) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = (uint32_t{aspi::kStatusNoAdapters} << 8) | 3;
    layer.devices = {{{0, 0, 0}, 5}};
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_TRUE(layer.asked.empty());
}

TEST(AspiScan, ARequestTheLayerNeverCompletesDoesNotHoldTheStartUp) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    api->supportInfo = 0x0100 | 1;
    api->pendingPolls = 1 << 30;
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_GE(time.clock.MonotonicMs(), 64u * kAspiScanPollMs);
}

TEST(AspiExecute, NoEventMeansNothingSentAndStatus4) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.failEvents = true;
    AspiRoute route(std::move(api));
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.sends, 0);
}

TEST(AspiExecute, ARequestStillPendingAfterSixtySecondsIsAborted) {
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.neverComplete = true;
    AspiRoute route(std::move(api));
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.waitedMs, 60000u);
    EXPECT_EQ(layer.aborts, 1);
    EXPECT_EQ(layer.abortedAddress, 0x1000u);
    EXPECT_EQ(layer.eventsOpen, 0);
    EXPECT_EQ(route.LastOutcome(), ECommandOutcome::NoVerdict);

    layer.waitResult = AspiApi::EWait::Other;  // e.g. an abandoned wait: failure, but no abort
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 4);
    EXPECT_EQ(layer.aborts, 1);

    layer.waitResult = AspiApi::EWait::Signalled;  // signalled with the status still pending
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0);
    EXPECT_EQ(layer.eventsOpen, 0);
}

TEST(AspiRefusal, OnlyAnUntouchedRequestWithAnErrorReturnIsRefused) {
    EXPECT_FALSE(AspiRefused(aspi::kStatusPending, aspi::kStatusPending));   // queued: wait for it
    EXPECT_FALSE(AspiRefused(aspi::kStatusCompleted, aspi::kStatusPending)); // done, status still on its way
    EXPECT_TRUE(AspiRefused(0xE0, aspi::kStatusPending));
    EXPECT_TRUE(AspiRefused(aspi::kStatusNoDevice, aspi::kStatusPending));
    EXPECT_FALSE(AspiRefused(aspi::kStatusError, aspi::kStatusError));       // an answer, not a refusal
}

TEST(AspiRefusal, ALayerThatRefusesEverythingCostsNoWait) {
    VirtualClockScope time;
    auto api = std::make_unique<FakeAspiLayer>();
    FakeAspiLayer& layer = *api;
    layer.supportInfo = 0x0100 | 2;
    layer.refuseWith = 0xE0;
    AspiRoute route(std::move(api));
    SDriveEntry table[kMaxDrives];
    EXPECT_EQ(route.ScanAspiDevices(table), 0);
    EXPECT_EQ(layer.sends, 128);
    EXPECT_LT(time.clock.MonotonicMs(), 1000u);

    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), 0xE0);
    EXPECT_EQ(layer.waitedMs, 0u);
    EXPECT_EQ(layer.aborts, 0);
    EXPECT_EQ(layer.eventsOpen, 0);
    // A refusal whose code could pass for a good status is still a failure.
    layer.refuseWith = 0x101;
    EXPECT_EQ(route.Execute(kTestUnitReady, nullptr, 0, kDirNone), aspi::kStatusError);
    EXPECT_EQ(layer.waitedMs, 0u);
}

// --- the virtual machines: the same route logic with a rig's drives

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

// --- the performance timer

// A clock whose counter runs at a nanosecond rate, like the Linux one.
class FastCounterClock final : public Clock {
public:
    uint64_t counter = 0xFFFFFFF0ull * 64;  // near a wrap of the low 32 bits
    void SleepMs(uint32_t ms) override { counter += uint64_t{ms} * 1000000; }
    uint64_t MonotonicMs() override { return counter / 1000000; }
    uint32_t SecondsOfDay() override { return 0; }
    uint64_t PerfCounter() override { return counter += 100; }
    uint64_t PerfFrequency() override { return 1000000000; }
};

TEST(PerfTimer, RemainingCountsDownAndIsNeverNegative) {
    VirtualClockScope time;
    TPerfTimer timer(1000000);
    timer.SetDeadline(1, 5000);
    const int32_t first = timer.Remaining(1);
    EXPECT_LE(first, 5000);
    EXPECT_GE(first, 4990);
    time.clock.Advance(3);
    EXPECT_NEAR(timer.Remaining(1), 2000, 10);
    time.clock.Advance(10);
    EXPECT_EQ(timer.Remaining(1), 0);
    time.clock.Advance(1000000);
    EXPECT_EQ(timer.Remaining(1), 0);
    EXPECT_EQ(timer.Remaining(3), 0);   // a slot never set
    EXPECT_EQ(timer.Remaining(10), 0);  // no such slot
    timer.SetDeadline(-1, 5);           // ignored, not a write outside the slots
}

TEST(PerfTimer, DelayWaitsAtLeastTheAmount) {
    VirtualClockScope time;
    TPerfTimer millis(1000);
    const uint64_t start = time.clock.MonotonicMs();
    millis.Delay(25);
    EXPECT_GE(time.clock.MonotonicMs() - start, 25u);
    EXPECT_LT(time.clock.MonotonicMs() - start, 27u);
}

TEST(PerfTimer, ANanosecondCounterStillGivesMinuteLongDeadlines) {
    FastCounterClock clock;
    SetClock(&clock);
    TPerfTimer millis(1000);
    millis.SetDeadline(1, 60000);
    EXPECT_NEAR(millis.Remaining(1), 60000, 2);
    clock.SleepMs(59000);
    EXPECT_NEAR(millis.Remaining(1), 1000, 2);
    clock.SleepMs(2000);
    EXPECT_EQ(millis.Remaining(1), 0);
    SetClock(nullptr);
}

}  // namespace
}  // namespace jv
