#include <gtest/gtest.h>

#include "IdeFake.h"
#include "flash/FlashmcuIde.h"
#include "flash/IdeChannel.h"
#include "platform/Clock.h"
#include "platform/RecordingConsole.h"
#include "sim/VirtualClock.h"

namespace jv {
namespace {

using testing::FakeController;
using testing::FakeParallelChip;
using testing::FakeSerialChip;
using testing::RecordingPorts;
using testing::ScopedPorts;
using namespace testing;  // port names
using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

class IdeAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetClock(&clock_);
        SetConsole(&console_);
        ResetIdeAccess();
        ClearIdeAccessFault();
        HoldIdeChannel(0, kLegacyPrimary);
    }
    void TearDown() override {
        ReleaseIdeChannel();
        ResetIdeAccess();
        ClearIdeAccessFault();
        SetConsole(nullptr);
        SetClock(nullptr);
    }
    VirtualClock clock_;
    RecordingConsole console_;
};

TEST_F(IdeAccessTest, MtkByteWriteCarriesAddressBitsInFeaturesAndSectorCount) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x70; };
    ScopedPorts scope(ports);
    SelectIdeAccess(kIdeMtk);
    WriteFlashByte(0, 0x3ABCD, 0x5A);
    const Writes expected{{kDevice, 0xA0}, {kSector, 0x2A}, {kCommand, 0x80}, {kFeat, 0x01},
                          {kCount, 0x95},  {kCylLow, 0xCD}, {kCylHigh, 0xAB}, {kSector, 0x5A},
                          {kCount, 0xA0},  {kCount, 0xC2},  {kCount, 0x81}};
    EXPECT_EQ(ports.writes, expected);
    EXPECT_FALSE(IdeAccessFault());

    // Below 64 KB bit 7 of every sector count stays clear.
    ports.writes.clear();
    ports.reader = [](uint16_t port) -> uint8_t { return port == kSector ? 0x33 : 0x70; };
    EXPECT_EQ(ReadFlashByte(0, 0x0FF01), 0x33);
    EXPECT_EQ(ports.WritesTo(kCount), (std::vector<uint8_t>{0x15, 0x20, 0x08}));
    EXPECT_EQ(ports.WritesTo(kFeat), (std::vector<uint8_t>{0x00}));
}

TEST_F(IdeAccessTest, AliAndAli2NameTheBankInTheSectorCount) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x08; };
    ScopedPorts scope(ports);
    SelectIdeAccess(kIdeAli);
    WriteFlashByte(0, 0x3ABCD, 0x77);
    const Writes expected{{kDevice, 0xA0}, {kSector, 0x57},  {kCommand, 0x80}, {kFeat, 0x00}, {kCount, 0x2F},
                          {kCylLow, 0xCD}, {kCylHigh, 0xAB}, {kCommand, 0x82}, {kData, 0x77}};
    EXPECT_EQ(ports.writes, expected);

    ports.writes.clear();
    SelectIdeAccess(kIdeAli2);
    WriteFlashByte(0, 0x7ABCD, 0x77);
    EXPECT_EQ(ports.WritesTo(kCount), (std::vector<uint8_t>{0xFF}));
    ports.writes.clear();
    ports.reads = 0;
    ReadFlashByte(0, 0x10000);
    EXPECT_EQ(ports.WritesTo(kCount), (std::vector<uint8_t>{0xF9}));
    EXPECT_EQ(ports.WritesTo(kFeat), (std::vector<uint8_t>{0xFF}));
    // The whole block the controller offers is taken off the data port.
    EXPECT_GE(ports.reads, 256u);
}

TEST_F(IdeAccessTest, SerialCommandInTheBufferWindowLayout) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x50; };  // not 's': the window layout
    ScopedPorts scope(ports);
    SelectIdeAccess(kIdeMtk2);
    IdeInitialise(0);
    ASSERT_EQ(SerialModeByte(), 0x50);
    ports.writes.clear();
    const uint8_t rdid[] = {0x9F, 0, 0, 0};
    uint8_t reply[5] = {};
    EXPECT_TRUE(SerialCommand(0, rdid, reply));

    std::vector<uint32_t> bufferWrites, bufferReads;
    std::vector<uint8_t> high, low;
    uint8_t start[4] = {};
    for (size_t i = 0; i < ports.writes.size(); ++i) {
        const auto [port, value] = ports.writes[i];
        if (port == kCylHigh) high.push_back(value);
        if (port == kCylLow) low.push_back(value);
        if (port == kCommand && (value == 0x01 || value == 0x00)) {
            (value == 0x01 ? bufferWrites : bufferReads).push_back(high.back() << 8 | low.back());
        }
        if (port == kCommand && value == 0x04) {
            // features, sector count, cylinder low, cylinder high of the start
            for (size_t j = i; j-- > 0 && ports.writes[j].first != kCommand;) {
                if (ports.writes[j].first == kFeat) start[0] = ports.writes[j].second;
                if (ports.writes[j].first == kCount) start[1] = ports.writes[j].second;
                if (ports.writes[j].first == kCylLow) start[2] = ports.writes[j].second;
                if (ports.writes[j].first == kCylHigh) start[3] = ports.writes[j].second;
            }
        }
    }
    EXPECT_EQ(bufferWrites, (std::vector<uint32_t>{0x8800, 0x8801, 0x8802, 0x8803}));
    EXPECT_EQ(bufferReads, (std::vector<uint32_t>{0x8804, 0x8805, 0x8806, 0x8807, 0x8808}));
    EXPECT_EQ(start[0], 4);
    EXPECT_EQ(start[1], 0);
    EXPECT_EQ(start[2], 5);
    EXPECT_EQ(start[3], 0);
    EXPECT_EQ(ports.WritesTo(kSector).front(), 0x9F);
}

TEST_F(IdeAccessTest, SerialCommandReachesTheChipInBothLayouts) {
    for (uint8_t mode : {uint8_t{0x73}, uint8_t{0x50}}) {
        FakeSerialChip chip;
        chip.cells.assign(0x1000, 0xFF);
        chip.res = {0xBF, 0x44, 0xBF, 0x44, 0xBF};
        FakeController controller;
        controller.family = kIdeMtk2;
        controller.serial = &chip;
        controller.modeByte = mode;
        ScopedPorts scope(controller);
        SelectIdeAccess(kIdeMtk2);
        IdeInitialise(0);
        const uint8_t res[] = {0xAB, 0, 0, 0};
        std::array<uint8_t, 5> reply{};
        EXPECT_TRUE(SerialCommand(0, res, reply));
        EXPECT_EQ(reply, chip.res) << "mode " << int(mode);
        ASSERT_EQ(chip.commands.size(), 1u);
        EXPECT_EQ(chip.commands[0].first, (std::vector<uint8_t>{0xAB, 0, 0, 0}));
    }
}

TEST_F(IdeAccessTest, SlotsAreFilledPerTypeAndAnUnknownTypeOnlyPrintsTheReturn) {
    SelectIdeAccess(kIdeMtk);
    const SIdeAccess mtk = IdeAccess();
    SelectIdeAccess(kIdeMtk2);
    // MTK2 has no byte routines: MTK's stay in their slots.
    EXPECT_EQ(IdeAccess().writeFlashByte, mtk.writeFlashByte);
    EXPECT_NE(IdeAccess().initialise, mtk.initialise);
    EXPECT_NE(IdeAccess().serialCommand, nullptr);
    const SIdeAccess before = IdeAccess();
    console_.ClearTranscript();
    SelectIdeAccess(5);
    EXPECT_EQ(console_.Transcript(), "\r");
    EXPECT_EQ(IdeAccess().initialise, before.initialise);
    EXPECT_EQ(IdeAccess().readFlashByte, before.readFlashByte);
}

TEST_F(IdeAccessTest, OnlyTheChannelHeldForTheDriveIsTouched) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x70; };
    ScopedPorts scope(ports);
    HoldIdeChannel(3, {0xC040, 0xC052, 1});  // a native-mode channel's slave
    SelectIdeAccess(kIdeMtk);
    WriteFlashByte(3, 0, 0);
    ASSERT_FALSE(ports.writes.empty());
    EXPECT_EQ(ports.writes.front(), (std::pair<uint16_t, uint8_t>{0xC046, 0xB0}));
    for (const auto& [port, value] : ports.writes) EXPECT_TRUE(port >= 0xC040 && port <= 0xC047) << port;

    // Any other drive, or none held: not one port.
    ports.writes.clear();
    WriteFlashByte(0, 0, 0);
    ReleaseIdeChannel();
    IdeInitialise(3);
    EXPECT_TRUE(ports.writes.empty());
    EXPECT_TRUE(IdeAccessFault());
}

TEST_F(IdeAccessTest, AControllerThatStaysBusyEndsWithinTheBound) {
    RecordingPorts ports;
    ports.reader = [](uint16_t) -> uint8_t { return 0x80; };
    ScopedPorts scope(ports);
    SelectIdeAccess(kIdeMtk);
    const uint64_t start = clock_.ElapsedMs();
    EXPECT_EQ(ReadFlashByte(0, 0), 0x80);
    ASSERT_TRUE(IdeAccessFault());
    EXPECT_NE(IdeAccessFault()->find("timed out"), std::string::npos);
    const uint64_t spent = clock_.ElapsedMs() - start;
    EXPECT_GE(spent, kRegisterWaitMs - 1);
    EXPECT_LE(spent, kRegisterWaitMs + 10);

    // Once the channel is known dead nothing polls it again.
    const uint64_t reads = ports.reads;
    for (uint32_t a = 0; a < 100; ++a) ReadFlashByte(0, a);
    EXPECT_LT(ports.reads - reads, 300u);
    EXPECT_LE(clock_.ElapsedMs() - start, kRegisterWaitMs + 10);
    // Releasing the channel still writes its reset.
    ports.writes.clear();
    IdeFinish(0);
    EXPECT_EQ(ports.WritesTo(kCommand), (std::vector<uint8_t>{0x81, 0x08}));
}

TEST_F(IdeAccessTest, Ali2BlockReadsReachTheUpperBanks) {
    FakeParallelChip chip;
    chip.cells.resize(0x80000);
    for (size_t i = 0; i < chip.cells.size(); ++i) chip.cells[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
    FakeController controller;
    controller.family = kIdeAli2;
    controller.parallel = &chip;
    ScopedPorts scope(controller);
    SelectIdeAccess(kIdeAli2);
    std::vector<uint8_t> buffer(0x80000 - 0x80, 0);  // a short last block as well
    EXPECT_TRUE(ReadFlashBytes(0, 0x80000, buffer, true));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), chip.cells.begin()));
    // The ALI codes for the first 256 KB, the ALI2's own above.
    std::vector<uint8_t> codes = controller.WritesTo(kCount);
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    EXPECT_EQ(codes, (std::vector<uint8_t>{0x2C, 0x2D, 0x2E, 0x2F, 0xFC, 0xFD, 0xFE, 0xFF}));
    EXPECT_EQ(ReadFlashByte(0, 0x6ABCD), chip.cells[0x6ABCD]);
}

}  // namespace
}  // namespace jv
