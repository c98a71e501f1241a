// The escape-count pass of the program's scene on each kernel path, in z updates per second.
#include "ScenePoints.h"
#include "render/kernel/EscapeKernel.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

namespace escapeKernel = stavenwick::escapeKernel;
using Path = escapeKernel::Path;

using stavenwick::bench::ScenePoints;
using stavenwick::bench::scenePoints;

void escapeCounts(benchmark::State& state, Path path)
{
    if (!escapeKernel::supported(path)) {
        state.SkipWithError("this CPU cannot run this path");
        return;
    }
    const ScenePoints& scene = scenePoints();
    std::vector<std::int32_t> counts(scene.re.size());
    for (auto _ : state) {
        escapeKernel::run(path, scene.re.data(), scene.im.data(), counts.data(), counts.size());
        benchmark::DoNotOptimize(counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * scene.iterations);
}

BENCHMARK_CAPTURE(escapeCounts, scalar, Path::Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, portable, Path::Portable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, sse2, Path::Sse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx2, Path::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx512, Path::Avx512)->Unit(benchmark::kMillisecond);

} // namespace
