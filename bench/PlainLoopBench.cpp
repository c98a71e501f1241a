// The plain loops beside the exact paths: each width's speed on the program's scene, after a
// check that it counts the scene the plain way (any count that differs from the definition's
// belongs to a point whose mag came within rounding of 4).
#include "PlainLoopPaths.h"
#include "ScenePoints.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"
#include "render/kernel/EscapeKernelBand.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using stavenwick::Mandelbrot;
namespace escapeKernel = stavenwick::escapeKernel;
using Loop = void (*)(const double*, const double*, std::int32_t*, std::size_t);

// Whether the orbit of c lands in the band around 4 within its first iterations (up to the
// limit), where a test of mag against 4 may say otherwise than hypot.
bool landsInTheBand(double cr, double ci)
{
    double zr = 0.0;
    double zi = 0.0;
    for (int n = 0; n <= Mandelbrot::ITERATION_LIMIT; ++n) {
        const double mag = zr * zr + zi * zi;
        if (mag >= escapeKernel::LOWER_BAND && mag <= escapeKernel::UPPER_BAND) {
            return true;
        }
        if (mag > escapeKernel::UPPER_BAND) {
            return false;
        }
        const double re = zr * zr - zi * zi + cr;
        zi = zr * zi + zi * zr + ci;
        zr = re;
    }
    return false;
}

void plainLoop(benchmark::State& state, escapeKernel::Path path, Loop loop)
{
    if (!escapeKernel::supported(path)) {
        state.SkipWithError("this CPU cannot run this width");
        return;
    }
    const stavenwick::bench::ScenePoints& points = stavenwick::bench::scenePoints();
    std::vector<std::int32_t> counts(points.re.size());
    std::vector<std::int32_t> exact(points.re.size());
    loop(points.re.data(), points.im.data(), counts.data(), counts.size());
    escapeKernel::run(points.re.data(), points.im.data(), exact.data(), exact.size());
    std::size_t differing = 0;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] != exact[i]) {
            ++differing;
            if (!landsInTheBand(points.re[i], points.im[i])) {
                state.SkipWithError("the plain loop miscounts the scene");
                return;
            }
        }
    }
    for (auto _ : state) {
        loop(points.re.data(), points.im.data(), counts.data(), counts.size());
        benchmark::DoNotOptimize(counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * points.iterations);
    state.counters["differing"] = static_cast<double>(differing);
}

using escapeKernel::Path;
using namespace stavenwick::bench; // NOLINT(google-build-using-namespace)
BENCHMARK_CAPTURE(plainLoop, sse2, Path::Sse2, plainSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plainLoop, avx2, Path::Avx2, plainAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plainLoop, avx512, Path::Avx512, plainAvx512)->Unit(benchmark::kMillisecond);

} // namespace
