#include "driver/Program.h"

#include <cstdio>
#include <memory>
#include <string>

#include "driver/Auxiliary.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/HostConsole.h"
#include "trace/Recording.h"
#include "util/LongOptions.h"

namespace jv {
namespace {

// --help and --version print the help of this command line and what /v
// prints, without clearing the screen first: their text is read after the
// program ends, often through a pager.
int AnswerLongOption(const SParameter& settings, const SCommandLine& args, bool help, const char* program) {
    if (!help) Print("%s\n\n", VersionLine(program).c_str());
    if (!args.silent) {
        PrintBannerLines(settings);
        if (!settings.main.Updater) PrintTitle(settings);
    }
    if (help) {
        PrintPosixHelp(settings, program);
    } else {
        PrintVersionList();
    }
    return 0;
}

// Puts the console back when the run ends, however it ends.
struct SConsoleRestore {
    Console& previous;
    ~SConsoleRestore() { SetConsole(&previous); }
};

int Run(int argc, char** argv, const char* program) {
    SLongOptions longOptions;
    if (PosixFileNames()) {
        longOptions = ScanLongOptions(argc, argv, {"--json", kTraceLongOption});
        if (!longOptions.refused.empty()) return RefuseLongOption(program, longOptions.refused);
    }
    // A trace that was asked for and cannot be recorded: the drives were
    // left alone, and the run goes no further.
    if (const std::optional<std::string> refusal = trace::TraceRefusal(argc, argv)) {
        std::fputs((std::string(program) + ": " + *refusal).c_str(), stderr);
        return PosixFileNames() ? kExitLongOptionRefused : kExitDone;
    }
    const bool json = longOptions.Given("--json") && !longOptions.help && !longOptions.version;
    // With --json standard output carries the document alone; whatever else
    // the run says goes to standard error.
    std::unique_ptr<Console> messages;
    SConsoleRestore restore{TheConsole()};
    if (json) {
        messages = MakePlainConsole(stdin, stderr);
        SetConsole(messages.get());
    }

    if (!longOptions.help && !longOptions.version) ClearScreen();
    const SParameter settings = BuildSettings();

    SCommandLine args = ParseCommandLine(argc, argv, settings);
    if (longOptions.help || longOptions.version) return AnswerLongOption(settings, args, longOptions.help, program);
    if (json) {
        if (!args.checkDrive) {
            std::fputs((std::string(program) + ": --json goes with /c; see --help\n").c_str(), stderr);
            return kExitLongOptionRefused;
        }
        args.json = 1;
    }
    if (!args.silent) {
        PrintBanner(settings);
        if (!settings.main.Updater) PrintTitle(settings);
    }

    // The flash utility needs a file name at least; the updater carries its
    // package and may run with no arguments at all.
    if (args.argumentError || (!settings.main.Updater && argc <= 1)) {
        Print("\nArguments Error!\n");
        return kExitDone;
    }

    // At most one auxiliary command, the first that applies in this order.
    if (args.help) {
        PrintHelp(settings);
        return kExitDone;
    }
    if (args.version) {
        PrintVersionList();
        return kExitDone;
    }
    if (!args.mergedParameterFile.empty()) return CommandWriteParameterFile(settings, args);
    if (!args.outputPackageFile.empty()) return CommandWritePackageFile(settings, args);
    if (args.checkBuffer) return CommandCheckBuffer(settings, args);
    if (args.fixDataCheckSum) return CommandFixDataCheckSum(settings, args);
    if (!args.testParameterFile.empty()) return CommandWriteTestParameters(settings, args);
    if (args.checkDrive) return CommandCheckDrive(settings, args);
    if (args.ideFlashChip != 0) return CommandIdeDriveChoice(settings, args);

    return UpdateRun(settings, args);
}

}  // namespace

int ProgramMain(int argc, char** argv, const char* program) {
    try {
        return Run(argc, argv, program);
    } catch (...) {
        // Reporting may itself fail (the console may be what threw); the exit
        // code must still come back.
        try {
            Print("Unexpected Fail!\n");
        } catch (...) {
        }
        return kExitDone;
    }
}

}  // namespace jv
