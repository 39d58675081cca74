#include "driver/Program.h"

#include "driver/Auxiliary.h"
#include "platform/Console.h"

namespace jv {
namespace {

int Run(int argc, char** argv) {
    ClearScreen();
    const SParameter settings = BuildSettings();

    const SCommandLine args = ParseCommandLine(argc, argv, settings);
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

int ProgramMain(int argc, char** argv) {
    try {
        return Run(argc, argv);
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
