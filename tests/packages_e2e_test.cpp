// End to end: jorvane-merge makes an updater out of the built jorvane-sim,
// and the updater's buffer commands are run as a user runs them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <initializer_list>
#include <string>
#include <string_view>

#include "PackageBuilder.h"
#include "PackageReport.h"
#include "package/BufferRecords.h"

namespace jv {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const fs::path kProgram = fs::path(JV_BINARY_DIR) / "jorvane-sim";
const fs::path kMerge = fs::path(JV_BINARY_DIR) / "tools" / "jorvane-merge";

// Silent by default, so the commands print nothing but their own output.
const std::string kSettings = "[Main]\r\nUpdater=0\r\n[Argument default value]\r\ns=1\r\n";

// A command line put together by appending: g++ 12 at -O3 sees overlapping
// copies in some chains of string additions that have none.
std::string Cat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text.append(part);
    return text;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct SRun {
    int code = -1;
    std::string out;
    std::string err;
};

class PackagesEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kProgram) || !fs::exists(kMerge)) GTEST_SKIP() << "needs the built jorvane-sim and jorvane-merge";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("jv-e2e-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Runs a command line in the scratch folder, with no input; the exit
    // status as the shell sees it (259 arrives as 3).
    SRun Run(const std::string& command) {
        const std::string line = "cd '" + dir_.string() + "' && " + command +
                                 " >stdout.txt 2>stderr.txt </dev/null; echo $? >status.txt";
        SRun run;
        if (std::system(line.c_str()) != 0) return run;
        run.code = std::atoi(ReadText(dir_ / "status.txt").c_str());
        run.out = ReadText(dir_ / "stdout.txt");
        run.err = ReadText(dir_ / "stderr.txt");
        return run;
    }
    SRun Merge(const std::string& actions, const std::string& program = kProgram.string()) {
        return Run(Cat({"'", kMerge.string(), "' '", program, "' updater ", actions}));
    }
    SRun Updater(const std::string& arguments) { return Run("./updater " + arguments); }

    fs::path dir_;
};

TEST_F(PackagesEndToEnd, MergedUpdaterWritesAndReportsItsBuffers) {
    auto one = test::SamplePackage(0x10000);
    one.ideFlashType = 1;
    one.kernelType = 1;
    one.kernelAddress = 0x8000;
    one.kernelLength = 0x100;
    auto three = test::SamplePackage(0x4000);
    three.atapiFlashType = kAtapiMtk5;
    WriteBytes(dir_ / "one.ytr", test::BuildV3(one));
    WriteBytes(dir_ / "three.ytr", test::BuildV3(three));
    WriteBytes(dir_ / "settings.ini", Bytes(kSettings.begin(), kSettings.end()));

    SRun merge = Merge("--package 1 one.ytr --package 3 three.ytr --settings settings.ini");
    ASSERT_EQ(merge.code, 0) << merge.err;
    EXPECT_EQ(merge.out + merge.err, "");
    EXPECT_NE(fs::status(dir_ / "updater").permissions() & fs::perms::owner_exec, fs::perms::none);

    SRun m = Updater("/mm.ini");
    EXPECT_EQ(m.code, 3);
    EXPECT_EQ(m.out, "");
    EXPECT_EQ(ReadText(dir_ / "m.ini"), kSettings);

    SRun o = Updater("/oo1.ytr");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(ReadText(dir_ / "o1.ytr"), ReadText(dir_ / "one.ytr"));
    Updater("/oo3.ytr 3");
    EXPECT_EQ(ReadText(dir_ / "o3.ytr"), ReadText(dir_ / "three.ytr"));

    SRun b1 = Updater("/b1");
    EXPECT_EQ(b1.code, 3);
    EXPECT_EQ(b1.out, test::CheckReport(one, test::SampleInfo()) + test::FixSumLine(one));
    // No number selects buffer 3.
    EXPECT_EQ(Updater("/b").out, test::CheckReport(three, test::SampleInfo()) + test::FixSumLine(three));
    EXPECT_EQ(Updater("/f1").out, test::FixSumLine(one));
    EXPECT_EQ(Updater("/f").out, test::FixSumLine(three));
    SRun b2 = Updater("/b2");
    EXPECT_EQ(b2.code, 3);
    EXPECT_EQ(b2.out, "\nCheck YTR Buffer Fail!\n\nGet FixData CheckSum Fail!\n");

    SRun t = Updater("/ttp.txt");
    EXPECT_EQ(t.code, 3);
    EXPECT_EQ(t.out, "");
    const auto info = test::SampleInfo();
    EXPECT_EQ(ReadText(dir_ / "tp.txt"),
              "[YTR3 TEST PARAMETERS START]\r\n" + info.hardwareId + "\r\n" + info.modelName + "\r\n" + info.version +
                  "\r\n" + info.dateCode + "\r\n" + test::Fmt("%x\r\n", test::ReferenceFixSum(one)) +
                  "10000\r\n8000\r\n100\r\nfd00\r\n200\r\n1000\r\n800\r\n[YTR3 TEST PARAMETERS END]\r\n");

    // Only the first command that applies is performed.
    Updater("/mm2.ini /oo2.ytr");
    EXPECT_TRUE(fs::exists(dir_ / "m2.ini"));
    EXPECT_FALSE(fs::exists(dir_ / "o2.ytr"));
}

TEST_F(PackagesEndToEnd, EmptyBuffersGiveTheFailureTexts) {
    // Written on Linux: the tool stores CR LF line ends, and says so.
    const std::string lf = "[Main]\nUpdater=0\n[Argument default value]\ns=1\n";
    WriteBytes(dir_ / "settings.ini", Bytes(lf.begin(), lf.end()));
    SRun merge = Merge("--settings settings.ini");
    ASSERT_EQ(merge.code, 0);
    EXPECT_EQ(merge.err, "jorvane-merge: \"settings.ini\": converted 4 LF line end(s) to CR LF (the program "
                         "splits lines at CR LF only)\n");
    EXPECT_EQ(Updater("/mm.ini").out, "");
    EXPECT_EQ(ReadText(dir_ / "m.ini"), kSettings);

    EXPECT_EQ(Updater("/b1").out, "\nCheck YTR Buffer Fail!\n\nGet FixData CheckSum Fail!\n");
    EXPECT_EQ(Updater("/f1").out, "\nGet FixData CheckSum Fail!\n");
    SRun t = Updater("/ttp.txt");
    EXPECT_EQ(t.code, 3);
    EXPECT_EQ(t.out, "\nOutput TestParameter File Fail!\n");
    EXPECT_FALSE(fs::exists(dir_ / "tp.txt"));
    // An empty package buffer is written out as an empty file, successfully.
    SRun o = Updater("/oo.ytr");
    EXPECT_EQ(o.out, "");
    ASSERT_TRUE(fs::exists(dir_ / "o.ytr"));
    EXPECT_EQ(fs::file_size(dir_ / "o.ytr"), 0u);
    EXPECT_EQ(Updater("/omissing/o.ytr").out, "\nOutput YTR File Fail!\n");
    EXPECT_EQ(Updater("/mmissing/m.ini").out, "\nOutput Parameter File Fail!\n");
}

TEST_F(PackagesEndToEnd, MergeRefusesWhatDoesNotFitAndNeverWritesOverItsInput) {
    WriteBytes(dir_ / "huge.ytr", test::BuildV3([] {
                   test::SV3Package p;
                   p.encoding = 0;
                   p.maxBankSize = kPackageBufferCapacity;
                   p.banks = {Bytes(kPackageBufferCapacity, 0x11)};
                   return p;
               }()));
    SRun huge = Merge("--package 2 huge.ytr");
    EXPECT_EQ(huge.code, 1);
    EXPECT_NE(huge.err.find("package buffer 2 holds at most 2162688 bytes"), std::string::npos) << huge.err;
    EXPECT_FALSE(fs::exists(dir_ / "updater"));

    SRun text = Merge("--cvt settings.ini");
    EXPECT_EQ(text.code, 1);

    // Each refusal names the file that is wrong, and nothing is written.
    WriteBytes(dir_ / "settings.ini", Bytes(kSettings.begin(), kSettings.end()));
    Bytes whole = test::BuildV3(test::SamplePackage(0x4000));
    WriteBytes(dir_ / "cut.ytr", Bytes(whole.begin(), whole.end() - 1024));
    WriteBytes(dir_ / "notprog.bin", Bytes(4096, 0x90));
    SRun cut = Merge("--settings settings.ini --package 1 cut.ytr");
    EXPECT_EQ(cut.code, 1);
    EXPECT_NE(cut.err.find("\"cut.ytr\" for package buffer 1: its header claims"), std::string::npos) << cut.err;
    SRun notProgram = Merge("--settings settings.ini", "notprog.bin");
    EXPECT_EQ(notProgram.code, 1);
    EXPECT_NE(notProgram.err.find("\"notprog.bin\": no record"), std::string::npos) << notProgram.err;
    EXPECT_EQ(notProgram.err.find("settings.ini"), std::string::npos) << notProgram.err;
    EXPECT_FALSE(fs::exists(dir_ / "updater"));

    SRun usage = Merge("--package 4 x");
    EXPECT_EQ(usage.code, 2);
    EXPECT_NE(usage.err.find("Usage: jorvane-merge"), std::string::npos);

    fs::copy_file(kProgram, dir_ / "copy");
    const auto size = fs::file_size(dir_ / "copy");
    SRun same = Run(Cat({"'", kMerge.string(), "' copy ./copy --empty 1"}));
    EXPECT_EQ(same.code, 1);
    EXPECT_EQ(fs::file_size(dir_ / "copy"), size);
}

}  // namespace
}  // namespace jv
