#include <gtest/gtest.h>

#include "DriveRigFixture.h"
#include "IdeFake.h"
#include "flash/Flashknl.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/RecordingConsole.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualIde.h"
#include "sim/VirtualRoute.h"

namespace jv {
namespace {

using testing::FakeController;
using testing::FakeParallelChip;
using testing::FakeSerialChip;
using testing::ScopedPorts;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kLength = 0x8000;

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// Two banks with gaps between them and two reserved blocks, one inside a
// bank and one in a gap.
SYTRParameter Layout(uint8_t ideType) {
    SYTRParameter p;
    p.IdeFlashType = ideType;
    p.MaxBankSize = 0x4000;
    p.BankSizes = {0x3000, 0x3800};
    p.ReserveBlocks = {{0x1000, 0x100}, {0x3800, 0x400}};
    return p;
}

SFlashOptions Options() {
    SFlashOptions o;
    o.repeatCount = 1;
    o.writeNewCode = 1;
    o.silent = 1;
    return o;
}

// What the chip must hold after the default job: its old bytes with the
// package code in the banks and the reserved blocks kept.
Bytes Expected(const Bytes& old, const Bytes& image, const SYTRParameter& p) {
    Bytes e = old;
    for (size_t i = 0; i < p.BankSizes.size(); ++i) {
        const size_t start = i * p.MaxBankSize;
        std::copy_n(image.begin() + start, p.BankSizes[i], e.begin() + start);
    }
    for (const auto& r : p.ReserveBlocks) std::copy_n(old.begin() + r.Address, r.Length, e.begin() + r.Address);
    return e;
}

// The fakes stand for drive 0 of a one-drive machine, on the primary
// channel as master, where the job finds and identifies it.
class IdeJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&clock_);
        SetConsole(&console_);
        ResetIdeAccess();
        ClearIdeAccessFault();
        EndFlashWrite();
        std::string error;
        auto rig = sim::ParseRig("[drive]\n", "rig", error);
        ASSERT_TRUE(rig) << error;
        rig_ = std::move(*rig);
        ResetDriveAccessForTest(MakeVirtualRoute({rig_.drives[0].get()}, EVirtualPlatform::Linux), true);
    }
    void TearDown() override {
        ResetDriveAccessForTest();
        ReleaseIdeChannel();
        ResetIdeAccess();
        ResetChipRoutines();
        ClearIdeAccessFault();
        EndFlashWrite();
        SetConsole(nullptr);
        SetClock(nullptr);
    }

    // Each fake holds as many cells as the part its codes name: a smaller
    // one would wrap the bytes kept behind the image onto the image.
    FakeParallelChip ParallelChip(uint8_t maker, uint8_t device, bool sequenceB, uint32_t size = 0x80000) {
        FakeParallelChip chip;
        chip.cells = Pattern(size, 7);
        chip.ids = {{0, maker}, {1, device}};
        if (sequenceB) {
            chip.unlock1 = 0x5555;
            chip.unlock2 = 0x2AAA;
        }
        return chip;
    }

    FakeSerialChip SerialChip(std::array<uint8_t, 5> res, std::array<uint8_t, 5> rdid = {}) {
        FakeSerialChip chip;
        chip.cells = Pattern(0x80000, 7);
        chip.res = res;
        chip.rdid = rdid;
        return chip;
    }

    VirtualClock clock_;
    RecordingConsole console_;
    sim::SRig rig_;
};

TEST_F(IdeJobTest, ComposeImageFollowsTheOptions) {
    const SYTRParameter p = Layout(kIdeMtk);
    const Bytes image = Pattern(kLength, 1);
    const Bytes present = Pattern(kLength, 2);
    Bytes out(kLength);
    auto range = [&](const Bytes& b, size_t start, size_t n) { return Bytes(b.begin() + start, b.begin() + start + n); };
    auto filled = [](size_t n, uint8_t v) { return Bytes(n, v); };

    SFlashOptions o;
    o.erasePadChar = 0xA5;
    o.eraseFirst = 1;  // pad, then the chip's banks and reserved blocks back
    ComposeImage(image, present, out, p, o);
    EXPECT_EQ(range(out, 0, 0x3000), range(present, 0, 0x3000));
    EXPECT_EQ(range(out, 0x3000, 0x800), filled(0x800, 0xA5));
    EXPECT_EQ(range(out, 0x3800, 0x400), range(present, 0x3800, 0x400));
    EXPECT_EQ(range(out, 0x3C00, 0x400), filled(0x400, 0xA5));
    EXPECT_EQ(range(out, 0x7800, 0x800), filled(0x800, 0xA5));

    o.writeNewCode = 1;  // the package's code in the banks, reserved from the chip
    ComposeImage(image, present, out, p, o);
    EXPECT_EQ(range(out, 0x4000, 0x3800), range(image, 0x4000, 0x3800));
    EXPECT_EQ(range(out, 0x1000, 0x100), range(present, 0x1000, 0x100));
    EXPECT_EQ(range(out, 0x3000, 0x800), filled(0x800, 0xA5));

    o = {};
    o.erasePadChar = 0x3C;
    o.padBanks = 1;  // the chip's bytes with padded banks
    o.padReserved = 1;
    ComposeImage(image, present, out, p, o);
    EXPECT_EQ(range(out, 0x0, 0x1000), filled(0x1000, 0x3C));
    EXPECT_EQ(range(out, 0x3000, 0x800), range(present, 0x3000, 0x800));
    EXPECT_EQ(range(out, 0x3800, 0x400), filled(0x400, 0x3C));

    o = {};
    o.writeNewCode = 1;
    o.matchHeaderChecksum = 1;  // reserved blocks stay as the banks left them
    ComposeImage(image, present, out, p, o);
    EXPECT_EQ(range(out, 0x1000, 0x100), range(image, 0x1000, 0x100));
    EXPECT_EQ(range(out, 0x3800, 0x400), range(present, 0x3800, 0x400));

    // Blocks past the end are cut or skipped; a random pad is not one value.
    SYTRParameter edge = p;
    edge.ReserveBlocks = {{kLength - 0x10, 0x100}, {kLength + 0x100, 0x100}};
    edge.BankSizes = {0x3000, 0x3800, 0x9000};
    o = {};
    o.eraseFirst = 1;
    o.erasePadRandom = 1;
    ComposeImage(image, present, out, edge, o);
    EXPECT_EQ(range(out, kLength - 0x10, 0x10), range(present, kLength - 0x10, 0x10));
    EXPECT_EQ(range(out, 0x7000, 0x800), range(present, 0x7000, 0x800));  // third bank, clipped
    const Bytes gap = range(out, 0x3000, 0x800);
    EXPECT_GT(std::count_if(gap.begin(), gap.end(), [&](uint8_t v) { return v != gap[0]; }), 0x600);
}

TEST_F(IdeJobTest, AStuckByteFailsTheVerifyUnlessItIsReserved) {
    const Bytes image = Pattern(kLength, 99);
    for (uint32_t stuck : {0x2345u, 0x1010u}) {
        FakeParallelChip chip = ParallelChip(0xC2, 0xA4, false);
        chip.stuckAddress = stuck;
        FakeController controller;
        controller.parallel = &chip;
        ScopedPorts scope(controller);
        Bytes copy = image;
        SFlashOptions o = Options();
        o.silent = 0;
        const FlashResult result = FlashImage(0, copy, kLength, Layout(kIdeMtk), o, false);
        if (stuck == 0x1010) {
            EXPECT_EQ(result, std::nullopt) << "0x1010 lies in a reserved block";
        } else {
            EXPECT_EQ(result, "Flash Verify Error!");
        }
    }
}

// A bus that now and then drops a bit once the chip is identified: the
// bytes kept behind the image read differently twice, and the chip must not
// be erased with no sure copy of them.
TEST_F(IdeJobTest, KeptBytesThatReadDifferentlyTwiceRefuseTheFlash) {
    FakeParallelChip chip = ParallelChip(0xC2, 0xA4, false);
    const Bytes old = chip.cells;
    FakeController controller;
    controller.parallel = &chip;
    uint64_t sectorReads = 0;
    controller.reader = [&](uint16_t port) {
        const uint8_t value = controller.OnRead(port);
        if (port != testing::kSector || ++sectorReads < 0x1000 || sectorReads % 7 != 0) return value;
        return static_cast<uint8_t>(value ^ 1);
    };
    ScopedPorts scope(controller);
    Bytes image = Pattern(kLength, 99);
    SFlashOptions o = Options();
    o.silent = 0;
    EXPECT_EQ(FlashImage(0, image, kLength, Layout(kIdeMtk), o, true), "Flash Fail ! (1)\n");
    EXPECT_EQ(chip.erases, 0);
    EXPECT_EQ(chip.cells, old);
    EXPECT_NE(console_.Transcript().find("<at 1,19>The bytes beyond the image did not read back the same twice.\n"),
              std::string::npos)
        << console_.Transcript();
    EXPECT_FALSE(FlashWriteInProgress());
}

TEST_F(IdeJobTest, APageOfChip5IsRetriedEightTimesThenLeft) {
    struct SCase {
        uint32_t length;
        uint32_t stuck;
        uint32_t pageStart;
    };
    // A page inside the image, and the page it ends in, which the chip's
    // own bytes kept behind the image fill up.
    for (const auto [length, stuck, pageStart] : {SCase{kLength, 0x05, 0x00}, SCase{0x183, 0x181, 0x180}}) {
        FakeParallelChip chip = ParallelChip(0xDA, 0xC1, true, 0x20000);
        chip.pageWrite = true;
        chip.stuckAddress = stuck;
        FakeController controller;
        controller.parallel = &chip;
        ScopedPorts scope(controller);
        Bytes image(length, 0x00);
        SYTRParameter p = Layout(kIdeMtk);
        p.ReserveBlocks.clear();
        SFlashOptions o = Options();
        o.silent = 0;
        EXPECT_EQ(FlashImage(0, image, length, p, o, false), "Flash Verify Error!");
        EXPECT_EQ(chip.programCounts[stuck], 9) << length;
        EXPECT_EQ(chip.programCounts[pageStart], 9) << length;
        EXPECT_EQ(chip.programCounts[pageStart + 0x7F], 9) << length;
        EXPECT_EQ(chip.programCounts[pageStart + 0x80], 1) << length;
        EXPECT_EQ(PageRetryBudget(), 8);
    }
}

TEST_F(IdeJobTest, ARepeatCountOfZeroTouchesNothingAndARefusedChannelNothingEither) {
    FakeParallelChip chip = ParallelChip(0xC2, 0xA4, false);
    FakeController controller;
    controller.parallel = &chip;
    ScopedPorts scope(controller);
    Bytes image = Pattern(kLength, 99);
    SFlashOptions o = Options();
    o.repeatCount = 0;
    EXPECT_EQ(FlashImage(0, image, kLength, Layout(kIdeMtk), o, false), std::nullopt);
    EXPECT_TRUE(controller.writes.empty());

    controller.refusal = "No access to the IDE ports: run as root (or with CAP_SYS_RAWIO).";
    EXPECT_EQ(FlashImage(0, image, kLength, Layout(kIdeMtk), Options(), false), controller.refusal);
    EXPECT_TRUE(controller.writes.empty());
    // A drive number the scan did not find reaches no port, not even with /s.
    o = Options();
    EXPECT_EQ(FlashImage(1, image, kLength, Layout(kIdeMtk), o, false),
              "Drive 1 was not found by the drive scan, so the IDE route is refused.");
    EXPECT_TRUE(controller.writes.empty());
    EXPECT_FALSE(FlashWriteInProgress());
}

TEST_F(IdeJobTest, ABusyChannelOrChipEndsTheJobWithinItsBound) {
    Bytes image = Pattern(kLength, 99);
    {
        FakeParallelChip chip = ParallelChip(0xC2, 0xA4, false);
        const Bytes old = chip.cells;
        FakeController controller;
        controller.parallel = &chip;
        controller.stuckBusy = true;
        ScopedPorts scope(controller);
        const uint64_t start = clock_.ElapsedMs();
        const FlashResult r = FlashImage(0, image, kLength, Layout(kIdeMtk), Options(), false);
        ASSERT_TRUE(r);
        EXPECT_NE(r->find("timed out"), std::string::npos);
        EXPECT_LE(clock_.ElapsedMs() - start, 2 * kRegisterWaitMs + 100);
        EXPECT_EQ(chip.cells, old);
    }
    {
        FakeSerialChip chip = SerialChip({0x32});
        chip.neverReady = true;
        FakeController controller;
        controller.family = kIdeMtk2;
        controller.serial = &chip;
        ScopedPorts scope(controller);
        clock_.SetTickPerCounterRead(200);
        const uint64_t start = clock_.ElapsedMs();
        const FlashResult r = FlashImage(0, image, kLength, Layout(kIdeMtk2), Options(), false);
        ASSERT_TRUE(r);
        EXPECT_NE(r->find("timed out"), std::string::npos);
        EXPECT_LE(clock_.ElapsedMs() - start, kEraseWaitMs + 5000);
    }
}

TEST_F(IdeJobTest, SerialType6PrintsItsSumWithoutTheTrailer) {
    FakeSerialChip chip = SerialChip({0x32});
    FakeController controller;
    controller.family = kIdeMtk2;
    controller.serial = &chip;
    ScopedPorts scope(controller);
    Bytes image = Pattern(kLength, 99);
    SYTRParameter p = Layout(kIdeMtk2);
    p.ReserveBlocks.clear();
    p.AtapiFlashType = kAtapiMtk5;
    SFlashOptions o = Options();
    o.silent = 0;
    o.showChecksum = 1;
    o.eraseFirst = 1;
    o.erasePadChar = 0xFF;
    uint16_t sum = 0;
    Bytes expected = chip.cells;
    for (size_t i = 0; i < 2; ++i) {
        std::copy_n(image.begin() + i * 0x4000, p.BankSizes[i], expected.begin() + i * 0x4000);
    }
    std::fill(expected.begin() + 0x3000, expected.begin() + 0x4000, uint8_t{0xFF});
    std::fill(expected.begin() + 0x7800, expected.begin() + kLength, uint8_t{0xFF});
    for (uint32_t i = 0; i < kLength - 8; ++i) sum = static_cast<uint16_t>(sum + expected[i]);
    // The drive does not report the checksum feature: the flash ends there.
    EXPECT_EQ(FlashImage(0, image, kLength, p, o, false), std::nullopt);
    EXPECT_EQ(chip.cells, expected);
    char shown[80];
    std::snprintf(shown, sizeof shown, "Sum of fixed data is <color 2>%X<color 15> h\n", sum);
    EXPECT_NE(console_.Transcript().find(shown), std::string::npos) << shown;
}

TEST_F(IdeJobTest, OptionEIdentifiesTheChipAndWritesNothing) {
    FakeSerialChip chip = SerialChip({0x9D, 0x7E});
    const Bytes old = chip.cells;
    FakeController controller;
    controller.family = kIdeMtk2;
    controller.serial = &chip;
    ScopedPorts scope(controller);
    IdeDriveEntry(0, kIdeMtk2, false, false);
    EXPECT_EQ(console_.Text(), "\r\rPMC Pm25LV040\n");
    EXPECT_EQ(chip.cells, old);
    for (const auto& command : chip.commands) {
        EXPECT_TRUE(command.first[0] == 0x04 || command.first[0] == 0xAB) << std::hex << int(command.first[0]);
    }

    FakeParallelChip parallel = ParallelChip(0x37, 0x86, false);
    controller.family = kIdeAli;
    controller.parallel = &parallel;
    console_.ClearTranscript();
    IdeDriveEntry(0, kIdeAli, false, false);
    EXPECT_EQ(console_.Text(), "\r\rAMIC A29040\n");
    EXPECT_EQ(parallel.erases, 0);
    EXPECT_EQ(parallel.programCounts, std::vector<int>(0x400, 0));
    EXPECT_FALSE(FlashWriteInProgress());
}

using sim::BusPorts;

// The same jobs against virtual drives of a rig: their IDE channels and the
// strict chips behind them.
class VirtualIdeJobTest : public testing::DriveRigTest {
protected:
    void TearDown() override {
        SetPorts(nullptr);
        ResetIdeAccess();
        ResetChipRoutines();
        ClearIdeAccessFault();
        EndFlashWrite();
        DriveRigTest::TearDown();
    }

    // One drive with the controller and chip; its flash starts as a pattern.
    void Machine(const std::string& controller, int chip, const std::string& extra = "") {
        LoadRig("[drive]\nvendor = ZERV\nproduct = QLX-2209K\nide_controller = " +
                controller + "\nflash_chip = " + std::to_string(chip) + "\n" + extra);
        sim::FlashMemory& flash = Drive(0).Flash();
        flash.EraseAll();
        flash.Program(0, Pattern(kLength, 7));
        std::vector<sim::VirtualDrive*> drives{&Drive(0)};
        bus_ = std::make_unique<sim::VirtualIdeBus>(drives);
        ports_ = std::make_unique<BusPorts>(*bus_);
        SetPorts(ports_.get());
        ResetIdeAccess();
        ClearIdeAccessFault();
    }
    Bytes Cells() {
        auto b = Drive(0).Flash().Bytes();
        return Bytes(b.begin(), b.begin() + kLength);
    }

    std::unique_ptr<sim::VirtualIdeBus> bus_;
    std::unique_ptr<BusPorts> ports_;
};

TEST_F(VirtualIdeJobTest, EveryChipFamilyFlashesAVirtualDrive) {
    struct SCase {
        const char* controller;
        uint8_t ideType;
        int chip;
    };
    const SCase cases[] = {
        {"mtk", kIdeMtk, 6},   {"ali", kIdeAli, 2},    {"ali2", kIdeAli2, 5}, {"mtk", kIdeMtk, 9},
        {"mtk2", kIdeMtk2, 15}, {"mtk2", kIdeMtk2, 19}, {"mtk2", kIdeMtk2, 20}, {"mtk2", kIdeMtk2, 21},
        {"mtk2", kIdeMtk2, 34}, {"mtk2 direct", kIdeMtk2, 37},
    };
    const Bytes image = Pattern(kLength, 99);
    for (const SCase& c : cases) {
        const std::string controller(c.controller);
        if (controller.ends_with(" direct")) {
            Machine(controller.substr(0, 4), c.chip, "ide_serial_layout = direct\n");
        } else {
            Machine(controller, c.chip);
        }
        const Bytes old = Cells();
        const SYTRParameter p = Layout(c.ideType);
        SFlashOptions o = Options();
        o.silent = 0;
        o.showChip = 1;
        Bytes copy = image;
        console_.ClearTranscript();
        EndFlashWrite();
        EXPECT_EQ(FlashImage(0, copy, kLength, p, o, false), std::nullopt) << "chip " << c.chip;
        EXPECT_TRUE(FlashWriteInProgress()) << "chip " << c.chip;
        EXPECT_TRUE(Cells() == Expected(old, image, p)) << "chip " << c.chip;
        EXPECT_NE(console_.Transcript().find(std::string(ChipName(c.chip)) + "\n"), std::string::npos)
            << "chip " << c.chip;
        EXPECT_FALSE(bus_->Channel(0).InFlashMode(0)) << "chip " << c.chip;
    }
}

TEST_F(VirtualIdeJobTest, StuckBytesAndABusyChipFailTheJob) {
    const Bytes image = Pattern(kLength, 99);
    Machine("mtk", 6, "chip_stuck_bytes = 0x2345\n");
    Bytes copy = image;
    SFlashOptions o = Options();
    o.silent = 0;
    EXPECT_EQ(FlashImage(0, copy, kLength, Layout(kIdeMtk), o, false), "Flash Verify Error!");

    // A chip that never ends its erase costs the job no more than the erase
    // bound over a good job (whose reading of the kept bytes takes time too).
    clock_.SetTickPerCounterRead(100);  // coarser time: only the bound matters here
    Machine("mtk2", 20);
    uint64_t start = clock_.ElapsedMs();
    EXPECT_EQ(FlashImage(0, copy, kLength, Layout(kIdeMtk2), o, false), std::nullopt);
    const uint64_t good = clock_.ElapsedMs() - start;
    Machine("mtk2", 20, "chip_stays_busy = yes\n");
    start = clock_.ElapsedMs();
    const FlashResult r = FlashImage(0, copy, kLength, Layout(kIdeMtk2), o, false);
    ASSERT_TRUE(r);
    EXPECT_NE(r->find("timed out"), std::string::npos) << *r;
    EXPECT_LE(clock_.ElapsedMs() - start, good + kEraseWaitMs + 10000);
}

TEST_F(VirtualIdeJobTest, Type6HandsTheDriveItsChecksum) {
    const Bytes image = Pattern(kLength, 99);
    SYTRParameter p = Layout(kIdeMtk2);
    p.AtapiFlashType = kAtapiMtk5;
    p.HeaderCheckSum = 0x1234;
    Bytes copy = image;
    Machine("mtk2", 20, "features = 13\n");
    EXPECT_EQ(FlashImage(0, copy, kLength, p, Options(), false), std::nullopt);
    const size_t commands = Sent().size();
    EXPECT_GE(commands, 4u);  // feature query, ready waits, set and get

    Machine("mtk2", 20, "features = 13\nwrong_checksum = yes\n");
    EXPECT_EQ(FlashImage(0, copy, kLength, p, Options(), false), "CheckSum Error!");

    Machine("mtk2", 20, "features = 13\nrevision = BOOT\n");
    EXPECT_EQ(FlashImage(0, copy, kLength, p, Options(), false), "Flash Error!");

    Machine("mtk2", 20);  // a drive without feature 13 needs no exchange
    EXPECT_EQ(FlashImage(0, copy, kLength, p, Options(), false), std::nullopt);
    EXPECT_LT(Sent().size(), commands);
}

}  // namespace
}  // namespace jv
