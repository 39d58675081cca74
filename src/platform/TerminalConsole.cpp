// Host console backends: ANSI + termios on a POSIX terminal, the console API
// on Windows; both fall back to plain text when the keyboard is not a
// console.
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/HostConsole.h"
#include "platform/Process.h"

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

// The terminal's settings as they were before a key read changed them, for
// the stop handler to put back when a signal ends or stops the program in
// the middle of the read, and the settings of the read, for the resume
// hook to take again after `fg`. Written only while g_terminalChanged is
// false.
termios g_savedTerminal{};
termios g_rawTerminal{};
std::atomic<bool> g_terminalChanged{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Async-signal-safe: tcsetattr and an atomic load.
void RestoreTerminal() {
    if (g_terminalChanged.load()) tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
}

// The shell had the terminal while the program was stopped and set it up
// for itself; a key read that goes on needs single keys without echo again.
void TakeTerminalBack() {
    if (g_terminalChanged.load()) tcsetattr(STDIN_FILENO, TCSANOW, &g_rawTerminal);
}

// Keys come from the terminal on standard input. Standard output may be a
// terminal too (cursor moves, clears and colours as ANSI sequences) or a
// pipe or file (the program's text only, as the plain console writes it).
class TerminalConsole final : public Console {
public:
    explicit TerminalConsole(bool screen) : screen_(screen) {}

    void Clear() override {
        if (screen_) std::fputs("\x1b[2J\x1b[H", stdout);
    }

    void MoveTo(int column, int row) override {
        if (!screen_) return;
        winsize ws{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            if (column < 1 || row < 1 || column > ws.ws_col || row > ws.ws_row) return;
        }
        std::fprintf(stdout, "\x1b[%d;%dH", row, column);
    }

    void SetColor(int color) override {
        if (!screen_) return;
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
    // terminal however the read ends. Ctrl-C still raises SIGINT (ISIG stays
    // on); the stop handler puts the saved settings back before the signal
    // ends or stops the program, and takes the raw ones again after `fg`.
    struct RawMode {
        termios saved{};
        bool active = false;
        RawMode() {
            if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            g_savedTerminal = saved;
            g_rawTerminal = raw;
            g_terminalChanged.store(true);
            active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
            if (!active) g_terminalChanged.store(false);
        }
        ~RawMode() {
            if (!active) return;
            // Back first, then the mark: a signal in between restores twice,
            // never not at all. A resume in between takes the raw settings
            // again, so they go back once more after the mark.
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            g_terminalChanged.store(false);
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
        RawMode(const RawMode&) = delete;
        RawMode& operator=(const RawMode&) = delete;
    };

    bool screen_;
};

#endif

}  // namespace

std::unique_ptr<Console> MakeHostConsole() {
    // The console is the program's one contact with a person, so it also
    // decides how the person's Ctrl-C ends the program, whatever the streams
    // are: a Ctrl-C typed into a pipeline reaches every program in it.
    InstallStopHandlers();
#ifdef _WIN32
    DWORD mode = 0;
    const bool outConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    const bool inConsole = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    // Keys come from the console whenever it is the keyboard, so that
    // "jorvane pkg | tee log" keeps single keys and ESC during drive waits;
    // the screen calls on a redirected output fail and print nothing.
    if (inConsole) {
        // Redirected: write the program's bytes as they are, without CR insertion.
        if (!outConsole) _setmode(_fileno(stdout), _O_BINARY);
        return std::make_unique<Win32Console>();
    }
    _setmode(_fileno(stdout), _O_BINARY);
    return MakePlainConsole();
#else
    // Scripted answers on a pipe or file keep the plain reads; a keyboard on
    // a terminal gives single keys and ESC during drive waits, even when the
    // output goes through a pipe.
    if (!isatty(STDIN_FILENO)) return MakePlainConsole();
    SetStopCleanup(&RestoreTerminal);
    SetResumeHook(&TakeTerminalBack);
    const bool screen = isatty(STDOUT_FILENO) != 0;
    // Someone is watching the piped output (through tee, say): let each line
    // through as it is printed, so a long flash shows its progress. Nothing
    // has been written to standard output before the console exists.
    if (!screen) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return std::make_unique<TerminalConsole>(screen);
#endif
}

}  // namespace jv
