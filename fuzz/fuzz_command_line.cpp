// The settings text and the command line together, as the program reads
// them at start: the text is put into the parameter buffer and read from
// there, the arguments are parsed with those settings, and the texts the
// program prints about itself are printed with them.
//
// An input is the settings text up to its first zero byte (where the
// buffer's text ends as well), then the arguments, each ended by a zero byte
// or by the end of the input. An input that begins with a zero byte runs with
// the built-in default text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "driver/CommandLine.h"
#include "driver/Settings.h"
#include "package/BufferRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace jv;
    fuzz::DropConsoleOutput();

    const std::span<uint8_t> buffer = EmbeddedBuffer(BufferId::Parameter);
    if (buffer.empty()) std::abort();
    const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t textLength = zero != nullptr ? static_cast<size_t>(zero - data) : size;
    const size_t copied = std::min(textLength, buffer.size());
    std::copy_n(data, copied, buffer.begin());
    SParameter settings = BuildSettings();
    // The next input finds the buffer as empty as the program ships it.
    std::fill_n(buffer.begin(), copied, uint8_t{0});

    std::vector<std::string> arguments{"jorvane"};
    for (size_t at = textLength + 1; at < size; ++at) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at));
        const size_t length = end != nullptr ? static_cast<size_t>(end - (data + at)) : size - at;
        arguments.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const SCommandLine args = ParseCommandLine(static_cast<int>(arguments.size()), argv.data(), settings);
    // A drive number is the default or one the parser accepted.
    if (!args.argumentError && args.driveNumber != settings.defaults.n &&
        (args.driveNumber < 0 || args.driveNumber > 11))
        std::abort();
    // The command line can set a flag but never clear one.
    if ((settings.defaults.s && !args.silent) || (settings.defaults.y && !args.noQuestions)) std::abort();
    // The bare argument is one of the arguments that is not an option.
    if (!args.packageFile.empty() &&
        std::find(arguments.begin() + 1, arguments.end(), args.packageFile) == arguments.end())
        std::abort();

    PrintBanner(settings);
    PrintTitle(settings);
    PrintHelp(settings);
    return 0;
}
