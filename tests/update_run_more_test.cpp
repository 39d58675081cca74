// Whole update runs that outlast one run: a drive whose power fails in the
// middle of its flash and is met again by the next run, and the register
// route that writes the chip behind the drive's controller directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "UpdateRunFixture.h"
#include "flash/Flashknl.h"
#include "flash/FlashmcuIde.h"
#include "flash/Flashrom.h"

namespace jv {
namespace {

using test::Bytes;
using testing::BusPorts;
using testing::kCompleted;
using testing::kSampleDrive;
using testing::Mtk5Sample;

class UpdateRunMoreTest : public testing::UpdateRunFixture {
protected:
    void TearDown() override {
        SetPorts(nullptr);
        ResetIdeAccess();
        ResetChipRoutines();
        ClearIdeAccessFault();
        UpdateRunFixture::TearDown();
    }

    // Puts the rig's drives on the register bus the IDE route talks to.
    void WireIde() {
        std::vector<sim::VirtualDrive*> drives;
        for (auto& drive : rig_.drives) drives.push_back(drive.get());
        bus_ = std::make_unique<sim::VirtualIdeBus>(drives);
        ports_ = std::make_unique<BusPorts>(*bus_);
        SetPorts(ports_.get());
        ResetIdeAccess();
        ClearIdeAccessFault();
    }

    std::unique_ptr<sim::VirtualIdeBus> bus_;
    std::unique_ptr<BusPorts> ports_;
};

TEST_F(UpdateRunMoreTest, APowerCutFailsTheRunAndTheNextRunRecoversTheDrive) {
    const std::string package = File("sample.ytr", test::BuildV3(Mtk5Sample()));
    const std::string flash = (dir_ / "drive.bin").string();
    LoadRig(kSampleDrive + "flash_file = " + flash + "\npower_loss_after = 0x80\n");
    EXPECT_EQ(Run({package}, "y"), kExitDone);
    const std::string failed = console_.Transcript();
    EXPECT_EQ(failed.find("Flash Completed"), std::string::npos) << failed;
    // The cut hits while the drive programs, so the command that started it fails.
    EXPECT_NE(failed.find("<at 1,20>Trigger Fail !"), std::string::npos) << failed;
    EXPECT_TRUE(Drive(0).InBootCode());
    EXPECT_EQ(Revision(0), "BOOT");

    // The machine is switched on again: the drive reads what its flash holds.
    LoadRig(kSampleDrive + "flash_file = " + flash + "\n");
    ASSERT_TRUE(Drive(0).InBootCode()) << "the cut left no firmware that can run";
    EXPECT_EQ(Run({package}, "y"), kExitFlashed);
    // Its model still matches: only the revision gives the boot code away.
    EXPECT_NE(console_.Transcript().find("Drive to Update : ZERV    DVD-RW QLX-1600  BOOT 050101\n"),
              std::string::npos)
        << console_.Transcript();
    EXPECT_NE(console_.Transcript().find(kCompleted), std::string::npos) << console_.Transcript();
    EXPECT_FALSE(Drive(0).InBootCode());
    EXPECT_EQ(Revision(0), "1.05");

    // And the drive keeps it over the next power-on.
    LoadRig(kSampleDrive + "flash_file = " + flash + "\n");
    EXPECT_FALSE(Drive(0).InBootCode());
    EXPECT_EQ(Revision(0), "1.05");
}

test::SV3Package IdeSample() {
    test::SV3Package package = Mtk5Sample();
    package.ideFlashType = kIdeMtk;
    package.atapiFlashType = 0;
    return package;
}

const std::string kIdeDrive = kSampleDrive + "ide_controller = mtk\nflash_chip = 6\n";

TEST_F(UpdateRunMoreTest, TheRegisterRouteWritesThePackageIntoTheChip) {
    const test::SV3Package sample = IdeSample();
    const std::string package = File("ide.ytr", test::BuildV3(sample));
    LoadRig(kIdeDrive);
    Drive(0).Flash().EraseAll();
    Drive(0).Flash().Program(0, test::FillerBytes(0x80000, 3));  // the whole 29F040
    const Bytes old(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
    WireIde();
    EXPECT_EQ(Run({package, "/i"}, "y"), kExitFlashed);
    EXPECT_NE(console_.Transcript().find(kCompleted), std::string::npos) << console_.Transcript();

    // The bank holds the package's code; the reserved blocks and everything
    // behind the image keep the chip's.
    const Bytes image = test::ImageOf(sample);
    Bytes expected = old;
    std::copy_n(image.begin(), 0x10000, expected.begin());
    for (const auto& block : sample.reserveBlocks) {
        std::copy_n(old.begin() + block.Address, block.Length, expected.begin() + block.Address);
    }
    const Bytes cells(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
    EXPECT_TRUE(cells == expected);
    EXPECT_NE(console_.Transcript().find("<at 1,19>Keeping the 458752 bytes beyond the image.\n"), std::string::npos);
    // Nothing of the image went through the packet interface.
    EXPECT_FALSE(std::ranges::any_of(Sent(0), [](const auto& e) { return e.direction == kDirOut; }));
    EXPECT_FALSE(bus_->Channel(0).InFlashMode(0));
}

// A disk on the primary channel as master, as a machine's system disk sits
// there: the register route reaches the drive where the system places it,
// and where that place holds anything but the drive itself, it touches
// nothing after asking who is there.
TEST_F(UpdateRunMoreTest, TheRegisterRouteReachesOnlyTheDriveIdentifiedAtItsPorts) {
    const std::string package = File("ide.ytr", test::BuildV3(IdeSample()));
    const std::string disk = "[disk]\nvendor = ATA\nproduct = SYSTEM DISK\ndevice_type = 0\n";
    const std::string other = "[other]\nvendor = ZERV\nproduct = DVD-RW QLX-0001\n";
    const char* kRefused = ", so the IDE route is refused.\n";
    struct SCase {
        const char* what;
        std::string rig;
        const char* result;  // the run's last line; nothing: it flashed
        std::vector<uint8_t> masterCommands;
    } cases[] = {
        {"the drive is the slave", disk + kIdeDrive, nullptr, {}},
        {"the system places it on the disk",
         disk + kIdeDrive + "ide_location = primary master\n",
         "The device at 0x1F0 master is an ATA device, not a CD/DVD drive: it refused IDENTIFY PACKET DEVICE",
         {0xA1}},
        {"another drive answers there", other + kIdeDrive + "ide_location = primary master\n",
         "The device at 0x1F0 master is \"ZERV DVD-RW QLX-0001\", not the chosen drive \"ZERV DVD-RW QLX-1600\"",
         {0xA1}},
        {"the system places it on no IDE channel", disk + kIdeDrive + "ide_location = none\n",
         "/dev/sr1 is not on an ATA port (it is on USB, SCSI or another bus): it has no IDE registers", {}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.what);
        LoadRig(c.rig);
        const Bytes master(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
        const Bytes old(Drive(1).Flash().Bytes().begin(), Drive(1).Flash().Bytes().end());
        WireIde();
        const int code = Run({package, "/i"}, "y");
        const std::string& screen = console_.Transcript();
        sim::VirtualIdeChannel& channel = bus_->Channel(0);
        EXPECT_EQ(channel.Commands(0), c.masterCommands);
        EXPECT_EQ(channel.Resets(0), 0u);
        EXPECT_TRUE(std::equal(master.begin(), master.end(), Drive(0).Flash().Bytes().begin()));
        if (!c.result) {
            EXPECT_EQ(code, kExitFlashed) << screen;
            EXPECT_NE(channel.Commands(1).size(), 0u);
            continue;
        }
        EXPECT_EQ(code, kExitDone);
        EXPECT_TRUE(screen.ends_with(std::string("<at 1,20>") + c.result + kRefused)) << screen;
        EXPECT_TRUE(std::equal(old.begin(), old.end(), Drive(1).Flash().Bytes().begin()));
        EXPECT_TRUE(channel.Commands(1).empty());
    }
}

TEST_F(UpdateRunMoreTest, AStuckChipByteEndsTheRegisterRouteWithTheVerifyError) {
    const std::string package = File("ide.ytr", test::BuildV3(IdeSample()));
    LoadRig(kIdeDrive + "chip_stuck_bytes = 0x2345\n");
    WireIde();
    EXPECT_EQ(Run({package, "/i"}, "y"), kExitDone);
    const std::string& screen = console_.Transcript();
    EXPECT_NE(screen.find("<at 1,20>Flash Verify Error!"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Flash Completed"), std::string::npos) << screen;
    EXPECT_FALSE(bus_->Channel(0).InFlashMode(0));
}

// Three banks of 0x8001 bytes: an image that ends three bytes into a page of
// every chip. With the verify and without it (/q), the chip must end up
// holding every byte of it, the last page's included, and behind it what it
// held before (a drive's own data lives in the top sectors). A reserved
// block reaches past the image's end: the package loads.
TEST_F(UpdateRunMoreTest, AnImageEndingInsideAPageIsWrittenToItsLastByte) {
    struct SCase {
        const char* controller;
        uint8_t ideType;
        int chip;
        uint32_t flashSize;
    };
    const SCase cases[] = {
        {"mtk", kIdeMtk, 5, 0x20000},    // 128-byte page writes
        {"mtk", kIdeMtk, 9, 0x80000},    // 256-byte page writes
        {"mtk2", kIdeMtk2, 20, 0x80000},  // serial page program
    };
    for (const SCase& c : cases) {
        test::SV3Package sample = test::SamplePackage(0x8001);
        sample.ideFlashType = c.ideType;
        sample.atapiFlashType = 0;
        sample.banks.push_back(test::FillerBytes(0x8001, 5));
        sample.banks.push_back(test::FillerBytes(0x8001, 6));
        sample.reserveBlocks.push_back({0x18000, 0x200});
        const Bytes image = test::ImageOf(sample);
        ASSERT_EQ(image.size(), 0x18003u);
        const std::string package = File("odd.ytr", test::BuildV3(sample));
        for (bool quick : {false, true}) {
            SCOPED_TRACE("chip " + std::to_string(c.chip) + (quick ? " /q" : ""));
            LoadRig(kSampleDrive + "flash_size = " + std::to_string(c.flashSize) + "\nide_controller = " +
                    c.controller + "\nflash_chip = " + std::to_string(c.chip) + "\n");
            Drive(0).Flash().EraseAll();
            Drive(0).Flash().Program(0, test::FillerBytes(c.flashSize, 3));
            const Bytes old(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
            WireIde();
            std::vector<std::string> arguments{package, "/i"};
            if (quick) arguments.push_back("/q");
            EXPECT_EQ(Run(arguments, "y"), kExitFlashed);
            EXPECT_NE(console_.Transcript().find(kCompleted), std::string::npos) << console_.Transcript();

            // The image with the chip's reserved bytes; past it, the chip's.
            Bytes expected = old;
            std::copy(image.begin(), image.end(), expected.begin());
            for (const auto& block : sample.reserveBlocks) {
                const size_t end = std::min<size_t>(block.Address + block.Length, image.size());
                if (block.Address >= end) continue;
                std::copy(old.begin() + block.Address, old.begin() + end, expected.begin() + block.Address);
            }
            const Bytes cells(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
            ASSERT_EQ(cells.size(), expected.size());
            const auto wrong = std::ranges::mismatch(cells, expected);
            EXPECT_TRUE(wrong.in1 == cells.end())
                << "first wrong byte at 0x" << std::hex << (wrong.in1 - cells.begin());
        }
    }
}

}  // namespace
}  // namespace jv
