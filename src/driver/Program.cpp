#include "driver/Program.h"

#include "platform/Console.h"

namespace jv {

int ProgramMain(int, char**) {
    Print("\nArguments Error!\n");
    return kExitDone;
}

int UpdateRun(const SParameter&, const SCommandLine&) { return kExitDone; }

}  // namespace jv
