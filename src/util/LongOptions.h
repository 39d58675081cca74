#pragma once
// The long options every program answers where POSIX rules the command line:
// --help and --version on standard output with exit status 0, a program's
// own long options (such as --json), and a refusal with exit status 2 for
// any other argument that begins with "--". The programs keep their own
// syntax for everything else; this only finds and answers the long options,
// so each program (and any program to come) uses it the same way.
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jv {

inline constexpr int kExitLongOptionRefused = 2;

struct SLongOptions {
    bool help = false;
    bool version = false;
    std::vector<std::string> given;  // the program's own long options that were given
    std::string refused;             // the first other argument beginning with "--"

    bool Given(std::string_view name) const;
};

// Looks at every argument that begins with "--"; own names the program's
// own long options (with their dashes) beyond --help and --version. One
// that ends in "=" takes a value (--trace=FILE) and is given by name, as
// "--trace=", however the value reads, and also when it came without one.
SLongOptions ScanLongOptions(int argc, char** argv, std::initializer_list<std::string_view> own = {});

// The option every program that talks to a drive takes on POSIX systems:
// --trace=FILE records every drive command to FILE (see jorvane-trace(1)).
inline constexpr std::string_view kTraceLongOption = "--trace=";

// The package's version, from the build (the top project() version).
std::string_view PackageVersion();

// "jorvane-backup (jorvane) 1.2.3": the first line of every --version.
std::string VersionLine(std::string_view program);

// The line ending every --help: where the manual is.
std::string ManualLine(std::string_view program);

// Says on standard error that the option is not known; returns the exit
// status for it.
int RefuseLongOption(std::string_view program, std::string_view option);

// The whole answer for a program without long options of its own (the
// backup program, and any like it): nothing when the command line holds no
// long option; else the exit status, after --help (help(), then the
// "--" rule and the manual line), --version or the refusal. The program's
// text goes through write, the refusal to standard error.
std::optional<int> AnswerLongOptions(int argc, char** argv, std::string_view program,
                                     const std::function<void(const std::string&)>& write,
                                     const std::function<void()>& help,
                                     std::initializer_list<std::string_view> own = {});

}  // namespace jv
