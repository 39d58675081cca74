#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/Settings.h"
#include "package/BufferRecords.h"

namespace jv {
namespace {

// Fills the parameter buffer for one test and puts back what was there.
class ParameterBufferContent {
public:
    explicit ParameterBufferContent(const std::string& text) : buffer_(EmbeddedBuffer(BufferId::Parameter)) {
        saved_.assign(buffer_.begin(), buffer_.end());
        std::fill(buffer_.begin(), buffer_.end(), 0);
        std::memcpy(buffer_.data(), text.data(), std::min(text.size(), buffer_.size()));
    }
    ~ParameterBufferContent() { std::copy(saved_.begin(), saved_.end(), buffer_.begin()); }
    ParameterBufferContent(const ParameterBufferContent&) = delete;
    ParameterBufferContent& operator=(const ParameterBufferContent&) = delete;

private:
    std::span<uint8_t> buffer_;
    std::vector<uint8_t> saved_;
};

TEST(DefaultSettings, HoldsTheValuesOfAPlainFlashUtility) {
    ASSERT_EQ(DefaultSettingsText().size(), 100u);
    SParameter p = ParseSettings(DefaultSettingsText());
    EXPECT_EQ(p.main.Updater, 0);
    EXPECT_EQ(p.main.ProgramName, "Zerv Flash YTR3 Utility");
    EXPECT_EQ(p.main.ShowCaption + p.main.ShowVersion + p.main.ShowDate, 3);
    EXPECT_EQ(p.defaults.n, -1);
    EXPECT_EQ(p.defaults.a, 1);
    EXPECT_EQ(p.defaults.s + p.defaults.k + p.defaults.u + p.defaults.i + p.defaults.y + p.defaults.d +
                  p.defaults.g + p.defaults.r + p.defaults.q,
              0);
    const SArgumentEnabled& e = p.enabled;
    for (uint8_t flag : {e.s, e.c, e.b, e.h, e.v, e.e, e.k, e.u, e.i, e.n, e.a, e.p, e.m, e.o, e.f, e.t, e.y, e.d,
                         e.g, e.r, e.q})
        EXPECT_EQ(flag, 1);
    // The text differs from the missing-key defaults in exactly these three.
    EXPECT_EQ(p.CheckSum, 0);
    EXPECT_EQ(p.HardwareID, 0);
    EXPECT_EQ(p.ImmediateAtapi, 1);
    EXPECT_EQ(p.ModelName + p.AvailableModel + p.ErasePadRandom + p.ErasePadChar, 0);
    EXPECT_EQ(p.Verify + p.NoDisc + p.WriteNewCode + p.Timer, 4);

    EXPECT_EQ(p.AvailableModelNames, (LineList{"ZERV    QLX-E414R2      ", "ZERV    QLX-3301        "}));
    ASSERT_EQ(p.Title.size(), 2u);
    EXPECT_EQ(p.Title[0], "       -- Compatible with Zerv YTR3 Utility 2.01 2006/05/30");
    ASSERT_EQ(p.FlashHelp.size(), 22u);
    EXPECT_EQ(p.FlashHelp.front(), "");
    EXPECT_EQ(p.FlashHelp.back(), "  [YTR3 File]           Requisite parameter, the YTR3 file name.");
    ASSERT_EQ(p.UpdaterHelp.size(), 20u);
    EXPECT_EQ(p.UpdaterHelp[1], "Update.exe");
    // The updater help repeats the utility's option lines, /s to /y.
    EXPECT_TRUE(std::equal(p.UpdaterHelp.begin() + 9, p.UpdaterHelp.end(), p.FlashHelp.begin() + 10));
}

TEST(ParseSettings, ATextWithoutKeysGivesTheMissingKeyDefaults) {
    SParameter p = ParseSettings({"[Main]", "[Other settings]"});
    EXPECT_EQ(p.main.Updater, 0);
    EXPECT_EQ(p.main.ProgramName, "Zerv Flash YTR3 Utility");
    EXPECT_EQ(p.defaults.n, -1);
    EXPECT_EQ(p.defaults.a, 1);
    EXPECT_EQ(p.CheckSum, 1);
    EXPECT_EQ(p.HardwareID, 1);
    EXPECT_EQ(p.ImmediateAtapi, 0);
    EXPECT_EQ(p.enabled.q, 1);
    EXPECT_TRUE(p.AvailableModelNames.empty());
    EXPECT_TRUE(p.FlashHelp.empty());
}

TEST(ParseSettings, LookupQuirksShowInTheRecord) {
    SParameter p = ParseSettings({
        "[Main]",
        "ProgramName=Drive Updater 1.00  ",
        "[Argument default value]",
        "n=3",
        "a=-2",
        "[Other settings]",
        "checksum=0",       // wrong case: not found, the default 1 holds
        "Verify = 1",       // blank after the key: reads as 0
        "ErasePadChar=300",  // one byte: 300 becomes 44
        "Timer=",
        "[AvailableModelNames]     ",
        "VENDOR  MODEL-A         ",
        "",
        "[Updater Help]",
        "\t/h /H /?              Show this help.",
        "HardwareID=0",  // not in its section, still found from [Other settings]
    });
    EXPECT_EQ(p.main.ProgramName, "Drive Updater 1.00  ");
    EXPECT_EQ(p.defaults.n, 3);
    EXPECT_EQ(p.defaults.a, -2);
    EXPECT_EQ(p.CheckSum, 1);
    EXPECT_EQ(p.Verify, 0);
    EXPECT_EQ(p.ErasePadChar, 44);
    EXPECT_EQ(p.Timer, 0);
    EXPECT_EQ(p.HardwareID, 0);
    EXPECT_EQ(p.AvailableModelNames, (LineList{"VENDOR  MODEL-A         ", ""}));
    EXPECT_EQ(p.UpdaterHelp, (LineList{"\t/h /H /?              Show this help.", "HardwareID=0"}));

    EXPECT_EQ(ParseSettings({"[Other settings]", "ErasePadChar=-1"}).ErasePadChar, 255);
}

TEST(ParseSettings, SilentUpdaterConfigurationKeepsUnlistedOptionsEnabled) {
    SParameter p = ParseSettings({
        "[Main]", "Updater=1", "ShowCaption=1", "ProgramName=Model X 1.02 For Windows Updater 2006/07/01",
        "ShowVersion=0", "ShowDate=0",
        "[Argument default value]", "s=1", "y=1",
        "[Argument enabled]", "s=0", "c=0", "b=0", "h=0", "v=0", "p=0", "m=0", "o=0", "f=0", "t=0", "y=1",
        "[Other settings]", "CheckSum=0", "HardwareID=0", "ModelName=0", "AvailableModel=1", "Verify=1",
        "NoDisc=1", "ImmediateAtapi=1", "WriteNewCode=1", "ErasePadRandom=0", "ErasePadChar=0", "Timer=1",
    });
    EXPECT_EQ(p.main.Updater, 1);
    EXPECT_EQ(p.main.ShowVersion, 0);
    EXPECT_EQ(p.defaults.s, 1);
    EXPECT_EQ(p.defaults.y, 1);
    EXPECT_EQ(p.defaults.n, -1);
    EXPECT_EQ(p.enabled.s + p.enabled.c + p.enabled.h + p.enabled.t, 0);
    EXPECT_EQ(p.enabled.y, 1);
    EXPECT_EQ(p.enabled.e + p.enabled.k + p.enabled.n + p.enabled.q + p.enabled.r, 5);
    EXPECT_EQ(p.AvailableModel, 1);
}

TEST(BuildSettings, EmptyParameterBufferUsesTheDefaultText) {
    SParameter p = BuildSettings();
    EXPECT_EQ(p.CheckSum, 0);
    EXPECT_EQ(p.HardwareID, 0);
    EXPECT_EQ(p.ImmediateAtapi, 1);
    EXPECT_EQ(p.FlashHelp.size(), 22u);

    // A zero first byte makes the buffer empty whatever follows it.
    ParameterBufferContent content(std::string("\0[Other settings]\r\nCheckSum=1\r\n", 31));
    p = BuildSettings();
    EXPECT_EQ(p.CheckSum, 0);
    EXPECT_EQ(p.ImmediateAtapi, 1);
}

TEST(BuildSettings, FilledParameterBufferIsReadUpToItsFirstZeroByte) {
    ParameterBufferContent content(std::string("[Main]\r\nUpdater=1\r\n\0ShowDate=0\r\n", 32));
    SParameter p = BuildSettings();
    EXPECT_EQ(p.main.Updater, 1);
    EXPECT_EQ(p.main.ShowDate, 1);
    // Keys the text lacks take the missing-key defaults, not the default text's values.
    EXPECT_EQ(p.CheckSum, 1);
    EXPECT_EQ(p.HardwareID, 1);
    EXPECT_EQ(p.ImmediateAtapi, 0);
    EXPECT_TRUE(p.FlashHelp.empty());
}

TEST(BuildSettings, TextFillingTheWholeBufferEndsAtItsCapacity) {
    std::string text = "[Other settings]\r\nTimer=0\r\n[Main]\r\n";
    const std::string last = "ProgramName=Full";
    text += std::string(kParameterBufferCapacity - text.size() - last.size() - 2, 'x') + "\r\n" + last;
    ASSERT_EQ(text.size(), kParameterBufferCapacity);
    ParameterBufferContent content(text);
    SParameter p = BuildSettings();
    EXPECT_EQ(p.Timer, 0);
    // Whatever lies behind the data area is not part of the last line.
    EXPECT_EQ(p.main.ProgramName, "Full");
}

}  // namespace
}  // namespace jv
