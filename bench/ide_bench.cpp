// The register-level flash route end to end on a virtual drive: a 512 KiB
// parallel chip behind an MTK controller and a 2 MiB serial chip behind an
// MTK2 one. Reports the port operations each image byte costs; the time is
// the host CPU the program spends driving the virtual channel.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "flash/Flashknl.h"
#include "flash/FlashmcuIde.h"
#include "platform/Clock.h"
#include "platform/Ports.h"
#include "platform/RecordingConsole.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualDrive.h"
#include "sim/VirtualIde.h"

namespace {

using namespace jv;

using sim::BusPorts;

void RunJob(benchmark::State& state, const std::string& controller, int chip, uint32_t length, uint8_t ideType) {
    VirtualClock clock;
    SetClock(&clock);
    RecordingConsole console;
    SetConsole(&console);
    std::vector<uint8_t> image(length);
    for (uint32_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    SYTRParameter p;
    p.IdeFlashType = ideType;
    p.MaxBankSize = 0x10000;
    for (uint32_t b = 0; b < length / 0x10000; ++b) p.BankSizes.push_back(0x10000);
    SFlashOptions o;
    o.repeatCount = 1;
    o.writeNewCode = 1;
    o.silent = 1;
    uint64_t operations = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string error;
        auto rig = sim::ParseRig("[d]\nflash_size = " + std::to_string(length) + "\nide_controller = " + controller +
                                     "\nflash_chip = " + std::to_string(chip) + "\n",
                                 "bench", error);
        if (!rig) {
            state.SkipWithError(error.c_str());
            break;
        }
        std::vector<sim::VirtualDrive*> drives{rig->drives.front().get()};
        sim::VirtualIdeBus bus(drives);
        BusPorts ports(bus);
        SetPorts(&ports);
        state.ResumeTiming();
        const FlashResult result = FlashImage(0, image, length, p, o, false);
        state.PauseTiming();
        if (result) state.SkipWithError(("job failed: " + *result).c_str());
        operations += bus.Operations();
        bytes += length;
        SetPorts(nullptr);
        state.ResumeTiming();
    }
    state.counters["port_ops_per_byte"] = bytes ? static_cast<double>(operations) / static_cast<double>(bytes) : 0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    SetConsole(nullptr);
    SetClock(nullptr);
}

void BM_ParallelJob512K(benchmark::State& state) { RunJob(state, "mtk", 7, 0x80000, kIdeMtk); }
void BM_SerialJob2M(benchmark::State& state) { RunJob(state, "mtk2", 31, 0x200000, kIdeMtk2); }

BENCHMARK(BM_ParallelJob512K)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(2);
BENCHMARK(BM_SerialJob2M)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(2);

}  // namespace
