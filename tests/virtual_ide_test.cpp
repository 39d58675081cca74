// The virtual drive's IDE side: the controller registers and the flash chips
// behind them. The chips are driven both directly on their bus and through
// the program's own register routines, so a chip that answers too kindly or a
// controller that decodes its registers wrongly shows up here.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

#include "flash/FlashmcuIde.h"
#include "flash/IdeChannel.h"
#include "flash/Flashrom.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Ports.h"
#include "platform/RecordingConsole.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualIde.h"

namespace jv::sim {
namespace {

constexpr uint16_t kData = 0x1F0, kFeatures = 0x1F1, kCount = 0x1F2, kSector = 0x1F3, kCylLow = 0x1F4,
                   kCylHigh = 0x1F5, kDevice = 0x1F6, kCommand = 0x1F7, kAltStatus = 0x3F6;

// The chip tests start from an erased chip, to see each cell a command programs.
SDriveConfig IdeDrive(EIdeController controller, uint8_t chip, uint32_t flashSize = 0x20000) {
    SDriveConfig config;
    config.flashBlank = true;
    config.flashSize = flashSize;
    config.ide.controller = controller;
    config.ide.chipType = chip;
    return config;
}

class VirtualIdeTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&clock_);
        SetConsole(&console_);
        ResetIdeAccess();
        ClearIdeAccessFault();
    }
    void TearDown() override {
        ReleaseIdeChannel();
        SetPorts(nullptr);
        SetConsole(nullptr);
        SetClock(nullptr);
        ResetIdeAccess();
        ClearIdeAccessFault();
    }
    // Drive 0 of a fresh machine, on the primary channel as master.
    VirtualDrive& Machine(SDriveConfig config, SDriveConfig* slave = nullptr) {
        drives_.clear();
        drives_.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        if (slave) drives_.push_back(std::make_unique<VirtualDrive>(*slave));
        std::vector<VirtualDrive*> raw;
        for (auto& d : drives_) raw.push_back(d.get());
        bus_ = std::make_unique<VirtualIdeBus>(raw);
        ports_ = std::make_unique<BusPorts>(*bus_);
        SetPorts(ports_.get());
        ClearIdeAccessFault();
        Hold(0);
        return *drives_[0];
    }
    // The register routines reach drive i of the machine where it sits.
    static void Hold(EDriveIndex drive) {
        SIdeLocation at = drive < 2 ? kLegacyPrimary : kLegacySecondary;
        at.device = static_cast<uint8_t>(drive % 2);
        HoldIdeChannel(drive, at);
    }
    VirtualFlashChip& Chip() { return *bus_->Channel(0).Chip(0); }

    // A serial command through the program's MTK2 routines.
    std::vector<uint8_t> Serial(std::vector<uint8_t> out, size_t in = 0, EDriveIndex drive = 0) {
        std::vector<uint8_t> reply(in, 0xEE);
        EXPECT_TRUE(SerialCommand(drive, out, reply));
        return reply;
    }
    uint8_t Rdsr() { return Serial({0x05}, 1)[0]; }
    // As a flash job starts: the routines, the access mode, then the chip.
    uint8_t IdentifySerial(EDriveIndex drive = 0) {
        Hold(drive);
        SelectIdeAccess(kIdeMtk2);
        IdeInitialise(drive);
        return IdentifySerialChip(drive, kIdeMtk2);
    }

    VirtualClock clock_;
    RecordingConsole console_;
    std::vector<std::unique_ptr<VirtualDrive>> drives_;
    std::unique_ptr<VirtualIdeBus> bus_;
    std::unique_ptr<BusPorts> ports_;
};

// ---- identification ----

TEST_F(VirtualIdeTest, EveryChipIsIdentifiedFromItsOwnCodes) {
    for (uint8_t type = 0; type < kChipTypes; ++type) {
        SCOPED_TRACE(static_cast<int>(type));
        bool serial = IsSerialChip(type);
        Machine(IdeDrive(serial ? EIdeController::Mtk2 : EIdeController::Mtk, type));
        uint8_t found = serial ? IdentifySerial(0) : IdentifyParallelChip(0, kIdeMtk);
        EXPECT_EQ(found, type);
        EXPECT_FALSE(IdeAccessFault().has_value());
        // Identification leaves the part reading its array.
        EXPECT_FALSE(Chip().InIdMode());
    }
}

TEST_F(VirtualIdeTest, AlternativeDeviceCodesAndOtherControllersIdentifyTheSameChip) {
    for (int type : {0, 4, 14}) {
        SDriveConfig config = IdeDrive(EIdeController::Mtk, static_cast<uint8_t>(type));
        config.ide.chip.variant = true;
        Machine(config);
        EXPECT_EQ(IdentifyParallelChip(0, kIdeMtk), type);
    }
    Machine(IdeDrive(EIdeController::Ali, 9));
    EXPECT_EQ(IdentifyParallelChip(0, kIdeAli), 9);
    Machine(IdeDrive(EIdeController::Ali2, 7, 0x80000));
    EXPECT_EQ(IdentifyParallelChip(0, kIdeAli2), 7);
    SDriveConfig direct = IdeDrive(EIdeController::Mtk2, 27);
    direct.ide.directLayout = true;
    Machine(direct);
    EXPECT_EQ(IdentifySerial(0), 27);
    EXPECT_EQ(SerialModeByte(), 0x73);
}

TEST_F(VirtualIdeTest, ChipsAnswerOnlyTheirOwnIdentificationSequence) {
    FlashMemory cells(0x20000);
    const uint8_t contents[2] = {0x12, 0x34};
    cells.Program(0, contents);
    auto cycles = [](VirtualFlashChip& chip, std::initializer_list<std::pair<uint32_t, uint8_t>> list) {
        for (auto [a, v] : list) chip.BusWrite(a, v);
    };
    // Sequence B on a sequence-A part, and the reverse: the array answers.
    VirtualFlashChip amic(0, cells, {});
    cycles(amic, {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x90}});
    EXPECT_EQ(amic.BusRead(0), 0x12);
    cycles(amic, {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x90}});
    EXPECT_EQ(amic.BusRead(0), 0x37);
    EXPECT_EQ(amic.BusRead(1), 0xA1);
    amic.BusWrite(0, 0xF0);
    EXPECT_EQ(amic.BusRead(1), 0x34);

    VirtualFlashChip sst(2, cells, {});
    cycles(sst, {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x90}});
    EXPECT_EQ(sst.BusRead(0), 0x12);
    // A cycle out of place breaks the sequence.
    cycles(sst, {{0x5555, 0xAA}, {0x2AAB, 0x55}, {0x5555, 0x90}});
    EXPECT_EQ(sst.BusRead(0), 0x12);
    cycles(sst, {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x90}});
    EXPECT_EQ(sst.BusRead(1), 0xB5);

    // The page-write part takes only its six-cycle entry.
    VirtualFlashChip winbond(5, cells, {});
    cycles(winbond, {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x90}});
    EXPECT_FALSE(winbond.InIdMode());
    cycles(winbond, {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0x80}, {0x5555, 0xAA}, {0x2AAA, 0x55},
                     {0x5555, 0x60}});
    EXPECT_EQ(winbond.BusRead(0), 0xDA);
    EXPECT_EQ(winbond.BusRead(1), 0xC1);
    cycles(winbond, {{0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0xF0}});
    EXPECT_EQ(winbond.BusRead(0), 0x12);

    // EON parts answer their continuation code at 0x100.
    VirtualFlashChip eon(7, cells, {});
    cycles(eon, {{0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x90}});
    EXPECT_EQ(eon.BusRead(0x100), 0x1C);
    EXPECT_EQ(eon.BusRead(0x101), 0x04);
}

// ---- parallel programming and erase ----

TEST_F(VirtualIdeTest, ParallelCellsOnlyProgramDownAndCommandsNeedTheirAddresses) {
    FlashMemory cells(0x20000);
    VirtualFlashChip pa(0, cells, {});
    auto programA = [&](uint32_t a, uint8_t v) {
        pa.BusWrite(0x555, 0xAA), pa.BusWrite(0x2AA, 0x55), pa.BusWrite(0x555, 0xA0), pa.BusWrite(a, v);
    };
    programA(0x10, 0xF0);
    EXPECT_EQ(pa.BusRead(0x10), 0xF0);
    programA(0x10, 0x0F);  // no erase in between: the bits that were 0 stay 0
    EXPECT_EQ(pa.BusRead(0x10), 0x00);
    // The same command at the other unlock addresses, or a bare write, is ignored.
    pa.BusWrite(0x5555, 0xAA), pa.BusWrite(0x2AAA, 0x55), pa.BusWrite(0x5555, 0xA0), pa.BusWrite(0x20, 0x00);
    pa.BusWrite(0x21, 0x00);
    EXPECT_EQ(pa.BusRead(0x20), 0xFF);
    EXPECT_EQ(pa.BusRead(0x21), 0xFF);
    EXPECT_EQ(cells.Read(0x20), 0xFF);

    // PMC parts identify on the low pair and program on the high pair.
    FlashMemory pmcCells(0x20000);
    VirtualFlashChip pmc(3, pmcCells, {});
    pmc.BusWrite(0x555, 0xAA), pmc.BusWrite(0x2AA, 0x55), pmc.BusWrite(0x555, 0xA0), pmc.BusWrite(0x30, 0x00);
    EXPECT_EQ(pmc.BusRead(0x30), 0xFF);
    pmc.BusWrite(0x5555, 0xAA), pmc.BusWrite(0x2AAA, 0x55), pmc.BusWrite(0x5555, 0xA0), pmc.BusWrite(0x30, 0x5A);
    EXPECT_EQ(pmc.BusRead(0x30), 0x5A);
}

TEST_F(VirtualIdeTest, ParallelEraseTakesTimeAndPollsOnDq7) {
    FlashMemory cells(0x20000);
    const uint8_t zeros[4] = {0, 0, 0, 0};
    cells.Program(0, zeros);
    VirtualFlashChip chip(0, cells, {});
    for (auto [a, v] : std::initializer_list<std::pair<uint32_t, uint8_t>>{
             {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x80}, {0x555, 0xAA}, {0x2AA, 0x55}, {0x555, 0x10}})
        chip.BusWrite(a, v);
    uint8_t first = chip.BusRead(0), second = chip.BusRead(0);
    EXPECT_EQ(first & 0x80, 0);
    EXPECT_EQ(second & 0x80, 0);
    EXPECT_NE(first & 0x40, second & 0x40);  // DQ6 toggles while the part works
    // Commands are not heard while it is busy.
    chip.BusWrite(0x555, 0xAA), chip.BusWrite(0x2AA, 0x55), chip.BusWrite(0x555, 0xA0), chip.BusWrite(8, 0x00);
    clock_.Advance(kEraseMsPA - 1);
    EXPECT_TRUE(chip.Busy());
    clock_.Advance(1);
    EXPECT_EQ(chip.BusRead(0), 0xFF);
    EXPECT_EQ(chip.BusRead(8), 0xFF);
}

TEST_F(VirtualIdeTest, WinbondPageIsLostWithoutItsPageStartCycles) {
    FlashMemory cells(0x20000);
    VirtualFlashChip chip(5, cells, {});
    auto pageStart = [&] { chip.BusWrite(0x5555, 0xAA), chip.BusWrite(0x2AAA, 0x55), chip.BusWrite(0x5555, 0xA0); };
    for (uint32_t i = 0; i < 128; ++i) chip.BusWrite(0x100 + i, 0x11);
    EXPECT_EQ(chip.BusRead(0x100), 0xFF);
    EXPECT_EQ(chip.BusRead(0x17F), 0xFF);

    pageStart();
    for (uint32_t i = 0; i < 128; ++i) chip.BusWrite(0x100 + i, static_cast<uint8_t>(i));
    EXPECT_TRUE(chip.Busy());  // the page write time
    EXPECT_EQ(chip.BusRead(0x17F) & 0x80, 0x80);  // DQ7: complement of 0x7F's bit 7
    clock_.Advance(kPageWriteMs);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(chip.BusRead(0x100 + i), i);

    // A byte of another page ends the load and is itself lost.
    pageStart();
    chip.BusWrite(0x200, 0x00);
    chip.BusWrite(0x280, 0x00);
    clock_.Advance(kPageWriteMs);
    EXPECT_EQ(chip.BusRead(0x200), 0x00);
    EXPECT_EQ(chip.BusRead(0x280), 0xFF);

    // A load that stops inside its page is written once no byte has come for
    // the load time-out, with nobody touching the part.
    pageStart();
    chip.BusWrite(0x300, 0x00);
    chip.BusWrite(0x301, 0x00);
    chip.Settle();
    EXPECT_EQ(cells.Read(0x301), 0xFF);
    clock_.Advance(1);
    chip.Settle();
    EXPECT_EQ(cells.Read(0x301), 0x00);
    EXPECT_TRUE(chip.Busy());
    clock_.Advance(kPageWriteMs);
    EXPECT_FALSE(chip.Busy());
}

TEST_F(VirtualIdeTest, ProgramRoutinesOfEveryParallelFamilyLeaveTheImageInTheChip) {
    struct Case {
        EIdeController controller;
        uint8_t ideType;
        uint8_t chip;
    };
    std::vector<uint8_t> image(0x1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    for (Case c : {Case{EIdeController::Mtk, kIdeMtk, 0}, Case{EIdeController::Ali, kIdeAli, 2},
                   Case{EIdeController::Ali2, kIdeAli2, 5}, Case{EIdeController::Mtk, kIdeMtk, 9}}) {
        SCOPED_TRACE(static_cast<int>(c.chip));
        VirtualDrive& drive = Machine(IdeDrive(c.controller, c.chip));
        std::vector<uint8_t> old(0x2000, 0x00);
        drive.Flash().Program(0, old);  // what was there must be erased first
        ASSERT_EQ(IdentifyParallelChip(0, c.ideType), c.chip);
        SelectChipAlgorithm(c.chip);
        EXPECT_TRUE(ChipRoutines().EraseChip(0));
        for (uint32_t a = 0; a < image.size(); ++a) {
            ChipRoutines().ProgramByte(0, a, image[a], a + 1 == image.size());
        }
        clock_.Advance(kPageWriteMs);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), drive.Flash().Bytes().begin()));
        EXPECT_EQ(ReadFlashByte(0, 0x123), image[0x123]);
        EXPECT_FALSE(IdeAccessFault().has_value());
    }
}

// ---- serial chips ----

TEST_F(VirtualIdeTest, SerialWritesNeedWriteEnableEachTimeAndClearItAfter) {
    SDriveConfig config = IdeDrive(EIdeController::Mtk2, 27);
    config.ide.chip.protectedAtStart = 0;
    VirtualDrive& drive = Machine(config);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    std::vector<uint8_t> page{0x02, 0x00, 0x01, 0x00, 0x00, 0x11};
    Serial(page);
    EXPECT_EQ(drive.Flash().Read(0x100), 0xFF);
    Serial({0x06});
    EXPECT_EQ(Rdsr() & 3, 2);
    Serial(page);
    EXPECT_EQ(Rdsr() & 1, 1);  // the page program shows busy
    while (Rdsr() & 1) {
    }
    EXPECT_EQ(Rdsr() & 2, 0);  // and drops write enable when done
    EXPECT_EQ(drive.Flash().Read(0x100), 0x00);
    EXPECT_EQ(drive.Flash().Read(0x101), 0x11);
    page[4] = 0xF0;
    page[1] = 0x00, page[2] = 0x02;
    Serial(page);  // the latch is gone: not written
    EXPECT_EQ(drive.Flash().Read(0x200), 0xFF);

    // Erase: busy for its time, with WIP and WEL set, then both clear.
    Serial({0x06});
    Serial({0xC7});
    EXPECT_EQ(Rdsr() & 3, 3);
    clock_.Advance(kEraseMsSerial);
    EXPECT_EQ(Rdsr() & 3, 0);
    EXPECT_EQ(drive.Flash().Read(0x100), 0xFF);
    // Reads of the array are not answered while busy, and stream afterwards.
    Serial({0x06});
    Serial({0xC7});
    EXPECT_EQ(Serial({0x03, 0, 0, 0}, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
    clock_.Advance(kEraseMsSerial);
    Serial({0x06});
    Serial({0x02, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03});
    Rdsr(), Rdsr();
    EXPECT_EQ(Serial({0x0B, 0, 0, 1, 0}, 2), (std::vector<uint8_t>{0x02, 0x03}));
}

TEST_F(VirtualIdeTest, PageProgramWrapsInsideItsPage) {
    SDriveConfig config = IdeDrive(EIdeController::Mtk2, 20);
    config.ide.chip.protectedAtStart = 0;
    VirtualDrive& drive = Machine(config);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    std::vector<uint8_t> command{0x02, 0x00, 0x01, 0xF8};
    for (uint8_t i = 0; i < 16; ++i) command.push_back(i);
    Serial({0x06});
    Serial(command);
    for (uint8_t i = 0; i < 8; ++i) EXPECT_EQ(drive.Flash().Read(0x1F8 + i), i);
    for (uint8_t i = 8; i < 16; ++i) EXPECT_EQ(drive.Flash().Read(0x100 + i - 8), i);
    EXPECT_EQ(drive.Flash().Read(0x200), 0xFF);
    EXPECT_EQ(drive.Flash().Read(0x108), 0xFF);
}

TEST_F(VirtualIdeTest, ProtectionBitsBlockWritesUntilWrsrClearsThem) {
    VirtualDrive& drive = Machine(IdeDrive(EIdeController::Mtk2, 26));
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    EXPECT_NE(Rdsr() & 0x3C, 0);
    Serial({0x06});
    Serial({0xC7});
    EXPECT_EQ(Rdsr() & 3, 0);  // refused at once, the latch dropped
    Serial({0x06});
    Serial({0x02, 0, 0, 0, 0x00});
    EXPECT_EQ(drive.Flash().Read(0), 0xFF);
    Serial({0x01, 0x00});  // without WREN the status register stays
    EXPECT_NE(Rdsr() & 0x3C, 0);
    Serial({0x06});
    Serial({0x01, 0x00});
    EXPECT_EQ(Rdsr(), 0);
    Serial({0x06});
    Serial({0x02, 0, 0, 0, 0x00});
    EXPECT_EQ(drive.Flash().Read(0), 0x00);

    // The SST parts take EWSR in place of WREN for the status register.
    Machine(IdeDrive(EIdeController::Mtk2, 15));
    IdeInitialise(0);
    EXPECT_EQ(Rdsr() & 0x3C, 0x1C);
    Serial({0x50});
    Serial({0x01, 0x00});
    EXPECT_EQ(Rdsr(), 0);
}

TEST_F(VirtualIdeTest, AaiModeTakesOnlyAaiStatusReadAndWriteDisable) {
    SDriveConfig config = IdeDrive(EIdeController::Mtk2, 15);
    config.ide.chip.protectedAtStart = 0;
    VirtualDrive& drive = Machine(config);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    Serial({0xAF, 0x00, 0x10, 0x00, 0x01});  // no WREN: no AAI mode
    EXPECT_FALSE(Chip().InAaiMode());
    Serial({0x06});
    Serial({0xAF, 0x00, 0x10, 0x00, 0x01});
    EXPECT_TRUE(Chip().InAaiMode());
    Serial({0xAF, 0x02});
    Serial({0x06});                       // ignored
    Serial({0x02, 0x00, 0x20, 0x00, 0x00});  // ignored
    EXPECT_EQ(Serial({0x03, 0x00, 0x10, 0x00}, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(Rdsr() & 0x42, 0x42);
    Serial({0xAF, 0x03});
    Serial({0x04});
    EXPECT_FALSE(Chip().InAaiMode());
    EXPECT_EQ(Rdsr() & 2, 0);
    EXPECT_EQ(drive.Flash().Read(0x1000), 0x01);
    EXPECT_EQ(drive.Flash().Read(0x1001), 0x02);
    EXPECT_EQ(drive.Flash().Read(0x1002), 0x03);
    EXPECT_EQ(drive.Flash().Read(0x2000), 0xFF);
    Serial({0xAF, 0x04});  // outside AAI mode the short form means nothing
    EXPECT_EQ(drive.Flash().Read(0x1003), 0xFF);

    // The word part programs pairs with AD and ignores AF.
    config.ide.chipType = 19;
    VirtualDrive& word = Machine(config);
    IdeInitialise(0);
    Serial({0x06});
    Serial({0xAF, 0x00, 0x00, 0x00, 0x55});
    EXPECT_FALSE(Chip().InAaiMode());
    Serial({0xAD, 0x00, 0x00, 0x01, 0x10, 0x11});  // an odd address starts at the word
    Serial({0xAD, 0x12, 0x13});
    Serial({0x04});
    EXPECT_EQ(word.Flash().Read(0), 0x10);
    EXPECT_EQ(word.Flash().Read(3), 0x13);
}

TEST_F(VirtualIdeTest, SerialProgramRoutinesOfEveryFamilyLeaveTheImageInTheChip) {
    std::vector<uint8_t> image(0x1000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    for (uint8_t type : std::vector<uint8_t>{15, 19, 20, 21, 34}) {
        SCOPED_TRACE(static_cast<int>(type));
        VirtualDrive& drive = Machine(IdeDrive(EIdeController::Mtk2, type));
        std::vector<uint8_t> old(0x2000, 0x00);
        drive.Flash().Program(0, old);
        ASSERT_EQ(IdentifySerial(0), type);
        SelectChipAlgorithm(type);
        EXPECT_FALSE(ChipRoutines().WriteSerialFlashROM(0, image, static_cast<uint32_t>(image.size()), true));
        EXPECT_FALSE(IdeAccessFault().has_value());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), drive.Flash().Bytes().begin()));
        std::vector<uint8_t> back(image.size());
        EXPECT_TRUE(ChipRoutines().ReadChip(0, static_cast<uint32_t>(back.size()), back, true));
        EXPECT_EQ(back, image);
        EXPECT_EQ(drive.Flash().Read(0x1000), 0xFF);  // erased past the image
    }
}

// ---- faults ----

TEST_F(VirtualIdeTest, FaultsUnknownCodesStuckByteAndEndlessBusy) {
    SDriveConfig unknown = IdeDrive(EIdeController::Mtk, 8);
    unknown.ide.chip.unknownId = true;
    Machine(unknown);
    EXPECT_EQ(IdentifyParallelChip(0, kIdeMtk), 2);
    unknown = IdeDrive(EIdeController::Mtk2, 27);
    unknown.ide.chip.unknownId = true;
    Machine(unknown);
    EXPECT_EQ(IdentifySerial(0), 15);

    FlashMemory cells(0x20000);
    SChipFaults stuck;
    stuck.stuckBytes = {0x42};
    VirtualFlashChip chip(2, cells, stuck);
    for (uint32_t a : {0x41u, 0x42u}) {
        chip.BusWrite(0x5555, 0xAA), chip.BusWrite(0x2AAA, 0x55), chip.BusWrite(0x5555, 0xA0);
        chip.BusWrite(a, 0x00);
    }
    EXPECT_EQ(chip.BusRead(0x41), 0x00);
    EXPECT_EQ(chip.BusRead(0x42), 0xFF);

    SChipFaults busy;
    busy.staysBusy = true;
    FlashMemory serialCells(0x20000);
    VirtualFlashChip serial(36, serialCells, busy);
    for (uint8_t op : std::vector<uint8_t>{0x06, 0xC7}) {
        serial.Select();
        serial.Shift(op);
        serial.Deselect();
    }
    clock_.Advance(3'600'000);
    EXPECT_TRUE(serial.Busy());
    EXPECT_EQ(serial.StatusRegister() & 1, 1);
}

TEST_F(VirtualIdeTest, AChipThatNeverLeavesBusyEndsTheHostWaitOnItsBound) {
    SDriveConfig config = IdeDrive(EIdeController::Mtk2, 36);
    config.ide.chip.staysBusy = true;
    Machine(config);
    // Each status poll costs the host a millisecond of virtual time here, so
    // the minute-long bound passes in few polls.
    clock_.SetTickPerCounterRead(1000);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    Serial({0x06});
    Serial({0xC7});
    uint64_t start = clock_.ElapsedMs();
    EXPECT_FALSE(WaitSerialStatus(0, 0, kEraseWaitMs));
    EXPECT_LE(clock_.ElapsedMs() - start, kEraseWaitMs + 1000);
}

// ---- the controller registers ----

TEST_F(VirtualIdeTest, MtkStepsOutOfOrderAreDroppedAndTheWrongKeyIsRefused) {
    VirtualDrive& drive = Machine(IdeDrive(EIdeController::Mtk, 2));
    VirtualIdeBus& bus = *bus_;
    bus.Write(kDevice, 0xA0);
    bus.Write(kSector, 0x57);  // the ALI key
    bus.Write(kCommand, 0x80);
    EXPECT_EQ(bus.Read(kCommand) & 0x01, 0x01);
    EXPECT_EQ(bus.Read(0x1F1), 0x04);
    EXPECT_FALSE(bus_->Channel(0).InFlashMode(0));
    bus.Write(kSector, 0x2A);
    bus.Write(kCommand, 0x80);
    EXPECT_TRUE(bus_->Channel(0).InFlashMode(0));
    EXPECT_EQ(bus.Read(kCommand), 0x70);
    // A byte write whose data step is missing writes nothing: the chip never
    // sees that unlock cycle, so the program command after it means nothing.
    auto write = [&](uint32_t a, uint8_t v, bool skipData) {
        uint8_t h = ((a >> 16) & 1) ? uint8_t{0x80} : uint8_t{0x00};
        bus.Write(kFeatures, static_cast<uint8_t>((a >> 17) & 7));
        bus.Write(kCount, h | 0x15);
        bus.Write(kCylLow, a & 0xFF);
        bus.Write(kCylHigh, (a >> 8) & 0xFF);
        bus.Write(kSector, v);
        bus.Write(kCount, h | 0x20);
        if (!skipData) bus.Write(kCount, h | 0x42);
        bus.Write(kCount, h | 0x01);
    };
    write(0x5555, 0xAA, true), write(0x2AAA, 0x55, false), write(0x5555, 0xA0, false);
    write(0x0ABCD, 0x3C, false);
    write(0x5555, 0xAA, false), write(0x2AAA, 0x55, false), write(0x5555, 0xA0, false);
    write(0x1ABCD, 0x3C, false);
    EXPECT_EQ(drive.Flash().Read(0x1ABCD), 0x3C);
    EXPECT_EQ(drive.Flash().Read(0x0ABCD), 0xFF);
    EXPECT_EQ(drive.Flash().Read(0x5555), 0xFF);

    // Finish: leave the mode, reset; the alternate status shows ready.
    bus.Write(kCommand, 0x81);
    bus.Write(kCommand, 0x08);
    EXPECT_FALSE(bus_->Channel(0).InFlashMode(0));
    EXPECT_EQ(bus.Read(kAltStatus) & 0x80, 0);
}

TEST_F(VirtualIdeTest, AliBankCodesSelectTheBankAndOthersAreRefused) {
    VirtualDrive& ali2 = Machine(IdeDrive(EIdeController::Ali2, 2, 0x80000));
    SelectIdeAccess(kIdeAli2);
    const uint8_t mark[1] = {0x77};
    ali2.Flash().Program(0x7ABCD, mark);
    EXPECT_EQ(ReadFlashByte(0, 0x7ABCD), 0x77);
    EXPECT_EQ(ReadFlashByte(0, 0x3ABCD), 0xFF);
    // Block reads take the ALI codes below 256 KB and the ALI2's own above.
    const uint8_t low[1] = {0x11};
    ali2.Flash().Program(0x1ABCD, low);
    std::vector<uint8_t> whole(0x80000, 0);
    EXPECT_TRUE(ReadFlashBytes(0, 0x80000, whole, true));
    EXPECT_TRUE(std::ranges::equal(whole, ali2.Flash().Bytes()));

    // An ALI part knows only four banks: 0xFF is refused and never asks for data.
    Machine(IdeDrive(EIdeController::Ali, 2));
    VirtualIdeBus& bus = *bus_;
    bus.Write(kDevice, 0xA0);
    bus.Write(kSector, 0x57);
    bus.Write(kCommand, 0x80);
    bus.Write(kFeatures, 0xFF);
    bus.Write(kCount, 0xFF);
    bus.Write(kCommand, 0x83);
    EXPECT_EQ(bus.Read(kCommand) & 0x09, 0x01);
    bus.Write(kCount, 0x2D);
    bus.Write(kCommand, 0x83);
    EXPECT_EQ(bus.Read(kCommand), 0x80);  // busy a moment
    EXPECT_EQ(bus.Read(kCommand) & 0x08, 0x08);
    for (int i = 0; i < 256; ++i) bus.Read(kData);
    EXPECT_EQ(bus.Read(kCommand) & 0x08, 0);
}

TEST_F(VirtualIdeTest, Mtk2WindowLayoutAndSlavePositionAndAnEmptyPosition) {
    SDriveConfig master = IdeDrive(EIdeController::Mtk2, 27);
    SDriveConfig slave = IdeDrive(EIdeController::Mtk2, 38);
    Machine(master, &slave);
    bus_->Channel(0).KeepLog(true);
    EXPECT_EQ(IdentifySerial(1), 38);
    EXPECT_NE(SerialModeByte(), 0x73);
    // Every buffer byte went through the window, with the slave selected.
    for (const SPortAccess& access : bus_->Channel(0).Log())
        if (access.write && access.port == kDevice) {
            EXPECT_EQ(access.value, 0xB0);
        }
    EXPECT_EQ(IdentifySerial(0), 27);

    // The secondary channel has no drive: it floats and waits run out.
    VirtualIdeBus& bus = *bus_;
    EXPECT_EQ(bus.Read(0x177), 0xFF);
    EXPECT_EQ(bus.Read(0x1E0), 0xFF);
    EXPECT_EQ(IdentifySerial(2), 15);
    EXPECT_TRUE(IdeAccessFault().has_value());
}

TEST_F(VirtualIdeTest, ResetWritesTheFlashFileAfterTheChipChanged) {
    std::string path = ::testing::TempDir() + "virtual_ide_flash.bin";
    std::remove(path.c_str());
    SDriveConfig config = IdeDrive(EIdeController::Mtk, 2, 0x1000);
    config.flashFile = path;
    Machine(config);
    SelectIdeAccess(kIdeMtk);
    IdeInitialise(0);
    IdeFinish(0);
    EXPECT_FALSE(std::ifstream(path).good());  // nothing changed, nothing written
    IdeInitialise(0);
    for (auto [a, v] : std::initializer_list<std::pair<uint32_t, uint8_t>>{
             {0x5555, 0xAA}, {0x2AAA, 0x55}, {0x5555, 0xA0}, {0x0123, 0x42}})
        WriteFlashByte(0, a, v);
    IdeFinish(0);
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 0x1000u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x123]), 0x42);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x124]), 0xFF);
    std::remove(path.c_str());
}

TEST(VirtualIdeRig, KeysDescribeTheControllerAndTheChip) {
    std::string error;
    auto rig = ParseRig(
        "[a]\nide_controller = MTK2\nide_serial_layout = direct\nflash_chip = 0x13\nchip_stuck_bytes = 0x10, 32\n"
        "chip_stays_busy = yes\nchip_protected = no\n[b]\nide_controller = ali2\n",
        "rig", error);
    ASSERT_TRUE(rig.has_value()) << error;
    const SIdeConfig& a = rig->drives[0]->Config().ide;
    EXPECT_EQ(a.controller, EIdeController::Mtk2);
    EXPECT_TRUE(a.directLayout);
    EXPECT_EQ(a.chipType, 19);
    EXPECT_EQ(a.chip.stuckBytes, (std::vector<uint32_t>{0x10, 32}));
    EXPECT_TRUE(a.chip.staysBusy);
    EXPECT_EQ(a.chip.protectedAtStart, 0);
    EXPECT_EQ(rig->drives[1]->Config().ide.controller, EIdeController::Ali2);
    EXPECT_FALSE(rig->drives[1]->Config().ide.chipType.has_value());
    // The flash is the chip, as large as the part (SST25VF016B, SST 39SF010).
    EXPECT_EQ(rig->drives[0]->Flash().Size(), 0x200000u);
    EXPECT_EQ(rig->drives[1]->Flash().Size(), 0x20000u);
    EXPECT_FALSE(ParseRig("[a]\nide_controller = mtk\nflash_chip = 6\nflash_size = 0x10000\n", "rig", error));
    EXPECT_NE(error.find("flash_chip 6 holds 0x80000"), std::string::npos) << error;
    rig = ParseRig("[a]\nide_controller = mtk\nchip_unknown_id = yes\nflash_size = 0x30000\n", "rig", error);
    ASSERT_TRUE(rig.has_value()) << error;
    EXPECT_EQ(rig->drives[0]->Flash().Size(), 0x30000u);

    EXPECT_FALSE(ParseRig("[a]\nflash_chip = 39\n", "rig", error));
    EXPECT_NE(error.find("flash_chip"), std::string::npos);
    EXPECT_FALSE(ParseRig("[a]\nide_controller = scsi\n", "rig", error));
    EXPECT_FALSE(ParseRig("[a]\nflash_chip = 1\nflash_chip = 2\n", "rig", error));
    EXPECT_NE(error.find("twice"), std::string::npos);
}

}  // namespace
}  // namespace jv::sim
