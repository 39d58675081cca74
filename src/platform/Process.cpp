#include "platform/Process.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/utsname.h>

#include <cerrno>
#include <csignal>
#include <signal.h>
#include <unistd.h>
#endif

#include "platform/Console.h"
#include "platform/Files.h"

namespace jv {

namespace {

// Read by signal handlers (POSIX) and by the console control thread
// (Windows): lock-free atomics are safe in both.
std::atomic<bool> g_flashWrite{false};
std::atomic<int> g_heldInterrupts{0};
std::atomic<int> g_heldEscapes{0};
std::atomic<StopCleanup> g_cleanup{nullptr};
std::atomic<StopCleanup> g_resume{nullptr};
std::atomic<StopCleanup> g_ending{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<StopCleanup>::is_always_lock_free);

constexpr char kHeldText[] =
    "\nThe drive's flash is being written: stopping now may leave the drive unusable.\n"
    "Press Ctrl-C again to stop anyway.\n";
constexpr char kStoppedText[] =
    "\nStopped while the drive's flash was being written: the drive may be half-written.\n"
    "Run the same update again to recover it.\n";
constexpr char kEscapeHeldText[] =
    "\nThe drive's flash is being written: stopping now may leave the drive unusable.\n"
    "Press ESC again to stop anyway.\n";
constexpr char kWaitText[] = "\nThe drive's flash is being written: the program ends once the flash is over.\n";

}  // namespace

namespace {

std::string BaseName(std::string path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos) path.erase(0, slash + 1);
    if (path.size() > 4) {
        std::string suffix = path.substr(path.size() - 4);
        for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        if (suffix == ".exe") path.erase(path.size() - 4);
    }
    return path;
}

}  // namespace

#ifdef _WIN32

std::vector<std::string> StartupArguments() { return {}; }

std::string ProgramFileName() {
    char path[MAX_PATH] = {};
    const DWORD used = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (used == 0 || used >= MAX_PATH) return "jorvane";
    return BaseName(std::string(path, used));
}

std::string SystemDescription() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return "Windows";
    const bool nt = info.dwPlatformId == VER_PLATFORM_WIN32_NT;
    // The 9x family keeps its build number in the low word only.
    const DWORD build = nt ? info.dwBuildNumber : info.dwBuildNumber & 0xFFFF;
    return Format("Windows %s%lu.%lu (build %lu)", nt ? "NT " : "", static_cast<unsigned long>(info.dwMajorVersion),
                  static_cast<unsigned long>(info.dwMinorVersion), static_cast<unsigned long>(build));
}

#else

std::vector<std::string> StartupArguments() {
    std::vector<std::string> arguments;
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return arguments;
    // The kernel keeps no more than a page or so of it; a bound all the same.
    constexpr size_t kLimit = 1 << 20;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() + static_cast<size_t>(n) > kLimit) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) end = text.size();
        arguments.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

std::string ProgramFileName() {
    const std::vector<std::string> arguments = StartupArguments();
    return arguments.empty() || arguments[0].empty() ? "jorvane" : BaseName(arguments[0]);
}

std::string SystemDescription() {
    utsname name{};
    if (uname(&name) != 0) return "POSIX";
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

#endif

void BeginFlashWrite() { g_flashWrite.store(true); }

void EndFlashWrite() {
    g_flashWrite.store(false);
    // A Ctrl-C held in one flash does not count towards stopping a later one.
    g_heldInterrupts.store(0);
    g_heldEscapes.store(0);
}

bool FlashWriteInProgress() { return g_flashWrite.load(); }

bool MayStopForEscape() {
    if (!g_flashWrite.load()) return true;
    const bool first = g_heldEscapes.fetch_add(1) == 0;
    std::fputs(first ? kEscapeHeldText : kStoppedText, stderr);
    std::fflush(stderr);
    return !first;
}

void SetStopCleanup(StopCleanup cleanup) { g_cleanup.store(cleanup); }

void SetResumeHook(StopCleanup resume) { g_resume.store(resume); }

void SetStopEnding(StopCleanup ending) { g_ending.store(ending); }

#ifdef _WIN32

namespace {

// Runs on a thread of its own that the system starts for each event, so
// stdio's locks are safe here; the main thread goes on with the flash while
// the handler holds an event back.
BOOL WINAPI OnConsoleControl(DWORD event) {
    const auto say = [](const char* text) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    };
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        if (!g_flashWrite.load()) {
            RemoveMarkedTemporaryFiles();
            return FALSE;
        }
        if (g_heldInterrupts.fetch_add(1) == 0) {
            say(kHeldText);
            return TRUE;
        }
        say(kStoppedText);
        RemoveMarkedTemporaryFiles();
        return FALSE;  // the default handler ends the process
    }
    // The console window closes, the user logs off or the machine shuts
    // down: the process ends whatever the handler answers, but not before
    // the handler returns (or the system's own time limit runs out), so the
    // flash gets the time the system allows. The flash's own waits are
    // bounded, so this loop is too.
    if (g_flashWrite.load()) {
        say(kWaitText);
        while (g_flashWrite.load()) Sleep(100);
    }
    RemoveMarkedTemporaryFiles();
    return FALSE;
}

}  // namespace

void InstallStopHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

#else

namespace {

// A stop request that came while the flash was being written and waits for
// the program to end: 0 when there is none.
std::atomic<int> g_waitingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};
// Each handler blocks all of these, so that a stop and a resume never undo
// each other's terminal settings halfway.
constexpr int kHandledSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGTSTP, SIGCONT};

constexpr char kSuspendHeldText[] =
    "\nThe drive's flash is being written: the program cannot be suspended until the flash is over.\n";

void Say(const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(STDERR_FILENO, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// Ends the process by the signal itself, so the parent sees what ended it
// (a shell reports 128 + the signal's number). Async-signal-safe.
[[noreturn]] void EndBySignal(int signal) {
    RemoveMarkedTemporaryFiles();
    if (StopCleanup cleanup = g_cleanup.load()) cleanup();
    if (StopCleanup ending = g_ending.load()) ending();
    struct sigaction original {};
    original.sa_handler = SIG_DFL;
    sigemptyset(&original.sa_mask);
    sigaction(signal, &original, nullptr);
    raise(signal);
    // Inside the handler the signal is blocked until it returns; let it
    // through now.
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + signal);
}

void OnStopSignal(int signal) {
    const int savedErrno = errno;
    if (!g_flashWrite.load()) EndBySignal(signal);
    // Ctrl-C and Ctrl-\ are keys a person may press by mistake.
    if (signal == SIGINT || signal == SIGQUIT) {
        if (g_heldInterrupts.fetch_add(1) != 0) {
            Say(kStoppedText);
            EndBySignal(signal);
        }
        Say(kHeldText);
    } else {
        // A closing terminal (SIGHUP, and SIGPIPE when the reader of a piped
        // output dies with it) or a kill must not cut the flash short: the
        // request waits until the run has reported how the flash ended.
        // Repeating it changes nothing; SIGKILL still ends the program.
        int none = 0;
        if (g_waitingSignal.compare_exchange_strong(none, signal)) Say(kWaitText);
    }
    errno = savedErrno;
}

// Ctrl-Z: the terminal goes back to how the shell left it while the
// program is stopped, and the resume hook (SIGCONT) takes it again.
void OnSuspend(int signal) {
    const int savedErrno = errno;
    if (g_flashWrite.load()) {
        Say(kSuspendHeldText);
        errno = savedErrno;
        return;
    }
    if (StopCleanup cleanup = g_cleanup.load()) cleanup();
    struct sigaction stop {};
    struct sigaction ours {};
    stop.sa_handler = SIG_DFL;
    sigemptyset(&stop.sa_mask);
    sigaction(signal, &stop, &ours);
    raise(signal);
    // The signal is blocked while the handler runs: the stop comes here, and
    // the program goes on from here after SIGCONT, whose handler has run by
    // then (it is let through with it).
    sigset_t through;
    sigset_t before;
    sigemptyset(&through);
    sigaddset(&through, signal);
    sigaddset(&through, SIGCONT);
    sigprocmask(SIG_UNBLOCK, &through, &before);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    sigaction(signal, &ours, nullptr);
    // The system drops the stop of a process group that no shell controls
    // (an orphaned one), and then no SIGCONT comes: take the terminal back
    // here too.
    if (StopCleanup resume = g_resume.load()) resume();
    errno = savedErrno;
}

void OnResume(int) {
    const int savedErrno = errno;
    if (StopCleanup resume = g_resume.load()) resume();
    errno = savedErrno;
}

// The program's last act: a stop request that waited for the flash now ends
// it, after what the run printed has been written out.
void EndOnWaitingSignal() {
    const int signal = g_waitingSignal.load();
    if (signal == 0) return;
    std::fflush(nullptr);
    EndBySignal(signal);
}

}  // namespace

void InstallStopHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    const auto install = [](int signal, void (*handler)(int)) {
        struct sigaction before {};
        // A signal the parent set to be ignored (nohup, a shell's background
        // job, a shell without job control) stays ignored.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) return;
        struct sigaction action {};
        action.sa_handler = handler;
        // Key reads and sleeps carry on after a held Ctrl-C or a resume, and
        // no second stop request runs a handler while it is busy with the first.
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int other : kHandledSignals) sigaddset(&action.sa_mask, other);
        sigaction(signal, &action, nullptr);
    };
    for (int signal : kStopSignals) install(signal, &OnStopSignal);
    install(SIGTSTP, &OnSuspend);
    install(SIGCONT, &OnResume);
    std::atexit(&EndOnWaitingSignal);
}

#endif

}  // namespace jv
