// Host console backends: ANSI + termios on a POSIX terminal, the console API
// on Windows; both fall back to plain text when not attached to a console.
#include <cstdio>
#include <string>

#include "platform/HostConsole.h"

#ifdef _WIN32
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace jv {

bool ParseNumberLine(const std::string& line, long& value);

namespace {

std::string ReadLineFromStdin(bool& ended) {
    std::string line;
    ended = false;
    for (;;) {
        int c = std::fgetc(stdin);
        if (c == EOF) {
            ended = line.empty();
            return line;
        }
        if (c == '\n') return line;
        line.push_back(static_cast<char>(c));
    }
}

#ifdef _WIN32

class Win32Console final : public Console {
public:
    Win32Console() : out_(GetStdHandle(STD_OUTPUT_HANDLE)) {}

    void Clear() override {
        std::fflush(stdout);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!GetConsoleScreenBufferInfo(out_, &info)) return;
        DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
        COORD origin{0, 0};
        DWORD written = 0;
        FillConsoleOutputCharacterA(out_, ' ', cells, origin, &written);
        FillConsoleOutputAttribute(out_, info.wAttributes, cells, origin, &written);
        SetConsoleCursorPosition(out_, origin);
    }

    void MoveTo(int column, int row) override {
        std::fflush(stdout);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (!GetConsoleScreenBufferInfo(out_, &info)) return;
        int x = info.srWindow.Left + column - 1;
        int y = info.srWindow.Top + row - 1;
        if (column < 1 || row < 1 || x > info.srWindow.Right || y > info.srWindow.Bottom) return;
        SetConsoleCursorPosition(out_, COORD{static_cast<SHORT>(x), static_cast<SHORT>(y)});
    }

    void SetColor(int color) override {
        std::fflush(stdout);
        SetConsoleTextAttribute(out_, static_cast<WORD>(color & 0x0F));
    }

    void Write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

    int ReadKey() override {
        std::fflush(stdout);
        return _getch();
    }
    bool KeyWaiting() override { return _kbhit() != 0; }
    bool ReadNumber(long& value) override {
        std::fflush(stdout);
        bool ended = false;
        for (;;) {
            std::string line = ReadLineFromStdin(ended);
            if (ended) return false;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            return ParseNumberLine(line, value);
        }
    }

private:
    HANDLE out_;
};

#else

class AnsiConsole final : public Console {
public:
    void Clear() override { std::fputs("\x1b[2J\x1b[H", stdout); }

    void MoveTo(int column, int row) override {
        winsize ws{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            if (column < 1 || row < 1 || column > ws.ws_col || row > ws.ws_row) return;
        }
        std::fprintf(stdout, "\x1b[%d;%dH", row, column);
    }

    void SetColor(int color) override {
        // Console palette order (blue before red) to ANSI order (red before blue).
        static const int kAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        int base = (color & 8) ? 90 : 30;
        std::fprintf(stdout, "\x1b[%dm", base + kAnsi[color & 7]);
    }

    void Write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }

    int ReadKey() override {
        std::fflush(stdout);
        RawMode raw;
        unsigned char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        return n == 1 ? c : -1;
    }

    bool KeyWaiting() override {
        std::fflush(stdout);
        RawMode raw;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    bool ReadNumber(long& value) override {
        std::fflush(stdout);
        bool ended = false;
        for (;;) {
            std::string line = ReadLineFromStdin(ended);
            if (ended) return false;
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            return ParseNumberLine(line, value);
        }
    }

private:
    // Non-canonical, no echo, for the span of one key read; restores the
    // terminal however the read ends.
    struct RawMode {
        termios saved{};
        bool active = false;
        RawMode() {
            if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
        ~RawMode() {
            if (active) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
    };
};

#endif

}  // namespace

std::unique_ptr<Console> MakeHostConsole() {
#ifdef _WIN32
    DWORD mode = 0;
    bool outConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    bool inConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    if (outConsole && inConsole) return std::make_unique<Win32Console>();
    // Redirected: write the program's bytes as they are, without CR insertion.
    _setmode(_fileno(stdout), _O_BINARY);
    return MakePlainConsole();
#else
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) return std::make_unique<AnsiConsole>();
    return MakePlainConsole();
#endif
}

}  // namespace jv
