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
#include "flash/Flashmsg.h"
#include "package/BufferRecords.h"
#include "package/Cvtbuf.h"
#include "package/PackageBuffers.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// A buffer's data area: the content, then zeros up to the capacity.
Bytes Area(const Bytes& content, uint32_t capacity = kPackageBufferCapacity) {
    Bytes area(capacity, 0);
    std::copy(content.begin(), content.end(), area.begin());
    return area;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PackageBuffersTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("jv-buffers-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        SetMessageTable(false);
    }
    void TearDown() override {
        // The program's own buffers are shared by every test of the process.
        for (const auto& record : kBufferRecords) {
            auto area = EmbeddedBuffer(record.id);
            std::fill(area.begin(), area.end(), uint8_t{0});
        }
        SetSelectedBufferNumber(1);
        fs::remove_all(dir_);
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    static void Fill(BufferId id, const Bytes& content) {
        auto area = EmbeddedBuffer(id);
        ASSERT_LE(content.size(), area.size());
        std::fill(std::copy(content.begin(), content.end(), area.begin()), area.end(), uint8_t{0});
    }

    fs::path dir_;
    RecordingConsole console_;
    ScopedConsole scope_{console_};
};

TEST_F(PackageBuffersTest, BufferLoadsItsPackageOrCountsAsEmpty) {
    auto sample = test::SamplePackage(0x4000);
    auto loaded = LoadPackageBuffer(Area(test::BuildV3(sample)));
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->image, test::ImageOf(sample));
    EXPECT_EQ(loaded->header.ReserveBlocks.size(), 2u);

    EXPECT_FALSE(LoadPackageBuffer(Area({})).has_value());
    // A header that claims more bank data than the whole buffer holds: the
    // buffer counts as empty rather than being read past its end.
    test::SV3Package big;
    big.encoding = 0;
    big.maxBankSize = 0x400000;
    big.banks = {test::FillerBytes(0x1000, 1)};
    Bytes lying = test::BuildV3(big);
    test::PutLe32(lying, 56, kPackageBufferCapacity);  // one bank as large as the whole buffer
    EXPECT_FALSE(LoadPackageBuffer(Area(lying)).has_value());
    EXPECT_EQ(console_.Transcript(), "");
}

TEST_F(PackageBuffersTest, UpdaterTakesTheCvtImageFirstThenEveryFullPackageBuffer) {
    auto first = test::SamplePackage(0x2000);
    auto third = test::SamplePackage(0x4000);
    const Bytes p1 = Area(test::BuildV3(first)), empty = Area({}), p3 = Area(test::BuildV3(third));
    const Bytes noCvt = Area({}, kCvtBufferCapacity);

    auto packages = LoadEmbeddedPackages(noCvt, {p1, empty, p3}, FlashMessage(kMsgLoadYtrFail));
    ASSERT_TRUE(packages.has_value());
    EXPECT_FALSE(packages->philips);
    EXPECT_EQ(packages->PackageCount(), 2);
    ASSERT_TRUE(packages->packages[0] && packages->packages[2]);
    EXPECT_FALSE(packages->packages[1].has_value());
    EXPECT_EQ(packages->packages[2]->image, test::ImageOf(third));

    test::SPhilipsFile philips;
    philips.image = test::FillerBytes(3000, 9);
    philips.trailer1 = 0x0102;
    philips.trailer2 = 0xA0B0;
    const Bytes cvt = Area(test::WithLengthPrefix(test::BuildPhilipsFile(philips)), kCvtBufferCapacity);
    auto raw = LoadEmbeddedPackages(cvt, {p1, empty, p3}, FlashMessage(kMsgLoadYtrFail));
    ASSERT_TRUE(raw.has_value());
    EXPECT_TRUE(raw->philips);
    EXPECT_EQ(raw->PackageCount(), 0);
    EXPECT_EQ(raw->cvt.image, philips.image);
    EXPECT_EQ(raw->cvt.header.HeaderCheckSum, 0x0102);
    EXPECT_EQ(raw->cvt.header.TrailerValue2, 0xA0B0);
    EXPECT_EQ(console_.Transcript(), "");
}

TEST_F(PackageBuffersTest, CvtLengthBeyondTheBufferCountsAsEmptyButAnUnusableLengthFails) {
    const Bytes p2 = Area(test::BuildV3(test::SamplePackage(0x2000)));
    const Bytes empty = Area({});
    test::SPhilipsFile philips;
    philips.image = test::FillerBytes(100, 2);
    Bytes cvt = Area(test::WithLengthPrefix(test::BuildPhilipsFile(philips)), kCvtBufferCapacity);

    Bytes huge = cvt;
    test::PutBe32(huge, 0, kCvtBufferCapacity - 3);  // the trailer would lie one byte past the end
    EXPECT_FALSE(CvtHoldsImage(huge));
    auto fallback = LoadEmbeddedPackages(huge, {empty, p2, empty}, FlashMessage(kMsgLoadYtrFail));
    ASSERT_TRUE(fallback.has_value());
    EXPECT_FALSE(fallback->philips);
    EXPECT_EQ(fallback->PackageCount(), 1);

    Bytes fits = cvt;
    test::PutBe32(fits, 0, kCvtBufferCapacity - 4);
    EXPECT_TRUE(CvtHoldsImage(fits));

    // Exactly the 40 bytes of identification and trailer: no image to flash.
    Bytes noImage = cvt;
    test::PutBe32(noImage, 0, 40);
    EXPECT_FALSE(LoadEmbeddedPackages(noImage, {empty, p2, empty}, FlashMessage(kMsgLoadYtrFail)).has_value());
    EXPECT_EQ(console_.Transcript(), "Load YTR Fail!\n");
}

TEST_F(PackageBuffersTest, NoFirmwareAnywherePrintsTheMessageTableText) {
    const Bytes empty = Area({});
    const Bytes noCvt = Area({}, kCvtBufferCapacity);
    Bytes garbage = Area(Bytes(100, 0x41));
    EXPECT_FALSE(LoadEmbeddedPackages(noCvt, {empty, garbage, empty}, FlashMessage(kMsgLoadYtrFail)).has_value());
    EXPECT_EQ(console_.Transcript(), "Load YTR Fail!\n");

    console_.ClearTranscript();
    SetMessageTable(true);
    EXPECT_FALSE(LoadEmbeddedPackages(noCvt, {empty, empty, empty}, FlashMessage(kMsgLoadYtrFail)).has_value());
    EXPECT_EQ(console_.Transcript(), "\n");
}

TEST_F(PackageBuffersTest, ParameterTextIsWrittenUpToItsFirstZeroByte) {
    const std::string text = "[Main]\r\nUpdater=1\r\n";
    Bytes area = Area(Bytes(text.begin(), text.end()), kParameterBufferCapacity);
    area[text.size() + 1] = 'X';  // text behind the ending zero is not part of it
    ASSERT_TRUE(WriteParameterText(area, Path("m.ini")));
    EXPECT_EQ(ReadFile(dir_ / "m.ini"), Bytes(text.begin(), text.end()));

    Bytes full(kParameterBufferCapacity, 'a');
    ASSERT_TRUE(WriteParameterText(full, Path("full.ini")));
    EXPECT_EQ(fs::file_size(dir_ / "full.ini"), kParameterBufferCapacity);

    area[0] = 0;
    ASSERT_TRUE(WriteParameterText(area, Path("empty.ini")));
    EXPECT_TRUE(fs::exists(dir_ / "empty.ini"));
    EXPECT_EQ(fs::file_size(dir_ / "empty.ini"), 0u);

    EXPECT_FALSE(WriteParameterText(area, Path("no-such-dir/m.ini")));
}

TEST_F(PackageBuffersTest, PackageIsWrittenOutAtItsOwnLength) {
    Bytes package = test::BuildV3(test::SamplePackage(0x2000));
    Bytes area = Area(package);
    std::fill(area.begin() + static_cast<std::ptrdiff_t>(package.size()), area.begin() + 5000 + 
              static_cast<std::ptrdiff_t>(package.size()), uint8_t{0x77});
    ASSERT_TRUE(WritePackageData(area, Path("out.ytr")));
    EXPECT_EQ(ReadFile(dir_ / "out.ytr"), package);

    // Nothing recognisable: an empty file, and that counts as success.
    ASSERT_TRUE(WritePackageData(Area({}), Path("empty.ytr")));
    EXPECT_EQ(fs::file_size(dir_ / "empty.ytr"), 0u);
}

TEST_F(PackageBuffersTest, CheckAndFixedDataSumPrintOutsOfABuffer) {
    auto sample = test::SamplePackage(0x8000);
    sample.kernelAddress = 0x7C00;
    sample.kernelLength = 0x200;  // overlaps the first reserved block: taken off twice
    sample.kernelType = 3;
    sample.ideFlashType = 2;
    const Bytes area = Area(test::BuildV3(sample));

    ASSERT_TRUE(CheckPackageData(area));
    EXPECT_EQ(console_.Transcript(), test::CheckReport(sample, test::SampleInfo()));

    console_.ClearTranscript();
    ASSERT_TRUE(PrintFixDataCheckSumOf(area));
    EXPECT_EQ(console_.Transcript(), test::FixSumLine(sample));

    console_.ClearTranscript();
    EXPECT_FALSE(CheckPackageData(Area({})));
    EXPECT_FALSE(PrintFixDataCheckSumOf(Area({})));
    EXPECT_EQ(console_.Transcript(), "");
}

TEST_F(PackageBuffersTest, CommandsWorkOnTheSelectedBufferAndAlwaysEndWith259) {
    auto sample = test::SamplePackage(0x4000);
    sample.atapiFlashType = kAtapiMtk5;
    Fill(BufferId::Package3, test::BuildV3(sample));
    SParameter settings;
    SCommandLine args;

    SetSelectedBufferNumber(0);  // acts as 3
    EXPECT_EQ(CommandCheckBuffer(settings, args), kExitDone);
    EXPECT_EQ(console_.Transcript(), test::CheckReport(sample, test::SampleInfo()) + test::FixSumLine(sample));

    console_.ClearTranscript();
    SetSelectedBufferNumber(7);
    EXPECT_EQ(CommandFixDataCheckSum(settings, args), kExitDone);
    EXPECT_EQ(console_.Transcript(), test::FixSumLine(sample));

    // An empty selected buffer: the sum is still tried after the check failed.
    console_.ClearTranscript();
    SetSelectedBufferNumber(2);
    EXPECT_EQ(CommandCheckBuffer(settings, args), kExitDone);
    EXPECT_EQ(console_.Transcript(), "\nCheck YTR Buffer Fail!\n\nGet FixData CheckSum Fail!\n");
    console_.ClearTranscript();
    EXPECT_EQ(CommandFixDataCheckSum(settings, args), kExitDone);
    EXPECT_EQ(console_.Transcript(), "\nGet FixData CheckSum Fail!\n");

    console_.ClearTranscript();
    SetSelectedBufferNumber(3);
    args.outputPackageFile = Path("o.ytr");
    EXPECT_EQ(CommandWritePackageFile(settings, args), kExitDone);
    EXPECT_EQ(console_.Transcript(), "");
    EXPECT_EQ(ReadFile(dir_ / "o.ytr"), test::BuildV3(sample));
}

}  // namespace
}  // namespace jv
