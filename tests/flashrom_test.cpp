#include "flash/Flashrom.h"

#include <gtest/gtest.h>

#include "IdeFake.h"
#include "flash/FlashmcuIde.h"
#include "flash/IdeChannel.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/RecordingConsole.h"
#include "sim/VirtualClock.h"

namespace jv {
namespace {

using testing::FakeController;
using testing::FakeParallelChip;
using testing::FakeSerialChip;
using testing::RecordingPorts;
using testing::ScopedPorts;

struct SExit {
    int code;
};
void ThrowExit(int code) { throw SExit{code}; }

class FlashromTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&clock_);
        SetConsole(&console_);
        SetExitHook(&ThrowExit);
        ResetIdeAccess();
        ClearIdeAccessFault();
        HoldIdeChannel(0, kLegacyPrimary);
    }
    void TearDown() override {
        ReleaseIdeChannel();
        ResetIdeAccess();
        ResetChipRoutines();
        ClearIdeAccessFault();
        SetExitHook(nullptr);
        SetConsole(nullptr);
        SetClock(nullptr);
    }

    // A parallel chip behind an MTK controller answering ID reads with ids,
    // unlocked at the A (0x555) or B (0x5555) addresses.
    uint8_t IdentifyParallel(std::map<uint32_t, uint8_t> ids, bool sequenceB) {
        FakeParallelChip chip;
        chip.cells.assign(0x20000, 0xFF);
        chip.ids = std::move(ids);
        if (sequenceB) {
            chip.unlock1 = 0x5555;
            chip.unlock2 = 0x2AAA;
        }
        FakeController controller;
        controller.parallel = &chip;
        ScopedPorts scope(controller);
        const uint8_t type = IdentifyParallelChip(0, kIdeMtk);
        EXPECT_FALSE(chip.idMode) << "identification must leave the chip in read-array mode";
        return type;
    }

    uint8_t IdentifySerial(std::array<uint8_t, 5> res, std::array<uint8_t, 5> rems, std::array<uint8_t, 5> rdid) {
        FakeSerialChip chip;
        chip.cells.assign(0x1000, 0xFF);
        chip.res = res;
        chip.rems = rems;
        chip.rdid = rdid;
        FakeController controller;
        controller.family = kIdeMtk2;
        controller.serial = &chip;
        ScopedPorts scope(controller);
        SelectIdeAccess(kIdeMtk2);
        IdeInitialise(0);
        return IdentifySerialChip(0, kIdeMtk2);
    }

    VirtualClock clock_;
    RecordingConsole console_;
};

TEST_F(FlashromTest, EveryParallelChipIsKnownByItsCodes) {
    struct SCase {
        uint8_t type;
        bool sequenceB;
        std::map<uint32_t, uint8_t> ids;
    };
    const SCase cases[] = {
        {0, false, {{0, 0x37}, {1, 0xA1}}},
        {0, false, {{0, 0x37}, {1, 0x4C}}},
        {1, false, {{0, 0x7F}, {1, 0x20}, {0x100, 0x1C}}},
        {2, true, {{0, 0xBF}, {1, 0xB5}}},
        {3, false, {{0, 0x9D}, {1, 0x1C}}},
        {4, true, {{0, 0x40}, {1, 0x01}}},
        {4, true, {{0, 0x40}, {1, 0xA1}}},
        {5, true, {{0, 0xDA}, {1, 0xC1}}},
        {6, false, {{0, 0xC2}, {1, 0xA4}}},
        {7, false, {{0, 0x7F}, {1, 0x7F}, {0x100, 0x1C}, {0x101, 0x04}}},
        {8, false, {{0, 0x37}, {1, 0x86}}},
        {9, true, {{0, 0xDA}, {1, 0x46}}},
        {10, false, {{0, 0x9D}, {1, 0x3E}}},
        {11, true, {{0, 0xDA}, {1, 0xB6}}},
        {12, false, {{0, 0xC2}, {1, 0x4F}}},
        {13, false, {{0, 0x7F}, {1, 0x4F}, {0x100, 0x1C}}},
        {14, false, {{0, 0x37}, {1, 0x34}}},
        {14, false, {{0, 0x37}, {1, 0xB5}}},
        // Near misses and silence fall through to the default.
        {2, false, {}},
        {2, false, {{0, 0x7F}, {1, 0x7F}, {0x100, 0x1C}, {0x101, 0x05}}},
        {2, false, {{0, 0x7F}, {1, 0x20}, {0x100, 0x1D}}},
        {2, false, {{0, 0x37}, {1, 0x99}}},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(IdentifyParallel(c.ids, c.sequenceB), c.type)
            << "maker " << std::hex << int(c.ids.count(0) ? c.ids.at(0) : 0) << " device "
            << int(c.ids.count(1) ? c.ids.at(1) : 0);
    }
    EXPECT_FALSE(IdeAccessFault());
}

TEST_F(FlashromTest, EverySerialChipIsKnownByItsCodes) {
    using A = std::array<uint8_t, 5>;
    struct SCase {
        uint8_t type;
        A res, rems, rdid;
    };
    const SCase cases[] = {
        {15, {0xBF, 0x44}, {}, {}},         {16, {0xBF, 0x43}, {}, {}},
        {17, {0xBF, 0x49}, {}, {}},         {18, {0xBF, 0x80}, {}, {}},
        {19, {0xBF, 0x41}, {}, {}},         {20, {0x32}, {}, {}},
        {21, {0x12}, {0x01}, {}},           {22, {0x14}, {}, {0x01}},
        {23, {0x62, 0x07}, {}, {}},         {24, {0x9D, 0x7C}, {}, {}},
        {25, {0x9D, 0x7D}, {}, {}},         {26, {0x9D, 0x7E}, {}, {}},
        {27, {0x12}, {0xC2}, {}},           {28, {0x13}, {}, {0xC2}},
        {29, {0x11}, {}, {}},               {30, {0x10}, {}, {}},
        {31, {0x14}, {}, {0xC2}},           {32, {0x14}, {}, {0x00, 0, 0, 0, 0x13}},
        {33, {0x14}, {}, {0x00, 0, 0, 0, 0x14}}, {34, {0x00}, {}, {0x20, 0x20, 0x13}},
        {35, {0x00}, {}, {0x20, 0x20, 0x14}},    {36, {0x13}, {}, {0x20}},
        {37, {0x14}, {}, {0x00}},           {38, {0x12}, {0x1C}, {}},
        // An SST maker code with an unknown device goes on to RDID.
        {34, {0xBF, 0x99}, {}, {0x20, 0x00, 0x13}},
        {15, {0xBF, 0x99}, {}, {0x21, 0x00, 0x13}},
        {15, {0x62, 0x08}, {}, {}},
        {15, {}, {}, {}},
    };
    for (const SCase& c : cases) {
        EXPECT_EQ(IdentifySerial(c.res, c.rems, c.rdid), c.type)
            << "RES " << std::hex << int(c.res[0]) << " " << int(c.res[1]);
    }
}

TEST_F(FlashromTest, ChipTableMatchesTheNamesAndBuses) {
    for (uint8_t t = 0; t < kChipTypeCount; ++t) {
        EXPECT_EQ(kChipTable[t].type, t);
        EXPECT_STREQ(kChipTable[t].name, ChipName(t));
        EXPECT_EQ(kChipTable[t].bus == EChipBus::Serial, t >= kFirstSerialChip);
    }
}

TEST_F(FlashromTest, AnUnknownChipTypeEndsTheProgramAfterAKey) {
    console_.SetKeys("x");
    try {
        SelectChipAlgorithm(39);
        FAIL() << "the program went on";
    } catch (const SExit& e) {
        EXPECT_EQ(e.code, 0);
    }
    EXPECT_EQ(console_.Transcript(), "I don't know this Flash ROM type.\n");
    EXPECT_EQ(console_.KeysLeft(), 0u);
}

TEST_F(FlashromTest, PageWriteStartsPagesWithCyclesAndWaitsAfterTheLastByte) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x70; };
    ScopedPorts scope(ports);
    SelectIdeAccess(kIdeMtk);
    SelectChipAlgorithm(5);
    auto strobes = [&] {  // one per byte written to the chip
        int n = 0;
        for (uint8_t v : ports.WritesTo(testing::kCount)) n += (v & 0x7F) == 0x01;
        return n;
    };
    auto program = [&](uint32_t address, bool last = false) {
        ports.writes.clear();
        const uint64_t start = clock_.ElapsedMs();
        ChipRoutines().ProgramByte(0, address, 0x12, last);
        return clock_.ElapsedMs() - start;
    };
    EXPECT_GE(program(0x1007F), 10u);
    EXPECT_EQ(strobes(), 1);
    EXPECT_LT(program(0x1007E), 2u);
    EXPECT_EQ(strobes(), 1);
    EXPECT_LT(program(0x10080), 2u);
    EXPECT_EQ(strobes(), 4);
    // An image that ends inside a page ends the page there.
    EXPECT_GE(program(0x10082, true), 10u);

    // The 256-byte chip counts its own pages.
    SelectChipAlgorithm(9);
    EXPECT_LT(program(0x1007F), 2u);
    EXPECT_LT(program(0x10080), 2u);
    EXPECT_EQ(strobes(), 1);
    EXPECT_GE(program(0x100FF), 10u);
    EXPECT_GE(program(0x1017F, true), 10u);
}

TEST_F(FlashromTest, ReadChipRangeReadsWholeBlocksThenTheRest) {
    FakeSerialChip chip;
    chip.cells.resize(0x1000);
    for (size_t i = 0; i < chip.cells.size(); ++i) chip.cells[i] = static_cast<uint8_t>(i ^ (i >> 8));
    FakeController controller;
    controller.family = kIdeMtk2;
    controller.serial = &chip;
    ScopedPorts scope(controller);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    SelectChipAlgorithm(20);
    std::vector<uint8_t> buffer(0x400, 0xEE);
    EXPECT_TRUE(ChipRoutines().ReadChipRange(0, 0x100, 0x180, buffer, true));
    ASSERT_EQ(chip.commands.size(), 2u);
    EXPECT_EQ(chip.commands[0].first, (std::vector<uint8_t>{0x0B, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(chip.commands[0].second, 0x100u);
    EXPECT_EQ(chip.commands[1].first, (std::vector<uint8_t>{0x0B, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(chip.commands[1].second, 0x80u);
    EXPECT_TRUE(std::equal(buffer.begin() + 0x100, buffer.begin() + 0x280, chip.cells.begin() + 0x100));
    EXPECT_EQ(buffer[0xFF], 0xEE);
    EXPECT_EQ(buffer[0x280], 0xEE);

    // A range past the buffer's end is cut there, not read into the void.
    chip.commands.clear();
    EXPECT_TRUE(ChipRoutines().ReadChipRange(0, 0x380, 0x200, buffer, true));
    ASSERT_EQ(chip.commands.size(), 1u);
    EXPECT_EQ(chip.commands[0].second, 0x80u);

    // The SST family reads with the plain read opcode.
    chip.commands.clear();
    SelectChipAlgorithm(15);
    EXPECT_TRUE(ChipRoutines().ReadChip(0, 0x200, buffer, true));
    ASSERT_EQ(chip.commands.size(), 2u);
    EXPECT_EQ(chip.commands[1].first, (std::vector<uint8_t>{0x03, 0x00, 0x01, 0x00}));
}

TEST_F(FlashromTest, PageProgramWithLinesShowsBankAndOffset) {
    FakeSerialChip chip;
    chip.cells.assign(0x20000, 0x00);
    FakeController controller;
    controller.family = kIdeMtk2;
    controller.serial = &chip;
    ScopedPorts scope(controller);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    SelectChipAlgorithm(21);
    std::vector<uint8_t> image(0x20000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
    console_.ClearTranscript();
    EXPECT_EQ(ChipRoutines().WriteSerialFlashROM(0, image, 0x20000, false), std::nullopt);
    const std::string& t = console_.Transcript();
    EXPECT_EQ(t.rfind("<at 1,12>Flash Bank: 0\nFlash & Verify: 00000h\n", 0), 0u);
    EXPECT_NE(t.find("<at 1,12>Flash Bank: 1\nFlash & Verify: 00000h\n"), std::string::npos);
    EXPECT_NE(t.find("<at 1,12>Flash Bank: 1\nFlash & Verify: 0FF00h\n"), std::string::npos);
    EXPECT_EQ(chip.cells, image);
    EXPECT_FALSE(IdeAccessFault());
}

TEST_F(FlashromTest, AChipThatNeverFinishesEndsTheEraseWithinItsBound) {
    FakeSerialChip chip;
    chip.cells.assign(0x1000, 0x00);
    chip.neverReady = true;
    FakeController controller;
    controller.family = kIdeMtk2;
    controller.serial = &chip;
    ScopedPorts scope(controller);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    SelectChipAlgorithm(34);
    clock_.SetTickPerCounterRead(1000);
    const uint64_t start = clock_.ElapsedMs();
    EXPECT_FALSE(ChipRoutines().EraseChip(0));
    ASSERT_TRUE(IdeAccessFault());
    EXPECT_LE(clock_.ElapsedMs() - start, kEraseWaitMs + 100);
    // A chip that never shows write enable is never told to erase.
    EXPECT_EQ(chip.erases, 0);
}

}  // namespace
}  // namespace jv
