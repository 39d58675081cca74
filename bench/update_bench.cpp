// The update run as the user meets it: whole programs, each a child process.
//
// SimUpdate: jorvane-sim flashes a 2 MiB package into a fresh virtual drive,
// answering "y" on standard input. Counters: the child's peak resident set
// (goal: under 32 MiB) and its CPU; the wall time is the iteration time
// (goal: under 0.5 s).
//
// TracedSimUpdate: the same update recorded into a gzip trace
// (JORVANE_TRACE=....jsonl.gz). Counters: its CPU against SimUpdate's in the
// same run (goal: at most 1.10), and the trace's size against the 2 MiB
// image (goal: at most 1.2).
//
// ShimWriteBuffer / ShimUpdate, side by side: sg3_utils' sg_write_buffer
// sends the same 2 MiB image in 16 KiB saving WRITE BUFFER commands to a
// virtual drive through the SG_IO shim; the real jorvane updates the same
// drive from the package through the same shim. Both report the child's
// user+sys CPU; ShimUpdate also reports its ratio to sg_write_buffer's,
// measured in the same run (goal: within 1.5x).
//
// Both drives program the image into their flash, kept in memory only; they
// program in no time (block_program_ms = 0), so the wall time under the shim
// is host work, not the drive's pretended waits (see Workspace). Each run
// meets a drive fresh from the factory.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kBanks = 32;  // 64 KiB each: 2 MiB
constexpr int kRestartStatus = 3010 & 0xFF;
constexpr auto kChildLimit = std::chrono::seconds(120);

struct SChild {
    bool ran = false;       // started and ended by itself within the limit
    int status = -1;        // exit status; -1 when killed by a signal
    double cpuSeconds = 0;  // user + sys
    double peakMiB = 0;
    std::string why;        // set when !ran
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs one program to its end: arguments, extra environment, the text on its
// standard input, the folder it runs in. Its output goes to `log`. A child
// that outlives the limit is killed, so a hung drive cannot hang the bench.
SChild Run(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& input,
           const fs::path& folder, const fs::path& log) {
    SChild result;
    const fs::path inputFile = folder / "bench-input.txt";
    {
        std::ofstream in(inputFile, std::ios::binary | std::ios::trunc);
        in << input;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The child's environment is built here: after fork only async-signal-safe
    // calls are allowed.
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        result.why = "fork failed";
        return result;
    }
    if (pid == 0) {
        const int in = open(inputFile.c_str(), O_RDONLY);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || chdir(folder.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + kChildLimit;
    int status = 0;
    rusage usage{};
    // Short runs are seen ending at once; long ones are not polled busily.
    auto pause = std::chrono::microseconds(100);
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) break;
        if (done < 0) {
            result.why = "lost the child";
            return result;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            result.why = "child did not end within the limit: " + argv[0];
            return result;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
    result.ran = true;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    result.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
    return result;
}

bool Executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

uint32_t Le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

// The firmware image inside a sample package: its banks, each stored short of
// its last two bytes, which the image holds as zeros.
std::optional<std::string> ImageOf(const std::string& package) {
    if (package.size() < 56) return std::nullopt;
    const uint32_t banks = Le32(package, 36);
    const uint32_t bankSize = Le32(package, 40);
    if (banks == 0 || banks > 64 || bankSize == 0 || bankSize > 0x10000 || package.size() < 56 + 4 * size_t{banks})
        return std::nullopt;
    std::string image;
    size_t at = 56 + 4 * size_t{banks};
    for (uint32_t i = 0; i < banks; ++i) {
        const uint32_t stored = Le32(package, 56 + 4 * size_t{i});
        if (stored > bankSize || package.size() - at < stored) return std::nullopt;
        image.append(package, at, stored);
        image.append(bankSize - stored, '\0');
        at += stored;
    }
    return image;
}

// One scratch folder for the whole run, with a 2 MiB MTK5 package, the image
// in it, and two rigs: the simulator's and a quick one for the shim.
struct SWorkspace {
    fs::path folder;
    std::string error;
};

// Removes the scratch folder when the bench ends.
struct SScratch {
    fs::path folder;
    ~SScratch() {
        std::error_code ignored;
        if (!folder.empty()) fs::remove_all(folder, ignored);
    }
};
SScratch g_scratch;

const SWorkspace& Workspace() {
    static const SWorkspace ws = [] {
        SWorkspace w;
        char name[] = "/tmp/jorvane-update-bench-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            w.error = "cannot make a scratch folder";
            return w;
        }
        w.folder = name;
        g_scratch.folder = w.folder;
        if (!Executable(JV_MAKE_SAMPLE)) {
            w.error = std::string("not built: ") + JV_MAKE_SAMPLE;
            return w;
        }
        const SChild made = Run({JV_MAKE_SAMPLE, "--banks", std::to_string(kBanks), "--atapi-type", "6", w.folder},
                                {}, "", w.folder, w.folder / "make-sample.log");
        if (!made.ran || made.status != 0) {
            w.error = "jorvane-make-sample failed: " + ReadText(w.folder / "make-sample.log");
            return w;
        }
        const std::string rig = ReadText(w.folder / "sample-rig.ini");
        const auto image = ImageOf(ReadText(w.folder / "sample.ytr"));
        if (!image || image->size() != size_t{kBanks} * 0x10000) {
            w.error = "the sample package does not hold a 2 MiB image";
            return w;
        }
        // The shim's drive lives in real time: it must not pretend to take
        // seconds per block, or the wall clock would measure sleeps.
        // Nor keep its flash in a file: sg_write_buffer saves every piece
        // and the drive would write the whole file each time, so the two
        // hosts would be compared by the drive's disk writes.
        std::string quick = rig + "controller = mtk5\nblock_program_ms = 0\nreboot_ms = 0\n";
        const std::string simFlash = "flash_file = sample-rig-flash.bin";
        const auto at = quick.find(simFlash);
        if (at != std::string::npos) quick.erase(at, simFlash.size());
        // The virtual MTK5 drive takes its data by "download with offsets"
        // and then a bare save that reports progress; sg_write_buffer sends
        // saves that carry the data, which a drive of any command set
        // programs piece by piece: the same bytes cross the shim in the same
        // 16 KiB commands and end up in the drive's flash.
        std::string anyRig = quick;
        anyRig.replace(anyRig.find("controller = mtk5"), 17, "controller = any");
        if (!WriteText(w.folder / "image.bin", *image) || !WriteText(w.folder / "shim-rig.ini", quick) ||
            !WriteText(w.folder / "write-buffer-rig.ini", anyRig)) {
            w.error = "cannot write into " + w.folder.string();
            return w;
        }
        return w;
    }();
    return ws;
}

// The CPU of the last sg_write_buffer run, for the ratio in ShimUpdate.
double g_writeBufferCpu = 0;
// The CPU of the untraced update, for the ratio in TracedSimUpdate.
double g_simCpu = 0;

// Sets the counters; returns the mean CPU per run in milliseconds.
double Report(benchmark::State& state, const std::vector<SChild>& runs) {
    double cpu = 0, peak = 0;
    for (const auto& r : runs) {
        cpu += r.cpuSeconds;
        peak = std::max(peak, r.peakMiB);
    }
    const double cpuMs = runs.empty() ? 0 : 1000 * cpu / static_cast<double>(runs.size());
    state.counters["child_cpu_ms"] = cpuMs;
    state.counters["child_peak_MiB"] = peak;
    return cpuMs;
}

void SimUpdate(benchmark::State& state) {
    const SWorkspace& ws = Workspace();
    if (!ws.error.empty()) return state.SkipWithError(ws.error.c_str());
    if (!Executable(JV_SIM)) return state.SkipWithError("jorvane-sim is not built");
    const std::string rig = "JORVANE_RIG=" + (ws.folder / "sample-rig.ini").string();
    std::vector<SChild> runs;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(ws.folder / "sample-rig-flash.bin");  // a drive fresh from the factory each time
        state.ResumeTiming();
        const SChild r = Run({JV_SIM, "sample.ytr"}, {rig}, "y", ws.folder, ws.folder / "sim.log");
        if (!r.ran || r.status != kRestartStatus) {
            const std::string why =
                "jorvane-sim did not complete the update: " + r.why + ReadText(ws.folder / "sim.log");
            state.SkipWithError(why.c_str());
            return;
        }
        runs.push_back(r);
    }
    g_simCpu = Report(state, runs);
}
BENCHMARK(SimUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void TracedSimUpdate(benchmark::State& state) {
    const SWorkspace& ws = Workspace();
    if (!ws.error.empty()) return state.SkipWithError(ws.error.c_str());
    if (!Executable(JV_SIM)) return state.SkipWithError("jorvane-sim is not built");
    const fs::path trace = ws.folder / "update.jsonl.gz";
    const std::vector<std::string> env = {"JORVANE_RIG=" + (ws.folder / "sample-rig.ini").string(),
                                          "JORVANE_TRACE=" + trace.string()};
    std::vector<SChild> runs;
    uintmax_t traceBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove(ws.folder / "sample-rig-flash.bin");
        fs::remove(trace);  // a trace is always a new file
        state.ResumeTiming();
        const SChild r = Run({JV_SIM, "sample.ytr"}, env, "y", ws.folder, ws.folder / "traced.log");
        if (!r.ran || r.status != kRestartStatus) {
            const std::string why =
                "jorvane-sim did not complete the traced update: " + r.why + ReadText(ws.folder / "traced.log");
            state.SkipWithError(why.c_str());
            return;
        }
        runs.push_back(r);
        std::error_code error;
        traceBytes = fs::file_size(trace, error);
    }
    const double cpuMs = Report(state, runs);
    if (g_simCpu > 0) state.counters["cpu_vs_untraced"] = cpuMs / g_simCpu;
    state.counters["trace_vs_image"] = static_cast<double>(traceBytes) / (double{kBanks} * 0x10000);
}
BENCHMARK(TracedSimUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

bool ShimReady(benchmark::State& state) {
    const SWorkspace& ws = Workspace();
    if (!ws.error.empty()) {
        state.SkipWithError(ws.error.c_str());
        return false;
    }
    if (!fs::exists(JV_SHIM)) {
        state.SkipWithError("the SG_IO shim is not built");
        return false;
    }
    return true;
}

std::vector<std::string> ShimEnv(const char* rig) {
    return {"JORVANE_RIG=" + (Workspace().folder / rig).string(), std::string("LD_PRELOAD=") + JV_SHIM};
}

void ShimWriteBuffer(benchmark::State& state) {
    if (!ShimReady(state)) return;
    if (!Executable(JV_SG_WRITE_BUFFER)) return state.SkipWithError("sg_write_buffer (sg3-utils) is not installed");
    const fs::path folder = Workspace().folder;
    std::vector<SChild> runs;
    for (auto _ : state) {
        const SChild r = Run({JV_SG_WRITE_BUFFER, "--mode=dmc_offs_save", "--bpw=16384", "--in=image.bin", "/dev/sr0"},
                             ShimEnv("write-buffer-rig.ini"), "", folder, folder / "wb.log");
        if (!r.ran || r.status != 0) {
            state.SkipWithError(("sg_write_buffer failed: " + r.why + ReadText(folder / "wb.log")).c_str());
            return;
        }
        runs.push_back(r);
    }
    g_writeBufferCpu = Report(state, runs);
}
BENCHMARK(ShimWriteBuffer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void ShimUpdate(benchmark::State& state) {
    if (!ShimReady(state)) return;
    if (!Executable(JV_JORVANE)) return state.SkipWithError("jorvane is not built");
    const fs::path folder = Workspace().folder;
    std::vector<SChild> runs;
    for (auto _ : state) {
        const SChild r =
            Run({JV_JORVANE, "sample.ytr"}, ShimEnv("shim-rig.ini"), "y", folder, folder / "update.log");
        if (!r.ran || r.status != kRestartStatus) {
            const std::string why = "jorvane did not complete the update: " + r.why + ReadText(folder / "update.log");
            state.SkipWithError(why.c_str());
            return;
        }
        runs.push_back(r);
    }
    const double cpuMs = Report(state, runs);
    if (g_writeBufferCpu > 0) state.counters["cpu_vs_sg_write_buffer"] = cpuMs / g_writeBufferCpu;
}
// Each run sleeps for real where the program waits for the drive: few runs.
BENCHMARK(ShimUpdate)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
