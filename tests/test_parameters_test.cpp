#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "PackageBuilder.h"
#include "PackageReport.h"
#include "driver/Auxiliary.h"
#include "driver/CommandLine.h"
#include "driver/Program.h"
#include "package/BufferRecords.h"
#include "package/PackageBuffers.h"
#include "package/TestParameters.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Area(const Bytes& content) {
    Bytes area(kPackageBufferCapacity, 0);
    std::copy(content.begin(), content.end(), area.begin());
    return area;
}

class TestParametersTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("jv-testparam-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        for (int n = 1; n <= 3; ++n) {
            auto area = PackageBuffer(n);
            std::fill(area.begin(), area.end(), uint8_t{0});
        }
        SetSelectedBufferNumber(1);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    fs::path dir_;
};

TEST(TestParameterLines, NumbersAreBareLowerCaseHexAndEachBlockTakesTwoLines) {
    STestParameter parameter;
    parameter.FixDataCheckSum = 0x00AB;
    parameter.ImageSize = 0x200000;
    parameter.KernelAddress = 0x1F800;
    parameter.KernelLength = 0;
    parameter.ReserveBlocks = {{0x1FD00, 0x300}, {0xFFFFFFFF, 0x10}};
    LineList lines = TestParameterLines("Q7", "ZERV    QLX-3301        ", "1.05", "061120", parameter);
    const LineList expected = {"[YTR3 TEST PARAMETERS START]",
                               "Q7",
                               "ZERV    QLX-3301        ",
                               "1.05",
                               "061120",
                               "ab",
                               "200000",
                               "1f800",
                               "0",
                               "1fd00",
                               "300",
                               "ffffffff",
                               "10",
                               "[YTR3 TEST PARAMETERS END]"};
    EXPECT_EQ(lines, expected);

    parameter.ReserveBlocks.clear();
    lines = TestParameterLines("", "", "", "", parameter);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[9], "[YTR3 TEST PARAMETERS END]");
}

TEST_F(TestParametersTest, FileOfAPackageBufferEndsEveryLineWithCrLf) {
    auto sample = test::SamplePackage(0x4000);
    sample.kernelAddress = 0x3000;
    sample.kernelLength = 0x180;
    ASSERT_TRUE(WritePackageTestParameters(Area(test::BuildV3(sample)), Path("t.txt")));
    const auto info = test::SampleInfo();
    const std::string expected = "[YTR3 TEST PARAMETERS START]\r\n" + info.hardwareId + "\r\n" + info.modelName +
                                 "\r\n" + info.version + "\r\n" + info.dateCode + "\r\n" +
                                 test::Fmt("%x\r\n4000\r\n3000\r\n180\r\n", test::ReferenceFixSum(sample)) +
                                 "3d00\r\n200\r\n1000\r\n800\r\n[YTR3 TEST PARAMETERS END]\r\n";
    EXPECT_EQ(ReadText(dir_ / "t.txt"), expected);
}

TEST_F(TestParametersTest, Mtk6PackageReadsVersionAndDateCodeFromTheSecondBlock) {
    test::SV3Package package;
    package.atapiFlashType = 7;  // MTK6
    package.maxBankSize = 0x2000;
    Bytes bank = test::FillerBytes(0x2000, 4);
    test::SInfoBlock first;
    first.version = "0.90";  // not a boot block, still passed over for version and date code
    first.dateCode = "050505";
    test::SInfoBlock second;
    second.version = "2.10";
    second.dcDateCode = "070707";
    test::PutInfoBlock(bank, 0x200, first);
    test::PutInfoBlock(bank, 0x1000, second);
    package.banks = {bank};
    ASSERT_TRUE(WritePackageTestParameters(Area(test::BuildV3(package)), Path("t.txt")));
    const std::string head = "[YTR3 TEST PARAMETERS START]\r\n" + first.hardwareId + "\r\n" + first.modelName +
                             "\r\n2.10\r\n070707\r\n";
    EXPECT_EQ(ReadText(dir_ / "t.txt").substr(0, head.size()), head);
}

TEST_F(TestParametersTest, CommandUsesPackageBufferOneWhateverIsSelected) {
    auto one = test::SamplePackage(0x2000);
    auto two = test::SamplePackage(0x2000);
    two.banks[0][0x1000 + 32] = '9';  // the firmware block's version in buffer 2 differs
    Bytes p1 = test::BuildV3(one), p2 = test::BuildV3(two);
    std::copy(p1.begin(), p1.end(), PackageBuffer(1).begin());
    std::copy(p2.begin(), p2.end(), PackageBuffer(2).begin());
    SetSelectedBufferNumber(2);

    RecordingConsole console;
    ScopedConsole scope(console);
    SParameter settings;
    SCommandLine args;
    args.testParameterFile = Path("t.txt");
    EXPECT_EQ(CommandWriteTestParameters(settings, args), kExitDone);
    EXPECT_EQ(console.Transcript(), "");
    EXPECT_NE(ReadText(dir_ / "t.txt").find("\r\n1.05\r\n"), std::string::npos);

    // An empty buffer 1: the failure text, and no file at all.
    std::fill(PackageBuffer(1).begin(), PackageBuffer(1).end(), uint8_t{0});
    args.testParameterFile = Path("none.txt");
    EXPECT_EQ(CommandWriteTestParameters(settings, args), kExitDone);
    EXPECT_EQ(console.Transcript(), "\nOutput TestParameter File Fail!\n");
    EXPECT_FALSE(fs::exists(dir_ / "none.txt"));
}

}  // namespace
}  // namespace jv
