#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/CommandLine.h"
#include "driver/Settings.h"
#include "package/PackageBuffers.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

SCommandLine Parse(const SParameter& settings, std::initializer_list<const char*> list) {
    std::vector<std::string> texts{"jorvane"};
    texts.insert(texts.end(), list.begin(), list.end());
    std::vector<char*> argv;
    for (std::string& t : texts) argv.push_back(t.data());
    return ParseCommandLine(static_cast<int>(texts.size()), argv.data(), settings);
}

SCommandLine Parse(std::initializer_list<const char*> list) {
    return Parse(ParseSettings(DefaultSettingsText()), list);
}

TEST(ParseCommandLine, EveryFlagLetterSetsOnlyItsOwnFieldUnlessDisabled) {
    struct Case {
        const char* option;
        uint8_t SCommandLine::*field;
        uint8_t SArgumentEnabled::*enabled;
    };
    using C = SCommandLine;
    using E = SArgumentEnabled;
    const Case cases[] = {
        {"/c", &C::checkDrive, &E::c},        {"/d", &C::showChecksum, &E::d},  {"/g", &C::showChip, &E::g},
        {"/i", &C::ideFlash, &E::i},          {"/k", &C::padReserved, &E::k},   {"/q", &C::skipVerify, &E::q},
        {"/r", &C::matchHeaderChecksum, &E::r}, {"/s", &C::silent, &E::s},      {"/u", &C::keepContents, &E::u},
        {"/v", &C::version, &E::v},           {"/y", &C::noQuestions, &E::y},   {"-H", &C::help, &E::h},
        {"/?", &C::help, &E::h},              {"/b2", &C::checkBuffer, &E::b},  {"/f", &C::fixDataCheckSum, &E::f},
    };
    const SParameter defaults = ParseSettings(DefaultSettingsText());
    for (const Case& c : cases) {
        SCommandLine args = Parse(defaults, {c.option});
        for (const Case& other : cases)
            EXPECT_EQ(args.*other.field, other.field == c.field ? 1 : 0) << c.option << " / " << other.option;
        SParameter disabled = defaults;
        disabled.enabled.*c.enabled = 0;
        EXPECT_EQ(Parse(disabled, {c.option}).*c.field, 0) << c.option << " while disabled";
    }
    // Unknown letters and bare option marks change nothing.
    SCommandLine ignored = Parse({"/z", "/", "-", "/0"});
    EXPECT_EQ(ignored.argumentError, 0);
    EXPECT_EQ(ignored.packageFile, "");
}

TEST(ParseCommandLine, OptionsAreLowerCasedWithTheirValuesButTheFileNameIsNot) {
    SCommandLine args = Parse({"/pMyParams.INI", "/TTest.TXT", "/eALI2", "Pkg.YTR"});
    EXPECT_EQ(args.parameterFile, "myparams.ini");
    EXPECT_EQ(args.testParameterFile, "test.txt");
    EXPECT_EQ(args.ideFlashChip, 3);
    EXPECT_EQ(args.packageFile, "Pkg.YTR");
    EXPECT_EQ(Parse({"/emtk2"}).ideFlashChip, 4);
    EXPECT_EQ(Parse({"/emtk", "/ebogus"}).ideFlashChip, 1);
}

TEST(ParseCommandLine, ErrorsStopTheParseAtOnce) {
    SCommandLine two = Parse({"a", "b", "/s"});
    EXPECT_EQ(two.argumentError, 1);
    EXPECT_EQ(two.packageFile, "a");
    EXPECT_EQ(two.silent, 0);

    EXPECT_EQ(Parse({"/n0"}).driveNumber, 0);
    EXPECT_EQ(Parse({"/n11"}).driveNumber, 11);
    for (const char* bad : {"/n12", "/n-1", "/nx", "/n", "/n99999999999"}) {
        SCommandLine args = Parse({bad, "/s"});
        EXPECT_EQ(args.argumentError, 1) << bad;
        EXPECT_EQ(args.silent, 0) << bad;
    }
}

TEST(ParseCommandLine, RepeatCountAndBufferNumbersReadLeniently) {
    EXPECT_EQ(Parse({"/a 12abc"}).repeatCount, 12);
    EXPECT_EQ(Parse({"/a"}).repeatCount, 0);
    EXPECT_EQ(Parse({"/a-3"}).repeatCount, -3);
    EXPECT_EQ(Parse({"/a99999999999999999999"}).repeatCount, INT32_MAX);
    EXPECT_EQ(Parse({"/a-99999999999999999999"}).repeatCount, INT32_MIN);

    Parse({"/b"});
    EXPECT_EQ(SelectedBufferNumber(), 0);
    Parse({"/f3"});
    EXPECT_EQ(SelectedBufferNumber(), 3);
    Parse({"x.ytr"});
    EXPECT_EQ(SelectedBufferNumber(), 1);  // a new command line starts from buffer 1
}

TEST(ParseCommandLine, OutputOptionPeeksAtTheNextArgumentWithoutConsumingIt) {
    SCommandLine args = Parse({"/oOut.ytr", "2", "pkg.ytr"});
    EXPECT_EQ(args.outputPackageFile, "out.ytr");
    EXPECT_EQ(SelectedBufferNumber(), 2);
    EXPECT_EQ(args.packageFile, "2");
    EXPECT_EQ(args.argumentError, 1);

    EXPECT_EQ(Parse({"/oout.ytr", "3"}).argumentError, 0);
    EXPECT_EQ(SelectedBufferNumber(), 3);
    Parse({"/oout.ytr", "4"});
    EXPECT_EQ(SelectedBufferNumber(), 1);
}

TEST(ParseCommandLine, PackagerSettingsForceASilentUnattendedRun) {
    SParameter settings = ParseSettings({"[Main]", "Updater=1", "[Argument default value]", "s=1", "y=1",
                                         "k=1", "a=7", "[Argument enabled]", "s=0", "c=0", "b=0", "h=0", "v=0",
                                         "p=0", "m=0", "o=0", "f=0", "t=0", "y=1"});
    SCommandLine args = Parse(settings, {"/h", "/v", "/c", "/b2", "/mout.ini", "/n3", "/y"});
    EXPECT_EQ(args.silent, 1);
    EXPECT_EQ(args.noQuestions, 1);
    EXPECT_EQ(args.padReserved, 1);  // nothing on the command line clears a flag
    EXPECT_EQ(args.repeatCount, 7);
    EXPECT_EQ(args.help + args.version + args.checkDrive + args.checkBuffer, 0);
    EXPECT_EQ(SelectedBufferNumber(), 1);
    EXPECT_EQ(args.mergedParameterFile, "");
    EXPECT_EQ(args.driveNumber, 3);  // not listed, so still enabled
}

TEST(Banner, PartsFollowTheSettingsAndHelpFollowsTheMode) {
    RecordingConsole console;
    ScopedConsole scope(console);
    SParameter settings = ParseSettings(DefaultSettingsText());
    settings.main.ShowDate = 0;
    settings.enabled.h = 0;
    PrintBanner(settings);
    settings.main.ShowCaption = 0;
    settings.main.ShowVersion = 0;
    PrintBanner(settings);
    settings.main.Updater = 1;
    settings.UpdaterHelp = {"", "Update.exe"};
    PrintHelp(settings);
    EXPECT_EQ(console.Transcript(), "<cls>Zerv Flash YTR3 Utility v.5.08 \n<cls>\n\nUpdate.exe\n");
}

}  // namespace
}  // namespace jv
