#include "platform/Process.h"

#include <cstdio>
#include <cstdlib>

namespace jv {

namespace {
ExitHook g_hook = nullptr;
}

void SetExitHook(ExitHook hook) { g_hook = hook; }

void ExitNow(int code) {
    if (g_hook) g_hook(code);
    // std::exit flushes what the console still holds and runs the static
    // destructors, so the drive handle is closed on the way out.
    std::fflush(stdout);
    std::exit(code);
}

}  // namespace jv
