#include "driver/Program.h"
#include "platform/Console.h"

namespace jv {

int UpdateRun(const SParameter& settings, const SCommandLine& args) {
    if (!settings.main.Updater && args.packageFile.empty()) {
        Print("YTR Error!\n");
        return kExitDone;
    }
    return kExitDone;
}

}  // namespace jv
