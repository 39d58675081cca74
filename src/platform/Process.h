#pragma once
// Ending the process from deep inside a drive wait (ESC). Tests install a
// hook that must not return (it throws), so that the path can be exercised
// without ending the test program.
#include <string>
#include <vector>

namespace jv {

// The command line the program was started with, readable before main: a
// trace must be under way before the drive scan that runs while the
// program's objects are built. Linux reads it from /proc/self/cmdline;
// empty where that cannot be read, and on Windows, whose programs keep the
// command line they have always had.
std::vector<std::string> StartupArguments();

// The name the program file has, without folder or ".exe".
std::string ProgramFileName();

// The system the program runs on, in one line: "Linux 6.1.0-18-amd64
// x86_64", "Windows NT 5.1 (build 2600)".
std::string SystemDescription();

// The window in which stopping the program may leave a drive unusable: it
// opens at the first command that changes the drive's flash (the flash
// engines call BeginFlashWrite there) and closes when the flash job is over
// (the update run calls EndFlashWrite). Both may be called more than once.
// FlashWriteInProgress may be read from a signal handler or another thread.
void BeginFlashWrite();
void EndFlashWrite();
bool FlashWriteInProgress();

// ESC during a drive wait ends the program. Inside the flash-write window the
// first ESC is held with a warning on standard error, as a first Ctrl-C is,
// and only a second one may stop the run (with the line that the drive may be
// half-written). True when the caller may end the program now.
bool MayStopForEscape();

// Closes the flash-write window when it goes out of scope, however the
// flash job returns.
struct SFlashWriteEnd {
    SFlashWriteEnd() = default;
    SFlashWriteEnd(const SFlashWriteEnd&) = delete;
    SFlashWriteEnd& operator=(const SFlashWriteEnd&) = delete;
    ~SFlashWriteEnd() { EndFlashWrite(); }
};

// Takes over how a request to stop ends the program: Ctrl-C, Ctrl-\, a kill
// and a closing terminal (POSIX signals; console control events on Windows).
// Outside the flash-write window the program ends as it would have without
// it, after the temporary files (Files.h MarkTemporaryFile) are removed and the stop
// cleanup has put the terminal back. Inside the window the first Ctrl-C or
// Ctrl-\ is held with a warning and a second one stops the run; every other
// request waits for the flash (POSIX: the program ends by it once the run
// has reported the flash's result; Windows: until the window closes).
// POSIX Ctrl-Z (SIGTSTP) puts the terminal back before the program stops
// and the resume hook takes it again after `fg` (SIGCONT); inside the window
// it is held with a warning and the program is not stopped. Called from the
// program's own console set-up, never from a library hosted by another
// program; a second call does nothing.
void InstallStopHandlers();

// Runs just before the program ends or stops on a stop request. It is
// called from a signal handler, so it may use only async-signal-safe calls.
// nullptr removes it.
using StopCleanup = void (*)();
void SetStopCleanup(StopCleanup cleanup);
// Runs when the program goes on after a stop (SIGCONT); the same rules.
void SetResumeHook(StopCleanup resume);
// POSIX: runs after the stop cleanup when a stop request ends the program,
// not when Ctrl-Z only stops it; the same rules.
void SetStopEnding(StopCleanup ending);

}  // namespace jv
