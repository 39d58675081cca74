#include "flash/Flashknl.h"

#include "FlashDriveFake.h"
#include "PackageBuilder.h"
#include "flash/Flashmcu.h"
#include "flash/Flashmsg.h"
#include "platform/Console.h"

namespace jv {
namespace {

using testing::FlashDriveTest;
using testing::MakeSense;
using testing::SSentCommand;
using Bytes = std::vector<uint8_t>;

SFlashOptions AtapiOptions(bool silent = false) {
    SFlashOptions o;
    o.atapiFlash = 1;
    o.silent = silent;
    return o;
}

// How each protocol is set up so that every one of its steps is taken once.
struct SProtocolCase {
    uint8_t type;
    uint32_t maxBank;
    std::vector<uint32_t> banks;
};

const SProtocolCase kProtocols[] = {
    {kAtapiMtk, 0x10000, {0xFFF0, 0x8000}}, {kAtapiAli, 0x20000, {}},  {kAtapiMtk2, 0x20000, {}},
    {kAtapiMtk3, 0x10000, {0x10000 - 2, 0x4001}}, {kAtapiMtk4, 0x20000, {}}, {kAtapiMtk5, 0x20000, {}},
    {kAtapiMtk6, 0x10000, {0x1000}}, {kAtapiMtk7, 0x20000, {}},
};

std::string Numbered(int code) { return Format("Flash Fail ! (%d)\n", code); }

// What a drive's refusal of this one command must end the flash with.
FlashResult ExpectedOnFailure(uint8_t type, const SSentCommand& c, bool updater) {
    auto fail = [&](int code, const char* text) -> FlashResult { return updater ? Numbered(code) : text; };
    const auto& b = c.cdb;
    // Pages, halves, the start, ALI pages, the mode switch and the save: a
    // drive that refused one of them keeps its old firmware.
    if (b[0] == 0x5A && b[2] == 0x38 && b[5] == 0xA0) return fail(1, "Write Buffer Fail !\n");
    if (b[0] == 0xFD) return fail(1, "Write Buffer Fail !\n");
    if (b[0] == 0x3B && (b[1] == 0x01 || b[1] == 0x07)) return fail(1, "Write Buffer Fail !\n");
    if (b[0] == 0x3B && b[1] == 0x06 && type == kAtapiMtk7) return fail(1, "Write Buffer Fail !\n");
    if (b[0] == 0x00 && type == kAtapiMtk6) return fail(4, "Trigger Fail !\n");
    if (b[0] == 0x5A && b[2] == 0x34 && b[5] == 0x0B) {
        return b[6] ? fail(5, "SET F/W CheckSum Error !\n") : fail(6, "Get CheckSum Error !\n");
    }
    return std::nullopt;
}

class FlashknlTest : public FlashDriveTest {
protected:
    FlashResult FlashCase(const SProtocolCase& c, const Bytes& original, uint32_t failAt, bool updater) {
        UseFake();
        state_->failAt = failAt;
        state_->kernelReport = true;
        state_->kernelAddress = 0x100;
        state_->kernelLength = 0x100;
        state_->busy = {MakeSense(0x02, 0x04, 0x08, 1, 0x2000)};
        state_->senses = {MakeSense(0x02, 0x04, 0x08, 1)};
        state_->checksumFeature = true;
        state_->checksumReply = static_cast<uint16_t>(test::ReferenceSum(original, true));
        SYTRParameter p;
        p.AtapiFlashType = c.type;
        p.MaxBankSize = c.maxBank;
        p.BankSizes = c.banks;
        Bytes image = original;
        return FlashImage(0, image, static_cast<uint32_t>(image.size()), p, AtapiOptions(), updater);
    }
};

TEST_F(FlashknlTest, EachRefusedCommandEndsTheFlashWithItsStepsText) {
    const Bytes image = test::FillerBytes(0x20000, 21);
    for (const auto& c : kProtocols) {
        for (bool updater : {true, false}) {
            ASSERT_EQ(FlashCase(c, image, 0, updater), std::nullopt) << int(c.type);
            const std::vector<SSentCommand> clean = Commands();
            ASSERT_GT(clean.size(), 4u);
            for (uint32_t at = 1; at <= clean.size(); ++at) {
                const uint64_t before = Elapsed();
                EXPECT_EQ(FlashCase(c, image, at, updater), ExpectedOnFailure(c.type, clean[at - 1], updater))
                    << "type " << int(c.type) << " command " << at << " " << testing::Hex(clean[at - 1].cdb);
                EXPECT_LT(Elapsed() - before, 130000u);
            }
        }
    }
}

TEST_F(FlashknlTest, ReadyWaitsThatRunOutGiveCodeThree) {
    const Bytes image = test::FillerBytes(0x20000, 22);
    for (uint8_t type : {kAtapiMtk, kAtapiMtk2, kAtapiMtk3, kAtapiMtk4, kAtapiMtk5, kAtapiMtk7}) {
        for (bool updater : {true, false}) {
            UseFake();
            state_->failOpcode = 0x00;
            state_->failSense = MakeSense(0x02, 0x04, 0x01);
            SYTRParameter p;
            p.AtapiFlashType = type;
            p.MaxBankSize = 0x20000;
            Bytes copy = image;
            const FlashResult result = FlashImage(0, copy, 0x20000, p, AtapiOptions(), updater);
            // MTK3 polls first; a drive that never becomes ready runs that poll out instead.
            if (type == kAtapiMtk3) {
                EXPECT_EQ(result, "Flash progress TimeOut !\n");
            } else {
                EXPECT_EQ(result, updater ? "Flash Fail ! (3)\n" : "Wait Drive Ready TimeOut !\n") << int(type);
            }
        }
    }
}

TEST_F(FlashknlTest, AtapiRouteAnnouncesAndRefusesUnknownTypes) {
    Bytes image = test::FillerBytes(0x20000, 23);
    SYTRParameter p;
    p.MaxBankSize = 0x20000;
    for (int type : {0, 9, 255}) {
        p.AtapiFlashType = static_cast<uint8_t>(type);
        EXPECT_EQ(FlashImage(0, image, 0x20000, p, AtapiOptions(), true), "Atapi Flash Type is not supported!");
        EXPECT_EQ(FlashImage(0, image, 0x20000, p, AtapiOptions(true), true), "");
    }
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(console_.Transcript(), "");

    p.AtapiFlashType = kAtapiMtk4;
    EXPECT_EQ(FlashImage(0, image, 0x20000, p, AtapiOptions(), true), std::nullopt);
    EXPECT_EQ(console_.Transcript(), "\r<at 1,5>Updating... Please wait for at least 4 minutes!\n");
    console_.ClearTranscript();
    EXPECT_EQ(FlashImage(0, image, 0x20000, p, AtapiOptions(true), true), std::nullopt);
    EXPECT_EQ(console_.Transcript(), "\r");
}

TEST_F(FlashknlTest, IdeRouteRepeatsAndStopsAtATypeWithoutEngine) {
    Bytes image(0x10000, 0);
    SYTRParameter p;
    SFlashOptions o;
    o.repeatCount = 0;
    EXPECT_EQ(FlashImage(0, image, 0x10000, p, o, false), std::nullopt);
    o.repeatCount = 3;
    EXPECT_EQ(FlashImage(0, image, 0x10000, p, o, false), "IDE Flash Type is not supported!");
    o.silent = 1;
    EXPECT_EQ(FlashImage(0, image, 0x10000, p, o, false), "");
    EXPECT_TRUE(Commands().empty());
}

TEST_F(FlashknlTest, ValidationChecksTheSumAndTheListedModels) {
    Bytes image = test::FillerBytes(0x10000, 24);
    test::PutInfoBlock(image, 0x8000, test::SInfoBlock{});
    SYTRParameter p;
    p.AtapiFlashType = kAtapiMtk5;  // its sum leaves out the last 8 bytes
    p.HeaderCheckSum = static_cast<uint16_t>(test::ReferenceSum(image, true));
    SetMessageTable(false);
    std::vector<std::string> models = {"ZERV    QLX-3301        ", "ZERV    DVD-RW QLX-1600 "};
    EXPECT_EQ(ValidateImage(image, 0x10000, p, true, true, models), std::nullopt);

    image[0xFFF9] ^= 0xFF;  // inside the last 8 bytes: not summed
    EXPECT_EQ(ValidateImage(image, 0x10000, p, true, false, models), std::nullopt);
    image[0x10] ^= 0xFF;
    EXPECT_EQ(ValidateImage(image, 0x10000, p, true, false, models), "Check Sum Error!");
    EXPECT_EQ(ValidateImage(image, 0x10000, p, false, true, models), std::nullopt);

    models = {"ZERV    DVD-RW QLX-1601 "};
    EXPECT_EQ(ValidateImage(image, 0x10000, p, false, true, models), "This drive is unavailble!");
    EXPECT_EQ(ValidateImage(image, 0x10000, p, false, true, {}), "This drive is unavailble!");
    // A length past the buffer reads nothing outside it.
    EXPECT_EQ(ValidateImage(image, 0x20000, p, false, true, models), "This drive is unavailble!");
    SetMessageTable(true);
    EXPECT_EQ(ValidateImage(image, 0x10000, p, false, true, models), "");
}

TEST_F(FlashknlTest, LiteDrivesHaveTheirProtectBitClearedOthersAreLeftAlone) {
    for (bool dvd : {true, false}) {
        LoadRig(std::string("[a]\nvendor = LITEON\ndvd = ") + (dvd ? "yes" : "no") + "\n[b]\nvendor = ZERV\n");
        const uint16_t address = dvd ? 0x4039 : 0x423F;
        Drive(0).SetDriveByte(address, 0xFF);
        Drive(0).SetDriveByte(dvd ? 0x423F : 0x4039, 0xFF);
        EXPECT_TRUE(PrepareLiteDrive(0));
        EXPECT_EQ(Drive(0).DriveByte(address), 0xFD);
        EXPECT_EQ(Drive(0).DriveByte(dvd ? 0x423F : 0x4039), 0xFF);

        EXPECT_TRUE(PrepareLiteDrive(1));
        ASSERT_EQ(Sent(1).size(), 1u);  // the INQUIRY only
        EXPECT_TRUE(PrepareLiteDrive(7));
    }
}

TEST_F(FlashknlTest, VirtualDriveHoldsWhatMtk7AndMtk5Sent) {
    LoadRig("[drive]\nflash_size = 0x200000\n");
    Bytes image = test::FillerBytes(0x20000, 25);
    SYTRParameter p;
    p.AtapiFlashType = kAtapiMtk7;
    ASSERT_EQ(FlashImage(0, image, 0x20000, p, AtapiOptions(true), false), std::nullopt);
    auto flash = Drive(0).Flash().Bytes();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));

    image = test::FillerBytes(0x100000, 26);
    p.AtapiFlashType = kAtapiMtk5;
    ASSERT_EQ(FlashImage(0, image, 0x100000, p, AtapiOptions(true), false), std::nullopt);
    flash = Drive(0).Flash().Bytes();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

}  // namespace
}  // namespace jv
