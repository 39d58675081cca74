#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "ScratchFolderTest.h"
#include "driver/CommandLine.h"
#include "driver/Settings.h"
#include "package/PackageBuffers.h"
#include "platform/Files.h"
#include "platform/RecordingConsole.h"

namespace jv {
namespace {

namespace fs = std::filesystem;

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
    SCommandLine ignored = Parse({"/z", "-", "/0"});
    EXPECT_EQ(ignored.argumentError, 0);
    EXPECT_EQ(ignored.packageFile, "");
}

// The fields that take text from the command line, and the error, as one
// line a table can state.
std::string TextFields(const SCommandLine& args) {
    std::string out;
    auto add = [&out](const char* key, const std::string& value) {
        if (!value.empty()) out += (out.empty() ? "" : " ") + std::string(key) + "=" + value;
    };
    add("file", args.packageFile);
    add("o", args.outputPackageFile);
    add("m", args.mergedParameterFile);
    add("p", args.parameterFile);
    add("t", args.testParameterFile);
    add("e", args.ideFlashChip != 0 ? std::to_string(args.ideFlashChip) : "");
    add("h", args.help != 0 ? "1" : "");
    add("error", args.argumentError != 0 ? "1" : "");
    return out;
}

class CommandLineNames : public testing::ScratchFolderTest {
protected:
    CommandLineNames() : ScratchFolderTest("jv_cmdline_") {}
};

// Windows reads every "/" as an option and lower-cases it whole; POSIX hosts
// read an existing absolute name as the package file and keep the case of
// option values.
TEST_F(CommandLineNames, AbsoluteNamesAndTheCaseOfValuesFollowTheHost) {
    const bool posix = PosixFileNames();
    // On Windows the names need not exist: nothing looks at them there.
    const std::string dir = posix ? dir_.string() : "/tmp/jv";
    ASSERT_EQ(dir[0], '/');
    if (posix) {
        Put(Path("Pkg.YTR"), "x");
        fs::create_directory(Path("Sub"));
    }
    struct Case {
        std::vector<std::string> args;
        std::string posix;
        std::string windows;
    };
    const Case cases[] = {
        {{"{dir}/Pkg.YTR"}, "file={dir}/Pkg.YTR", "t=mp/jv/pkg.ytr"},
        {{"{dir}/Sub"}, "file={dir}/Sub", "t=mp/jv/sub"},
        {{"/"}, "file=/", ""},
        {{"/tmp/jv-no-such-folder/Missing.ytr"}, "t=mp/jv-no-such-folder/Missing.ytr",
         "t=mp/jv-no-such-folder/missing.ytr"},
        {{"-o/tmp/Mixed/Out.ytr"}, "o=/tmp/Mixed/Out.ytr", "o=/tmp/mixed/out.ytr"},
        {{"/PMy.INI", "/eALI2", "-H", "/MSet.Ini"}, "m=Set.Ini p=My.INI e=3 h=1", "m=set.ini p=my.ini e=3 h=1"},
        {{"Pkg.YTR", "-tT.txt"}, "file=Pkg.YTR t=T.txt", "file=Pkg.YTR t=t.txt"},
        {{"{dir}/Pkg.YTR", "{dir}/Sub"}, "file={dir}/Pkg.YTR error=1", "t=mp/jv/sub"},
        {{"/oOut.ytr", "{dir}/Pkg.YTR"}, "file={dir}/Pkg.YTR o=Out.ytr", "o=out.ytr t=mp/jv/pkg.ytr"},
    };
    auto expand = [&dir](std::string text) {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
        return text;
    };
    const SParameter settings = ParseSettings(DefaultSettingsText());
    for (const Case& c : cases) {
        std::vector<std::string> texts{"jorvane"};
        for (const std::string& arg : c.args) texts.push_back(expand(arg));
        std::vector<char*> argv;
        for (std::string& t : texts) argv.push_back(t.data());
        SCommandLine args = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
        EXPECT_EQ(TextFields(args), expand(posix ? c.posix : c.windows)) << expand(c.args[0]);
        EXPECT_EQ(SelectedBufferNumber(), 1) << expand(c.args[0]);
    }
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
    SCommandLine args = Parse({"/oout.ytr", "2", "pkg.ytr"});
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

// The POSIX --help lists what this program takes: an updater's packager may
// switch options off (they are not listed, and the help says so) or on for
// good (the help says that too), and an updater names no package.
TEST(PosixHelp, ListsTheOptionsTheSettingsEnable) {
    RecordingConsole console;
    ScopedConsole scope(console);
    SParameter settings = ParseSettings(DefaultSettingsText());
    PrintPosixHelp(settings, "jorvane");
    const std::string full = console.Transcript();
    EXPECT_NE(full.find("Usage: jorvane [OPTION]... PACKAGE\n"), std::string::npos) << full;
    EXPECT_NE(full.find("\n  /b[N]       Check package buffer N"), std::string::npos) << full;
    EXPECT_EQ(full.find("not listed"), std::string::npos) << full;
    EXPECT_EQ(full.find("whether given or not"), std::string::npos) << full;

    console.ClearTranscript();
    settings.main.Updater = 1;
    settings.enabled.b = 0;
    settings.enabled.n = 0;
    settings.defaults.y = 1;
    PrintPosixHelp(settings, "my-updater");
    const std::string updater = console.Transcript();
    EXPECT_NE(updater.find("Usage: my-updater [OPTION]...\n"), std::string::npos) << updater;
    EXPECT_EQ(updater.find("PACKAGE"), std::string::npos) << updater;
    EXPECT_EQ(updater.find("/b[N]"), std::string::npos) << updater;
    EXPECT_EQ(updater.find("/nN"), std::string::npos) << updater;
    EXPECT_NE(updater.find("/y          Ask no questions. On in this program whether given or not."),
              std::string::npos)
        << updater;
    EXPECT_NE(updater.find("switch off the options not listed"), std::string::npos) << updater;
    EXPECT_NE(updater.find("The manual: man my-updater."), std::string::npos) << updater;
}

}  // namespace
}  // namespace jv
