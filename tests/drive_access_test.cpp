// The drive access object above its route: which drives are found, which
// commands are sent or refused, and what a failed command says.
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

}  // namespace
}  // namespace jv
