// The plain console is what every scripted run sees (pipes, files, the
// end-to-end tests, the Windows program under Wine): its bytes and its
// reading of answers must not depend on the platform.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "ScratchFolderTest.h"
#include "platform/HostConsole.h"

namespace jv {

bool ParseNumberLine(const std::string& line, long& value);

namespace {

struct Streams {
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    Streams(const Streams&) = delete;
    Streams& operator=(const Streams&) = delete;
    explicit Streams(const std::string& input) {
        if (in) {
            std::fwrite(input.data(), 1, input.size(), in);
            std::rewind(in);
        }
    }
    ~Streams() {
        if (in) std::fclose(in);
        if (out) std::fclose(out);
    }
    bool Ok() const { return in && out; }
    std::string Output() const {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;) text.push_back(static_cast<char>(c));
        return text;
    }
};

TEST(PlainConsole, WritesTheProgramsBytesOnlyWithoutScreenControl) {
    Streams s("");
    ASSERT_TRUE(s.Ok());
    auto console = MakePlainConsole(s.in, s.out);
    console->Clear();
    console->MoveTo(1, 9);
    console->SetColor(2);
    console->Write(std::string_view("Flash Bank: 3\n\0\xff\r", 17));
    console->MoveTo(80, 25);
    console->Write("Done\n");
    EXPECT_EQ(s.Output(), std::string("Flash Bank: 3\n\0\xff\rDone\n", 22));
}

class PlainConsoleFile : public testing::ScratchFolderTest {
protected:
    PlainConsoleFile() : ScratchFolderTest("jv-plain-console-") {}
};

// A pipe or file is block-buffered: whoever reads it (tee, the log of a
// scripted run) must see each row of a long flash as it is written, and a
// question before its answer, not everything once the program ends.
TEST_F(PlainConsoleFile, EachMessageReachesTheFileAsItIsWritten) {
    const std::string path = Path("out.txt");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::setvbuf(out, nullptr, _IOFBF, 1 << 16);
    Streams s("");
    ASSERT_TRUE(s.Ok());
    auto console = MakePlainConsole(s.in, out);
    console->Write("Flash Progress:  50%\n");
    EXPECT_EQ(Get(path), "Flash Progress:  50%\n");
    console->Write("Update the drive ?(Y/N)    ");
    EXPECT_EQ(Get(path), "Flash Progress:  50%\nUpdate the drive ?(Y/N)    ");
    console.reset();
    std::fclose(out);
}

TEST(PlainConsole, KeysSkipLineEndsSoEachAnswerCanHaveItsOwnLine) {
    Streams s("\r\n\nY\r\nn\n\xff");
    ASSERT_TRUE(s.Ok());
    auto console = MakePlainConsole(s.in, s.out);
    EXPECT_EQ(console->ReadKey(), 'Y');
    EXPECT_EQ(console->ReadKey(), 'n');
    EXPECT_EQ(console->ReadKey(), 0xff);  // a high byte is a key, not the end
    EXPECT_EQ(console->ReadKey(), -1);
    EXPECT_EQ(console->ReadKey(), -1);  // stays ended: "no" to every later question
}

TEST(PlainConsole, NumbersAreReadOneLineEachAndBlankLinesAreSkipped) {
    Streams s("y\n\n   \t\n  42\n-7 drives\r\n+3\nabc\n\n99");
    ASSERT_TRUE(s.Ok());
    auto console = MakePlainConsole(s.in, s.out);
    EXPECT_EQ(console->ReadKey(), 'y');
    long n = -100;
    ASSERT_TRUE(console->ReadNumber(n));  // the rest of the "y" line is blank
    EXPECT_EQ(n, 42);
    ASSERT_TRUE(console->ReadNumber(n));
    EXPECT_EQ(n, -7);
    ASSERT_TRUE(console->ReadNumber(n));
    EXPECT_EQ(n, 3);
    EXPECT_FALSE(console->ReadNumber(n));  // "abc" is consumed as a failed answer
    ASSERT_TRUE(console->ReadNumber(n));   // a last line without a line end counts
    EXPECT_EQ(n, 99);
    EXPECT_FALSE(console->ReadNumber(n));
    EXPECT_EQ(console->ReadKey(), -1);
}

TEST(PlainConsole, EndOfInputInsideBlankLinesIsNoNumber) {
    Streams s("\n  \n\r\n");
    ASSERT_TRUE(s.Ok());
    auto console = MakePlainConsole(s.in, s.out);
    long n = 5;
    EXPECT_FALSE(console->ReadNumber(n));
}

TEST(ParseNumberLine, ReadsALeadingDecimalNumberLikeAStreamExtraction) {
    struct Case {
        const char* line;
        bool ok;
        long value;
    };
    const Case cases[] = {
        {"7", true, 7},       {" \t+12", true, 12}, {"-0", true, 0},    {"12abc", true, 12},
        {"0x10", true, 0},    {"011", true, 11},    {"3 4", true, 3},   {"", false, 0},
        {"   ", false, 0},    {"+", false, 0},      {"- 5", false, 0},  {"abc", false, 0},
        {"--1", false, 0},    {".5", false, 0},
    };
    for (const Case& c : cases) {
        long value = -999;
        EXPECT_EQ(ParseNumberLine(c.line, value), c.ok) << '"' << c.line << '"';
        if (c.ok) {
            EXPECT_EQ(value, c.value) << '"' << c.line << '"';
        }
    }
}

}  // namespace
}  // namespace jv
