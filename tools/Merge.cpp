// jorvane-merge: makes a self-contained updater by filling the embedded
// buffers of a built jorvane, jorvane-sim or jorvane.exe.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "MergeCore.h"
#include "platform/Files.h"
#include "platform/OwnFile.h"
#include "platform/HostConsole.h"
#include "util/LongOptions.h"

namespace jv {

// The program's package readers can print; none of their output is the
// merge tool's, so it would go to standard error.
Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakePlainConsole(stdin, stderr);
    return *console;
}

}  // namespace jv

namespace {

namespace fs = std::filesystem;
using jv::SBufferRecordInfo;

constexpr const char* kProgram = "jorvane-merge";

constexpr const char* kUsage =
    "Usage: jorvane-merge PROGRAM NEW-PROGRAM ACTION...\n"
    "\n"
    "Fills the embedded buffers of a built jorvane, jorvane-sim or jorvane.exe and\n"
    "writes the result to NEW-PROGRAM. PROGRAM itself is never changed; buffers that\n"
    "no action names keep what PROGRAM holds.\n"
    "\n"
    "Actions (each buffer at most once):\n"
    "  --package N FILE   put the package FILE into package buffer N (1, 2 or 3)\n"
    "  --settings FILE    put the settings text FILE into the parameter buffer\n"
    "                     (a line end that is a lone LF is stored as CR LF, and\n"
    "                     said; a zero byte is put behind the text)\n"
    "  --cvt FILE         put the Philips-format file FILE into the CVT buffer\n"
    "                     (its length is put in front of it, 4 bytes big-endian)\n"
    "  --empty BUFFER     empty a buffer: 1, 2, 3, settings or cvt\n"
    "  --help             show this text (--version: the program's version)\n"
    "\n"
    "Packages and Philips-format files are loaded as the program loads them and\n"
    "refused when their header's length or check sum does not match their bytes.\n"
    "\n"
    "Exit status: 0 done, 1 a file or buffer problem, 2 a bad command line.\n"
    "The manual: man jorvane-merge.\n";

struct SAction {
    const SBufferRecordInfo* record = nullptr;
    std::string file;  // empty: empty the buffer
    enum Kind { Package, Settings, Cvt, Empty } kind = Empty;
};

int UsageError(const std::string& text) {
    std::fprintf(stderr, "jorvane-merge: %s\n\n%s", text.c_str(), kUsage);
    return 2;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "jorvane-merge: %s\n", text.c_str());
    return 1;
}

bool ReadWholeFile(const std::string& name, std::vector<uint8_t>& bytes) {
    std::error_code ec;
    if (!fs::is_regular_file(name, ec)) return false;
    std::ifstream in(name, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Through the program's own writer: a sibling file made new, written and
// read back through the descriptor that made it, then renamed over the
// target, so the new program appears whole or not at all. The program must
// stay runnable: it gets the mode of the program it was made from (its
// permission bits; never set-ID).
std::string WriteNewProgram(const std::string& name, const std::vector<uint8_t>& bytes, fs::perms perms) {
    const auto mode = static_cast<uint32_t>(perms & fs::perms::all);
    const jv::SNewFile written = jv::WriteOwnFile(name, bytes, {jv::EPlaceFile::Replace, mode});
    if (written.result == jv::ENewFile::Ok) return {};
    if (written.result == jv::ENewFile::ReadsBackWrong) return "it did not read back as written";
    return written.reason;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s\n", jv::VersionLine(kProgram).c_str());
            return 0;
        }
    }
    // The programs are named first; an option in their place is one this
    // tool does not know.
    for (size_t i = 0; i < std::min<size_t>(args.size(), 2); ++i)
        if (args[i].rfind("--", 0) == 0) return jv::RefuseLongOption(kProgram, args[i]);
    if (args.size() < 3) return UsageError("a program, a new program and at least one action are needed");
    const std::string input = args[0];
    const std::string output = args[1];

    std::vector<SAction> actions;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& option = args[i];
        SAction action;
        auto needs = [&](size_t count) { return i + count < args.size(); };
        if (option == "--package") {
            if (!needs(2)) return UsageError("--package needs a buffer number and a file");
            const std::string& number = args[i + 1];
            if (number != "1" && number != "2" && number != "3")
                return UsageError("package buffer \"" + number + "\" does not exist; use 1, 2 or 3");
            action.record = jv::merge::RecordByName(number);
            action.file = args[i + 2];
            action.kind = SAction::Package;
            i += 2;
        } else if (option == "--settings" || option == "--cvt") {
            if (!needs(1)) return UsageError(option + " needs a file");
            action.record = jv::merge::RecordByName(option == "--settings" ? "settings" : "cvt");
            action.file = args[i + 1];
            action.kind = option == "--settings" ? SAction::Settings : SAction::Cvt;
            i += 1;
        } else if (option == "--empty") {
            if (!needs(1)) return UsageError("--empty needs a buffer: 1, 2, 3, settings or cvt");
            action.record = jv::merge::RecordByName(args[i + 1]);
            if (action.record == nullptr)
                return UsageError("no buffer \"" + args[i + 1] + "\"; use 1, 2, 3, settings or cvt");
            i += 1;
        } else if (option.rfind("--", 0) == 0) {
            return jv::RefuseLongOption(kProgram, option);
        } else {
            return UsageError("unknown action \"" + option + "\"");
        }
        for (const auto& earlier : actions)
            if (earlier.record == action.record)
                return UsageError(jv::merge::RecordLabel(*action.record) + " is named more than once");
        actions.push_back(action);
    }

    std::error_code ec;
    if (!fs::is_regular_file(input, ec)) return Fail("cannot read the program \"" + input + "\"");
    if (fs::exists(output, ec) && fs::equivalent(input, output, ec))
        return Fail("the new program must be another file than \"" + input + "\"");

    std::vector<uint8_t> program;
    if (!ReadWholeFile(input, program)) return Fail("cannot read the program \"" + input + "\"");
    // The program first: when it has no such records, it is what is wrong,
    // whatever the files for them hold.
    for (const auto& action : actions) {
        jv::merge::SRecordPlace place = jv::merge::FindRecord(program, *action.record);
        if (!place.error.empty()) return Fail("\"" + input + "\": " + place.error);
    }

    std::vector<std::string> notes;
    for (const auto& action : actions) {
        std::vector<uint8_t> data;
        const std::string what = "\"" + action.file + "\" for " + jv::merge::RecordLabel(*action.record);
        if (action.kind != SAction::Empty) {
            std::vector<uint8_t> content;
            if (!ReadWholeFile(action.file, content)) return Fail("cannot read \"" + action.file + "\"");
            std::string problem;
            size_t converted = 0;
            switch (action.kind) {
                case SAction::Package: problem = jv::merge::PreparePackage(content, *action.record, data); break;
                case SAction::Settings: problem = jv::merge::PrepareSettings(content, data, converted); break;
                case SAction::Cvt: problem = jv::merge::PrepareCvt(content, data); break;
                case SAction::Empty: break;
            }
            if (!problem.empty()) return Fail(what + ": " + problem);
            if (converted > 0)
                notes.push_back("\"" + action.file + "\": converted " + std::to_string(converted) +
                                " LF line end(s) to CR LF (the program splits lines at CR LF only)");
        }
        // The records were found above, so only the data can be wrong here.
        std::string problem = jv::merge::FillRecord(program, *action.record, data);
        if (!problem.empty()) return Fail(what + ": " + problem);
    }

    fs::perms perms = fs::status(input, ec).permissions();
    if (ec) perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec;
    if (const std::string why = WriteNewProgram(output, program, perms); !why.empty())
        return Fail("cannot write \"" + output + "\": " + why);
    for (const auto& note : notes) std::fprintf(stderr, "jorvane-merge: %s\n", note.c_str());
    return 0;
}
