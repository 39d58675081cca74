#include "driver/Settings.h"

#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "package/BufferRecords.h"
#include "util/Tool.h"

namespace jv {

namespace {

// Every line of the text a program with an empty parameter buffer runs with.
const char* const kDefaultSettingsLines[] = {
    "[Main]", "Updater=0", "ShowCaption=1", "ProgramName=Zerv Flash YTR3 Utility", "ShowVersion=1", "ShowDate=1",
    "[Argument default value]", "s=0", "k=0", "u=0", "i=0", "n=-1", "a=1", "y=0", "d=0", "g=0", "r=0",
    "[Argument enabled]", "s=1", "c=1", "b=1", "h=1", "v=1", "e=1", "i=1", "n=1", "k=1", "u=1", "a=1", "p=1", "m=1",
    "o=1", "f=1", "t=1", "y=1", "d=1", "g=1", "r=1",
    "[Other settings]", "CheckSum=0", "HardwareID=0", "ModelName=0", "AvailableModel=0", "Verify=1", "NoDisc=1",
    "ImmediateAtapi=1", "WriteNewCode=1", "ErasePadRandom=0", "ErasePadChar=0", "Timer=1",
    "[AvailableModelNames]", "ZERV    QLX-E414R2      ", "ZERV    QLX-3301        ",
    "[Title]",
    "       -- Compatible with Zerv YTR3 Utility 2.01 2006/05/30",
    "       -- Compatible with Zerv Merge YTR3/CVT Utility 2.00 2006/05/22",
    "[Flash Help]",
    "",
    "jorvane.exe [YTR3 File]",
    "jorvane.exe /c",
    "",
    "The order don't care. The argument without / is regarded as YTR3 file name.",
    "Only one file is allowed.",
    "",
    "Example:  jorvane.exe file.ytr",
    "          jorvane.exe /c",
    "",
    "  /s                    Silent mode, no message displayed.",
    "  /c                    Check drive data.",
    "  /b[1~3]               Check inside YTR Buffer 1~3 whose default is 1.",
    "  /h /H /?              Show this help.",
    "  /v                    Show version information.",
    "  /p[Parameter File]    Output the default parameter file.",
    "  /m[Parameter File]    Output the data merged in Parameter buffer.",
    "  /o[YTR file] [1~3]    Output the data merged from inside YTR Buffer 1~3 whose default is 1.",
    "  /f[1~3]               Get fix data check sum from inside YTR Buffer 1~3 whose default is 1.",
    "  /t[Test File]         Get test parameter file.",
    "  /y                    Ignore asking questions, for autotest.",
    "  [YTR3 File]           Requisite parameter, the YTR3 file name.",
    "[Updater Help]",
    "",
    "Update.exe",
    "Update.exe /c",
    "",
    "The order don't care.",
    "",
    "Example:  Update.exe",
    "          Update.exe /c",
    "",
    "  /s                    Silent mode, no message displayed.",
    "  /c                    Check drive data.",
    "  /b[1~3]               Check inside YTR Buffer 1~3 whose default is 1.",
    "  /h /H /?              Show this help.",
    "  /v                    Show version information.",
    "  /p[Parameter File]    Output the default parameter file.",
    "  /m[Parameter File]    Output the data merged in Parameter buffer.",
    "  /o[YTR file] [1~3]    Output the data merged from inside YTR Buffer 1~3 whose default is 1.",
    "  /f[1~3]               Get fix data check sum from inside YTR Buffer 1~3 whose default is 1.",
    "  /t[Test File]         Get test parameter file.",
    "  /y                    Ignore asking questions, for autotest.",
};

static_assert(std::size(kDefaultSettingsLines) == 100);

uint8_t Flag(const LineList& lines, const char* section, const char* key, uint8_t missing) {
    return GetIniBool(lines, section, key, missing != 0) ? 1 : 0;
}

int32_t Number(const LineList& lines, const char* section, const char* key, int32_t missing) {
    // The lookups already keep numbers within 32 bits.
    return static_cast<int32_t>(GetIniInt(lines, section, key, missing));
}

}  // namespace

const LineList& DefaultSettingsText() {
    static const LineList text(std::begin(kDefaultSettingsLines), std::end(kDefaultSettingsLines));
    return text;
}

SParameter ParseSettings(const LineList& lines) {
    SParameter p;
    constexpr const char* kMain = "Main";
    p.main.Updater = Flag(lines, kMain, "Updater", 0);
    p.main.ShowCaption = Flag(lines, kMain, "ShowCaption", 1);
    p.main.ProgramName = GetIniString(lines, kMain, "ProgramName", "Zerv Flash YTR3 Utility");
    p.main.ShowVersion = Flag(lines, kMain, "ShowVersion", 1);
    p.main.ShowDate = Flag(lines, kMain, "ShowDate", 1);

    constexpr const char* kDefaults = "Argument default value";
    SArgumentDefaults& d = p.defaults;
    d.s = Flag(lines, kDefaults, "s", 0);
    d.k = Flag(lines, kDefaults, "k", 0);
    d.u = Flag(lines, kDefaults, "u", 0);
    d.i = Flag(lines, kDefaults, "i", 0);
    d.n = Number(lines, kDefaults, "n", -1);
    d.a = Number(lines, kDefaults, "a", 1);
    d.y = Flag(lines, kDefaults, "y", 0);
    d.d = Flag(lines, kDefaults, "d", 0);
    d.g = Flag(lines, kDefaults, "g", 0);
    d.r = Flag(lines, kDefaults, "r", 0);
    d.q = Flag(lines, kDefaults, "q", 0);

    constexpr const char* kEnabled = "Argument enabled";
    SArgumentEnabled& e = p.enabled;
    e.s = Flag(lines, kEnabled, "s", 1);
    e.c = Flag(lines, kEnabled, "c", 1);
    e.b = Flag(lines, kEnabled, "b", 1);
    e.h = Flag(lines, kEnabled, "h", 1);
    e.v = Flag(lines, kEnabled, "v", 1);
    e.e = Flag(lines, kEnabled, "e", 1);
    e.k = Flag(lines, kEnabled, "k", 1);
    e.u = Flag(lines, kEnabled, "u", 1);
    e.i = Flag(lines, kEnabled, "i", 1);
    e.n = Flag(lines, kEnabled, "n", 1);
    e.a = Flag(lines, kEnabled, "a", 1);
    e.p = Flag(lines, kEnabled, "p", 1);
    e.m = Flag(lines, kEnabled, "m", 1);
    e.o = Flag(lines, kEnabled, "o", 1);
    e.f = Flag(lines, kEnabled, "f", 1);
    e.t = Flag(lines, kEnabled, "t", 1);
    e.y = Flag(lines, kEnabled, "y", 1);
    e.d = Flag(lines, kEnabled, "d", 1);
    e.g = Flag(lines, kEnabled, "g", 1);
    e.r = Flag(lines, kEnabled, "r", 1);
    e.q = Flag(lines, kEnabled, "q", 1);

    constexpr const char* kOther = "Other settings";
    p.CheckSum = Flag(lines, kOther, "CheckSum", 1);
    p.HardwareID = Flag(lines, kOther, "HardwareID", 1);
    p.ModelName = Flag(lines, kOther, "ModelName", 0);
    p.AvailableModel = Flag(lines, kOther, "AvailableModel", 0);
    p.Verify = Flag(lines, kOther, "Verify", 1);
    p.NoDisc = Flag(lines, kOther, "NoDisc", 1);
    p.ImmediateAtapi = Flag(lines, kOther, "ImmediateAtapi", 0);
    p.WriteNewCode = Flag(lines, kOther, "WriteNewCode", 1);
    p.ErasePadRandom = Flag(lines, kOther, "ErasePadRandom", 0);
    // The pad is one byte: only the low eight bits of the number count.
    p.ErasePadChar = static_cast<uint8_t>(GetIniInt(lines, kOther, "ErasePadChar", 0) & 0xFF);
    p.Timer = Flag(lines, kOther, "Timer", 1);

    p.AvailableModelNames = GetIniSection(lines, "AvailableModelNames");
    p.Title = GetIniSection(lines, "Title");
    p.FlashHelp = GetIniSection(lines, "Flash Help");
    p.UpdaterHelp = GetIniSection(lines, "Updater Help");
    return p;
}

SParameter BuildSettings() {
    std::span<const uint8_t> buffer = EmbeddedBuffer(BufferId::Parameter);
    if (buffer.empty() || buffer[0] == 0) return ParseSettings(DefaultSettingsText());
    // The text ends at the first zero byte; a text that fills the buffer has none.
    const void* zero = std::memchr(buffer.data(), 0, buffer.size());
    size_t length = zero != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - buffer.data())
                                    : buffer.size();
    LineList lines;
    SplitLines(buffer.data(), length, lines);
    return ParseSettings(lines);
}

}  // namespace jv
