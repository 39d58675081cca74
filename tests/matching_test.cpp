// Which drive gets the firmware and which package a drive gets, against
// virtual drives: the filters, the choice prompt, the conforming package and
// the last question with its version warning.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DriveRigFixture.h"
#include "driver/Matching.h"

namespace jv {
namespace {

using testing::DriveRigTest;

// Drive 0 is another model; drives 1 and 2 are the model of the package
// below, with and without its hardware ID; drive 3 a PIONEER drive.
const char* const kRig = R"(
[other]
vendor = ZERV
product = QLX-3301
revision = 3.00
date_code = 040404
hardware_id = Q7
[fits]
vendor = ZERV
product = DVD-RW QLX-1600
revision = 1.10
date_code = 050101
hardware_id = Q7
[fits-model-only]
vendor = ZERV
product = DVD-RW QLX-1600
revision = 1.20
date_code = 050202
hardware_id = XX
[pioneer]
vendor = PIONEER
product = DVD-RW  DVR-X99
revision = 1.30
date_code = 050303
hardware_id = Q7
)";

const SPackageIdentity kPackage{"ZERV    DVD-RW QLX-1600 ", "1.02", "061120", "Q7"};
const SPackageIdentity kOtherPackage{"ZERV    QLX-3301        ", "3.10", "061201", "Q7"};

const std::string kLine = "New Firmware    : ZERV    DVD-RW QLX-1600  1.02 061120\n";

class MatchingTest : public DriveRigTest {
protected:
    void SetUp() override {
        DriveRigTest::SetUp();
        LoadRig(kRig);
    }
    std::vector<EDriveIndex> Qualify(std::vector<EDriveIndex> candidates, std::vector<SPackageIdentity> packages,
                                     bool ide = false) {
        bool stopped = false;
        auto list = QualifyDrives(candidates, packages, settings_, ide, stopped);
        EXPECT_TRUE(list.has_value()) << console_.Text();
        return list.value_or(std::vector<EDriveIndex>{99});
    }
    std::optional<EDriveIndex> Choose(std::vector<EDriveIndex> drives, std::string keys, bool silent = false,
                                      bool y = false) {
        console_.SetKeys(std::move(keys));
        return ChooseDrive(drives, settings_, silent, y, [] { return kLine; });
    }

    SParameter settings_;
};

TEST_F(MatchingTest, DrivesQualifyByModelNameHardwareIdAndAvailableModel) {
    settings_.ModelName = 0;
    settings_.HardwareID = 0;
    EXPECT_EQ(Qualify({0, 1, 2}, {kPackage}), (std::vector<EDriveIndex>{0, 1, 2}));
    settings_.ModelName = 1;
    EXPECT_EQ(Qualify({0, 1, 2}, {kPackage}), (std::vector<EDriveIndex>{1, 2}));
    settings_.HardwareID = 1;
    EXPECT_EQ(Qualify({0, 1, 2}, {kPackage}), (std::vector<EDriveIndex>{1}));
    // With several candidates a drive stays when any candidate fits it.
    EXPECT_EQ(Qualify({0, 1, 2}, {kOtherPackage, kPackage}), (std::vector<EDriveIndex>{0, 1}));

    // The list names whole 24-character model names, trailing blanks and all.
    settings_.ModelName = 0;
    settings_.HardwareID = 0;
    settings_.AvailableModel = 1;
    settings_.AvailableModelNames = {"ZERV    QLX-3301"};
    EXPECT_TRUE(Qualify({0, 1, 2}, {kPackage}).empty());
    settings_.AvailableModelNames = {"ZERV    QLX-3301        "};
    EXPECT_EQ(Qualify({0, 1, 2}, {kPackage}), (std::vector<EDriveIndex>{0}));
}

TEST_F(MatchingTest, AMissingDriveStaysOnlyForTheRegisterRoute) {
    EXPECT_EQ(Qualify({7}, {kPackage}, true), (std::vector<EDriveIndex>{7}));
    EXPECT_TRUE(Qualify({7}, {kPackage}, false).empty());
    EXPECT_EQ(console_.Transcript(), "");
}

TEST_F(MatchingTest, APioneerDriveThatNeverGetsReadyEndsTheRun) {
    // After the wait's bound with its message; at the user's ESC at once,
    // silently, for the run to end as the user asked.
    for (const bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "ESC" : "time-out");
        LoadRig(std::string(kRig) + "ready_after_ms = never\n");
        settings_.ModelName = 1;
        console_.ClearTranscript();
        console_.SetKeys(escape ? "\x1b" : "");
        bool stopped = !escape;
        EXPECT_FALSE(QualifyDrives({1, 3}, std::vector{kPackage}, settings_, false, stopped).has_value());
        EXPECT_EQ(stopped, escape);
        EXPECT_EQ(console_.Transcript(), escape ? "" : "Wait For Ready error.\n");
        EXPECT_GE(Elapsed(), escape ? 0u : 120000u);
        EXPECT_LT(Elapsed(), escape ? 1000u : 130000u);
    }
}

TEST_F(MatchingTest, ThePromptListsTheDrivesAndTakesOnlyAListedNumber) {
    const std::string prompt =
        "<cls><at 1,2>\n" + kLine +
        "\nPlease choose the working device and press Enter :\n"
        "1: ZERV    DVD-RW QLX-1600  1.10 050101\n"
        "3: PIONEER DVD-RW  DVR-X99  1.30 \n";
    EXPECT_EQ(Choose({1, 3}, "3\n"), std::optional<EDriveIndex>(3));
    EXPECT_EQ(console_.Transcript(), prompt);

    for (const char* keys : {"0\n", "x\n", "2\n", ""}) {
        console_.ClearTranscript();
        EXPECT_FALSE(Choose({1, 3}, keys).has_value()) << keys;
        EXPECT_EQ(console_.Transcript(), prompt + "Input error.\n") << keys;
    }

    // The updater shows no date codes.
    settings_.main.Updater = 1;
    console_.ClearTranscript();
    Choose({1, 3}, "1\n");
    EXPECT_NE(console_.Text().find("1: ZERV    DVD-RW QLX-1600  1.10 \n"), std::string::npos) << console_.Text();
}

TEST_F(MatchingTest, NoQuestionWhenThereIsNoChoiceToMake) {
    EXPECT_EQ(Choose({2}, ""), std::optional<EDriveIndex>(2));
    EXPECT_EQ(Choose({2, 1}, "", true), std::optional<EDriveIndex>(2));
    EXPECT_EQ(Choose({1, 2}, "", false, true), std::optional<EDriveIndex>(1));
    EXPECT_EQ(console_.Transcript(), "");
    EXPECT_FALSE(Choose({}, "1\n").has_value());
    EXPECT_EQ(console_.Transcript(), "No matched devices !\n");
}

TEST_F(MatchingTest, TheChosenDriveDecidesWhichCandidateIsFlashed) {
    const std::vector<SPackageIdentity> candidates{kOtherPackage, kPackage};
    EXPECT_EQ(SelectConformingPackage(0, candidates), std::optional<size_t>(0));
    EXPECT_EQ(SelectConformingPackage(1, candidates), std::optional<size_t>(1));
    EXPECT_EQ(console_.Transcript(), "");

    EXPECT_FALSE(SelectConformingPackage(2, candidates).has_value());
    EXPECT_EQ(console_.Transcript(), "No conforming YTR.\n");
    console_.ClearTranscript();
    EXPECT_FALSE(SelectConformingPackage(1, std::vector{kOtherPackage, kPackage, kPackage}).has_value());
    EXPECT_EQ(console_.Transcript(), "The number of conforming YTR are more than one.\n");

    // The prompt shows the candidate of the first drive that exists.
    EXPECT_EQ(CandidatesFirmwareLine({9, 1, 0}, candidates, settings_), kLine);
    EXPECT_EQ(CandidatesFirmwareLine({9, 2}, candidates, settings_),
              "New Firmware    : ZERV    QLX-3301         3.10 061201\n");
}

TEST_F(MatchingTest, AHardwareIdEndsAtItsFirstZeroByteOnBothSides) {
    sim::SDriveConfig config = Drive(1).Config();
    config.hardwareId = std::string("Q\0", 2);
    rig_.drives[1] = std::make_unique<sim::VirtualDrive>(config);
    InstallRig();
    SPackageIdentity q = kPackage;
    q.hardwareId = "Q";  // as read from an image whose ID is "Q" and a zero byte
    settings_.HardwareID = 1;
    EXPECT_EQ(Qualify({1, 2}, {q}), (std::vector<EDriveIndex>{1}));
    EXPECT_EQ(SelectConformingPackage(1, std::vector{kOtherPackage, q}), std::optional<size_t>(1));
    EXPECT_EQ(CandidatesFirmwareLine({1}, std::vector{kOtherPackage, q}, settings_), kLine);
}

TEST_F(MatchingTest, TheLastQuestionWarnsWhenTheDriveIsNewer) {
    const std::string drive1 = "<cls><at 1,2>Drive to Update : ZERV    DVD-RW QLX-1600  1.10 050101\n" + kLine;
    console_.SetKeys("y");
    EXPECT_TRUE(ConfirmUpdate(1, &kPackage, settings_, false, false));
    EXPECT_EQ(console_.Transcript(), drive1 + "Warning!  1.10 is newer than 1.02 !! Update the drive ?(Y/N)y\n");

    console_.ClearTranscript();
    console_.SetKeys("n");
    SPackageIdentity same = kPackage;
    same.version = "1.1";
    EXPECT_FALSE(ConfirmUpdate(1, &same, settings_, false, false));
    EXPECT_EQ(console_.Text().substr(console_.Text().rfind('\n') + 1), "Update the drive ?(Y/N)    ");

    // y shows the lines and asks nothing; silent shows nothing.
    console_.ClearTranscript();
    console_.SetKeys("n");
    EXPECT_TRUE(ConfirmUpdate(1, &kPackage, settings_, false, true));
    EXPECT_EQ(console_.Transcript(), drive1);
    console_.ClearTranscript();
    EXPECT_TRUE(ConfirmUpdate(1, &kPackage, settings_, true, false));
    EXPECT_EQ(console_.Transcript(), "");

    // A Philips image to a drive the scan did not find.
    console_.SetKeys("Y");
    EXPECT_TRUE(ConfirmUpdate(9, nullptr, settings_, false, false));
    EXPECT_EQ(console_.Transcript(), "<cls><at 1,2>Drive to Update : No firmware device\n"
                                     "New Firmware    : ZERV    QLX-2209K\nUpdate the drive ?(Y/N)    y\n");
}

TEST(LeadingNumber, ReadsWhatAtofReadsOfAVersion) {
    EXPECT_DOUBLE_EQ(LeadingNumber("1.10"), 1.1);
    EXPECT_DOUBLE_EQ(LeadingNumber(" 2.5b"), 2.5);
    EXPECT_DOUBLE_EQ(LeadingNumber("-1.5"), -1.5);
    EXPECT_DOUBLE_EQ(LeadingNumber("+.5"), 0.5);
    EXPECT_DOUBLE_EQ(LeadingNumber("1e2"), 100.0);
    EXPECT_DOUBLE_EQ(LeadingNumber("3e"), 3.0);
    for (const char* none : {"", "BOOT", ".", "-", "inf", "nan"}) EXPECT_EQ(LeadingNumber(none), 0.0) << none;
    EXPECT_EQ(LeadingNumber("0x1A"), 0.0);
}

}  // namespace
}  // namespace jv
