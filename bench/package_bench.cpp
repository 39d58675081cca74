// The package pipeline on a 2 MiB encoded version 3 package, next to a plain
// memcpy of the same 2 MiB. On a processor with AVX2 the pipeline takes about
// 2.8x the copy's CPU time (3.5x with the baseline vector width alone, 7x
// while the image was cleared first and the sums and the scan ran at half the
// memory's speed). Decoding costs about 1.2x, since it reads and writes what
// the copy does; each further pass (the two sums, the scan) reads the 2 MiB
// once more, about 0.5x apiece. BM_MemcpyThenThreeReads is the floor of such
// a pipeline, a copy and three passes that only read: about 2.55x, so the
// pipeline is within a tenth of it. Compare them in one run; a busy machine
// stretches the real times of all.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "PackageBuilder.h"
#include "package/Firmware.h"
#include "package/Ytr.h"
#include "util/WideVectors.h"

namespace {

using jv::test::Bytes;

constexpr uint32_t kImageSize = 0x200000;

const Bytes& Package() {
    static const Bytes package = jv::test::BuildV3(jv::test::SamplePackage(kImageSize));
    return package;
}

// The yardstick: the package's last 2 MiB copied into the image.
void CopyTail(const Bytes& package, Bytes& image) {
    std::memcpy(image.data(), package.data() + package.size() - kImageSize, kImageSize);
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
}

void BM_Memcpy(benchmark::State& state) {
    const Bytes& package = Package();
    Bytes image(kImageSize);
    for (auto _ : state) CopyTail(package, image);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_Memcpy);

// Reads every byte and does nothing else with it, in the widest vectors the
// processor has.
JV_WIDE_VECTORS uint64_t OrOfWords(const uint8_t* bytes, size_t count) {
    uint64_t any = 0;
    for (size_t i = 0; i + sizeof(uint64_t) <= count; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        any |= word;
    }
    return any;
}

// The floor of the pipeline below on the machine at hand: the copy, then
// three passes that only read the 2 MiB. The pipeline decodes as it copies
// and makes three read passes, so no set of separate passes doing its work
// can beat this.
void BM_MemcpyThenThreeReads(benchmark::State& state) {
    const Bytes& package = Package();
    Bytes image(kImageSize);
    for (auto _ : state) {
        CopyTail(package, image);
        for (int pass = 0; pass < 3; ++pass) benchmark::DoNotOptimize(OrOfWords(image.data(), image.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_MemcpyThenThreeReads);

// What a caller does with a package: size it, load and decode (the loader
// writes every byte of the image, so no clearing first), then the two sums
// and the information block scan.
void BM_PackagePipeline(benchmark::State& state) {
    const Bytes& package = Package();
    Bytes image(kImageSize);
    jv::SYTRParameter record;
    for (auto _ : state) {
        const uint32_t size = jv::GetImageSize(package);
        if (size != image.size()) {
            state.SkipWithError("unexpected image size");
            break;
        }
        if (!jv::LoadYtr(package, record, image)) {
            state.SkipWithError("package did not load");
            break;
        }
        benchmark::DoNotOptimize(jv::CalcCheckSum(image, record));
        benchmark::DoNotOptimize(jv::CalcFixDataCheckSum(image, record));
        benchmark::DoNotOptimize(jv::FindInfoSignatures(image));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_PackagePipeline);

// The stages one by one, to see where the time of the pipeline goes.
void BM_LoadYtr(benchmark::State& state) {
    const Bytes& package = Package();
    Bytes image(kImageSize);
    jv::SYTRParameter record;
    for (auto _ : state) {
        benchmark::DoNotOptimize(jv::LoadYtr(package, record, image));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_LoadYtr);

void BM_CalcCheckSum(benchmark::State& state) {
    const Bytes image = jv::test::ImageOf(jv::test::SamplePackage(kImageSize));
    jv::SYTRParameter record;
    for (auto _ : state) benchmark::DoNotOptimize(jv::CalcCheckSum(image, record));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_CalcCheckSum);

void BM_FindInfoSignatures(benchmark::State& state) {
    const Bytes image = jv::test::ImageOf(jv::test::SamplePackage(kImageSize));
    for (auto _ : state) benchmark::DoNotOptimize(jv::FindInfoSignatures(image));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_FindInfoSignatures);

// ---- hostile reserved blocks

// A plain package of the largest image the loader takes, next to the most
// costly one it still accepts: the same image with as many reserved blocks
// as a header may list, each 1 KiB, together covering the image whole (so
// the fix-data sum reads it twice), listed in a shuffled order (so the
// loader cannot check them in one ascending walk, and every block lands at
// a place of the image far from the last). Nothing beyond that is accepted:
// blocks that start outside the image or cover a byte twice, and more
// blocks than kMaxReserveBlocks, do not load. Measured: the plain package
// 39 ms of CPU, the one with the most blocks 50 ms (1.3x; the blocks are
// checked on a sort of their addresses, and the fix-data sum walks the image
// once between the sorted edges instead of once more through every block).
constexpr uint32_t kLargestImage = jv::kMaxImageSize;

jv::test::SV3Package LargestSample() { return jv::test::SamplePackage(kLargestImage); }

const Bytes& PlainLargest() {
    static const Bytes package = jv::test::BuildV3(LargestSample());
    return package;
}

const Bytes& MostBlocks() {
    static const Bytes package = [] {
        jv::test::SV3Package p = LargestSample();
        constexpr uint32_t kCount = jv::kMaxReserveBlocks;
        constexpr uint32_t kLength = kLargestImage / kCount;
        std::vector<uint32_t> order(kCount);
        for (uint32_t i = 0; i < kCount; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(20240601));
        p.reserveBlocks.clear();
        for (uint32_t i : order) p.reserveBlocks.push_back({i * kLength, kLength});
        return jv::test::BuildV3(p);
    }();
    return package;
}

void RunPipeline(benchmark::State& state, const Bytes& package) {
    Bytes image(jv::GetImageSize(package));
    jv::SYTRParameter record;
    for (auto _ : state) {
        if (!jv::LoadYtr(package, record, image)) {
            state.SkipWithError("package did not load");
            break;
        }
        benchmark::DoNotOptimize(jv::CalcCheckSum(image, record));
        benchmark::DoNotOptimize(jv::CalcFixDataCheckSum(image, record));
        benchmark::DoNotOptimize(jv::FindInfoSignatures(image));
    }
    state.counters["blocks"] = static_cast<double>(record.ReserveBlocks.size());
}

void BM_PipelinePlain64MiB(benchmark::State& state) { RunPipeline(state, PlainLargest()); }
BENCHMARK(BM_PipelinePlain64MiB)->Unit(benchmark::kMillisecond);

void BM_PipelineMostReservedBlocks(benchmark::State& state) { RunPipeline(state, MostBlocks()); }
BENCHMARK(BM_PipelineMostReservedBlocks)->Unit(benchmark::kMillisecond);

}  // namespace
