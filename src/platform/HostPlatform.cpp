// Binding of the real program: this host's console, clock, drives and
// registry.
#include "platform/Clock.h"
#include "platform/DriveRoute.h"
#include "platform/HostConsole.h"
#include "platform/Ports.h"
#include "platform/Registry.h"

#ifdef _WIN32
#include <windows.h>

#include <string>

#include "platform/AspiRoute.h"
#include "platform/PassThroughRoute.h"
#elif defined(__linux__)
#include <scsi/sg_lib.h>

#include <string_view>

#include "platform/SgIoRoute.h"
#endif

#include "platform/SenseText.h"

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

// The system has no table of sense texts the program could rely on.
std::string AdditionalSenseText(uint8_t, uint8_t) { return {}; }

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

// libsgutils2 knows the standard's texts; for a code it does not know it
// writes the numbers back, which the message already shows.
std::string AdditionalSenseText(uint8_t asc, uint8_t ascq) {
#ifdef __linux__
    char text[128] = {};
    sg_get_asc_ascq_str(asc, ascq, static_cast<int>(sizeof text), text);
    constexpr std::string_view kKnown = "Additional sense: ";
    const std::string_view words(text);
    if (words.substr(0, kKnown.size()) == kKnown) return std::string(words.substr(kKnown.size()));
#else
    (void)asc;
    (void)ascq;
#endif
    return {};
}

#endif

}  // namespace jv
