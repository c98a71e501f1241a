// A yardstick, not a code path: a plain escape loop of each vector width on the program's
// scene, as one would write it without caring for exactness (re² + im² < 4 alone, lanes
// refilled every 32 steps, counts capped at the limit). Its speed beside each exact path's is
// the cost of exactness on this CPU. Counts it gets wrong do not matter here.
#include "ScenePoints.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

using stavenwick::Mandelbrot;
constexpr std::int64_t LIMIT = Mandelbrot::ITERATION_LIMIT;
constexpr int REFILL_STEPS = 32;
constexpr int VECTORS = 3;

// GNU vectors of 2, 4 and 8 doubles, and of as many 64-bit integers
typedef double Vec2 __attribute__((vector_size(16)));    // NOLINT(modernize-use-using)
typedef double Vec4 __attribute__((vector_size(32)));    // NOLINT(modernize-use-using)
typedef double Vec8 __attribute__((vector_size(64)));    // NOLINT(modernize-use-using)
typedef long long Int2 __attribute__((vector_size(16))); // NOLINT(modernize-use-using)
typedef long long Int4 __attribute__((vector_size(32))); // NOLINT(modernize-use-using)
typedef long long Int8 __attribute__((vector_size(64))); // NOLINT(modernize-use-using)

// The loop over vectors of LANES doubles, compiled for the instruction set of its caller.
template <typename Vec, typename Int, int LANES>
struct Plain {

    [[gnu::always_inline]] static inline void run(const double* re, const double* im,
                                                  std::int32_t* counts, std::size_t n)
    {
        Vec zr[VECTORS] = {};
        Vec zi[VECTORS] = {};
        Vec cr[VECTORS] = {};
        Vec ci[VECTORS] = {};
        Int done[VECTORS] = {};
        long long point[VECTORS][LANES];
        std::size_t next = 0;
        std::size_t active = std::size_t{VECTORS} * LANES;
        for (int v = 0; v < VECTORS; ++v) {
            for (int lane = 0; lane < LANES; ++lane) {
                point[v][lane] = -1;
                done[v][lane] = LIMIT; // empty: refilled at once
            }
        }
        const Vec four = Vec{} + 4.0;
        while (active > 0) {
            active = 0;
            for (int v = 0; v < VECTORS; ++v) {
                for (int lane = 0; lane < LANES; ++lane) {
                    const double mag = zr[v][lane] * zr[v][lane] + zi[v][lane] * zi[v][lane];
                    if (done[v][lane] < LIMIT && mag < 4.0) {
                        ++active;
                        continue;
                    }
                    if (point[v][lane] >= 0) {
                        counts[point[v][lane]] = static_cast<std::int32_t>(
                            done[v][lane] < LIMIT ? done[v][lane] : LIMIT);
                        point[v][lane] = -1;
                    }
                    if (next < n) {
                        point[v][lane] = static_cast<long long>(next);
                        cr[v][lane] = re[next];
                        ci[v][lane] = im[next];
                        zr[v][lane] = zi[v][lane] = 0.0;
                        done[v][lane] = -1;
                        ++next;
                        ++active;
                    } else {
                        done[v][lane] = LIMIT;
                    }
                }
            }
            for (int step = 0; step < REFILL_STEPS; ++step) {
                for (int v = 0; v < VECTORS; ++v) {
                    const Vec rr = zr[v] * zr[v];
                    const Vec ii = zi[v] * zi[v];
                    const Vec ri = zr[v] * zi[v];
                    const Int inside = rr + ii < four;
                    done[v] -= inside;
                    zr[v] = inside ? rr - ii + cr[v] : zr[v];
                    zi[v] = inside ? ri + ri + ci[v] : zi[v];
                }
            }
        }
    }
};

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("sse2")]] void plainSse2(const double* re, const double* im, std::int32_t* counts,
                                       std::size_t n)
{
    Plain<Vec2, Int2, 2>::run(re, im, counts, n);
}
[[gnu::target("avx2")]] void plainAvx2(const double* re, const double* im, std::int32_t* counts,
                                       std::size_t n)
{
    Plain<Vec4, Int4, 4>::run(re, im, counts, n);
}
[[gnu::target("avx512f")]] void plainAvx512(const double* re, const double* im,
                                            std::int32_t* counts, std::size_t n)
{
    Plain<Vec8, Int8, 8>::run(re, im, counts, n);
}
#endif

using Loop = void (*)(const double*, const double*, std::int32_t*, std::size_t);

void plainLoop(benchmark::State& state, stavenwick::escapeKernel::Path path, Loop loop)
{
    if (!stavenwick::escapeKernel::supported(path)) {
        state.SkipWithError("this CPU cannot run this width");
        return;
    }
    const stavenwick::bench::ScenePoints& points = stavenwick::bench::scenePoints();
    std::vector<std::int32_t> counts(points.re.size());
    for (auto _ : state) {
        loop(points.re.data(), points.im.data(), counts.data(), counts.size());
        benchmark::DoNotOptimize(counts.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * points.iterations);
}

#if defined(__x86_64__) || defined(__i386__)
using stavenwick::escapeKernel::Path;
BENCHMARK_CAPTURE(plainLoop, sse2, Path::Sse2, plainSse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plainLoop, avx2, Path::Avx2, plainAvx2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(plainLoop, avx512, Path::Avx512, plainAvx512)->Unit(benchmark::kMillisecond);
#endif

} // namespace
