#include "driver/CommandLine.h"

#include <cctype>
#include <climits>
#include <string_view>

#include "package/PackageBuffers.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "util/LongOptions.h"
#include "util/Tool.h"

namespace jv {
namespace {

constexpr const char* kProgramVersion = "v.5.08";
constexpr const char* kProgramDate = "2006/07/14";

// Reads a number the forgiving way the option values have always been read:
// leading blanks and a sign, digits up to the first other character, no
// digits giving 0. Saturates instead of overflowing on absurdly long values.
int32_t ReadLeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

uint8_t ChipFamilyOf(std::string_view value, uint8_t current) {
    constexpr std::string_view kFamilies[] = {"none", "mtk", "ali", "ali2", "mtk2"};
    for (size_t i = 0; i < std::size(kFamilies); ++i)
        if (value == kFamilies[i]) return static_cast<uint8_t>(i);
    return current;
}

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whether an argument is an option. Where absolute file names begin with "/"
// (POSIX), such an argument that names something that exists is the
// package file; "-" always begins an option.
bool IsOption(const std::string& arg, bool posixNames) {
    if (arg.empty()) return false;
    if (arg[0] == '-') return true;
    if (arg[0] != '/') return false;
    return !(posixNames && PathExists(arg));
}

}  // namespace

SCommandLine ParseCommandLine(int argc, char** argv, const SParameter& settings) {
    const SArgumentDefaults& dflt = settings.defaults;
    const SArgumentEnabled& on = settings.enabled;

    SCommandLine args;
    args.silent = dflt.s;
    args.padReserved = dflt.k;
    args.keepContents = dflt.u;
    args.ideFlash = dflt.i;
    args.driveNumber = dflt.n;
    args.repeatCount = dflt.a;
    args.noQuestions = dflt.y;
    args.showChecksum = dflt.d;
    args.showChip = dflt.g;
    args.matchHeaderChecksum = dflt.r;
    args.skipVerify = dflt.q;
    // Every parse starts from buffer 1, so one process (or one test) parsing
    // twice never sees the selection of an earlier command line.
    SetSelectedBufferNumber(1);
    const bool posixNames = PosixFileNames();

    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr) continue;
        std::string arg = argv[i];
        if (!IsOption(arg, posixNames)) {
            if (!args.packageFile.empty()) {
                args.argumentError = 1;
                return args;
            }
            args.packageFile = arg;
            continue;
        }
        // On Windows file names given with an option are lower-cased along
        // with it, as they always were; where case matters in file names
        // only the letter is.
        if (!posixNames) arg = ToLower(std::move(arg));
        const char letter =
            arg.size() > 1 ? static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1]))) : '\0';
        const std::string value = arg.size() > 2 ? arg.substr(2) : std::string();
        switch (letter) {
            case '?':
            case 'h':
                if (on.h) args.help = 1;
                break;
            case 'a':
                if (on.a) args.repeatCount = ReadLeadingNumber(value);
                break;
            case 'b':
                if (on.b) {
                    args.checkBuffer = 1;
                    SetSelectedBufferNumber(ReadLeadingNumber(value));
                }
                break;
            case 'c':
                if (on.c) args.checkDrive = 1;
                break;
            case 'd':
                if (on.d) args.showChecksum = 1;
                break;
            case 'e':
                // A chip family is a word, not a file name: /eALI2 means ali2
                // on every host.
                if (on.e) args.ideFlashChip = ChipFamilyOf(ToLower(value), args.ideFlashChip);
                break;
            case 'f':
                if (on.f) {
                    args.fixDataCheckSum = 1;
                    SetSelectedBufferNumber(ReadLeadingNumber(value));
                }
                break;
            case 'g':
                if (on.g) args.showChip = 1;
                break;
            case 'i':
                if (on.i) args.ideFlash = 1;
                break;
            case 'k':
                if (on.k) args.padReserved = 1;
                break;
            case 'm':
                if (on.m) args.mergedParameterFile = value;
                break;
            case 'n':
                if (on.n) {
                    std::optional<int32_t> number = ParseInt(value);
                    if (!number || *number < 0 || *number > 11) {
                        args.argumentError = 1;
                        return args;
                    }
                    args.driveNumber = *number;
                }
                break;
            case 'o':
                if (on.o) {
                    args.outputPackageFile = value;
                    // "/ofile 2" names buffer 2; the 2 is still read as an
                    // argument of its own below. Only the first character
                    // counts, so an argument that begins with "/" (an option,
                    // or on POSIX a file name) never names a buffer.
                    if (i + 1 < argc && argv[i + 1] != nullptr) {
                        const char next = argv[i + 1][0];
                        if (next == '2' || next == '3') SetSelectedBufferNumber(next - '0');
                    }
                }
                break;
            case 'p':
                if (on.p) args.parameterFile = value;
                break;
            case 'q':
                if (on.q) args.skipVerify = 1;
                break;
            case 'r':
                if (on.r) args.matchHeaderChecksum = 1;
                break;
            case 's':
                if (on.s) args.silent = 1;
                break;
            case 't':
                if (on.t) args.testParameterFile = value;
                break;
            case 'u':
                if (on.u) args.keepContents = 1;
                break;
            case 'v':
                if (on.v) args.version = 1;
                break;
            case 'y':
                if (on.y) args.noQuestions = 1;
                break;
            default:
                break;
        }
    }
    return args;
}

void PrintBanner(const SParameter& settings) {
    ClearScreen();
    PrintBannerLines(settings);
}

void PrintBannerLines(const SParameter& settings) {
    if (settings.main.ShowCaption) Print("%s ", settings.main.ProgramName.c_str());
    if (settings.main.ShowVersion) Print("%s ", kProgramVersion);
    if (settings.main.ShowDate) Print("%s", kProgramDate);
    Print("\n");
    if (settings.enabled.h) {
        Print("/h for help.\n");
        Print("\n");
    }
}

void PrintTitle(const SParameter& settings) {
    for (const std::string& line : settings.Title) Print("%s\n", line.c_str());
    Print("\n");
}

void PrintHelp(const SParameter& settings) {
    const LineList& lines = settings.main.Updater ? settings.UpdaterHelp : settings.FlashHelp;
    for (const std::string& line : lines) Print("%s\n", line.c_str());
}

namespace {

// One option of the POSIX --help: shown when the settings enable its letter
// (a packager may switch options off); a flag the settings turn on by
// default is on whatever the command line says, and the help says so.
struct SHelpOption {
    const char* group;
    uint8_t SArgumentEnabled::*enabled;  // nullptr: always taken
    uint8_t SArgumentDefaults::*onByDefault;
    const char* form;
    const char* text;
};

constexpr const char* kDriveGroup = "Choosing the drive:";
constexpr const char* kRunGroup = "The update:";
constexpr const char* kIdeGroup = "On the IDE register route (/i):";
constexpr const char* kBufferGroup = "This program's own buffers (an updater made by jorvane-merge):";
constexpr const char* kAboutGroup = "About the program:";

using E = SArgumentEnabled;
using D = SArgumentDefaults;
constexpr SHelpOption kHelpOptions[] = {
    {kDriveGroup, &E::c, nullptr, "/c", "List the drives: model, hardware ID, version, date code and bank number."},
    {kDriveGroup, &E::c, nullptr, "/c --json",
     "The listing as one JSON document on standard output; every other message goes to standard error."},
    {kDriveGroup, &E::n, nullptr, "/nN", "Use drive N (0 to 11, numbered as /c lists them) without asking."},
    {kDriveGroup, &E::e, nullptr, "/eCHIP",
     "Identify the flash chip of a drive through its IDE registers (CHIP: mtk, ali, ali2 or mtk2); nothing is "
     "written."},
    {kRunGroup, &E::y, &D::y, "/y", "Ask no questions."},
    {kRunGroup, &E::s, &D::s, "/s", "Silent: no messages, no questions."},
    {kRunGroup, &E::i, &D::i, "/i", "Flash through the drive's IDE registers instead of its firmware."},
    {kIdeGroup, &E::a, nullptr, "/aN", "Run the flash job N times; the last run decides."},
    {kIdeGroup, &E::u, &D::u, "/u", "Keep the flash contents: do not erase before writing."},
    {kIdeGroup, &E::k, &D::k, "/k", "Fill the package's reserved blocks with the erase pad."},
    {kIdeGroup, &E::r, &D::r, "/r",
     "Write the package's own bytes into its reserved blocks, and match the drive's check sum reply with the "
     "package header's."},
    {kIdeGroup, &E::q, &D::q, "/q", "Do not read the chip back and compare it after writing."},
    {kIdeGroup, &E::d, &D::d, "/d", "Show the check sum of the flash read back."},
    {kIdeGroup, &E::g, &D::g, "/g", "Show the flash chip's name."},
    {kBufferGroup, &E::b, nullptr, "/b[N]", "Check package buffer N (1 to 3, default 1)."},
    {kBufferGroup, &E::f, nullptr, "/f[N]", "Print the fixed-data check sum of package buffer N."},
    {kBufferGroup, &E::o, nullptr, "/oFILE [N]", "Write package buffer N (1 to 3, default 1) to FILE."},
    {kBufferGroup, &E::m, nullptr, "/mFILE", "Write the settings text this program carries to FILE."},
    {kBufferGroup, &E::t, nullptr, "/tFILE", "Write the test parameters of package buffer 1 to FILE."},
    {kBufferGroup, &E::p, nullptr, "/pFILE", "Accepted; does nothing."},
    {kAboutGroup, &E::h, nullptr, "/h /?", "Show the help of this program's settings text."},
    {kAboutGroup, &E::v, nullptr, "/v", "Show the flash protocols and chips this program knows."},
    {kAboutGroup, nullptr, nullptr, "--help", "Show this help."},
    {kAboutGroup, nullptr, nullptr, "--version", "Show the version, the package version and what /v shows."},
    {kAboutGroup, nullptr, nullptr, "--trace=FILE",
     "Record every drive command to FILE, a file it makes new (gzip when the name ends in .gz), for "
     "jorvane-trace."},
};

constexpr size_t kHelpWidth = 79;
constexpr size_t kHelpTextColumn = 14;

// "  FORM        TEXT", the text wrapped at word ends below its own column.
void PrintHelpOption(std::string_view form, std::string_view text) {
    std::string line = "  " + std::string(form);
    if (line.size() + 1 >= kHelpTextColumn) {
        Print("%s\n", line.c_str());
        line.clear();
    }
    line.resize(kHelpTextColumn, ' ');
    size_t at = 0;
    while (at < text.size()) {
        const size_t room = kHelpWidth - line.size();
        size_t take = text.size() - at;
        if (take > room) {
            const size_t blank = text.rfind(' ', at + room);
            take = blank != std::string_view::npos && blank > at ? blank - at : room;
        }
        line += text.substr(at, take);
        Print("%s\n", line.c_str());
        at += take;
        while (at < text.size() && text[at] == ' ') ++at;
        line.assign(kHelpTextColumn, ' ');
    }
}

}  // namespace

void PrintPosixHelp(const SParameter& settings, std::string_view program) {
    const std::string name(program);
    if (settings.main.Updater) {
        Print("Usage: %s [OPTION]...\n", name.c_str());
    } else {
        Print("Usage: %s [OPTION]... PACKAGE\n", name.c_str());
    }
    if (settings.enabled.c) Print("       %s /c%s [--json]\n", name.c_str(), settings.enabled.n ? " [/nN]" : "");
    Print("       %s --help | --version\n\n", name.c_str());
    if (settings.main.Updater) {
        Print("Writes the firmware this program carries into a CD or DVD drive's flash.\n");
    } else {
        Print("Writes the firmware of PACKAGE (a YTR3 file, or a zip archive holding one)\n"
              "into a CD or DVD drive's flash.\n");
    }
    static constexpr const char* kRules[] = {
        "",
        "Options begin with \"/\" or \"-\", in any order; a value follows the letter",
        "without a blank (/n1, -o/tmp/out.ytr). Only an option's letter is lower-cased:",
        "its value keeps its case. An argument that begins with \"/\" and names an",
        "existing file or folder is a file name, not an option (absolute paths name",
        "files), so an option whose value is an absolute path is best written with \"-\".",
    };
    for (const char* line : kRules) Print("%s\n", line);
    if (!settings.main.Updater) Print("The file name is the package; only one may be named.\n");

    const char* group = nullptr;
    bool switchedOff = false;
    for (const SHelpOption& option : kHelpOptions) {
        if (option.enabled != nullptr && !(settings.enabled.*option.enabled)) {
            switchedOff = true;
            continue;
        }
        if (group != option.group) {
            group = option.group;
            Print("\n%s\n", group);
        }
        std::string text = option.text;
        if (option.onByDefault != nullptr && settings.defaults.*option.onByDefault) {
            text += " On in this program whether given or not.";
        }
        PrintHelpOption(option.form, text);
    }
    Print("Any other argument that begins with \"--\" is refused (exit status 2).\n");
    if (switchedOff) Print("This program's settings switch off the options not listed.\n");

    static constexpr const char* kExits[] = {
        "",
        "Exit status, as the shell sees it (the low byte of the code):",
        "  194 (3010)  the drive was flashed; restart the machine",
        "  3 (259)     every other ending: a command, a declined question, a failure",
        "  0           ESC while waiting for the drive; --help, --version; the JSON",
        "              listing was written",
        "  2           an unknown long option, --json without /c, or a trace that",
        "              cannot be recorded (no drive is touched then)",
        "  129, 130, 131, 141, 143",
        "              ended by a signal: a closing terminal, Ctrl-C, Ctrl-\\, a closed",
        "              pipe, a kill",
        "",
    };
    for (const char* line : kExits) Print("%s\n", line);
    Print("%s\n", ManualLine(program).c_str());
}

void PrintVersionList() {
    static constexpr const char* kLines[] = {
        "",
        " IDE flash   : MTK(8M), default MTK Chip.",
        "               ALI(2M), ALI M5721.",
        "               ALI2(4M), ALI M5505.",
        "               MTK2(4M), MTK 1589, 1685, 1585, 1355 Serial Flash.",
        "",
        " ATAPI flash : MTK, write 64K a page(MTK), read 256 byte a page(MTK) protocol.",
        "                    Show update process.",
        "               ALI, write 16K a page(ALI), read 256 byte a page(MTK) protocol.",
        "               MTK2, write 64K a page(MTK), read 256 byte a page(MTK) protocol.",
        "                     No show update process.",
        "               MTK3, write 64K a page(MTK), read 256 byte a page(MTK) protocol.",
        "                     show update process. (unable to do bytecount)",
        "               MTK4, for ZERV QLX-3301.",
        "               MTK5, for MTK Solution.",
        "               MTK6, for ZERV QLX-E414R2.",
        "               MTK7, for ZERV QLX-5216S.",
        "",
        " Flash ROM   : AMIC A290011",
        "               AMIC A29040",
        "               AMIC A29L004",
        "               EON EN29F010",
        "               EON EN29F040",
        "               EON EN29LV040",
        "               MXIC 29F040",
        "               MXIC 29LV040",
        "               PMC PM39F010",
        "               PMC PM39LV040",
        "               SST 39SF010",
        "               SYNCMOS S29C51001",
        "               WINBOND W29C040",
        "               WINBOND W29EE011",
        "               WINBOND W39L040",
        "",
        "Serial Flash : SST SST25VF040",
        "               SST SST25VF020",
        "               SST SST25VF010A",
        "               SST SST25LF080A",
        "               SST SST25VF016B",
        "               NEX NX25B40",
        "               SPANSION S25FL004A",
        "               SPANSION S25FL016A",
        "               SANYO LE25FW406M",
        "               PMC Pm25LV040",
        "               PMC Pm25LV020",
        "               PMC Pm25LV010",
        "               MXIC MX25L4005",
        "               MXIC MX25L8005",
        "               MXIC MX25L2005",
        "               MXIC MX25L1005",
        "               MXIC MX25L1605A",
        "               ST M25PE40",
        "               ST M25PE80",
        "               EON EN25P40",
        "",
    };
    for (const char* line : kLines) Print("%s\n", line);
}

}  // namespace jv
