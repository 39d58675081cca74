#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "driver/Program.h"
#include "flash/Flashmsg.h"
#include "flash/Flashrom.h"
#include "package/BufferRecords.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

const std::string kBanner = "Zerv Flash YTR3 Utility v.5.08 2006/07/14\n/h for help.\n\n";
const std::string kTitle =
    "       -- Compatible with Zerv YTR3 Utility 2.01 2006/05/30\n"
    "       -- Compatible with Zerv Merge YTR3/CVT Utility 2.00 2006/05/22\n\n";
// Main clears the window, then the banner clears it again.
const std::string kStart = "<cls><cls>" + kBanner + kTitle;

struct Outcome {
    int code;
    std::string transcript;
};

Outcome RunProgram(std::initializer_list<const char*> list) {
    std::vector<std::string> texts{"jorvane"};
    for (const char* a : list) texts.emplace_back(a);
    std::vector<char*> argv;
    for (std::string& t : texts) argv.push_back(t.data());
    argv.push_back(nullptr);
    RecordingConsole console;
    ScopedConsole scope(console);
    int code = ProgramMain(static_cast<int>(texts.size()), argv.data());
    return {code, console.Transcript()};
}

// Puts a settings text into the parameter buffer for one test, as the merge
// tool would, and empties the buffer again afterwards.
class ParameterText {
public:
    explicit ParameterText(std::initializer_list<const char*> lines) {
        std::string text;
        for (const char* line : lines) text += std::string(line) + "\r\n";
        std::span<uint8_t> buffer = EmbeddedBuffer(BufferId::Parameter);
        used_ = std::min(text.size() + 1, buffer.size());
        std::copy_n(text.begin(), used_ - 1, buffer.begin());
        buffer[used_ - 1] = 0;
    }
    ~ParameterText() {
        std::span<uint8_t> buffer = EmbeddedBuffer(BufferId::Parameter);
        std::fill_n(buffer.begin(), used_, uint8_t{0});
    }

private:
    size_t used_ = 0;
};

TEST(ProgramMain, MissingOrBadArgumentsStopAfterBannerAndTitle) {
    for (auto args : {std::initializer_list<const char*>{}, {"/n12", "x.ytr"}, {"a", "b"}, {"/h", "a", "b"}}) {
        Outcome out = RunProgram(args);
        EXPECT_EQ(out.code, 259);
        EXPECT_EQ(out.transcript, kStart + "\nArguments Error!\n");
    }
}

TEST(ProgramMain, HelpWinsOverEveryOtherCommand) {
    Outcome out = RunProgram({"/h"});
    EXPECT_EQ(out.code, 259);
    std::string help;
    for (const std::string& line : ParseSettings(DefaultSettingsText()).FlashHelp) help += line + "\n";
    EXPECT_EQ(out.transcript, kStart + help);

    const std::string file = (std::filesystem::temp_directory_path() / "jv_program_help_m.ini").string();
    std::filesystem::remove(file);
    const std::string m = "/m" + file;
    EXPECT_EQ(RunProgram({"/V", "/?", m.c_str()}).transcript, kStart + help);
    EXPECT_FALSE(std::filesystem::exists(file));
}

std::string Indented(const std::vector<const char*>& names) {
    std::string text;
    for (const char* name : names) text += std::string(15, ' ') + name + "\n";
    return text;
}

TEST(ProgramMain, VersionListAfterBannerAndTitle) {
    Outcome out = RunProgram({"/v", "/b"});
    EXPECT_EQ(out.code, 259);
    const std::string head =
        "\n IDE flash   : MTK(8M), default MTK Chip.\n"
        "               ALI(2M), ALI M5721.\n"
        "               ALI2(4M), ALI M5505.\n"
        "               MTK2(4M), MTK 1589, 1685, 1585, 1355 Serial Flash.\n\n"
        " ATAPI flash : MTK, write 64K a page(MTK), read 256 byte a page(MTK) protocol.\n"
        "                    Show update process.\n"
        "               ALI, write 16K a page(ALI), read 256 byte a page(MTK) protocol.\n"
        "               MTK2, write 64K a page(MTK), read 256 byte a page(MTK) protocol.\n"
        "                     No show update process.\n"
        "               MTK3, write 64K a page(MTK), read 256 byte a page(MTK) protocol.\n"
        "                     show update process. (unable to do bytecount)\n"
        "               MTK4, for ZERV QLX-3301.\n"
        "               MTK5, for MTK Solution.\n"
        "               MTK6, for ZERV QLX-E414R2.\n"
        "               MTK7, for ZERV QLX-5216S.\n";
    const std::vector<const char*> rom = {"AMIC A29040", "AMIC A29L004", "EON EN29F010", "EON EN29F040",
                                          "EON EN29LV040", "MXIC 29F040", "MXIC 29LV040", "PMC PM39F010",
                                          "PMC PM39LV040", "SST 39SF010", "SYNCMOS S29C51001", "WINBOND W29C040",
                                          "WINBOND W29EE011", "WINBOND W39L040"};
    const std::vector<const char*> serial = {
        "SST SST25VF020",  "SST SST25VF010A", "SST SST25LF080A", "SST SST25VF016B", "NEX NX25B40",
        "SPANSION S25FL004A", "SPANSION S25FL016A", "SANYO LE25FW406M", "PMC Pm25LV040", "PMC Pm25LV020",
        "PMC Pm25LV010",   "MXIC MX25L4005",  "MXIC MX25L8005",  "MXIC MX25L2005",  "MXIC MX25L1005",
        "MXIC MX25L1605A", "ST M25PE40",      "ST M25PE80",      "EON EN25P40"};
    EXPECT_EQ(out.transcript, kStart + head + "\n Flash ROM   : AMIC A290011\n" + Indented(rom) +
                                  "\nSerial Flash : SST SST25VF040\n" + Indented(serial) + "\n");

    // The chip lists name exactly the chips the flash code can print.
    std::set<std::string> known;
    for (const SChipInfo& chip : kChipTable) known.insert(chip.name);
    for (const auto* list : {&rom, &serial})
        for (const char* name : *list) EXPECT_TRUE(known.count(name)) << name;
    EXPECT_TRUE(known.count("AMIC A290011") && known.count("SST SST25VF040"));
}

TEST(ProgramMain, AuxiliaryCommandsRunOneAtATimeInTheirOrder) {
    // b checks its buffer and prints its sum; f, next in line, is not run.
    Outcome b = RunProgram({"/f", "/b"});
    EXPECT_EQ(b.code, 259);
    EXPECT_EQ(b.transcript.find("Check YTR Buffer Fail!"), kStart.size() + 1) << b.transcript;
    const size_t sum = b.transcript.find("Get FixData CheckSum Fail!");
    ASSERT_NE(sum, std::string::npos);
    EXPECT_EQ(b.transcript.find("Get FixData CheckSum Fail!", sum + 1), std::string::npos);

    // An m, o or t without a file name counts as not given.
    Outcome f = RunProgram({"/m", "/o", "/t", "/f"});
    EXPECT_EQ(f.transcript, kStart + "\nGet FixData CheckSum Fail!\n");

    // f comes before t: the test parameter file is not written.
    const std::string file = (std::filesystem::temp_directory_path() / "jv_program_order_t.txt").string();
    std::filesystem::remove(file);
    const std::string t = "/t" + file;
    EXPECT_EQ(RunProgram({t.c_str(), "/f2"}).transcript, kStart + "\nGet FixData CheckSum Fail!\n");
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(ProgramMain, CommandsThatDoNotApplyLeaveTheRunWithoutAFileName) {
    EXPECT_EQ(RunProgram({"/enone"}).transcript, kStart + "YTR Error!\n");

    ParameterText settings({"[Main]", "Updater=0", "[Argument enabled]", "h=0"});
    Outcome out = RunProgram({"/h"});
    EXPECT_EQ(out.code, 259);
    // No help hint in the banner; the ignored /h still counts as an argument.
    EXPECT_EQ(out.transcript, "<cls><cls>Zerv Flash YTR3 Utility v.5.08 2006/07/14\n\nYTR Error!\n");
}

TEST(ProgramMain, UpdaterModeShowsNoTitleAndNeedsNoArguments) {
    {
        ParameterText settings({"[Main]", "Updater=1", "ProgramName=Drive Updater", "ShowVersion=0", "ShowDate=0",
                                "[Updater Help]", "", "Update.exe /y"});
        EXPECT_EQ(RunProgram({"/h"}).transcript, "<cls><cls>Drive Updater \n/h for help.\n\n\nUpdate.exe /y\n");
        Outcome out = RunProgram({});
        EXPECT_TRUE(out.transcript.starts_with("<cls><cls>Drive Updater \n/h for help.\n\n")) << out.transcript;
        EXPECT_EQ(out.transcript.find("Arguments Error!"), std::string::npos);
    }
    // A packaged updater: silent and disabled options whatever the user types.
    ParameterText settings({"[Main]", "Updater=1", "ProgramName=Drive Updater", "[Argument default value]", "s=1",
                            "y=1", "[Argument enabled]", "s=0", "h=0", "v=0", "y=1"});
    Outcome out = RunProgram({"/h", "/v"});
    EXPECT_EQ(out.code, 259);
    for (const char* text : {"Drive Updater", "Arguments Error!", "IDE flash", "YTR Error!"})
        EXPECT_EQ(out.transcript.find(text), std::string::npos) << text;
}

// A console that fails the way an exhausted allocation would.
class FailingConsole final : public Console {
public:
    explicit FailingConsole(int writesBeforeFailure, bool failForever)
        : left_(writesBeforeFailure), forever_(failForever) {}
    void Clear() override {}
    void MoveTo(int, int) override {}
    void SetColor(int) override {}
    void Write(std::string_view text) override {
        if (left_-- == 0 || (forever_ && left_ < 0)) throw std::bad_alloc();
        written_.append(text);
    }
    int ReadKey() override { return -1; }
    bool KeyWaiting() override { return false; }
    bool ReadNumber(long&) override { return false; }
    const std::string& Written() const { return written_; }

private:
    int left_;
    bool forever_;
    std::string written_;
};

TEST(ProgramMain, AnExceptionEndsTheRunWithUnexpectedFail) {
    std::vector<std::string> texts{"jorvane", "/v"};
    std::vector<char*> argv{texts[0].data(), texts[1].data(), nullptr};

    FailingConsole once(3, false);
    SetConsole(&once);
    int code = ProgramMain(2, argv.data());
    SetConsole(nullptr);
    EXPECT_EQ(code, 259);
    EXPECT_TRUE(once.Written().ends_with("Unexpected Fail!\n")) << once.Written();
    EXPECT_EQ(once.Written().find("IDE flash"), std::string::npos);

    // Even when the report itself cannot be printed, the exit code comes back.
    FailingConsole always(0, true);
    SetConsole(&always);
    code = ProgramMain(2, argv.data());
    SetConsole(nullptr);
    EXPECT_EQ(code, 259);
    EXPECT_EQ(always.Written(), "");
}

}  // namespace
}  // namespace jv
