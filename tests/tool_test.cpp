#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "ScratchFolderTest.h"
#include "platform/Files.h"
#include "util/Tool.h"

namespace jv {
namespace {

namespace fs = std::filesystem;

LineList Split(const std::string& text) {
    LineList lines{"left over"};
    SplitLines(reinterpret_cast<const uint8_t*>(text.data()), text.size(), lines);
    return lines;
}

TEST(SplitLines, OnlyCrLfEndsALineAndATrailingCrLfAddsNoEmptyLine) {
    EXPECT_EQ(Split("a\r\nb"), (LineList{"a", "b"}));
    EXPECT_EQ(Split("a\r\n"), (LineList{"a"}));
    EXPECT_EQ(Split("a\rb"), (LineList{"a\rb"}));
    EXPECT_EQ(Split("a\nb\r\n"), (LineList{"a\nb"}));
    EXPECT_EQ(Split("\r\n\r\n"), (LineList{"", ""}));
    EXPECT_EQ(Split("x\r\n\r\ny"), (LineList{"x", "", "y"}));
    // A CR at the very end has no LF to pair with and stays in the line.
    EXPECT_EQ(Split("a\r"), (LineList{"a\r"}));
    EXPECT_EQ(Split("\r"), (LineList{"\r"}));
}

TEST(SplitLines, EmptyTextReplacesTheListWithNothing) {
    EXPECT_TRUE(Split("").empty());
    LineList lines{"old"};
    SplitLines(nullptr, 0, lines);
    EXPECT_TRUE(lines.empty());
}

TEST(SplitLines, ZeroByteEndsTheLineButNotTheText) {
    const std::string text("ab\0cd\r\nef\0\r\n\0gh", 15);
    EXPECT_EQ(Split(text), (LineList{"ab", "ef", ""}));
}

const LineList kSettings = {
    "ShowCaption=7",  // before any header: never seen
    "[Main]",
    "Updater=1",
    "ProgramName=My Tool  ",
    "Verify = 1",
    "Timer=1",
    "s=1",
    "Empty",
    "[Other settings]   ",
    "CheckSum=1",
    "checksum=0",
    "ShowCaption=0",
    "Number=  -42xyz",
    "Big=99999999999",
    "Low=-99999999999",
    "Plus=+9",
};

TEST(IniLookups, ValueTextStartsOneCharacterAfterTheKeyWhateverThatCharacterIs) {
    EXPECT_EQ(GetIniInt(kSettings, "Main", "Updater", 5), 1);
    // The skipped character is the blank: "= 1" does not begin with a number.
    EXPECT_EQ(GetIniInt(kSettings, "Main", "Verify", 5), 0);
    EXPECT_FALSE(GetIniBool(kSettings, "Main", "Verify", true));
    // "Time" is a prefix of "Timer": the r is skipped and "=1" reads as 0.
    EXPECT_EQ(GetIniInt(kSettings, "Main", "Time", 5), 0);
    EXPECT_EQ(GetIniString(kSettings, "Main", "Time", "default"), "=1");
    // A key line with nothing after the key gives an empty value, not the default.
    EXPECT_EQ(GetIniString(kSettings, "Main", "Empty", "default"), "");
    EXPECT_EQ(GetIniInt(kSettings, "Main", "Empty", 5), 0);
}

TEST(IniLookups, StringsKeepTrailingBlanksAndOutliveTheLineList) {
    std::string name;
    {
        LineList copy = kSettings;
        name = GetIniString(copy, "Main", "ProgramName", "");
    }
    EXPECT_EQ(name, "My Tool  ");
}

TEST(IniLookups, KeysAndHeadersMatchCaseSensitivelyAsPrefixes) {
    // The header line carries trailing blanks; it is still found.
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "CheckSum", 5), 1);
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "checksum", 5), 0);
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "CHECKSUM", 5), 5);
    EXPECT_EQ(GetIniInt(kSettings, "other settings", "CheckSum", 5), 5);
    // "[Other]" is not a prefix of "[Other settings]".
    EXPECT_EQ(GetIniInt(kSettings, "Other", "CheckSum", 5), 5);
    EXPECT_EQ(GetIniInt({"[Args]", "s=1"}, "Args", "S", 5), 5);
    EXPECT_EQ(GetIniInt({"[Args]", "s=1"}, "Args", "s", 5), 1);
}

TEST(IniLookups, MissingKeyIsTakenFromALaterSectionButNeverFromAnEarlierLine) {
    // [Main] has no CheckSum; the later [Other settings] does.
    EXPECT_EQ(GetIniInt(kSettings, "Main", "CheckSum", 5), 1);
    // The first ShowCaption after [Main] is in [Other settings]; the line
    // above every header is never looked at.
    EXPECT_EQ(GetIniInt(kSettings, "Main", "ShowCaption", 5), 0);
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "Updater", 5), 5);
    EXPECT_EQ(GetIniInt(kSettings, "Missing", "Updater", 5), 5);
    EXPECT_TRUE(GetIniBool(kSettings, "Missing", "Updater", true));
    EXPECT_EQ(GetIniString(kSettings, "Missing", "ProgramName", "none"), "none");
}

TEST(IniLookups, RepeatedHeaderIsSearchedLikeTheFirst) {
    const LineList lines = {"[A]", "x=1", "[B]", "y=2", "[A]", "z=3"};
    EXPECT_EQ(GetIniInt(lines, "A", "z", 0), 3);
    EXPECT_EQ(GetIniInt(lines, "B", "x", 9), 9);
    EXPECT_EQ(GetIniInt(lines, "B", "z", 9), 3);
}

TEST(IniLookups, NumbersConvertLikeTheRuntimeDoes) {
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "Number", 5), -42);
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "Plus", 5), 9);
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "Big", 5), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(GetIniInt(kSettings, "Other settings", "Low", 5), std::numeric_limits<int32_t>::min());
    EXPECT_TRUE(GetIniBool(kSettings, "Other settings", "Number", false));
    EXPECT_TRUE(GetIniBool({"[S]", "b=2"}, "S", "b", false));
    EXPECT_FALSE(GetIniBool({"[S]", "b=abc"}, "S", "b", true));
    EXPECT_FALSE(GetIniBool({"[S]", "b=-"}, "S", "b", true));
}

TEST(IniSection, CollectsLinesUnchangedUpToTheNextBracketLine) {
    const LineList lines = {"[Models]  ", "  first  ", "", "second", "[Next]", "other"};
    EXPECT_EQ(GetIniSection(lines, "Models"), (LineList{"  first  ", "", "second"}));
    EXPECT_EQ(GetIniSection(lines, "Next"), (LineList{"other"}));
    EXPECT_TRUE(GetIniSection(lines, "models").empty());
    EXPECT_TRUE(GetIniSection(lines, "Absent").empty());
    // Only the first header counts.
    const LineList twice = {"[T]", "a", "[T]", "b"};
    EXPECT_EQ(GetIniSection(twice, "T"), (LineList{"a"}));
}

TEST(IniSection, HeaderOnTheLastLineGivesNothing) {
    EXPECT_TRUE(GetIniSection({"x", "[Title]"}, "Title").empty());
    EXPECT_TRUE(GetIniSection({}, "Title").empty());
}

TEST(ParseInt, ReadsLikeStreamExtractionAndFailsWithoutANumber) {
    EXPECT_EQ(ParseInt("7"), 7);
    EXPECT_EQ(ParseInt("  -3x"), -3);
    EXPECT_EQ(ParseInt("+11"), 11);
    EXPECT_EQ(ParseInt("012"), 12);
    EXPECT_EQ(ParseInt("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(ParseInt("123456789012"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ParseInt(""), std::nullopt);
    EXPECT_EQ(ParseInt("   "), std::nullopt);
    EXPECT_EQ(ParseInt("abc"), std::nullopt);
    EXPECT_EQ(ParseInt("-"), std::nullopt);
    EXPECT_EQ(ParseInt("+ 1"), std::nullopt);
    EXPECT_EQ(ParseInt("x1"), std::nullopt);
}

class FileHelpers : public testing::ScratchFolderTest {
protected:
    FileHelpers() : ScratchFolderTest("jv_tool_") {}
};

TEST_F(FileHelpers, LengthIsZeroForMissingEmptyAndDirectory) {
    EXPECT_EQ(GetFileLength(Path("missing.ytr")), 0u);
    Put(Path("empty.ytr"), "");
    EXPECT_EQ(GetFileLength(Path("empty.ytr")), 0u);
    EXPECT_EQ(GetFileLength(dir_.string()), 0u);
    EXPECT_EQ(GetFileLength(""), 0u);
    Put(Path("five.ytr"), std::string("ab\0\r\n", 5));
    EXPECT_EQ(GetFileLength(Path("five.ytr")), 5u);
}

TEST_F(FileHelpers, ReadFailsWhenTheFileHoldsFewerBytesThanAsked) {
    Put(Path("p.ytr"), "12345");
    std::vector<uint8_t> buffer(8, 0xEE);
    EXPECT_FALSE(ReadFileBinary(Path("p.ytr"), 8, buffer.data()));
    EXPECT_FALSE(ReadFileBinary(Path("missing"), 1, buffer.data()));

    std::fill(buffer.begin(), buffer.end(), 0xEE);
    ASSERT_TRUE(ReadFileBinary(Path("p.ytr"), 3, buffer.data()));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{'1', '2', '3', 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
    ASSERT_TRUE(ReadFileBinary(Path("p.ytr"), 5, buffer.data()));
    EXPECT_EQ(buffer[4], '5');
}

TEST_F(FileHelpers, WriteReplacesALongerFileWithExactlyTheNewBytesAndLeavesNoTemporary) {
    Put(Path("out.ytr"), std::string(1000, 'x'));
    const std::vector<uint8_t> bytes = {1, 0, 13, 10, 26, 255};
    ASSERT_TRUE(WriteFileBinary(Path("out.ytr"), bytes.data(), static_cast<uint32_t>(bytes.size())));
    EXPECT_EQ(Get(Path("out.ytr")), std::string("\x01\x00\r\n\x1a\xff", 6));
    EXPECT_EQ(Names(), (std::vector<std::string>{"out.ytr"}));

    ASSERT_TRUE(WriteFileBinary(Path("out.ytr"), nullptr, 0));
    EXPECT_TRUE(fs::exists(Path("out.ytr")));
    EXPECT_EQ(fs::file_size(Path("out.ytr")), 0u);
    ASSERT_TRUE(WriteFileBinary(Path("new.ytr"), nullptr, 0));
    EXPECT_EQ(fs::file_size(Path("new.ytr")), 0u);
}

TEST_F(FileHelpers, WriteTakesTheLongestNamesAndReplacesAWriteOnlyFile) {
    const uint8_t bytes[] = {'n', 'e', 'w'};
    // A POSIX file system takes names of up to 255 bytes; on Windows the
    // whole path is what is bounded, and the folder here is already long.
    if (PosixFileNames()) {
        for (size_t length : {248u, 255u}) {
            SCOPED_TRACE(length);
            const std::string base(length, 'n');
            ASSERT_TRUE(WriteFileBinary(Path(base), bytes, 2));
            ASSERT_TRUE(WriteFileBinary(Path(base), bytes, 3));
            EXPECT_EQ(Get(Path(base)), "new");
            EXPECT_EQ(Names(), std::vector<std::string>{base});
            fs::remove(Path(base));
        }
    }
    // Writable but not readable: replaced, as a file made for writing is.
    Put(Path("w.ytr"), "old bytes");
    fs::permissions(Path("w.ytr"), fs::perms::owner_write);
    EXPECT_TRUE(WriteFileBinary(Path("w.ytr"), bytes, 3));
    fs::permissions(Path("w.ytr"), fs::perms::owner_read, fs::perm_options::add);
    EXPECT_EQ(Get(Path("w.ytr")), "new");
    EXPECT_EQ(Names(), std::vector<std::string>{"w.ytr"});
}

TEST_F(FileHelpers, FailedWriteKeepsWhatWasThere) {
    const uint8_t bytes[] = {1, 2, 3};
    // The name is a directory: it stays a directory with its content.
    fs::create_directory(Path("sub"));
    Put(Path("sub/inner"), "keep");
    EXPECT_FALSE(WriteFileBinary(Path("sub"), bytes, 3));
    EXPECT_EQ(Get(Path("sub/inner")), "keep");
    EXPECT_EQ(Names(), (std::vector<std::string>{"sub"}));
    // A folder that does not exist.
    EXPECT_FALSE(WriteFileBinary(Path("nowhere/out.ytr"), bytes, 3));
    EXPECT_FALSE(WriteTextLines(Path("nowhere/out.txt"), {"a"}));
}

TEST_F(FileHelpers, FailedWriteInAReadOnlyFolderKeepsTheOldFile) {
    const std::string target = Path("locked/settings.txt");
    fs::create_directory(Path("locked"));
    Put(target, "old text");
    fs::permissions(Path("locked"), fs::perms::owner_read | fs::perms::owner_exec);
    {
        std::ofstream probe(Path("locked/probe"));
        if (probe) GTEST_SKIP() << "permissions are not enforced for this user";
    }
    const uint8_t bytes[] = {'n', 'e', 'w'};
    EXPECT_FALSE(WriteFileBinary(target, bytes, 3));
    EXPECT_EQ(Get(target), "old text");
}

TEST_F(FileHelpers, TextLinesEndEachLineWithCrLfTheLastToo) {
    ASSERT_TRUE(WriteTextLines(Path("t.txt"), {"[Main]", "", "  x  "}));
    EXPECT_EQ(Get(Path("t.txt")), "[Main]\r\n\r\n  x  \r\n");
    ASSERT_TRUE(WriteTextLines(Path("t.txt"), {}));
    EXPECT_EQ(Get(Path("t.txt")), "");

    // What is written splits back into the same lines.
    const LineList lines = {"a", "b\rc", "", "d"};
    ASSERT_TRUE(WriteTextLines(Path("r.txt"), lines));
    const std::string text = Get(Path("r.txt"));
    EXPECT_EQ(Split(text), lines);
}

}  // namespace
}  // namespace jv
