// jorvane-trace: prints a trace that JORVANE_TRACE or --trace recorded, one
// line per record or (--summary) its counts.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trace/TracePrint.h"
#include "trace/TraceReader.h"
#include "util/LongOptions.h"

namespace {

constexpr const char* kProgram = "jorvane-trace";

// Exit statuses (the manual lists them).
constexpr int kTraceWhole = 0;
constexpr int kTraceBad = 1;
constexpr int kUsage = 2;
constexpr int kTraceIncomplete = 3;

void Out(const std::string& text) { std::fputs(text.c_str(), stdout); }
void Err(const std::string& text) { std::fputs(text.c_str(), stderr); }

void Help() {
    Out("Usage: jorvane-trace [--summary] FILE\n"
        "       jorvane-trace --help | --version\n"
        "\n"
        "Prints a trace of drive commands that a jorvane program recorded (JORVANE_TRACE=FILE,\n"
        "or --trace=FILE): one line per record, with the command's name and fields, the\n"
        "status and the sense decoded; with --summary, the counts per command, the bytes\n"
        "each way, the time and the failures. A trace may be gzip-compressed.\n"
        "\n"
        "  --summary   Print the counts instead of the records.\n"
        "  --help      Show this help.\n"
        "  --version   Show the version.\n"
        "Any other argument that begins with \"--\" is refused (exit status 2).\n"
        "\n"
        "Exit status: 0 the whole trace was read; 1 the file is no trace this program\n"
        "reads, or a record in it is broken (the message names its line); 2 a bad command\n"
        "line; 3 the trace stops before the end its program wrote (a crash, a kill, a\n"
        "power cut, or a file cut short): it was read up to its last whole record.\n");
    Out(jv::ManualLine(kProgram) + "\n");
}

int Run(int argc, char** argv) {
    const jv::SLongOptions options = jv::ScanLongOptions(argc, argv, {"--summary"});
    if (!options.refused.empty()) return jv::RefuseLongOption(kProgram, options.refused);
    if (options.help) {
        Help();
        return 0;
    }
    if (options.version) {
        Out(jv::VersionLine(kProgram) + "\n");
        return 0;
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::string_view(argv[i]).substr(0, 2) != "--") files.emplace_back(argv[i]);
    }
    if (files.size() != 1) {
        Err(std::string(kProgram) + ": name one trace file; see --help\n");
        return kUsage;
    }
    const std::string& path = files[0];
    const bool summary = options.Given("--summary");

    jv::trace::TraceReader reader;
    if (!reader.Open(path)) {
        Err(std::string(kProgram) + ": " + path + ": " + reader.Error() + "\n");
        return kTraceBad;
    }
    if (!summary) Out(jv::trace::HeaderLine(reader.Header()) + "\n");
    jv::trace::TraceSummary counts;
    jv::trace::STraceRecord record;
    bool ended = false;
    jv::trace::ENext next;
    while ((next = reader.Next(record)) == jv::trace::ENext::Record) {
        if (record.kind == jv::trace::ERecordKind::End) ended = true;
        if (summary) {
            counts.Add(record);
        } else {
            Out(jv::trace::RecordLine(record) + "\n");
        }
    }
    if (summary) Out(counts.Text(reader.Header(), ended, reader.CutShort()));
    std::fflush(stdout);
    if (next == jv::trace::ENext::Error) {
        Err(std::string(kProgram) + ": " + path + ": " + reader.Error() + "\n");
        return kTraceBad;
    }
    if (ended) return kTraceWhole;
    Err(std::string(kProgram) + ": " + path + ": " +
        (reader.CutShort() ? "the file is cut short" : "the trace has no end record") + " (after line " +
        std::to_string(reader.Line()) + "): its program did not end as programs do, or the file was cut\n");
    return kTraceIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        Err(std::string(kProgram) + ": out of memory\n");
        return kTraceBad;
    }
}
