#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DriveRigFixture.h"
#include "driver/Auxiliary.h"
#include "driver/Program.h"

namespace jv {
namespace {

using testing::DriveRigTest;

constexpr const char* kThreeDrives = R"([writer]
vendor = ZERV
product = "DVDRW QLX-1640"
revision = 1.02
date_code = 051107
hardware_id = 3A
bank_number = 3
[pioneer]
vendor = PIONEER
product = "DVD-RW  DVR-X99"
revision = 1.10
date_code = 050812
hardware_id_page = other
inquiry_hardware_id = P1
bank_number = 2
[combo]
vendor = ZERV
product = QLX-2209K
revision = 2.01
date_code = 060301
hardware_id = 5C
bank_number = 1
)";

constexpr const char* kWriterListing =
    "Model Name    : ZERV    DVDRW QLX-1640  \n"
    "Hardware ID   : 3A\n"
    "Drive Version : 1.02\n"
    "Date Code     : 051107\n"
    "Bank Number   : 3\n"
    "\n";
// No date code for this vendor.
constexpr const char* kPioneerListing =
    "Model Name    : PIONEER DVD-RW  DVR-X99 \n"
    "Hardware ID   : P1\n"
    "Drive Version : 1.10\n"
    "Bank Number   : 2\n"
    "\n";
// No bank number for this product.
constexpr const char* kComboListing =
    "Model Name    : ZERV    QLX-2209K       \n"
    "Hardware ID   : 5C\n"
    "Drive Version : 2.01\n"
    "Date Code     : 060301\n"
    "\n";

constexpr const char* kMenu =
    "\n"
    "Please choose the device and press Enter :\n"
    "0: ZERV    DVDRW QLX-1640   1.02 051107\n"
    "1: PIONEER DVD-RW  DVR-X99  1.10\n"
    "2: ZERV    QLX-2209K        2.01 060301\n";

class DriveCommandsTest : public DriveRigTest {
protected:
    SCommandLine Args(int32_t driveNumber, uint8_t chipFamily = 0) {
        SCommandLine args;
        args.driveNumber = driveNumber;
        args.ideFlashChip = chipFamily;
        return args;
    }

    // Every command the drives were sent reads; none writes or moves anything.
    void ExpectOnlyInquiries() {
        for (size_t d = 0; d < rig_.drives.size(); ++d)
            for (const auto& e : Sent(d)) EXPECT_EQ(e.cdb[0], 0x12) << "drive " << d;
    }

    SParameter settings_;
};

TEST_F(DriveCommandsTest, ListingShowsEveryDriveWithTheLinesItsModelHas) {
    LoadRig(kThreeDrives);
    EXPECT_EQ(CommandCheckDrive(settings_, Args(-1)), kExitDone);
    EXPECT_EQ(console_.Transcript(), std::string(kWriterListing) + kPioneerListing + kComboListing);
}

TEST_F(DriveCommandsTest, ListingOfOneDriveOrOfADriveThatIsNotThere) {
    LoadRig(kThreeDrives);
    EXPECT_EQ(CommandCheckDrive(settings_, Args(1)), kExitDone);
    EXPECT_EQ(console_.Transcript(), kPioneerListing);
    EXPECT_TRUE(Sent(0).empty());

    console_.ClearTranscript();
    EXPECT_EQ(CommandCheckDrive(settings_, Args(7)), kExitDone);
    EXPECT_EQ(console_.Transcript(), "Drive does not exist.\n");
    EXPECT_EQ(CommandCheckDrive(settings_, Args(3)), kExitDone);
    EXPECT_EQ(console_.Transcript(), "Drive does not exist.\nDrive does not exist.\n");

    // The settings' default n is not checked like the option: a number past
    // the drive table must not wrap to a drive the register entry then probes.
    for (int32_t number : {256, 20, -2}) {
        for (auto command : {CommandCheckDrive, CommandIdeDriveChoice}) {
            console_.ClearTranscript();
            EXPECT_EQ(command(settings_, Args(number, 4)), kExitDone);
            EXPECT_EQ(console_.Transcript(), "Drive does not exist.\n") << number;
        }
    }
}

TEST_F(DriveCommandsTest, ListingWithoutDrives) {
    LoadRig("");
    EXPECT_EQ(CommandCheckDrive(settings_, Args(-1)), kExitDone);
    EXPECT_EQ(console_.Transcript(), "No flashed drive exists.\n");
}

TEST_F(DriveCommandsTest, BankNumberIsAskedUntilItIsNotZeroButNotForEver) {
    LoadRig(R"([late]
vendor = ZERV
product = "DVDRW QLX-1640"
bank_number = 0, 0, 0, 4
[never]
vendor = ZERV
product = "DVDRW QLX-1640"
bank_number = 0
[busy]
vendor = ZERV
product = "DVDRW QLX-1640"
bank_number = 40
)");
    EXPECT_EQ(CommandCheckDrive(settings_, Args(0)), kExitDone);
    EXPECT_NE(console_.Text().find("Bank Number   : 4\n"), std::string::npos);

    // One bound for both waits: no number yet (0) and busy (above 32).
    for (int drive : {1, 2}) {
        console_.ClearTranscript();
        EXPECT_EQ(CommandCheckDrive(settings_, Args(drive)), kExitDone);
        EXPECT_NE(console_.Text().find("Bank Number   : 0\n"), std::string::npos) << drive;
        int queries = 0;
        for (const auto& e : Sent(drive)) queries += e.cdb[0] == 0x5A && e.cdb[5] == 0xC0;
        EXPECT_EQ(queries, 50) << drive;
    }
}

TEST_F(DriveCommandsTest, ListingOfADriveThatAnswersNothing) {
    LoadRig("[mute]\n");
    // Found by the scan, then it stops answering.
    for (int opcode : {0x12, 0x5A}) {
        sim::SFault fault;
        fault.kind = sim::SFault::EKind::Opcode;
        fault.opcode = static_cast<uint8_t>(opcode);
        Drive(0).InjectFault(fault);
    }
    EXPECT_EQ(CommandCheckDrive(settings_, Args(0)), kExitDone);
    EXPECT_EQ(console_.Transcript(),
              "Model Name    : \n"
              "Hardware ID   : \n"
              "Drive Version : \n"
              "Date Code     : \n"
              "Bank Number   : 0\n"
              "\n");
}

// What the register-level entry prints about the drive is its own business;
// the menu must hand it the chosen drive just as a drive number option does.
TEST_F(DriveCommandsTest, MenuListsTheDrivesAndHandsTheChosenOneToTheEntry) {
    LoadRig(kThreeDrives);
    EXPECT_EQ(CommandIdeDriveChoice(settings_, Args(2, 1)), kExitDone);
    const std::string entry = console_.Transcript();
    EXPECT_EQ(entry.find("Please choose"), std::string::npos);

    console_.ClearTranscript();
    console_.SetKeys("2\n");
    EXPECT_EQ(CommandIdeDriveChoice(settings_, Args(-1, 1)), kExitDone);
    EXPECT_EQ(console_.Transcript(), kMenu + entry);
    EXPECT_EQ(console_.KeysLeft(), 0u);
}

TEST_F(DriveCommandsTest, MenuRefusesAnythingButAListedNumber) {
    LoadRig(kThreeDrives);
    for (const char* keys : {"3\n", "-1\n", "abc\n", ""}) {
        console_.ClearTranscript();
        console_.SetKeys(keys);
        EXPECT_EQ(CommandIdeDriveChoice(settings_, Args(-1, 4)), kExitDone);
        EXPECT_EQ(console_.Transcript(), std::string(kMenu) + "Input error.\n") << "answer " << keys;
    }
    ExpectOnlyInquiries();
}

TEST_F(DriveCommandsTest, MenuWithoutDrives) {
    LoadRig("");
    EXPECT_EQ(CommandIdeDriveChoice(settings_, Args(-1, 2)), kExitDone);
    EXPECT_EQ(console_.Transcript(), "No drive exists.\n");
}

// The simulator run as a user runs it: rig file in the environment, answers
// on standard input, text on standard output.
class SimulatorRun : public ::testing::Test {
protected:
    void SetUp() override {
        program_ = std::filesystem::path(JV_BINARY_DIR) / "jorvane-sim";
        if (!std::filesystem::is_regular_file(program_)) GTEST_SKIP() << program_ << " is not built";
        dir_ = std::filesystem::temp_directory_path() /
               ("jv-drive-commands-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        Write("three.ini", kThreeDrives);
        Write("none.ini", "");
    }
    void TearDown() override {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    std::string Read(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Output and exit status of one run; the status reaches the shell as
    // its low byte, so 259 reads as 3.
    std::pair<std::string, int> Run(const std::string& rig, const std::string& args, const std::string& keys = "") {
        Write("keys", keys);
        const std::string command = "JORVANE_RIG='" + (dir_ / rig).string() + "' '" + program_.string() + "' " +
                                    args + " <'" + (dir_ / "keys").string() + "' >'" + (dir_ / "out").string() +
                                    "' 2>/dev/null; echo $? >'" + (dir_ / "status").string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return {Read("out"), std::atoi(Read("status").c_str())};
    }

    std::filesystem::path program_;
    std::filesystem::path dir_;
};

TEST_F(SimulatorRun, ListingsAndMenuAsTheUserSeesThem) {
    // Whatever the program prints before the command's own output is the
    // same for every run; take it from the run without drives.
    const auto [empty, emptyStatus] = Run("none.ini", "/c");
    const std::string none = "No flashed drive exists.\n";
    ASSERT_TRUE(empty.ends_with(none)) << empty;
    EXPECT_EQ(emptyStatus, kExitDone & 0xFF);
    const std::string banner = empty.substr(0, empty.size() - none.size());

    EXPECT_EQ(Run("three.ini", "/c"),
              std::make_pair(banner + kWriterListing + kPioneerListing + kComboListing, kExitDone & 0xFF));
    EXPECT_EQ(Run("three.ini", "/c /n1").first, banner + kPioneerListing);
    EXPECT_EQ(Run("three.ini", "-C -N7").first, banner + "Drive does not exist.\n");
    // Choosing drive 1 from the menu does what naming it with /n1 does.
    const std::string named = Run("three.ini", "/emtk /n1").first;
    ASSERT_TRUE(named.starts_with(banner)) << named;
    EXPECT_EQ(named.find("Please choose"), std::string::npos);
    EXPECT_EQ(Run("three.ini", "/emtk", "1\n"),
              std::make_pair(banner + kMenu + named.substr(banner.size()), kExitDone & 0xFF));
    EXPECT_EQ(Run("three.ini", "/eali2", "9\n").first, banner + kMenu + "Input error.\n");
    EXPECT_EQ(Run("none.ini", "/eali").first, banner + "No drive exists.\n");
}

}  // namespace
}  // namespace jv
