#include "platform/Console.h"

#include <cstdio>
#include <vector>

namespace jv {

namespace {
Console* g_installed = nullptr;
}

Console& TheConsole() { return g_installed ? *g_installed : DefaultConsole(); }
void SetConsole(Console* console) { g_installed = console; }

std::string VFormat(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string VFormat(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return std::string(big.data(), static_cast<size_t>(n));
}

void VPrint(const char* format, va_list args) { TheConsole().Write(VFormat(format, args)); }

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrint(format, args);
    va_end(args);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    return s;
}

void ClearScreen() { TheConsole().Clear(); }
void GotoXY(int column, int row) { TheConsole().MoveTo(column, row); }
void SetTextColor(int color) { TheConsole().SetColor(color); }
int GetKey() { return TheConsole().ReadKey(); }
bool AskYes() {
    int key = TheConsole().ReadKey();
    return key == 'Y' || key == 'y';
}

}  // namespace jv
