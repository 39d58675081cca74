#pragma once
// Makes the console of a real run: the program's binding picks the backend
// that fits what standard input and output are connected to, so the rest of
// the program writes rows and reads keys without knowing.
#include <cstdio>
#include <memory>

#include "platform/Console.h"

namespace jv {

// The console backend for this host: the Win32 console API or termios on a
// terminal whenever the keyboard is standard input (screen control only when
// standard output is the console too), and plain text when standard input
// is a pipe or file (scripted answers). On POSIX, screen control also needs
// a terminal type other than "dumb", and a run that ends in the middle of a
// line (a question answered "no", Ctrl-C) ends that line. Also installs the
// stop handlers (Process.h): call it once, from a program's own binding.
std::unique_ptr<Console> MakeHostConsole();

// Plain text on stdio: cursor moves and clears print nothing; keys are read
// one byte at a time from standard input so that scripted answers work.
std::unique_ptr<Console> MakePlainConsole();
// The same on any pair of streams (the tests use files).
std::unique_ptr<Console> MakePlainConsole(std::FILE* in, std::FILE* out);

}  // namespace jv
