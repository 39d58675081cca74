// Binding of the virtual drives when they live inside another program (the
// SG_IO shim, the ASPI layer double): that program's own clock, no output on
// its standard output, and a registry nobody else reads.
#include <cstdio>

#include "platform/Clock.h"
#include "platform/HostConsole.h"
#include "platform/Registry.h"
#include "sim/ReplaySource.h"

namespace jv {

// The drives keep real time: the program's waits are real waits, and a flash
// takes as long as the rig says.
Clock& DefaultClock() {
    static RealClock clock;
    return clock;
}

// The drive code shares the package readers, which can print; that must
// never reach the program's own output.
Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakePlainConsole(stdin, stderr);
    return *console;
}

// The rig's registry text is read into a registry of the process, which
// nobody else reads: an empty one in memory serves.
Registry& DefaultRegistry() {
    static MemoryRegistry registry;
    return registry;
}

namespace sim {

// The trace reader is not built into the programs that host drives: a
// replayed drive is for jorvane-sim and the tests.
std::unique_ptr<ReplaySource> OpenReplay(const std::string&, SDriveConfig&, std::string& error) {
    error = "a replayed drive needs jorvane-sim";
    return nullptr;
}

}  // namespace sim

}  // namespace jv
