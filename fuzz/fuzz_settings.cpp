// The settings reader on arbitrary text: the line splitter, every lookup the
// settings builder makes, and the number reader on every line.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/Settings.h"
#include "util/Tool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace jv;
    LineList lines;
    SplitLines(data, size, lines);
    // A line never holds the CR LF that ended it, nor a zero byte.
    for (const auto& line : lines) {
        if (line.find('\0') != std::string::npos || line.find("\r\n") != std::string::npos) std::abort();
    }

    SParameter settings = ParseSettings(lines);
    size_t total = settings.AvailableModelNames.size() + settings.Title.size() + settings.FlashHelp.size() +
                   settings.UpdaterHelp.size() + settings.main.ProgramName.size();

    // Lookups with names taken from the text itself, so that odd section
    // and key names (empty, "[", "]") are reached as well. Each one scans the
    // whole text, so a few lines are enough.
    for (size_t i = 0; i < lines.size() && i < 4; ++i) {
        const std::string& line = lines[i];
        const std::string key = line.substr(0, line.find('='));
        total += static_cast<size_t>(GetIniInt(lines, line, key, 7) & 1);
        total += GetIniString(lines, key, key, "x").size();
        total += GetIniSection(lines, line).size();
        if (auto number = ParseInt(line)) total += static_cast<size_t>(*number & 1);
    }
    if (total == SIZE_MAX) std::abort();
    return 0;
}
