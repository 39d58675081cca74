#pragma once
#include <cstdio>
#include <memory>

#include "platform/Console.h"

namespace jv {

// The console backend for this host: the Win32 console API or ANSI sequences
// on a terminal, and plain text whenever standard input or output is not an
// interactive console (pipes, files, scripted answers).
std::unique_ptr<Console> MakeHostConsole();

// Plain text on stdio: cursor moves and clears print nothing; keys are read
// one byte at a time from standard input so that scripted answers work.
std::unique_ptr<Console> MakePlainConsole();
// The same on any pair of streams (the tests use files).
std::unique_ptr<Console> MakePlainConsole(std::FILE* in, std::FILE* out);

}  // namespace jv
