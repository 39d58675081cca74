#pragma once
// The console seam: every screen write and key read of the program goes
// through the one installed Console, so the same core runs on a Win32
// console, a Linux terminal, a pipe, or a recording used by the tests.
#include <cstdarg>
#include <string>
#include <string_view>

namespace jv {

// Colours use the 16-entry console palette (2 green, 15 bright white).
class Console {
public:
    virtual ~Console() = default;
    virtual void Clear() = 0;
    // 1-based column and row inside the window; a position outside the
    // window leaves the cursor where it is.
    virtual void MoveTo(int column, int row) = 0;
    virtual void SetColor(int color) = 0;
    virtual void Write(std::string_view text) = 0;
    // One key without echo; -1 when input has ended (reads as "no").
    virtual int ReadKey() = 0;
    virtual bool KeyWaiting() = 0;
    // One whole line read as a decimal number; false when the line does not
    // begin with a number or input has ended.
    virtual bool ReadNumber(long& value) = 0;
};

// The console the program writes to: the one installed by SetConsole, or the
// platform binding's default.
Console& TheConsole();
// Install a console (tests, the simulator); nullptr returns to the default.
void SetConsole(Console* console);
// Provided by the platform binding linked into each program.
Console& DefaultConsole();

// printf-style output to the installed console.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void VPrint(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

void ClearScreen();
void GotoXY(int column, int row);
void SetTextColor(int color);
int GetKey();
// A single key: Y or y is yes, anything else (end of input included) is no.
bool AskYes();

}  // namespace jv
