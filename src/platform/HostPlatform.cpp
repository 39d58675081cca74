// Binding of the real program: this host's console, clock, drives and
// registry.
#include "drive/Buffer.h"
#include "platform/Clock.h"
#include "platform/DriveRoute.h"
#include "platform/HostConsole.h"
#include "platform/Ports.h"
#include "platform/Registry.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/AspiRoute.h"
#include "platform/PassThroughRoute.h"
#elif defined(__linux__)
#include "platform/SgIoRoute.h"
#endif

namespace jv {

Console& DefaultConsole() {
    static std::unique_ptr<Console> console = MakeHostConsole();
    return *console;
}

Clock& DefaultClock() {
    static RealClock clock;
    return clock;
}

PortBackend& DefaultPorts() {
    static std::unique_ptr<PortBackend> ports = MakeHostPorts();
    return *ports;
}

#ifdef _WIN32

bool DetectPassThroughPlatform() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return true;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

std::unique_ptr<DriveRoute> MakePlatformDriveRoute(bool usesPassThrough) {
    return usesPassThrough ? MakeWin32PassThroughRoute() : MakeWin32AspiRoute();
}

Registry& DefaultRegistry() {
    static std::unique_ptr<Registry> registry = MakeWin32Registry();
    return *registry;
}

#else

// Linux reaches drives by SG_IO, a pass-through route: the registry steps of
// the ASPI machines never run here.
bool DetectPassThroughPlatform() { return true; }

std::unique_ptr<DriveRoute> MakePlatformDriveRoute(bool) {
#ifdef __linux__
    return MakeLinuxSgIoRoute();
#else
    return nullptr;
#endif
}

Registry& DefaultRegistry() {
    static MemoryRegistry registry;
    return registry;
}

#endif

namespace {
// The drives are scanned before main on every run, even one whose command
// never touches a drive; holding the object here keeps its unit in the link.
[[maybe_unused]] const bool g_drivesScanned = (TheAtapi(), true);
}  // namespace

}  // namespace jv
