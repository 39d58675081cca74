#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/CommandLine.h"
#include "driver/Settings.h"
#include "flash/Flashmsg.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

// argv as the program receives it: the program path first.
class Args {
public:
    Args(std::initializer_list<const char*> args) {
        texts_.emplace_back("jorvane");
        for (const char* a : args) texts_.emplace_back(a);
        for (std::string& t : texts_) pointers_.push_back(t.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts_.size()); }
    char** argv() { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

SCommandLine Parse(const SParameter& settings, std::initializer_list<const char*> list) {
    Args args(list);
    return ParseCommandLine(args.argc(), args.argv(), settings);
}

SCommandLine Parse(std::initializer_list<const char*> list) {
    return Parse(ParseSettings(DefaultSettingsText()), list);
}

TEST(ParseCommandLine, StartValuesComeFromTheDefaultSection) {
    SCommandLine none = Parse({});
    EXPECT_EQ(none.driveNumber, -1);
    EXPECT_EQ(none.repeatCount, 1);
    EXPECT_EQ(none.silent, 0);
    EXPECT_EQ(none.argumentError, 0);
    EXPECT_EQ(SelectedBufferNumber(), 1);

    LineList text = DefaultSettingsText();
    for (std::string& line : text) {
        if (line == "n=-1") line = "n=4";
        if (line == "a=1") line = "a=7";
        if (line == "k=0") line = "k=1";
    }
    SParameter settings = ParseSettings(text);
    SCommandLine args = Parse(settings, {"x.ytr"});
    EXPECT_EQ(args.driveNumber, 4);
    EXPECT_EQ(args.repeatCount, 7);
    EXPECT_EQ(args.padReserved, 1);  // nothing on the command line clears a flag
    EXPECT_EQ(args.packageFile, "x.ytr");
}

TEST(ParseCommandLine, EveryFlagLetterSetsItsOwnFieldUnlessDisabled) {
    struct Case {
        const char* option;
        uint8_t SCommandLine::*field;
        uint8_t SArgumentEnabled::*enabled;
    };
    const Case cases[] = {
        {"/c", &SCommandLine::checkDrive, &SArgumentEnabled::c},
        {"/d", &SCommandLine::showChecksum, &SArgumentEnabled::d},
        {"/g", &SCommandLine::showChip, &SArgumentEnabled::g},
        {"/i", &SCommandLine::ideFlash, &SArgumentEnabled::i},
        {"/k", &SCommandLine::padReserved, &SArgumentEnabled::k},
        {"/q", &SCommandLine::skipVerify, &SArgumentEnabled::q},
        {"/r", &SCommandLine::matchHeaderChecksum, &SArgumentEnabled::r},
        {"/s", &SCommandLine::silent, &SArgumentEnabled::s},
        {"/u", &SCommandLine::keepContents, &SArgumentEnabled::u},
        {"/v", &SCommandLine::version, &SArgumentEnabled::v},
        {"/y", &SCommandLine::noQuestions, &SArgumentEnabled::y},
        {"-H", &SCommandLine::help, &SArgumentEnabled::h},
        {"/?", &SCommandLine::help, &SArgumentEnabled::h},
        {"/b2", &SCommandLine::checkBuffer, &SArgumentEnabled::b},
        {"/f", &SCommandLine::fixDataCheckSum, &SArgumentEnabled::f},
    };
    const SParameter defaults = ParseSettings(DefaultSettingsText());
    const SCommandLine untouched = Parse({});
    for (const Case& c : cases) {
        SCommandLine args = Parse(defaults, {c.option});
        EXPECT_EQ(args.*c.field, 1) << c.option;
        // No other flag moved.
        SCommandLine expected = untouched;
        expected.*c.field = 1;
        for (const Case& other : cases)
            EXPECT_EQ(args.*other.field, expected.*other.field) << c.option << " touched " << other.option;

        SParameter disabled = defaults;
        disabled.enabled.*c.enabled = 0;
        EXPECT_EQ(Parse(disabled, {c.option}).*c.field, 0) << c.option << " while disabled";
    }
}

TEST(ParseCommandLine, OptionsAreLowerCasedWithTheirValuesButFileNamesAreNot) {
    SCommandLine args = Parse({"/pMyParams.INI", "/TTest.TXT", "/mMerged.Ini", "Pkg.YTR"});
    EXPECT_EQ(args.parameterFile, "myparams.ini");
    EXPECT_EQ(args.testParameterFile, "test.txt");
    EXPECT_EQ(args.mergedParameterFile, "merged.ini");
    EXPECT_EQ(args.packageFile, "Pkg.YTR");
    EXPECT_EQ(Parse({"/eALI2"}).ideFlashChip, 3);
}

TEST(ParseCommandLine, SecondFileNameIsAnErrorAndStopsTheParse) {
    SCommandLine args = Parse({"a", "b", "/s"});
    EXPECT_EQ(args.argumentError, 1);
    EXPECT_EQ(args.packageFile, "a");
    EXPECT_EQ(args.silent, 0);  // never read
}

TEST(ParseCommandLine, DriveNumberMustBeANumberFrom0To11) {
    EXPECT_EQ(Parse({"/n0"}).driveNumber, 0);
    EXPECT_EQ(Parse({"/n11"}).driveNumber, 11);
    EXPECT_EQ(Parse({"/n 5"}).driveNumber, 5);
    for (const char* bad : {"/n12", "/n-1", "/nx", "/n", "/n99999999999"}) {
        SCommandLine args = Parse({bad, "/s"});
        EXPECT_EQ(args.argumentError, 1) << bad;
        EXPECT_EQ(args.silent, 0) << bad;
        EXPECT_EQ(args.driveNumber, -1) << bad;
    }
    SParameter settings = ParseSettings(DefaultSettingsText());
    settings.enabled.n = 0;
    EXPECT_EQ(Parse(settings, {"/n12"}).argumentError, 0);
}

TEST(ParseCommandLine, NumbersOfAAndBufferOptionsAreReadLeniently) {
    EXPECT_EQ(Parse({"/a5"}).repeatCount, 5);
    EXPECT_EQ(Parse({"/a"}).repeatCount, 0);
    EXPECT_EQ(Parse({"/a-3"}).repeatCount, -3);
    EXPECT_EQ(Parse({"/a 12abc"}).repeatCount, 12);
    EXPECT_EQ(Parse({"/a99999999999999999999"}).repeatCount, INT32_MAX);
    EXPECT_EQ(Parse({"/a-99999999999999999999"}).repeatCount, INT32_MIN);

    Parse({"/b"});
    EXPECT_EQ(SelectedBufferNumber(), 0);
    Parse({"/b3"});
    EXPECT_EQ(SelectedBufferNumber(), 3);
    Parse({"/f2"});
    EXPECT_EQ(SelectedBufferNumber(), 2);
    Parse({"/fx"});
    EXPECT_EQ(SelectedBufferNumber(), 0);
    Parse({"x.ytr"});
    EXPECT_EQ(SelectedBufferNumber(), 1);  // a new command line starts from buffer 1
}

TEST(ParseCommandLine, OutputOptionPeeksAtTheNextArgumentWithoutConsumingIt) {
    SCommandLine args = Parse({"/oOut.ytr", "2", "pkg.ytr"});
    EXPECT_EQ(args.outputPackageFile, "out.ytr");
    EXPECT_EQ(SelectedBufferNumber(), 2);
    EXPECT_EQ(args.packageFile, "2");
    EXPECT_EQ(args.argumentError, 1);

    args = Parse({"/oout.ytr", "3"});
    EXPECT_EQ(SelectedBufferNumber(), 3);
    EXPECT_EQ(args.packageFile, "3");
    EXPECT_EQ(args.argumentError, 0);

    Parse({"/oout.ytr", "4"});
    EXPECT_EQ(SelectedBufferNumber(), 1);
    Parse({"/oout.ytr", "/s"});
    EXPECT_EQ(SelectedBufferNumber(), 1);
    Parse({"/oout.ytr"});
    EXPECT_EQ(SelectedBufferNumber(), 1);
}

TEST(ParseCommandLine, ChipFamilyTakesOnlyKnownNames) {
    EXPECT_EQ(Parse({"/emtk"}).ideFlashChip, 1);
    EXPECT_EQ(Parse({"/eali"}).ideFlashChip, 2);
    EXPECT_EQ(Parse({"/emtk2"}).ideFlashChip, 4);
    EXPECT_EQ(Parse({"/emtk", "/ebogus"}).ideFlashChip, 1);
    EXPECT_EQ(Parse({"/emtk", "/enone"}).ideFlashChip, 0);
    EXPECT_EQ(Parse({"/e"}).ideFlashChip, 0);
}

TEST(ParseCommandLine, UnknownLettersAndBareSlashesAreIgnored) {
    SCommandLine args = Parse({"/z", "/", "-", "/xyz", "/0"});
    EXPECT_EQ(args.argumentError, 0);
    EXPECT_EQ(args.packageFile, "");
    EXPECT_EQ(args.help, 0);
}

TEST(ParseCommandLine, PackagerSettingsForceSilentUnattendedRuns) {
    LineList text = {"[Main]", "Updater=1", "[Argument default value]", "s=1", "y=1", "[Argument enabled]",
                     "s=0", "c=0", "b=0", "h=0", "v=0", "p=0", "m=0", "o=0", "f=0", "t=0", "y=1"};
    SParameter settings = ParseSettings(text);
    SCommandLine args = Parse(settings, {"/h", "/v", "/c", "/b2", "/mout.ini", "/n3", "/y"});
    EXPECT_EQ(args.silent, 1);
    EXPECT_EQ(args.noQuestions, 1);
    EXPECT_EQ(args.help, 0);
    EXPECT_EQ(args.version, 0);
    EXPECT_EQ(args.checkDrive, 0);
    EXPECT_EQ(args.checkBuffer, 0);
    EXPECT_EQ(SelectedBufferNumber(), 1);
    EXPECT_EQ(args.mergedParameterFile, "");
    EXPECT_EQ(args.driveNumber, 3);  // not listed, so still enabled
}

TEST(Banner, PartsFollowTheSettings) {
    RecordingConsole console;
    ScopedConsole scope(console);
    SParameter settings = ParseSettings(DefaultSettingsText());
    PrintBanner(settings);
    EXPECT_EQ(console.Transcript(), "<cls>Zerv Flash YTR3 Utility v.5.08 2006/07/14\n/h for help.\n\n");

    console.ClearTranscript();
    settings.main.ShowDate = 0;
    settings.enabled.h = 0;
    settings.main.ProgramName = "Updater 1.0";
    PrintBanner(settings);
    EXPECT_EQ(console.Transcript(), "<cls>Updater 1.0 v.5.08 \n");

    console.ClearTranscript();
    settings.main.ShowCaption = 0;
    settings.main.ShowVersion = 0;
    PrintBanner(settings);
    EXPECT_EQ(console.Transcript(), "<cls>\n");
}

TEST(Banner, TitleAndHelpComeFromTheirSections) {
    RecordingConsole console;
    ScopedConsole scope(console);
    SParameter settings = ParseSettings(DefaultSettingsText());
    PrintTitle(settings);
    EXPECT_EQ(console.Transcript(),
              "       -- Compatible with Zerv YTR3 Utility 2.01 2006/05/30\n"
              "       -- Compatible with Zerv Merge YTR3/CVT Utility 2.00 2006/05/22\n\n");

    console.ClearTranscript();
    PrintHelp(settings);
    const std::string flash = console.Transcript();
    EXPECT_TRUE(flash.starts_with("\njorvane.exe [YTR3 File]\njorvane.exe /c\n\n")) << flash;
    EXPECT_TRUE(flash.ends_with("  [YTR3 File]           Requisite parameter, the YTR3 file name.\n")) << flash;
    EXPECT_EQ(std::count(flash.begin(), flash.end(), '\n'), 22);

    console.ClearTranscript();
    settings.main.Updater = 1;
    PrintHelp(settings);
    const std::string updater = console.Transcript();
    EXPECT_TRUE(updater.starts_with("\nUpdate.exe\nUpdate.exe /c\n\nThe order don't care.\n")) << updater;
    EXPECT_TRUE(updater.ends_with("  /y                    Ignore asking questions, for autotest.\n")) << updater;
    EXPECT_EQ(std::count(updater.begin(), updater.end(), '\n'), 20);
}

TEST(VersionList, ModelLinesAreDistinctAndEveryListedChipIsAKnownChip) {
    RecordingConsole console;
    ScopedConsole scope(console);
    PrintVersionList();
    std::vector<std::string> lines;
    std::istringstream in(console.Transcript());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 55u);  // 22 items, two of them spread over 15 and 20 lines
    EXPECT_TRUE(console.Transcript().ends_with("EON EN25P40\n\n"));

    std::set<std::string> models;
    const std::pair<int, const char*> modelLines[] = {{13, "MTK4"}, {15, "MTK6"}, {16, "MTK7"}};
    for (const auto& [index, protocol] : modelLines) {
        const std::string& line = lines[index];
        const std::string head = std::string(15, ' ') + protocol + ", for ZERV QLX-";
        EXPECT_TRUE(line.starts_with(head)) << line;
        EXPECT_TRUE(line.ends_with(".")) << line;
        models.insert(line.substr(head.size()));
    }
    EXPECT_EQ(models.size(), 3u);

    // The chip lists name exactly the chips the flash code can print.
    std::set<std::string> known(std::begin(kChipNames), std::end(kChipNames));
    int listed = 0;
    for (size_t i = 18; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const std::string name = lines[i].substr(15);
        EXPECT_TRUE(known.count(name)) << "'" << name << "'";
        ++listed;
    }
    EXPECT_EQ(listed, 35);
}

}  // namespace
}  // namespace jv
