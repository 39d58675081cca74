// A 2 MiB image (MTK7: its 128 KB) flashed into a virtual drive with each
// ATAPI protocol. The virtual clock makes the protocols' sleeps free, so the
// time measured is the host's own work plus the drive's; the counters show
// the commands and bytes each protocol puts on the bus. Goal: under 50 ms of
// CPU per flash.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "drive/Winfunc.h"
#include "flash/Flashknl.h"
#include "flash/Flashmcu.h"
#include "platform/Clock.h"
#include "platform/RecordingConsole.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualRoute.h"

namespace {

using jv::test::Bytes;

struct SProtocol {
    const char* controller;
    uint8_t type;
    uint32_t size;
};

constexpr SProtocol kProtocols[] = {
    {"mtk", 1, 0x200000},  {"ali", 2, 0x200000},  {"mtk2", 3, 0x200000}, {"mtk3", 4, 0x200000},
    {"mtk4", 5, 0x200000}, {"mtk5", 6, 0x200000}, {"mtk6", 7, 0x200000}, {"mtk7", 8, 0x20000},
};

// Pages lose their last two bytes on the way; the image keeps zeros there
// so that the drive's sum check passes.
Bytes Image(uint32_t size) {
    Bytes image = jv::test::FillerBytes(size, size);
    jv::test::PutInfoBlock(image, 0x8000, jv::test::SInfoBlock{});
    for (uint32_t page = 0x10000; page <= size; page += 0x10000) image[page - 2] = image[page - 1] = 0;
    return image;
}

void BM_AtapiFlash(benchmark::State& state) {
    const SProtocol& p = kProtocols[state.range(0)];
    state.SetLabel(p.controller);
    const Bytes image = Image(p.size);
    jv::SYTRParameter parameter;
    parameter.AtapiFlashType = p.type;
    parameter.MaxBankSize = p.size;
    parameter.BankSizes = {p.size};
    parameter.HeaderCheckSum = static_cast<uint16_t>(jv::test::ReferenceSum(image, false));
    jv::SFlashOptions options;
    options.atapiFlash = 1;

    jv::VirtualClock clock;
    jv::SetClock(&clock);
    std::string error;
    double commands = 0, bytes = 0;
    bool failed = false;
    for (auto _ : state) {
        state.PauseTiming();
        auto rig = jv::sim::ParseRig(std::string("[d]\ncontroller = ") + p.controller + "\nfeatures = 13\n", "bench",
                                     error);
        jv::RecordingConsole console;
        jv::SetConsole(&console);
        std::vector<jv::sim::VirtualDrive*> drives{rig->drives[0].get()};
        jv::ResetDriveAccessForTest(jv::MakeVirtualRoute(drives, jv::EVirtualPlatform::Linux), true);
        drives[0]->ClearTranscript();
        Bytes working = image;
        state.ResumeTiming();

        failed |= static_cast<bool>(jv::FlashImage(0, working, p.size, parameter, options, false));

        state.PauseTiming();
        commands = static_cast<double>(drives[0]->Transcript().size());
        bytes = 0;
        for (const auto& e : drives[0]->Transcript())
            if (e.direction == 0x10) bytes += e.length;
        jv::ResetDriveAccessForTest();
        jv::SetConsole(nullptr);
        state.ResumeTiming();
    }
    jv::SetClock(nullptr);
    if (failed) state.SkipWithError("the flash failed");
    state.counters["commands"] = commands;
    state.counters["bytes_sent"] = bytes;
}
BENCHMARK(BM_AtapiFlash)->DenseRange(0, 7)->Unit(benchmark::kMillisecond);

}  // namespace
