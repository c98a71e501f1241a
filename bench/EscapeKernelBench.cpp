// The escape-count pass of the program's scene on each kernel path, in z updates per second.
#include "render/EscapeKernel.h"
#include "render/Mandelbrot.h"
#include "render/ZoomView.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using stavenwick::EscapeKernel;
using stavenwick::Mandelbrot;

// The 800×600 points of the program's scene, and the z updates their counts take.
struct ScenePoints {
    std::vector<double> re;
    std::vector<double> im;
    std::int64_t iterations = 0;
};

const ScenePoints& scenePoints()
{
    static const ScenePoints points = [] {
        constexpr std::int32_t width = 800;
        constexpr std::int32_t height = 600;
        stavenwick::ZoomView view(width, height);
        view.push(stavenwick::ZoomStep(width / 2, height / 2, 4.0 / width));
        view.push(stavenwick::ZoomStep(295, 202, 0.1));
        view.push(stavenwick::ZoomStep(312, 304, 0.1));
        ScenePoints scene;
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                const auto c = view.toPlane(x, y);
                scene.re.push_back(c.first);
                scene.im.push_back(c.second);
            }
        }
        std::vector<std::int32_t> counts(scene.re.size());
        EscapeKernel::run(scene.re.data(), scene.im.data(), counts.data(), counts.size());
        for (const std::int32_t n : counts) {
            // a point that escapes after n full iterations took one more update to leave
            scene.iterations += n < Mandelbrot::ITERATION_LIMIT ? n + 1 : n;
        }
        return scene;
    }();
    return points;
}

void escapeCounts(benchmark::State& state, EscapeKernel::Path path)
{
    if (!EscapeKernel::supported(path)) {
        state.SkipWithError("this CPU cannot run this path");
        return;
    }
    const ScenePoints& scene = scenePoints();
    std::vector<std::int32_t> counts(scene.re.size());
    for (auto _ : state) {
        EscapeKernel::run(path, scene.re.data(), scene.im.data(), counts.data(), counts.size());
        benchmark::DoNotOptimize(counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * scene.iterations);
    state.counters["pixels"] = static_cast<double>(counts.size());
}

BENCHMARK_CAPTURE(escapeCounts, scalar, EscapeKernel::Path::Scalar)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, portable, EscapeKernel::Path::Portable)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx2, EscapeKernel::Path::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(escapeCounts, avx512, EscapeKernel::Path::Avx512)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
