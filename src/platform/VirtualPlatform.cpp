// Binding of the simulator and the tests: the host's console, and a virtual
// clock so that waits on a virtual drive cost no real time.
#include "platform/Clock.h"
#include "platform/HostConsole.h"

namespace jv {

Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakeHostConsole();
    return *console;
}

Clock& DefaultClock() {
    static VirtualClock clock;
    return clock;
}

}  // namespace jv
