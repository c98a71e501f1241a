// A yardstick, not a code path: the escape loop a competent engineer writes when exactness does
// not matter, on vectors of one width. Per step: three products and the adds of z² + c, mag < 4
// as one compare, the count advanced by subtracting the compare's mask; no blends (a lane that
// left runs on, its compare false for good); z and the counts in registers, c read from memory;
// several vectors in flight; a look every STEPS steps through one movemask a vector, and every
// finished lane refilled at once. It counts the way the definition counts, except where mag
// lands within rounding of 4 (PlainLoopBench checks that on the scene).
//
// Each width's file supplies Ops in an anonymous namespace and is built with the flags of the
// exact path of that width, so that both are compiled alike.
#pragma once

#include "render/Mandelbrot.h"

#include <cstddef>
#include <cstdint>

namespace stavenwick::bench {

template <class Ops, int VECTORS, int STEPS, int BATCH = 1>
void plainLoop(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    using Vec = typename Ops::Vec;
    using Index = typename Ops::Index;
    static_assert(BATCH >= 1, "a batch of at least one finished lane");
    constexpr int LANES = Ops::LANES;
    constexpr unsigned ALL_LANES = (1u << LANES) - 1;
    constexpr std::int64_t LIMIT = Mandelbrot::ITERATION_LIMIT;
    constexpr std::int64_t IDLE = std::int64_t{1} << 62;

    Vec zr[VECTORS];
    Vec zi[VECTORS];
    Index count[VECTORS];
    alignas(64) double cr[VECTORS][LANES] = {};
    alignas(64) double ci[VECTORS][LANES] = {};
    alignas(64) std::int64_t done[LANES];
    std::int64_t point[VECTORS][LANES];
    std::int64_t started[VECTORS][LANES];
    std::int64_t it = 0;
    std::size_t next = 0;
    std::size_t active = 0;

    const auto restart = [&](int v, unsigned lanes) {
        Ops::storeIndex(done, count[v]);
        for (int l = 0; l < LANES; ++l) {
            if ((lanes >> l & 1u) == 0) {
                continue;
            }
            if (point[v][l] >= 0) {
                counts[point[v][l]] = static_cast<std::int32_t>(done[l] < LIMIT ? done[l] : LIMIT);
                --active;
            }
            const bool loaded = next < n;
            cr[v][l] = loaded ? re[next] : 0.0;
            ci[v][l] = loaded ? im[next] : 0.0;
            point[v][l] = loaded ? static_cast<std::int64_t>(next) : -1;
            started[v][l] = loaded ? it : IDLE;
            next += loaded ? 1 : 0;
            active += loaded ? 1 : 0;
        }
        zr[v] = Ops::clear(zr[v], lanes);
        zi[v] = Ops::clear(zi[v], lanes);
        count[v] = Ops::setMinusOne(count[v], lanes);
    };
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
        count[v] = Ops::broadcastIndex(0);
        for (int l = 0; l < LANES; ++l) {
            point[v][l] = -1;
        }
        restart(v, ALL_LANES);
    }
    std::int64_t due = earliestDue();
    const Vec four = Ops::broadcast(4.0);
    while (active > 0) { // NOLINT(bugprone-infinite-loop): restart updates active
        unsigned inside[VECTORS] = {};
        for (int step = 0; step < STEPS; ++step) {
            for (int v = 0; v < VECTORS; ++v) {
                const Vec rr = Ops::mul(zr[v], zr[v]);
                const Vec ii = Ops::mul(zi[v], zi[v]);
                const Vec ri = Ops::mul(zr[v], zi[v]);
                const auto below = Ops::below(Ops::add(rr, ii), four);
                count[v] = Ops::countIf(count[v], below);
                zr[v] = Ops::add(Ops::sub(rr, ii), Ops::load(cr[v]));
                zi[v] = Ops::add(Ops::add(ri, ri), Ops::load(ci[v]));
                if (step == STEPS - 1) {
                    inside[v] = Ops::bits(below);
                }
            }
        }
        it += STEPS;
        int out = 0;
        for (int v = 0; v < VECTORS; ++v) {
            out += Ops::popcount(~inside[v] & ALL_LANES);
        }
        if (out < BATCH && it < due) {
            continue;
        }
        for (int v = 0; v < VECTORS; ++v) {
            unsigned finished = ~inside[v] & ALL_LANES;
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

} // namespace stavenwick::bench
