// The ceiling of each vector width beside the kernel paths (escapeCounts/...), in iterations per
// second: ceiling/<width>/<vectors in flight>/<ri + ri formed as "sum" or "product">, and each
// kernel's own body in the same loop, .../twoCounts (SSE2 and AVX2) and .../lastTest (AVX-512):
// how much of the ceiling the exact test leaves, and what the kernel's loop is judged against.
#include "CeilingPaths.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using stavenwick::bench::Ceiling;
using stavenwick::bench::CeilingWidth;
using stavenwick::bench::Form;

constexpr std::int64_t STEPS = 1000; // a point's life at the limit
constexpr const char* FORMS[] = {"/sum", "/product", "/twoCounts", "/lastTest"}; // as Form

void ceiling(benchmark::State& state, int lanes, Ceiling run)
{
    // points of the main cardioid, each its own: none ever leaves the disc
    std::vector<double> c(2 * static_cast<std::size_t>(run.vectors * lanes));
    for (std::size_t i = 0; i < c.size(); ++i) {
        const double k = static_cast<double>(i % 256);
        c[i] = (i / static_cast<std::size_t>(lanes)) % 2 == 0 ? -0.1 - 0.0004 * k : 0.0008 * k;
    }
    std::int64_t counted = 0;
    for (auto _ : state) {
        counted += run.run(c.data(), STEPS);
        benchmark::DoNotOptimize(counted);
    }
    const std::int64_t perRun = STEPS * run.vectors * lanes;
    const std::int64_t counts = run.form == Form::TwoCounts ? 2 : 1; // tests counted a step
    if (counted != counts * perRun * static_cast<std::int64_t>(state.iterations())) {
        state.SkipWithError("a point left the disc");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * perRun);
}

void registerWidth(const char* name, bool supported, CeilingWidth width)
{
    for (int i = 0; i < width.count; ++i) {
        const Ceiling run = width.ceilings[i];
        const std::string label = std::string("ceiling/") + name + "/" +
                                  std::to_string(run.vectors) + FORMS[static_cast<int>(run.form)];
        auto* benchmark = benchmark::RegisterBenchmark(label.c_str(), [=](benchmark::State& state) {
            if (!supported) {
                state.SkipWithError("this CPU cannot run this width");
                return;
            }
            ceiling(state, width.lanes, run);
        });
        benchmark->Unit(benchmark::kMillisecond);
    }
}

const bool registered = [] {
    __builtin_cpu_init();
    registerWidth("sse2", __builtin_cpu_supports("sse2"), stavenwick::bench::ceilingSse2());
    registerWidth("avx2", __builtin_cpu_supports("avx2"), stavenwick::bench::ceilingAvx2());
    registerWidth("avx512", __builtin_cpu_supports("avx512f"), stavenwick::bench::ceilingAvx512());
    return true;
}();

} // namespace
