#pragma once
// The updater's top level, shared by the real and the virtual program: one
// entry that each program's main calls, and the exit codes it returns, which
// scripts and the fleet playbook act on.
#include "driver/CommandLine.h"
#include "driver/Settings.h"

namespace jv {

constexpr int kExitFlashed = 3010;
constexpr int kExitDone = 259;
// The user pressed ESC while the program waited for a drive, or the flash
// found a chip it does not know and said so: nothing was written.
constexpr int kExitEscape = 0;

// The whole program: settings, command line, banner, gates, one auxiliary
// command or the update run. Returns the process exit code. program is the
// name --help and --version give (jorvane, jorvane-sim).
int ProgramMain(int argc, char** argv, const char* program = "jorvane");

// The program's main job; returns 3010 after a successful flash, 0 when the
// user or an unknown chip stopped it, else 259.
int UpdateRun(const SParameter& settings, const SCommandLine& args);

}  // namespace jv
