#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>

namespace jv {

namespace {
ExitHook g_hook = nullptr;
volatile bool g_flashWrite = false;
}  // namespace

void SetExitHook(ExitHook hook) { g_hook = hook; }

void ExitNow(int code) {
    if (g_hook) g_hook(code);
    // std::exit flushes what the console still holds and runs the static
    // destructors, so the drive handle is closed on the way out.
    std::fflush(stdout);
    std::exit(code);
}

void BeginFlashWrite() { g_flashWrite = true; }
void EndFlashWrite() { g_flashWrite = false; }
bool FlashWriteInProgress() { return g_flashWrite; }

}  // namespace jv
