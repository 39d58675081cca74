#include "util/LongOptions.h"

#include <algorithm>
#include <cstdio>

#include "jv_package_version.h"

namespace jv {

bool SLongOptions::Given(std::string_view name) const {
    return std::find(given.begin(), given.end(), name) != given.end();
}

SLongOptions ScanLongOptions(int argc, char** argv, std::initializer_list<std::string_view> own) {
    SLongOptions options;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        const std::string_view arg = argv[i];
        if (arg.substr(0, 2) != "--") continue;
        if (arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (std::find(own.begin(), own.end(), arg) != own.end()) {
            options.given.emplace_back(arg);
        } else if (const auto valued = std::find_if(own.begin(), own.end(),
                                                    [arg](std::string_view name) {
                                                        return name.size() > 3 && name.back() == '=' &&
                                                               (arg.substr(0, name.size()) == name ||
                                                                arg == name.substr(0, name.size() - 1));
                                                    });
                   valued != own.end()) {
            options.given.emplace_back(*valued);
        } else if (options.refused.empty()) {
            options.refused = arg;
        }
    }
    return options;
}

std::string_view PackageVersion() { return JV_PACKAGE_VERSION; }

std::string VersionLine(std::string_view program) {
    return std::string(program) + " (jorvane) " + std::string(PackageVersion());
}

std::string ManualLine(std::string_view program) {
    return "The manual: man " + std::string(program) + ".";
}

int RefuseLongOption(std::string_view program, std::string_view option) {
    // fputs, not fprintf: MinGW's fprintf locks the stream through a C
    // runtime entry that Windows 95/98/ME lack, and the tools built for
    // Windows call this too.
    const std::string text = std::string(program) + ": unknown option " + std::string(option) + "; see --help\n";
    std::fputs(text.c_str(), stderr);
    return kExitLongOptionRefused;
}

std::optional<int> AnswerLongOptions(int argc, char** argv, std::string_view program,
                                     const std::function<void(const std::string&)>& write,
                                     const std::function<void()>& help, std::initializer_list<std::string_view> own) {
    const SLongOptions options = ScanLongOptions(argc, argv, own);
    if (!options.refused.empty()) return RefuseLongOption(program, options.refused);
    if (options.help) {
        help();
        if (std::find(own.begin(), own.end(), kTraceLongOption) != own.end()) {
            write("--trace=FILE records every drive command to FILE, a file it makes new (gzip\n"
                  "when the name ends in .gz); jorvane-trace prints it.\n");
        }
        write("--help shows this text and --version the program's version; any other\n"
              "argument that begins with \"--\" is refused (exit status 2).\n");
        write(ManualLine(program) + "\n");
        return 0;
    }
    if (options.version) {
        write(VersionLine(program) + "\n");
        return 0;
    }
    return std::nullopt;
}

}  // namespace jv
