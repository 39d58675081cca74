#pragma once
// Ending the process from deep inside a drive wait (ESC). Tests install a
// hook that must not return (it throws), so that the path can be exercised
// without ending the test program.
namespace jv {

using ExitHook = void (*)(int code);

// Runs the hook when one is installed, then ends the process with the code.
[[noreturn]] void ExitNow(int code);

// nullptr removes the hook.
void SetExitHook(ExitHook hook);

// The window in which stopping the program may leave a drive unusable: it
// opens at the first command that changes the drive's flash (the flash
// engines call BeginFlashWrite there) and closes when the flash job is over
// (the update run calls EndFlashWrite). Both may be called more than once.
void BeginFlashWrite();
void EndFlashWrite();
bool FlashWriteInProgress();

}  // namespace jv
