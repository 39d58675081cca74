// Lets the Windows programs start on Windows 95/98/ME, whose KERNEL32 lacks
// working wide-character entries the compiler's runtime imports. Linked into
// every program of the real binding (an object library, so the slots below
// are always present to the linker, even though nothing here calls them).
#include <windows.h>

#include <string>

// The compiler's runtime calls three wide-character entries of KERNEL32: its
// locks make semaphores with CreateSemaphoreW, and a C runtime helper that
// looks up rand_s (never called here) uses GetModuleHandleW and LoadLibraryW.
// Windows 95/98/ME have these only as stubs that fail. The import slots
// defined below take the place of the ones the runtime refers to, so the
// linker never pulls the wide entries in: the program imports only the
// narrow twins, which every Windows has. Only names the runtime passes are
// converted, and they are plain ASCII.
namespace jv {
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

}  // namespace jv
