// The escape-count pass of the program's scene on each kernel path, in z updates per second.
#include "app/Scene.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using stavenwick::Mandelbrot;
namespace escapeKernel = stavenwick::escapeKernel;
using Path = escapeKernel::Path;

// The 800×600 points of the program's scene, and the z updates their counts take.
struct ScenePoints {
    std::vector<double> re;
    std::vector<double> im;
    std::int64_t iterations = 0;
};

const ScenePoints& scenePoints()
{
    static const ScenePoints points = [] {
        const stavenwick::Scene fixed = stavenwick::Scene::fixed();
        const stavenwick::ZoomView view = fixed.view();
        ScenePoints scene;
        for (std::int32_t y = 0; y < fixed.height; ++y) {
            for (std::int32_t x = 0; x < fixed.width; ++x) {
                const stavenwick::PlanePoint c = view.toPlane(x, y);
                scene.re.push_back(c.re);
                scene.im.push_back(c.im);
            }
        }
        std::vector<std::int32_t> counts(scene.re.size());
        escapeKernel::run(scene.re.data(), scene.im.data(), counts.data(), counts.size());
        for (const std::int32_t n : counts) {
            // a point that escapes after n full iterations took one more update to leave
            scene.iterations += n < Mandelbrot::ITERATION_LIMIT ? n + 1 : n;
        }
        return scene;
    }();
    return points;
}

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
    state.counters["pixels"] = static_cast<double>(counts.size());
}

BENCHMARK_CAPTURE(escapeCounts, scalar, Path::Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, portable, Path::Portable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, sse2, Path::Sse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx2, Path::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx512, Path::Avx512)->Unit(benchmark::kMillisecond);

} // namespace
