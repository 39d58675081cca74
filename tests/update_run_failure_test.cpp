// A drive that refuses one command, or takes it and never answers, at every
// place in a whole update run, on every route the run can take: the run ends
// with 259 and says why (the flash engine's text on the result row when it
// came during the flash, the run's own message before it), never claims a
// flash the drive did not take, and never calls a flash failed because a
// command whose answer it need not hear (a start, a mode switch, a save, an
// ALI page, the first half of an MTK6 page) went unanswered.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "UpdateRunFixture.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashrom.h"
#include "platform/Ports.h"
#include "platform/Process.h"
#include "sim/VirtualIde.h"

namespace jv {
namespace {

using test::Bytes;
using testing::BusPorts;
using testing::kCompleted;
using testing::kSampleDrive;

enum class ERoute : uint8_t { Atapi, Ide, Download };

struct SRoute {
    const char* name;
    ERoute route;
    uint8_t atapiType;
    const char* rig;  // added to the sample drive
    std::vector<const char*> texts;  // what the flash may end with
};

constexpr const char* kWrite = "Write Buffer Fail !\n";
constexpr const char* kReady = "Wait Drive Ready TimeOut !\n";
constexpr const char* kTrigger = "Trigger Fail !\n";
constexpr const char* kProgress = "Flash progress TimeOut !\n";

const SRoute kRoutes[] = {
    {"mtk", ERoute::Atapi, kAtapiMtk, "controller = mtk\n", {kWrite, kReady}},
    {"ali", ERoute::Atapi, kAtapiAli, "controller = ali\n", {kWrite, kReady}},
    {"mtk2", ERoute::Atapi, kAtapiMtk2, "controller = mtk2\nkernel_report = 0, 0x1000, 0x0181\n",
     {kWrite, kReady, "Kernel does not match."}},
    {"mtk3", ERoute::Atapi, kAtapiMtk3, "controller = mtk3\n", {kWrite, kReady, kProgress}},
    {"mtk4", ERoute::Atapi, kAtapiMtk4, "controller = mtk4\n", {kWrite, kReady}},
    {"mtk5", ERoute::Atapi, kAtapiMtk5, "controller = mtk5\nfeatures = 13\n",
     {kWrite, kReady, kTrigger, kProgress, "SET F/W CheckSum Error !\n", "Get CheckSum Error !\n",
      "CheckSum Error !\n", "Flash Error !\n"}},
    {"mtk6", ERoute::Atapi, kAtapiMtk6, "controller = mtk6\n", {kWrite, kTrigger, kProgress}},
    {"mtk7", ERoute::Atapi, kAtapiMtk7, "controller = mtk7\n", {kWrite, kReady}},
    {"ide", ERoute::Ide, 0, "ide_controller = mtk\nflash_chip = 6\n", {}},
    // The drive's refusal, with the sense a refused command carries here.
    {"download", ERoute::Download, 0, "controller = philips\n", {"Firmware update failure (05:44:00)"}},
};

// One 64 KB bank whose last two bytes stay free: the page protocols carry
// at most 65,534 bytes of it.
test::SV3Package AtapiPackage(uint8_t type) {
    test::SV3Package package = test::SamplePackage();
    package.banks[0].resize(0xFFFE);
    package.reserveBlocks.clear();
    package.atapiFlashType = type;
    return package;
}

test::SV3Package IdePackage() {
    test::SV3Package package = test::SamplePackage();
    package.ideFlashType = kIdeMtk;
    package.atapiFlashType = 0;
    return package;
}

test::SPhilipsFile PhilipsPackage() {
    test::SPhilipsFile file;
    file.image = test::FillerBytes(2 * 16384 - 40, 7);
    test::PutInfoBlock(file.image, 0x4000, test::SampleInfo());
    file.trailer1 = 0x1234;
    file.trailer2 = 0xABCD;
    return file;
}

class RefusedCommandRun : public testing::UpdateRunFixture, public ::testing::WithParamInterface<SRoute> {
protected:
    void TearDown() override {
        SetPorts(nullptr);
        ResetIdeAccess();
        ResetChipRoutines();
        ClearIdeAccessFault();
        UpdateRunFixture::TearDown();
    }

    // A fresh machine: the drive as the factory left it, on the bus the
    // register route talks to.
    void PowerOn(const std::string& extra = "") {
        const SRoute& r = GetParam();
        LoadRig(kSampleDrive + r.rig + extra);
        if (r.route == ERoute::Ide) {
            SetPorts(nullptr);
            std::vector<sim::VirtualDrive*> drives{&Drive(0)};
            bus_ = std::make_unique<sim::VirtualIdeBus>(drives);
            ports_ = std::make_unique<BusPorts>(*bus_);
            SetPorts(ports_.get());
            ResetIdeAccess();
            ClearIdeAccessFault();
        }
    }

    std::vector<std::string> Arguments() {
        const SRoute& r = GetParam();
        switch (r.route) {
        case ERoute::Atapi:
            return {File("package.ytr", test::BuildV3(AtapiPackage(r.atapiType)))};
        case ERoute::Ide:
            return {File("package.ytr", test::BuildV3(IdePackage())), "/i"};
        case ERoute::Download: {
            // The updater carries the image; its settings say it is one.
            const Bytes image = test::WithLengthPrefix(test::BuildPhilipsFile(PhilipsPackage()));
            std::ranges::copy(image, EmbeddedBuffer(BufferId::Cvt).begin());
            const std::string settings = "[Main]\r\nUpdater=1\r\n";
            std::ranges::copy(settings, EmbeddedBuffer(BufferId::Parameter).begin());
            return {};
        }
        }
        return {};
    }

    // The firmware the drive holds now: what it answers on the packet
    // interface, what it took by download, or what its chip holds.
    bool HoldsNewFirmware() {
        if (GetParam().route == ERoute::Download) {
            const Bytes image = PhilipsPackage().image;
            const Bytes& taken = Drive(0).DownloadedImage();
            return taken.size() >= image.size() && std::equal(image.begin(), image.end(), taken.begin());
        }
        if (GetParam().route != ERoute::Ide) return Revision(0) == "1.05";
        const Bytes image = test::ImageOf(IdePackage());
        const auto cells = Drive(0).Flash().Bytes();
        return std::equal(image.begin(), image.begin() + 0x1000, cells.begin());
    }

    std::unique_ptr<sim::VirtualIdeBus> bus_;
    std::unique_ptr<BusPorts> ports_;
};

// What the drive may lose and the run still flash: anything that carries no
// data to it (identity reads, tray and lock commands, polls asked again,
// queries done without), an MTK5 chunk, which is sent again, and a piece of
// a renewed flash kernel: the drive flashes with the kernel it has, and the
// pages carry the new one too.
bool Recoverable(const SRoute& r, const sim::STranscriptEntry& e) {
    if (e.direction != kDirOut) return true;
    if (e.cdb[0] == 0x5A && e.cdb[2] == 0x38 && e.cdb[5] == 0xA2) return true;
    return r.atapiType == kAtapiMtk5 && e.cdb[0] == 0x3B && e.cdb[1] == 0x06;
}

// Commands whose answer the flash goes on without: only a refusal in the
// drive's own words stops it there.
bool AnswerNotAwaited(const SRoute& r, const sim::STranscriptEntry& e) {
    if (r.route != ERoute::Atapi) return false;
    const bool page = e.cdb[0] == 0x5A && e.cdb[2] == 0x38 && e.cdb[5] == 0xA0;
    if (page && e.length == 128) return true;  // the start
    if (page && r.atapiType == kAtapiMtk6 && e.cdb[8] == 0 && e.cdb[9] == 0) return true;
    if (e.cdb[0] == 0xFD) return true;  // ALI pages
    return e.cdb[0] == 0x3B && (e.cdb[1] == 0x01 || e.cdb[1] == 0x07);  // mode switches and saves
}

// The run's own messages for a drive that fails it before the flash.
const std::set<std::string> kEarlyMessages = {"Get Drive Modelname error.\n"};

TEST_P(RefusedCommandRun, EveryRefusedCommandEndsWithItsTextOrTheNewFirmware) {
    const SRoute& r = GetParam();
    PowerOn();
    const std::vector<std::string> arguments = Arguments();
    const uint32_t before = Drive(0).CommandCount();
    ASSERT_EQ(RunProgram(arguments, "y"), kExitFlashed) << console_.Transcript();
    EXPECT_NE(console_.Transcript().find(kCompleted), std::string::npos) << console_.Transcript();
    ASSERT_TRUE(HoldsNewFirmware());
    const std::vector<sim::STranscriptEntry> clean = Sent();
    const uint32_t commands = Drive(0).CommandCount() - before;
    ASSERT_EQ(clean.size(), commands);

    // Everything after the tray lock belongs to the flash; the register
    // route locks nothing and sends no packet command once it flashes.
    const auto lock = std::find_if(clean.begin(), clean.end(),
                                   [](const sim::STranscriptEntry& e) { return e.cdb[0] == 0x1E && e.cdb[4] == 1; });
    const size_t flashFrom = lock == clean.end() ? clean.size() : static_cast<size_t>(lock - clean.begin()) + 1;
    EXPECT_EQ(lock == clean.end(), r.route == ERoute::Ide);
    // The drive restarts into its new firmware while it takes the last
    // block of a download, so that block's command fails even in a good
    // run; the run takes that reset for the restart, but a refusal of the
    // block for a failure.
    const bool restartsOnLastBlock = r.route == ERoute::Download;
    if (restartsOnLastBlock) {
        const auto last = std::find_if(clean.rbegin(), clean.rend(),
                                       [](const sim::STranscriptEntry& e) { return e.cdb[0] == 0xFA; });
        ASSERT_NE(last, clean.rend());
        EXPECT_EQ(last->scsiStatus, 2);
    }

    for (uint32_t k = 1; k <= commands; ++k) {
        const sim::STranscriptEntry& refused = clean[k - 1];
        SCOPED_TRACE("command " + std::to_string(k) + ": " + testing::Hex(refused.cdb));
        PowerOn();
        Drive(0).InjectFault({sim::SFault::EKind::NthCommand, Drive(0).CommandCount() + k});
        const int code = RunProgram(arguments, "y");
        const std::string& screen = console_.Transcript();
        // Left open, the window would hold a later Ctrl-C for no flash.
        EXPECT_FALSE(FlashWriteInProgress());
        if (code == kExitFlashed) {
            EXPECT_TRUE(screen.ends_with(kCompleted + "Please Restart the computer.\nYou have to restart os!\n"))
                << screen;
            EXPECT_TRUE(Recoverable(r, refused));
            EXPECT_TRUE(HoldsNewFirmware());
            continue;
        }
        ASSERT_EQ(code, kExitDone) << screen;
        EXPECT_EQ(screen.find("Flash Completed"), std::string::npos) << screen;
        const size_t row = screen.rfind("<at 1,20>");
        if (k - 1 < flashFrom) {
            EXPECT_EQ(row, std::string::npos) << screen;
            EXPECT_TRUE(std::ranges::any_of(kEarlyMessages, [&](const std::string& m) { return screen.ends_with(m); }))
                << screen;
            continue;
        }
        ASSERT_NE(row, std::string::npos) << screen;
        const std::string result = screen.substr(row + 9);
        EXPECT_TRUE(std::ranges::any_of(r.texts, [&](const char* text) { return result == text + std::string("\n"); }))
            << result;
    }
}

// ESC while the run waits for the drive ends it with 0 and the tray
// unlocked, saying nothing more: no failure and no flash time. While the
// flash is being written the first ESC only warns. The routes left out meet
// no wait with a drive that stays busy: their progress polls end them.
TEST_P(RefusedCommandRun, EscapeWhileTheRunWaitsForTheDriveEndsItWithZero) {
    const SRoute& r = GetParam();
    const std::set<std::string> waiting = {"mtk", "ali", "mtk2", "mtk4", "mtk7", "download"};
    if (!waiting.contains(r.name)) GTEST_SKIP() << "no wait for the drive on this route";
    const bool download = r.route == ERoute::Download;
    // The download waits before its first block, outside the flash.
    PowerOn(download ? "ready_after_ms = never\n" : "flash_stays_busy = yes\n");
    const int code = RunProgram(Arguments(), "y\x1b\x1b");
    const std::string& screen = console_.Transcript();
    EXPECT_EQ(code, kExitEscape) << screen;
    // The unlock goes last, whether or not a busy drive takes it.
    ASSERT_FALSE(Sent().empty());
    EXPECT_EQ(testing::Hex(Sent().back().cdb), "1E 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_FALSE(FlashWriteInProgress());
    EXPECT_EQ(console_.KeysLeft(), download ? 1u : 0u);
    EXPECT_EQ(screen.find("<at 1,20>"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Total flash time"), std::string::npos) << screen;
    if (download) {
        EXPECT_TRUE(Drive(0).DownloadedImage().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, RefusedCommandRun, ::testing::ValuesIn(kRoutes),
                         [](const ::testing::TestParamInfo<SRoute>& info) { return std::string(info.param.name); });

TEST_P(RefusedCommandRun, EveryHeldCommandGoesOnUnlessTheFlashNeedsItsAnswer) {
    const SRoute& r = GetParam();
    PowerOn();
    const std::vector<std::string> arguments = Arguments();
    const uint32_t before = Drive(0).CommandCount();
    ASSERT_EQ(RunProgram(arguments, "y"), kExitFlashed) << console_.Transcript();
    const std::vector<sim::STranscriptEntry> clean = Sent();
    const uint32_t commands = Drive(0).CommandCount() - before;
    // A block the drive took and never answered leaves no sense to report.
    std::vector<const char*> texts = r.texts;
    if (r.route == ERoute::Download) texts.push_back("Firmware update failure (00:00:00)");

    for (uint32_t k = 1; k <= commands; ++k) {
        const sim::STranscriptEntry& held = clean[k - 1];
        SCOPED_TRACE("command " + std::to_string(k) + " held: " + testing::Hex(held.cdb));
        PowerOn();
        sim::SFault fault{sim::SFault::EKind::NthCommand, Drive(0).CommandCount() + k};
        fault.held = true;
        Drive(0).InjectFault(fault);
        const int code = RunProgram(arguments, "y");
        const std::string& screen = console_.Transcript();
        if (code == kExitFlashed) {
            EXPECT_TRUE(screen.ends_with(kCompleted + "Please Restart the computer.\nYou have to restart os!\n"))
                << screen;
            EXPECT_TRUE(HoldsNewFirmware());
            continue;
        }
        ASSERT_EQ(code, kExitDone) << screen;
        EXPECT_FALSE(AnswerNotAwaited(r, held)) << screen;
        EXPECT_EQ(screen.find("Flash Completed"), std::string::npos) << screen;
        const size_t row = screen.rfind("<at 1,20>");
        if (row == std::string::npos) {
            EXPECT_TRUE(std::ranges::any_of(kEarlyMessages, [&](const std::string& m) { return screen.ends_with(m); }))
                << screen;
            continue;
        }
        const std::string result = screen.substr(row + 9);
        EXPECT_TRUE(std::ranges::any_of(texts, [&](const char* text) { return result == text + std::string("\n"); }))
            << result;
    }
}

}  // namespace
}  // namespace jv
