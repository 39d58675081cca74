// The backup program against virtual drives: the package it writes loads
// back as written, a read that fails or reads differently leaves no file,
// the drive is chosen as the update run chooses it, and a backup flashes
// back to the very bytes it was read from where a protocol leaves bytes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "UpdateRunFixture.h"
#include "readback/Backup.h"
#include "readback/Reader.h"
#include "flash/Flashknl.h"
#include "flash/Flashmcu.h"
#include "flash/FlashmcuIde.h"
#include "package/FirmwareImage.h"
#include "package/PackageWriter.h"
#include "readback/Verify.h"
#include "util/Tool.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

TEST(PackageWriterTest, WhatItWritesLoadsBackAndWhatCannotLoadIsRefused) {
    // Type 6 sums all but the last 8 bytes; bank 0 leaves a gap the package cannot carry.
    SYTRParameter record;
    record.IdeFlashType = 4;
    record.AtapiFlashType = kAtapiMtk5;
    record.KernelType = 5;
    record.MaxBankSize = 0x10000;
    record.BankSizes = {0xFFFE, 0x10000};
    record.ReserveBlocks = {{0x1FD00, 0x300}, {0x100, 0x80}};
    record.KernelAddress = 0x200;
    record.KernelLength = 0x40;
    const Bytes image = test::FillerBytes(0x20000, 3);
    Bytes expected = image;
    expected[0xFFFE] = expected[0xFFFF] = 0;

    const auto package = BuildYtr3(record, image);
    ASSERT_TRUE(package.has_value());
    EXPECT_EQ(GetYtrLength(*package), package->size());
    ASSERT_EQ(GetImageSize(*package), image.size());
    SYTRParameter loaded;
    Bytes back(image.size(), 0);
    ASSERT_TRUE(LoadYtr(*package, loaded, back));
    EXPECT_EQ(back, expected);
    EXPECT_EQ(loaded.HeaderCheckSum, static_cast<uint16_t>(test::ReferenceSum(expected, true)));
    EXPECT_EQ(std::tie(loaded.IdeFlashType, loaded.AtapiFlashType, loaded.KernelType, loaded.MaxBankSize,
                       loaded.BankSizes, loaded.KernelAddress, loaded.KernelLength),
              std::tie(record.IdeFlashType, record.AtapiFlashType, record.KernelType, record.MaxBankSize,
                       record.BankSizes, record.KernelAddress, record.KernelLength));
    ASSERT_EQ(loaded.ReserveBlocks.size(), 2u);
    EXPECT_EQ(loaded.ReserveBlocks[1].Address + loaded.ReserveBlocks[1].Length, 0x180u);

    // A reserved block reaching past the image is taken, as the loader takes it.
    SYTRParameter past = record;
    past.ReserveBlocks.push_back({0x1000, 0x10});
    past.ReserveBlocks[0].Length = 0x308;
    const auto withBlock = BuildYtr3(past, image);
    ASSERT_TRUE(withBlock.has_value());
    ASSERT_TRUE(LoadYtr(*withBlock, loaded, back));
    EXPECT_EQ(loaded.ReserveBlocks.size(), 3u);

    // Records the loader would refuse, or that do not fit the image.
    SYTRParameter bad = record;
    bad.BankSizes.back() = 0x10001;
    EXPECT_FALSE(BuildYtr3(bad, image).has_value());
    for (const SYTRReserveBlock block : {SYTRReserveBlock{0x20000, 1}, SYTRReserveBlock{0x17F, 2}}) {
        bad = record;
        bad.ReserveBlocks.push_back(block);  // outside the image; on another block
        EXPECT_FALSE(BuildYtr3(bad, image).has_value());
    }
    EXPECT_FALSE(BuildYtr3(record, std::span(image).first(image.size() - 1)).has_value());
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

    int Verify(std::vector<std::string> arguments) {
        console_.ClearTranscript();
        arguments.insert(arguments.begin(), "jorvane-verify");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        const SVerifyCommandLine args = ParseVerifyCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_FALSE(args.argumentError);
        return VerifyRun(settings_, args);
    }

    // A package file flashed as the updater flashes it, through the drive's own firmware.
    FlashResult Flash(const std::string& name) {
        Bytes file(GetFileLength(name));
        EXPECT_TRUE(ReadFileBinary(name, static_cast<uint32_t>(file.size()), file.data()));
        SYTRParameter header;
        Bytes image(GetImageSize(file), 0);
        EXPECT_TRUE(LoadYtr(file, header, image));
        SFlashOptions options;
        options.atapiFlash = 1;
        options.silent = 1;
        return FlashImage(0, image, static_cast<uint32_t>(image.size()), header, options, false);
    }

    Bytes Cells() { return Bytes(Drive(0).Flash().Bytes().begin(), Drive(0).Flash().Bytes().end()); }
};

TEST_F(BackupTest, AReadThatFailsOrDisagreesLeavesNoFileAndSaysWhere) {
    struct SCase {
        const char* name;
        const char* drive;  // rig keys added to the sample drive
        std::vector<std::string> options;
        const char* says;
        uint8_t atapiType = kAtapiMtk6;
    };
    const SCase cases[] = {
        // Banks of 64 KB cannot go bank by bank: no backup like it could be flashed back.
        {"a package its protocol cannot send", "", {}, "The package's flash protocol sends nothing", kAtapiMtk3},
        {"a block beyond the drive's flash", "flash_size = 0x10000\n", {},
         "Reading the flash failed at block 010000h: ILLEGAL REQUEST (05/24/00).\n"},
        // Every read ends GOOD with half the block: no zeros pass for the rest.
        {"reads that bring half a block", "short_read = yes\n", {},
         "Reading the flash failed at block 000000h: the drive returned 128 of 256 bytes.\n"},
        {"reads that are never answered", "hang_opcode = 5A\n", {},
         "Reading the flash failed at block 000000h: no answer within 20 s.\n"},
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
        like.atapiFlashType = c.atapiType;
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
    test::SV3Package like = test::SamplePackage();
    like.atapiFlashType = kAtapiMtk6;
    File("like.ytr", test::BuildV3(like));
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
// there, or it could never be flashed back. What the route does send, gaps
// between banks and the byte behind an odd bank included, it must give back.
TEST_F(BackupTest, TheBackupFlashesBackToTheStartAtEveryByteItsRouteSends) {
    struct SCase {
        const char* name;
        const char* controller;
        uint8_t type;
        uint32_t stride;
        std::vector<uint32_t> firstBanks;  // the drive's firmware at the start
        std::vector<uint32_t> likeBanks;   // the package the backup is made like
        const char* note;                  // nullptr: not looked at
    };
    const SCase cases[] = {
        // The last two bytes of two pages.
        {"pages", "mtk", kAtapiMtk, 0x20000, {0x20000}, {0x20000}, "Note: 4 byte(s)"},
        // Behind the last whole 16 KB page.
        {"ali", "ali", kAtapiAli, 0x10100, {0x10100}, {0x10100}, "Note: 256 byte(s)"},
        // Pages send the 32,766 bytes of the gap behind the short bank.
        {"pages, a short bank", "mtk", kAtapiMtk, 0x20000, {0x20000, 0x20000}, {0x20000, 0x18000},
         "Note: 8 byte(s)"},
        // Banks go whole, an odd one with the byte behind it.
        {"banks, an odd one", "mtk", kAtapiMtk, 0x10000, {0xFFFE, 0xFFFE}, {0xFFFE, 0x8001}, nullptr},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "out.ytr");
        // Erased: what no route sends stays 0xFF, and the backup must say so.
        LoadRig(std::string("[d]\ncontroller = ") + c.controller + "\nflash_size = 0x40000\nflash_blank = yes\n");
        const auto package = [&](uint32_t seed, const char* version, const std::vector<uint32_t>& sizes) {
            Bytes image = test::FillerBytes(size_t{c.stride} * sizes.size(), seed);
            test::SInfoBlock info = test::SampleInfo();
            info.version = version;
            test::PutInfoBlock(image, 0x8000, info);
            // What the protocol never sends is zero in a package meant for it.
            if (c.type == kAtapiAli) {
                std::fill(image.begin() + image.size() / kAliPageLength * kAliPageLength, image.end(), uint8_t{0});
            } else if (c.stride != kFlashPageStride) {
                for (size_t page = kFlashPageStride; page <= image.size(); page += kFlashPageStride) {
                    image[page - 2] = image[page - 1] = 0;
                }
            }
            test::SV3Package p = test::SamplePackage(c.stride);
            p.atapiFlashType = c.type;
            p.encoding = 0;
            p.banks.clear();
            for (size_t i = 0; i < sizes.size(); ++i) {
                const auto start = image.begin() + static_cast<std::ptrdiff_t>(i * c.stride);
                p.banks.emplace_back(start, start + sizes[i]);
            }
            return test::BuildV3(p);
        };
        File("first.ytr", package(1, "1.10", c.firstBanks));
        File("second.ytr", package(2, "1.20", c.likeBanks));

        ASSERT_EQ(Flash("first.ytr"), std::nullopt);
        const Bytes start = Cells();
        ASSERT_EQ(Backup({"second.ytr", "out.ytr"}), kBackupOk) << console_.Text();
        if (c.note) {
            EXPECT_NE(console_.Text().find(c.note), std::string::npos) << console_.Text();
        }
        ASSERT_EQ(Flash("second.ytr"), std::nullopt);
        ASSERT_NE(Cells(), start);
        ASSERT_EQ(Flash("out.ytr"), std::nullopt);
        const Bytes end = Cells();
        const auto differs = std::mismatch(end.begin(), end.end(), start.begin());
        EXPECT_EQ(differs.first, end.end()) << "first at " << std::hex << differs.first - end.begin();
    }
}

// What the flash holds is checked, not trusted: a new drive holds firmware
// that says what the drive reports, an erased one gives nothing to stand on
// (no backup, no twin, no verify), and another model's firmware is noted.
TEST_F(BackupTest, TheFlashReadBackMustHoldFirmwareAndAnotherModelsIsNoted) {
    const std::string none = "The flash read back holds no firmware information block: nothing was written.\n";
    const std::string note = "Note: the flash holds firmware ZERV    DVD-RW QLX-9999 3.00; the drive reports ZERV    "
                             "DVD-RW QLX-1600 1.02.\n";
    struct SCase {
        const char* name;
        const char* drive;  // rig keys added to the sample drive
        bool crossFlashed;  // the flash then gets another model's firmware
        int backup;         // with its twin
        int verify;
        std::string backupSays;
        std::string verifySays;
    };
    const SCase cases[] = {
        {"a new drive", "", false, kBackupOk, kVerifyDiffers,
         "Model Name               : ZERV    DVD-RW QLX-1600 \nVersion                  : 1.02\n"
         "Date Code                : 050101\n",
         "The drive's flash differs"},
        {"an erased drive", "flash_blank = yes\n", false, kBackupFailed, kVerifyUnreadable, none, none},
        {"another model's firmware", "", true, kBackupOk, kVerifyDiffers, note, note},
    };
    test::SV3Package like = test::SamplePackage();
    like.atapiFlashType = kAtapiMtk6;
    File("like.ytr", test::BuildV3(like));
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* name : {"out.ytr", "twin.ini", "twin-flash.bin"}) fs::remove(dir_ / name);
        LoadRig(testing::kSampleDrive + c.drive);
        if (c.crossFlashed) {
            Drive(0).Flash().EraseAll();
            const SFirmwareIdentity other{"ZERV", "DVD-RW QLX-9999", "3.00", "070707", "Q7"};
            Drive(0).Flash().Program(0, BuildFirmwareImage(other, 0x10000));
        }
        EXPECT_EQ(Backup({"/rtwin.ini", "like.ytr", "out.ytr"}), c.backup);
        const std::string backupText = console_.Text();
        EXPECT_NE(backupText.find(c.backupSays), std::string::npos) << backupText;
        EXPECT_EQ(backupText.find("Note: the flash") != std::string::npos, c.crossFlashed) << backupText;
        for (const char* name : {"out.ytr", "twin.ini", "twin-flash.bin"}) {
            EXPECT_EQ(fs::exists(dir_ / name), c.backup == kBackupOk) << name;
        }
        EXPECT_EQ(Verify({"like.ytr"}), c.verify);
        EXPECT_NE(console_.Text().find(c.verifySays), std::string::npos) << console_.Text();
    }
}

// The room is known before the drive is read: files on one volume add up,
// each in whole units, and a file larger than the process may write is
// told as such.
TEST(RoomRefusalTest, FilesOfOneVolumeAddUpInWholeUnits) {
    const auto roomOf = [](const std::string& name) -> std::optional<SFolderRoom> {
        if (name.starts_with("unknown/")) return std::nullopt;
        SFolderRoom room{10000, 1000, 6000, name.substr(0, name.find('/'))};
        return room;
    };
    struct SCase {
        std::vector<SPlannedFile> files;
        const char* says;  // nothing: they fit
    };
    const SCase cases[] = {
        {{{"a/out.ytr", 5000}, {"b/twin-flash.bin", 5000}}, nullptr},
        {{{"a/out.ytr", 5000}, {"a/twin-flash.bin", 5000}}, nullptr},
        {{{"a/out.ytr", 5000}, {"a/twin-flash.bin", 4001}, {"a/twin.ini", 1}},
         "Not enough free space for a/out.ytr, a/twin-flash.bin and a/twin.ini: they take up to 11000 bytes, and "
         "10000 are free there.\n"},
        {{{"a/out.ytr", 6001}},
         "a/out.ytr would take 6001 bytes, more than the 6000 this process may write to one file (ulimit -f).\n"},
        {{{"unknown/out.ytr", 1u << 30}}, nullptr},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.files.front().name + " and " + std::to_string(c.files.size() - 1) + " more");
        const std::optional<std::string> refusal = RoomRefusal(c.files, roomOf);
        EXPECT_EQ(refusal.value_or("fits"), c.says != nullptr ? c.says : "fits");
    }
}

}  // namespace
}  // namespace jv
