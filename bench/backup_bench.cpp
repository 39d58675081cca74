// Whole backups on a virtual drive, as jorvane-backup runs them: a 2 MiB
// flash read through the drive's read command (ATAPI route) and a 512 KiB
// parallel chip read through the IDE registers. Each is read twice and
// checked, written and read back. Beside them the verify of the 2 MiB drive,
// as jorvane-verify runs it: the same reader, then a compare in place of the
// write. The counters show what one byte of the
// backup costs on the bus: drive commands on the ATAPI route, port
// operations on the IDE route. The virtual clock makes waits free, so the
// time is the host's own work plus the drive's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "PackageBuilder.h"
#include "drive/Winfunc.h"
#include "flash/FlashmcuIde.h"
#include "platform/Clock.h"
#include "platform/Ports.h"
#include "platform/RecordingConsole.h"
#include "readback/Backup.h"
#include "readback/Verify.h"
#include "sim/Rig.h"
#include "sim/VirtualClock.h"
#include "sim/VirtualIde.h"
#include "sim/VirtualRoute.h"

namespace {

namespace fs = std::filesystem;
using jv::test::Bytes;

struct SCase {
    const char* rig;
    uint8_t ideType;
    uint8_t atapiType;
    uint32_t size;
    bool ide;
};

constexpr SCase kAtapi2M{"[d]\ncontroller = mtk\nflash_size = 0x200000\n", 0, 1, 0x200000, false};
constexpr SCase kIde512K{"[d]\nide_controller = mtk\nflash_chip = 7\nflash_size = 0x80000\n", 1, 0, 0x80000, true};

void RunReadBack(benchmark::State& state, const SCase& c, bool verify) {
    const fs::path dir = fs::temp_directory_path() /
                         ("jv-backup-bench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir);
    jv::test::SV3Package like;
    like.encoding = 0;
    like.ideFlashType = c.ideType;
    like.atapiFlashType = c.atapiType;
    like.maxBankSize = c.size;
    like.banks.push_back(jv::test::FillerBytes(c.size, 5));
    const Bytes image = like.banks.back();
    const Bytes file = jv::test::BuildV3(like);
    const fs::path likePath = dir / "like.ytr";
    const fs::path outPath = dir / "out.ytr";
    std::ofstream(likePath, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                   static_cast<std::streamsize>(file.size()));

    jv::VirtualClock clock;
    jv::SetClock(&clock);
    const jv::SParameter settings = jv::BuildSettings();
    jv::SBackupCommandLine args;
    args.likeFile = likePath.string();
    args.outFile = outPath.string();
    args.ideFlash = c.ide;
    jv::SVerifyCommandLine verifyArgs;
    verifyArgs.packageFile = likePath.string();
    verifyArgs.ideFlash = c.ide;
    double commands = 0, operations = 0, bytes = 0;
    bool failed = false;
    for (auto _ : state) {
        state.PauseTiming();
        std::string error;
        auto rig = jv::sim::ParseRig(c.rig, "bench", error);
        jv::RecordingConsole console;
        jv::SetConsole(&console);
        std::vector<jv::sim::VirtualDrive*> drives{rig->drives[0].get()};
        jv::ResetDriveAccessForTest(jv::MakeVirtualRoute(drives, jv::EVirtualPlatform::Linux), true);
        jv::sim::VirtualIdeBus bus(drives);
        jv::sim::BusPorts ports(bus);
        jv::SetPorts(&ports);
        jv::ResetIdeAccess();
        // The drive holds the package: a verify that finds it.
        if (verify) drives[0]->Flash().Program(0, image);
        drives[0]->ClearTranscript();
        fs::remove(outPath);
        state.ResumeTiming();

        failed |= verify ? jv::VerifyRun(settings, verifyArgs) != jv::kVerifyHolds
                         : jv::BackupRun(settings, args) != jv::kBackupOk;

        state.PauseTiming();
        commands += static_cast<double>(drives[0]->Transcript().size());
        operations += static_cast<double>(bus.Operations());
        bytes += c.size;
        jv::SetPorts(nullptr);
        jv::ResetDriveAccessForTest();
        jv::SetConsole(nullptr);
        state.ResumeTiming();
    }
    jv::SetClock(nullptr);
    fs::remove_all(dir);
    if (failed) state.SkipWithError(verify ? "the verify did not find the package" : "the backup failed");
    state.counters["commands_per_byte"] = bytes > 0 ? commands / bytes : 0;
    state.counters["port_ops_per_byte"] = bytes > 0 ? operations / bytes : 0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_AtapiBackup2M(benchmark::State& state) { RunReadBack(state, kAtapi2M, false); }
void BM_IdeBackup512K(benchmark::State& state) { RunReadBack(state, kIde512K, false); }
void BM_AtapiVerify2M(benchmark::State& state) { RunReadBack(state, kAtapi2M, true); }

BENCHMARK(BM_AtapiBackup2M)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(3);
BENCHMARK(BM_IdeBackup512K)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(3);
BENCHMARK(BM_AtapiVerify2M)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(3);

}  // namespace
