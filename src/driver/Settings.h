#pragma once
// Every setting of the program, read once at start from the parameter
// buffer's settings text or the built-in default text.
#include <cstdint>
#include <string>
#include <vector>

namespace jv {

using LineList = std::vector<std::string>;

struct SMainParameter {
    uint8_t Updater = 0;
    uint8_t ShowCaption = 1;
    std::string ProgramName = "Zerv Flash YTR3 Utility";
    uint8_t ShowVersion = 1;
    uint8_t ShowDate = 1;
};

// [Argument default value]
struct SArgumentDefaults {
    uint8_t s = 0, k = 0, u = 0, i = 0;
    int32_t n = -1;
    int32_t a = 1;
    uint8_t y = 0, d = 0, g = 0, r = 0, q = 0;
};

// [Argument enabled]
struct SArgumentEnabled {
    uint8_t s = 1, c = 1, b = 1, h = 1, v = 1, e = 1, k = 1, u = 1, i = 1, n = 1, a = 1, p = 1, m = 1, o = 1,
            f = 1, t = 1, y = 1, d = 1, g = 1, r = 1;
    uint8_t q = 1;
};

struct SParameter {
    SMainParameter main;
    SArgumentDefaults defaults;
    SArgumentEnabled enabled;
    // [Other settings]
    uint8_t CheckSum = 1;
    uint8_t HardwareID = 1;
    uint8_t ModelName = 0;
    uint8_t AvailableModel = 0;
    uint8_t Verify = 1;
    uint8_t NoDisc = 1;
    uint8_t ImmediateAtapi = 0;
    uint8_t WriteNewCode = 1;
    uint8_t ErasePadRandom = 0;
    uint8_t ErasePadChar = 0;
    uint8_t Timer = 1;
    LineList AvailableModelNames;
    LineList Title;
    LineList FlashHelp;
    LineList UpdaterHelp;
};

// The 100 lines used when the parameter buffer is empty.
const LineList& DefaultSettingsText();

// Reads every setting from a settings text.
SParameter ParseSettings(const LineList& lines);

// Builds the settings from the parameter buffer, or from the default text
// when the buffer's first data byte is zero.
SParameter BuildSettings();

}  // namespace jv
