// Host console backends: ANSI + termios on a POSIX terminal, the console API
// on Windows; both fall back to plain text when the keyboard is not a
// console.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

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

    // Message by message, as the plain console writes: the output may be a
    // pipe someone watches.
    void Write(std::string_view text) override {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

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

// Whether the program's last text to standard output left its line open.
// A shell prints its prompt where the cursor is, so a run that ends after
// a question answered with n, Enter or Ctrl-C (or any run that ends in the
// middle of a line) ends the line first. Read by the stop handler.
std::atomic<bool> g_lineOpen{false};

// Async-signal-safe: an atomic and write.
void EndOpenLineOnStop() {
    if (g_lineOpen.exchange(false)) {
        [[maybe_unused]] const ssize_t n = write(STDOUT_FILENO, "\n", 1);
    }
}

void EndOpenLineAtExit() {
    if (!g_lineOpen.exchange(false)) return;
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

// The host's console, plain or on a terminal, with the state of its last line.
class LineKeepingConsole final : public Console {
public:
    explicit LineKeepingConsole(std::unique_ptr<Console> inner) : inner_(std::move(inner)) {}

    void Clear() override { inner_->Clear(); }
    void MoveTo(int column, int row) override { inner_->MoveTo(column, row); }
    void SetColor(int color) override { inner_->SetColor(color); }
    void Write(std::string_view text) override {
        inner_->Write(text);
        if (!text.empty()) g_lineOpen.store(text.back() != '\n');
    }
    int ReadKey() override { return inner_->ReadKey(); }
    bool KeyWaiting() override { return inner_->KeyWaiting(); }
    bool ReadNumber(long& value) override { return inner_->ReadNumber(value); }

private:
    std::unique_ptr<Console> inner_;
};

// Screen control needs a terminal that has a type: without TERM, or with
// TERM=dumb (an editor's shell buffer, a serial console), ANSI sequences
// would show as litter, so such a terminal gets the plain lines a pipe gets.
bool TerminalTakesSequences() {
    const char* term = std::getenv("TERM");
    return term != nullptr && *term != '\0' && std::string_view(term) != "dumb";
}

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
    SetStopEnding(&EndOpenLineOnStop);
    std::atexit(&EndOpenLineAtExit);
    // Scripted answers on a pipe or file keep the plain reads; a keyboard on
    // a terminal gives single keys and ESC during drive waits, even when the
    // output goes through a pipe.
    if (!isatty(STDIN_FILENO)) return std::make_unique<LineKeepingConsole>(MakePlainConsole());
    SetStopCleanup(&RestoreTerminal);
    SetResumeHook(&TakeTerminalBack);
    const bool screen = isatty(STDOUT_FILENO) != 0 && TerminalTakesSequences();
    return std::make_unique<LineKeepingConsole>(std::make_unique<TerminalConsole>(screen));
#endif
}

}  // namespace jv
