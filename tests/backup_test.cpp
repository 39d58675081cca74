// The backup program against virtual drives: the package it writes loads
// back as written, a read that fails or reads differently leaves no file,
// the drive is chosen as the update run chooses it, and a backup flashes
// back to the very bytes it was read from where a protocol leaves bytes out.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "UpdateRunFixture.h"
#include "driver/Backup.h"
#include "flash/Flashknl.h"
#include "flash/FlashmcuIde.h"
#include "package/PackageWriter.h"
#include "util/Tool.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(PackageWriterTest, WhatItWritesLoadsBackAndWhatCannotLoadIsRefused) {
    struct SCase {
        const char* name;
        uint8_t ide, atapi, kernelType;
        uint32_t stride;
        std::vector<uint32_t> banks;
        std::vector<SYTRReserveBlock> blocks;
    };
    const SCase cases[] = {
        {"short banks, blocks and a kernel", 4, 3, 5, 0x10000, {0xFFFE, 0x8001}, {{0x1FD00, 0x300}, {0x100, 0x80}}},
        {"type 6 sums all but the last 8 bytes", 0, 6, 0, 0x20000, {0x20000}, {}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        SYTRParameter record;
        record.IdeFlashType = c.ide;
        record.AtapiFlashType = c.atapi;
        record.KernelType = c.kernelType;
        record.MaxBankSize = c.stride;
        record.BankSizes = c.banks;
        record.ReserveBlocks = c.blocks;
        record.KernelAddress = 0x200;
        record.KernelLength = 0x40;
        // Filler everywhere, gaps included: the package carries only the banks.
        const Bytes image = test::FillerBytes(c.stride * c.banks.size(), 3);
        Bytes expected(image.size(), 0);
        for (size_t i = 0; i < c.banks.size(); ++i)
            std::copy_n(image.begin() + i * c.stride, c.banks[i], expected.begin() + i * c.stride);

        const auto package = BuildYtr3(record, image);
        ASSERT_TRUE(package.has_value());
        EXPECT_EQ(GetYtrLength(*package), package->size());
        ASSERT_EQ(GetImageSize(*package), image.size());
        SYTRParameter loaded;
        Bytes back(image.size(), 0);
        ASSERT_TRUE(LoadYtr(*package, loaded, back));
        EXPECT_EQ(back, expected);
        EXPECT_EQ(loaded.HeaderCheckSum, static_cast<uint16_t>(test::ReferenceSum(expected, c.atapi == 6)));
        EXPECT_EQ(loaded.IdeFlashType, c.ide);
        EXPECT_EQ(loaded.AtapiFlashType, c.atapi);
        EXPECT_EQ(loaded.KernelType, c.kernelType);
        EXPECT_EQ(loaded.MaxBankSize, c.stride);
        EXPECT_EQ(loaded.BankSizes, c.banks);
        ASSERT_EQ(loaded.ReserveBlocks.size(), c.blocks.size());
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            EXPECT_EQ(loaded.ReserveBlocks[i].Address, c.blocks[i].Address);
            EXPECT_EQ(loaded.ReserveBlocks[i].Length, c.blocks[i].Length);
        }
        EXPECT_EQ(loaded.KernelAddress, 0x200u);
        EXPECT_EQ(loaded.KernelLength, 0x40u);

        // Records the loader would refuse, or that do not fit the image.
        SYTRParameter bad = record;
        bad.BankSizes.back() = c.stride + 1;
        EXPECT_FALSE(BuildYtr3(bad, image).has_value());
        bad = record;
        bad.ReserveBlocks.push_back({static_cast<uint32_t>(image.size()) - 4, 8});
        EXPECT_FALSE(BuildYtr3(bad, image).has_value());
        EXPECT_FALSE(BuildYtr3(record, std::span(image).first(image.size() - 1)).has_value());
    }
}

class BackupTest : public testing::UpdateRunFixture {
protected:
    void TearDown() override {
        SetPorts(nullptr);
        UpdateRunFixture::TearDown();
    }

    // The register route reaches the rig's drives.
    void PlugIdeBus() {
        SetPorts(nullptr);
        std::vector<sim::VirtualDrive*> drives{&Drive(0)};
        bus_ = std::make_unique<sim::VirtualIdeBus>(drives);
        ports_ = std::make_unique<testing::BusPorts>(*bus_);
        SetPorts(ports_.get());
        ResetIdeAccess();
    }

    std::unique_ptr<sim::VirtualIdeBus> bus_;
    std::unique_ptr<testing::BusPorts> ports_;

    int Backup(std::vector<std::string> arguments, std::string keys = "") {
        console_.ClearTranscript();
        console_.SetKeys(std::move(keys));
        arguments.insert(arguments.begin(), "jorvane-backup");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        const SBackupCommandLine args = ParseBackupCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_FALSE(args.argumentError);
        return BackupRun(settings_, args);
    }

    struct SLoaded {
        SYTRParameter header;
        Bytes image;
    };
    SLoaded Load(const std::string& name) {
        Bytes file(GetFileLength(name));
        EXPECT_TRUE(ReadFileBinary(name, static_cast<uint32_t>(file.size()), file.data()));
        SLoaded loaded;
        loaded.image.assign(GetImageSize(file), 0);
        EXPECT_TRUE(LoadYtr(file, loaded.header, loaded.image));
        return loaded;
    }

    FlashResult Flash(const std::string& name) {
        SLoaded loaded = Load(name);
        SFlashOptions options;
        options.atapiFlash = 1;
        options.silent = 1;
        return FlashImage(0, loaded.image, static_cast<uint32_t>(loaded.image.size()), loaded.header, options,
                          false);
    }
};

TEST_F(BackupTest, AReadThatFailsOrDisagreesLeavesNoFileAndSaysWhere) {
    struct SCase {
        const char* name;
        const char* drive;  // rig keys added to the sample drive
        std::vector<std::string> options;
        const char* says;
    };
    const SCase cases[] = {
        {"a block beyond the drive's flash", "flash_size = 0x10000\n", {},
         "Reading the flash failed at block 010000h (64 KB page 1, offset 0000h).\n"},
        {"reads that succeed with noise", "garble_opcode = 5A\n", {},
         "The flash read differently the second time, first at 000000h.\n"},
        {"a controller without flash mode", "ide_controller = none\n", {"/i"}, "could not be identified"},
    };
    test::SV3Package like = test::SamplePackage();
    like.ideFlashType = 1;
    like.banks.push_back(test::FillerBytes(0x10000, 9));
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoadRig(testing::kSampleDrive + c.drive);
        PlugIdeBus();
        // A noisy vendor page must not keep the drive from being chosen.
        settings_.HardwareID = 0;
        std::vector<std::string> args = c.options;
        args.push_back(File("like.ytr", test::BuildV3(like)));
        args.push_back("out.ytr");
        EXPECT_EQ(Backup(args), kBackupFailed);
        EXPECT_NE(console_.Text().find(c.says), std::string::npos) << console_.Text();
        EXPECT_NE(console_.Text().find("No backup was written.\n"), std::string::npos);
        // Nothing but the package: no backup, no temporary file.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    }
}

TEST_F(BackupTest, TheDriveIsChosenByTheMatchingRulesTheMenuOrN) {
    // Drive 0 is another model; 1 and 2 fit the package.
    LoadRig("[other]\nvendor = ZERV\nproduct = QLX-9999\nhardware_id = Q7\n" + testing::kSampleDrive +
            "[second]\nvendor = ZERV\nproduct = DVD-RW QLX-1600\nrevision = 1.03\nhardware_id = Q7\n");
    File("like.ytr", test::BuildV3(test::SamplePackage()));
    struct SCase {
        std::vector<std::string> options;
        const char* keys;
        const char* says;
        bool written;
    };
    const SCase cases[] = {
        {{}, "2\n", "Drive to Back Up : ZERV    DVD-RW QLX-1600  1.03", true},
        {{}, "0\n", "Input error.\n", false},
        {{"/n1"}, "", "Drive to Back Up : ZERV    DVD-RW QLX-1600  1.02", true},
        {{"/n0"}, "", "No matched devices !\n", false},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.keys + (c.options.empty() ? std::string() : c.options[0]));
        fs::remove(dir_ / "out.ytr");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"like.ytr", "out.ytr"});
        EXPECT_EQ(Backup(args, c.keys), c.written ? kBackupOk : kBackupFailed);
        const std::string text = console_.Text();
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        const bool menu = c.options.empty();
        EXPECT_EQ(text.find("Please choose the working device and press Enter :\n1: ") != std::string::npos, menu);
        EXPECT_EQ(text.find("\n0: "), std::string::npos);
        EXPECT_EQ(fs::exists(dir_ / "out.ytr"), c.written);
    }
}

// Page by page and ALI's 16 KB pages leave bytes of the image unsent, and
// the drive checks the sum of what it received: the backup must hold zeros
// there, or it could never be flashed back.
TEST_F(BackupTest, BytesAProtocolNeverSendsAreLeftOutAndTheBackupFlashesBackToTheStart) {
    struct SCase {
        const char* controller;
        uint8_t type;
        uint32_t stride;
        const char* note;
    };
    const SCase cases[] = {
        {"mtk", kAtapiMtk, 0x20000, "Note: 4 byte(s)"},  // the last two bytes of two pages
        {"ali", kAtapiAli, 0x10100, "Note: 256 byte(s)"},  // behind the last whole 16 KB page
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.controller);
        fs::remove(dir_ / "out.ytr");
        LoadRig(std::string("[d]\ncontroller = ") + c.controller + "\nflash_size = 0x40000\n");
        const auto package = [&](uint32_t seed, const char* version) {
            test::SV3Package p = test::SamplePackage(c.stride);
            p.atapiFlashType = c.type;
            p.encoding = 0;
            p.banks[0] = test::FillerBytes(c.stride, seed);
            test::SInfoBlock info = test::SampleInfo();
            info.version = version;
            test::PutInfoBlock(p.banks[0], 0x8000, info);
            // What the protocol never sends is zero in a package meant for it.
            if (c.type == kAtapiAli) {
                std::fill(p.banks[0].begin() + 0x10000, p.banks[0].end(), uint8_t{0});
            } else {
                for (uint32_t at = 0xFFFE; at < 0x10000; ++at) p.banks[0][at] = p.banks[0][at + 0x10000] = 0;
            }
            return test::BuildV3(p);
        };
        File("first.ytr", package(1, "1.10"));
        File("second.ytr", package(2, "1.20"));

        ASSERT_EQ(Flash("first.ytr"), std::nullopt);
        const Bytes start(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end());
        ASSERT_EQ(Backup({"second.ytr", "out.ytr"}), kBackupOk) << console_.Text();
        EXPECT_NE(console_.Text().find(c.note), std::string::npos) << console_.Text();
        ASSERT_EQ(Flash("second.ytr"), std::nullopt);
        ASSERT_NE(Bytes(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end()), start);
        ASSERT_EQ(Flash("out.ytr"), std::nullopt);
        EXPECT_EQ(Bytes(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end()), start);
    }
}

}  // namespace
}  // namespace jv
