// Binding of the real program: this host's console and clock.
#include "platform/Clock.h"
#include "platform/HostConsole.h"

namespace jv {

Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakeHostConsole();
    return *console;
}

Clock& DefaultClock() {
    static RealClock clock;
    return clock;
}

}  // namespace jv
