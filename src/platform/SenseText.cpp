#include "platform/SenseText.h"

#include "platform/Console.h"

namespace jv {

namespace {
constexpr std::string_view kKeyNames[16] = {
    "NO SENSE",     "RECOVERED ERROR", "NOT READY",    "MEDIUM ERROR",  "HARDWARE ERROR", "ILLEGAL REQUEST",
    "UNIT ATTENTION", "DATA PROTECT",  "BLANK CHECK",  "VENDOR SPECIFIC", "COPY ABORTED", "ABORTED COMMAND",
    "EQUAL",        "VOLUME OVERFLOW", "MISCOMPARE",   "COMPLETED",
};
}  // namespace

std::string_view SenseKeyName(uint8_t key) { return kKeyNames[key & 0x0F]; }

std::string SenseText(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::string text = Format("%s (%02X/%02X/%02X)", std::string(SenseKeyName(key)).c_str(), key & 0x0F, asc, ascq);
    if (const std::string words = AdditionalSenseText(asc, ascq); !words.empty()) text += ", " + words;
    return text;
}

}  // namespace jv
