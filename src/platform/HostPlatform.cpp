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

// The compiler's runtime calls three wide-character entries of KERNEL32: its
// locks make semaphores with CreateSemaphoreW, and a C runtime helper that
// looks up rand_s (never called here) uses GetModuleHandleW and LoadLibraryW.
// Windows 95/98/ME have these only as stubs that fail. The import slots
// defined below take the place of the ones the runtime refers to, so the
// linker never pulls the wide entries in: the program imports only the
// narrow twins, which every Windows has. Only names the runtime passes are
// converted, and they are plain ASCII.
namespace {

std::string NarrowName(LPCWSTR name) {
    std::string narrow;
    for (; *name != 0; ++name) narrow.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    return narrow;
}

HANDLE WINAPI NarrowCreateSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
    if (name == nullptr) return CreateSemaphoreA(attributes, initial, maximum, nullptr);
    return CreateSemaphoreA(attributes, initial, maximum, NarrowName(name).c_str());
}

HMODULE WINAPI NarrowGetModuleHandle(LPCWSTR name) {
    if (name == nullptr) return GetModuleHandleA(nullptr);
    return GetModuleHandleA(NarrowName(name).c_str());
}

HMODULE WINAPI NarrowLoadLibrary(LPCWSTR name) {
    if (name == nullptr) return nullptr;
    return LoadLibraryA(NarrowName(name).c_str());
}

using CreateSemaphoreSlot = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
using ModuleSlot = HMODULE(WINAPI*)(LPCWSTR);

}  // namespace

// An import slot of a 32-bit stdcall function f with n bytes of arguments is
// named __imp__f@n.
extern "C" CreateSemaphoreSlot g_createSemaphoreWSlot __asm__("__imp__CreateSemaphoreW@16");
extern "C" ModuleSlot g_getModuleHandleWSlot __asm__("__imp__GetModuleHandleW@4");
extern "C" ModuleSlot g_loadLibraryWSlot __asm__("__imp__LoadLibraryW@4");
CreateSemaphoreSlot g_createSemaphoreWSlot = &NarrowCreateSemaphore;
ModuleSlot g_getModuleHandleWSlot = &NarrowGetModuleHandle;
ModuleSlot g_loadLibraryWSlot = &NarrowLoadLibrary;

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
