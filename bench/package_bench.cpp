// The package pipeline on a 2 MiB encoded version 3 package, next to a plain
// memcpy of the same 2 MiB: the pipeline should stay within 4x the copy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "PackageBuilder.h"
#include "package/Firmware.h"
#include "package/Ytr.h"

namespace {

using jv::test::Bytes;

constexpr uint32_t kImageSize = 0x200000;

const Bytes& Package() {
    static const Bytes package = jv::test::BuildV3(jv::test::SamplePackage(kImageSize));
    return package;
}

void BM_Memcpy(benchmark::State& state) {
    const Bytes& package = Package();
    Bytes image(kImageSize);
    for (auto _ : state) {
        std::memcpy(image.data(), package.data() + package.size() - kImageSize, kImageSize);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
BENCHMARK(BM_Memcpy);

// What a caller does with a package: size it, zero an image, load and decode,
// then the two sums and the information block scan.
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
        std::fill(image.begin(), image.end(), uint8_t{0});
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

}  // namespace
