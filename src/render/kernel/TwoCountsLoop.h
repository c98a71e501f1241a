// The batch escape-count loop of the paths whose vector unit has no write masks (SSE2, AVX2),
// where keeping a lane frozen would cost two blends a step: z runs on instead, and two counts
// tell the loop what it needs. Written once over a few vector operations (`Ops`) that each
// path's file supplies for its instruction set.
//
// Each path's file defines its Ops in an anonymous namespace, so every instantiation of this
// loop is internal to that file and compiled for its instruction set alone. For the same reason
// every helper here is a template on Ops: of an inline function with external linkage the
// linker could keep one file's wide-instruction copy for every caller, and a CPU without those
// instructions would crash in the portable path.
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

// Why z may run on after it leaves, with no blend to hold it. Each lane counts its tests twice:
// low, the tests with mag < LOWER_BAND, and high, those with mag <= UPPER_BAND; low <= high.
// - While mag stays below the band, both count the same tests: the iterations completed.
// - Once a test finds mag above the band, z never comes back. mag's own roundings give
//   |z| > 2(1 + δ/2 − 2u), with δ and u as in EscapeKernelBand.h, and |c| <= 2(1 + δ/2 + 2u):
//   the test of z1 = c found mag at or below the band, unless this is that test (then
//   |c² + c| >= |c|(|c| − 1) > |c|, as |c| > 2). Writing |z| = 2(1 + e), the exact next z has
//   |z² + c| >= |z|² − |c| >= |z| + 6e − 2(δ/2 + 2u) > |z| + 2δ − 16u, while the update's
//   four roundings move it by less than 40u; farther out still, its mag is above the band
//   again. For larger |z| the margin |z|² − |z| − |c| grows as the roundings do. The squares
//   may overflow to infinity and then to NaN: every compare stays false, and neither count
//   moves again, however long the lane runs on.
// - A test whose mag lands in the band counts in high but not in low, so the counts differ from
//   then on, whatever the lane does later (it may come back inside); the definition settles it.
//   So it does a lane of NaN c, before the loop: its compares are false from the start and
//   would count it as escaping at once, where the definition never lets it escape.
// So a lane is finished once a test finds mag above the band (not <= UPPER_BAND), or once it
// has run ITERATION_LIMIT iterations; where low = high, low is its count.
//
// Both counts live in one 64-bit integer per lane, high · 2^32 + (high + low), from 0: one
// register, and on x86 a 32-bit and a 64-bit subtraction of the two compare masks (all ones,
// that is -1, where true). The first step tests z = 0, which completes no iteration.

// The two counts of each lane of a vector, through memory: refills and settling, which are
// rare, work lane by lane.
template <class Ops>
struct Counts {
    alignas(64) std::int64_t packed[Ops::LANES];
    explicit Counts(typename Ops::Index v) { Ops::storeIndex(packed, v); }
    std::int64_t high(int lane) const { return packed[lane] >> 32; }
    std::int64_t low(int lane) const { return (packed[lane] & 0xFFFFFFFF) - high(lane); }
    // the definition's count, where the two agree
    bool agree(int lane) const { return low(lane) == high(lane); }
    std::int64_t iterations(int lane) const { return low(lane) - 1; }
};

// counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, with VECTORS vectors of
// Ops::LANES points in flight, looking at them every STEPS iterations. z and the counts stay in
// registers; c is read from memory. Once BATCH lanes have finished (or a point is due at the
// limit), every finished lane gets its next point.
template <class Ops, int VECTORS, int STEPS, int BATCH>
void twoCountsLoop(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // one flag per lane
    using Index = typename Ops::Index; // one 64-bit integer per lane
    static_assert(BATCH >= 1, "a batch of at least one finished lane");
    constexpr int LANES = Ops::LANES;
    constexpr unsigned ALL_LANES = (1u << LANES) - 1;
    constexpr std::int64_t LIMIT = Mandelbrot::ITERATION_LIMIT;
    constexpr std::int64_t IDLE = std::int64_t{1} << 62; // start of a lane without a point

    Vec zr[VECTORS];
    Vec zi[VECTORS];
    Index tests[VECTORS]; // the two counts, packed
    // per lane, in memory: c, the point held (-1: none) and the iteration it started at
    alignas(64) double cr[VECTORS][LANES] = {};
    alignas(64) double ci[VECTORS][LANES] = {};
    std::int64_t point[VECTORS][LANES];
    std::int64_t started[VECTORS][LANES];

    std::int64_t it = 0;    // iterations the loop has run
    std::size_t next = 0;   // the next point to start
    std::size_t active = 0; // lanes holding a point

    // Ends the point in lane l of vector v, if any, and starts the next one there. A lane left
    // without a point idles at z = c = 0, which never leaves the disc, and is never due.
    const auto settleAndRestart = [&](int v, int l, const Counts<Ops>& counted) {
        const std::int64_t held = point[v][l];
        if (held >= 0) {
            const std::int64_t count =
                counted.iterations(l) < LIMIT ? counted.iterations(l) : LIMIT;
            counts[held] = counted.agree(l) ? static_cast<std::int32_t>(count)
                                            : countByDefinition<Ops>(cr[v][l], ci[v][l]);
            --active;
        }
        while (next < n && (std::isnan(re[next]) || std::isnan(im[next]))) {
            counts[next] = countByDefinition<Ops>(re[next], im[next]);
            ++next;
        }
        const bool loaded = next < n;
        cr[v][l] = loaded ? re[next] : 0.0;
        ci[v][l] = loaded ? im[next] : 0.0;
        point[v][l] = loaded ? static_cast<std::int64_t>(next) : -1;
        started[v][l] = loaded ? it : IDLE;
        next += loaded ? 1 : 0;
        active += loaded ? 1 : 0;
    };
    const auto restart = [&](int v, unsigned lanes) {
        const Counts<Ops> counted(tests[v]);
        for (int l = 0; l < LANES; ++l) {
            if ((lanes >> l & 1u) != 0) {
                settleAndRestart(v, l, counted);
            }
        }
        const Mask chosen = Ops::laneMask(lanes);
        zr[v] = Ops::clear(zr[v], chosen);
        zi[v] = Ops::clear(zi[v], chosen);
        tests[v] = Ops::clear(tests[v], chosen);
    };
    // The step at which the earliest started point has tested its z after LIMIT iterations:
    // each step tests the z of the one before, so that is LIMIT + 1 steps after its start.
    const auto earliestDue = [&] {
        std::int64_t earliest = IDLE;
        for (int v = 0; v < VECTORS; ++v) {
            for (int l = 0; l < LANES; ++l) {
                earliest = started[v][l] < earliest ? started[v][l] : earliest;
            }
        }
        return earliest + LIMIT + 1;
    };

    for (int v = 0; v < VECTORS; ++v) {
        zr[v] = zi[v] = Ops::broadcast(0.0);
        tests[v] = Ops::broadcastIndex(0);
        for (int l = 0; l < LANES; ++l) {
            point[v][l] = -1;
        }
        restart(v, ALL_LANES);
    }
    std::int64_t due = earliestDue();

    const Vec lower = Ops::broadcast(LOWER_BAND);
    const Vec upper = Ops::broadcast(UPPER_BAND);
    while (active > 0) {             // NOLINT(bugprone-infinite-loop): restart updates active
        unsigned stay[VECTORS] = {}; // the lanes at or below the band at the block's last test
        for (int step = 0; step < STEPS; ++step) {
            for (int v = 0; v < VECTORS; ++v) {
                // tests z and counts, then z <- z² + c, each operation rounded on its own;
                // re·im + im·re is ri + ri, since both products round alike
                const Vec rr = Ops::mul(zr[v], zr[v]);
                const Vec ii = Ops::mul(zi[v], zi[v]);
                const Vec ri = Ops::mul(zr[v], zi[v]);
                const Vec mag = Ops::add(rr, ii);
                const Mask atOrBelow = Ops::atOrBelow(mag, upper);
                tests[v] = Ops::count(tests[v], Ops::below(mag, lower), atOrBelow);
                if (step == STEPS - 1) {
                    stay[v] = Ops::bits(atOrBelow);
                }
                zr[v] = Ops::add(Ops::sub(rr, ii), Ops::load(cr[v]));
                zi[v] = Ops::add(Ops::add(ri, ri), Ops::load(ci[v]));
            }
        }
        it += STEPS;
        int finishedLanes = 0;
        for (int v = 0; v < VECTORS; ++v) {
            finishedLanes += Ops::popcount(~stay[v] & ALL_LANES);
        }
        if (finishedLanes < BATCH && it < due) {
            continue;
        }
        for (int v = 0; v < VECTORS; ++v) {
            unsigned finished = ~stay[v] & ALL_LANES;
            for (int l = 0; it >= due && l < LANES; ++l) {
                finished |= started[v][l] <= it - LIMIT - 1 ? 1u << l : 0u;
            }
            if (finished != 0) {
                restart(v, finished);
            }
        }
        due = earliestDue();
    }
}

} // namespace stavenwick::escapeKernel
