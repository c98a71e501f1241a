// The batch escape-count loop of the paths whose vector unit has write masks (AVX-512), and of
// the portable path: a lane that leaves freezes where it is, at no cost. Written once over a few
// vector operations (`Ops`) that each path's file supplies for its instruction set.
//
// Each path's file defines its Ops in an anonymous namespace, so every instantiation of this
// loop is internal to that file and compiled for its instruction set alone. For the same reason
// every helper the loop calls is a template on Ops or static: of an inline function with
// external linkage the linker could keep one file's wide-instruction copy for every caller, and
// a CPU without those instructions would crash in the portable path.
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"

#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

// Settles the lanes of c that the squares could not, by the definition.
template <class Ops>
[[gnu::noinline]] void settleByDefinition(std::int32_t* counts, typename Ops::Index point,
                                          typename Ops::Vec cr, typename Ops::Vec ci,
                                          unsigned lanes)
{
    for (int lane = 0; lane < Ops::LANES; ++lane) {
        if ((lanes >> lane & 1u) != 0) {
            counts[Ops::laneIndex(point, lane)] =
                countByDefinition<Ops>(Ops::lane(cr, lane), Ops::lane(ci, lane));
        }
    }
}

// The lowest `count` set bits of mask.
template <class Ops>
unsigned lowestBits(unsigned mask, std::size_t count)
{
    unsigned kept = 0;
    for (; count > 0 && mask != 0; --count) {
        kept |= mask & (~mask + 1);
        mask &= mask - 1;
    }
    return kept;
}

// counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, with VECTORS vectors of
// Ops::LANES points in flight, STEPS iterations between looks at them.
//
// A lane whose z leaves the sure inside of the disc freezes: its z and its iteration count stop
// there, at no cost on a vector unit with write masks. Once DEAD_BATCH lanes have frozen, they
// are settled together and take the next points, so the loop stops rarely, and one slow point
// never holds the others back.
template <class Ops, int VECTORS, int DEAD_BATCH, int STEPS>
void frozenLanesLoop(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // one flag per lane
    using Index = typename Ops::Index; // one 64-bit integer per lane
    constexpr int LANES = Ops::LANES;
    constexpr unsigned ALL_LANES = (1u << LANES) - 1;
    constexpr std::int64_t LIMIT = Mandelbrot::ITERATION_LIMIT;
    constexpr std::int64_t IDLE = std::int64_t{1} << 62; // start of a lane without a point

    const Vec zero = Ops::broadcast(0.0);
    const Vec lower = Ops::broadcast(LOWER_BAND);
    const Vec upper = Ops::broadcast(UPPER_BAND);

    // per vector: z, c, and the lanes surely inside the disc. The squares of z are formed again
    // at each step rather than kept: recomputing them costs less than spilling them.
    Vec zr[VECTORS];
    Vec zi[VECTORS];
    Vec cr[VECTORS];
    Vec ci[VECTORS];
    Mask inside[VECTORS];
    // per vector and lane: iterations completed (from -1: the first step tests z = 0, which
    // completes none), the point held, the iteration it started at
    Index done[VECTORS];
    Index point[VECTORS];
    Index started[VECTORS];

    std::int64_t it = 0;    // iterations the loop has run
    std::size_t next = 0;   // the next point to start
    std::size_t active = 0; // lanes holding a point

    // Starts the next points in the lanes of vector v that mask names. A lane left without a
    // point idles at z = c = 0, which never leaves the disc, and is never due.
    auto restart = [&](int v, unsigned mask) {
        const std::size_t freed = Ops::popcount(mask);
        const std::size_t left = n - next;
        const unsigned loaded = freed <= left ? mask : lowestBits<Ops>(mask, left);
        const unsigned idle = mask & ~loaded;
        point[v] = Ops::expandIota(point[v], loaded, static_cast<std::int64_t>(next));
        started[v] = Ops::setLanes(Ops::setLanes(started[v], loaded, it), idle, IDLE);
        done[v] = Ops::setLanes(done[v], mask, -1);
        cr[v] = Ops::clear(Ops::expand(cr[v], loaded, re + next), idle);
        ci[v] = Ops::clear(Ops::expand(ci[v], loaded, im + next), idle);
        zr[v] = Ops::clear(zr[v], mask);
        zi[v] = Ops::clear(zi[v], mask);
        inside[v] = Ops::setMask(inside[v], mask);
        next += Ops::popcount(loaded);
        active = active + Ops::popcount(loaded) - freed;
    };

    // The step at which the earliest started point has tested its z after LIMIT iterations:
    // each step tests the z of the one before, so that is LIMIT + 1 steps after its start.
    auto earliestDue = [&] {
        std::int64_t earliest = IDLE;
        for (int v = 0; v < VECTORS; ++v) {
            const std::int64_t first = Ops::minimum(started[v]);
            earliest = first < earliest ? first : earliest;
        }
        return earliest + LIMIT + 1;
    };

    for (int v = 0; v < VECTORS; ++v) {
        zr[v] = zi[v] = cr[v] = ci[v] = zero;
        inside[v] = Ops::noLanes();
        done[v] = point[v] = Ops::broadcastIndex(0);
        started[v] = Ops::broadcastIndex(IDLE);
        active += LANES; // counted out again as restart finds them idle
        restart(v, ALL_LANES);
    }
    std::int64_t due = earliestDue(); // never later than the true earliest

    while (active > 0) { // NOLINT(bugprone-infinite-loop): restart updates active
        // stop once this many lanes have frozen, or every lane with a point has
        const std::size_t batch = active < DEAD_BATCH ? active : DEAD_BATCH;
        std::size_t frozen = 0;
        do {
            // lanes freeze on their own, so the count of frozen lanes can wait a few steps
            for (int step = 0; step < STEPS; ++step) {
                for (int v = 0; v < VECTORS; ++v) {
                    // tests z, counts the iteration that made it, and where it is inside,
                    // z <- z² + c, each operation rounded on its own; re·im + im·re is
                    // ri + ri, since both products round alike
                    const Vec rr = Ops::mul(zr[v], zr[v]);
                    const Vec ii = Ops::mul(zi[v], zi[v]);
                    const Vec ri = Ops::mul(zr[v], zi[v]);
                    inside[v] = Ops::below(Ops::add(rr, ii), lower);
                    done[v] = Ops::maskedIncrement(done[v], inside[v]);
                    zr[v] = Ops::maskedAdd(zr[v], inside[v], Ops::sub(rr, ii), cr[v]);
                    zi[v] = Ops::maskedAdd(zi[v], inside[v], Ops::add(ri, ri), ci[v]);
                }
            }
            it += STEPS;
            std::size_t live = 0;
            for (int v = 0; v < VECTORS; ++v) {
                live += Ops::popcount(Ops::bits(inside[v]));
            }
            frozen = std::size_t{VECTORS} * LANES - live;
        } while (frozen < batch && it < due);

        for (int v = 0; v < VECTORS; ++v) {
            const unsigned stopped = ~Ops::bits(inside[v]) & ALL_LANES;
            if (stopped == 0) {
                continue;
            }
            const Vec mag = Ops::add(Ops::mul(zr[v], zr[v]), Ops::mul(zi[v], zi[v]));
            const unsigned escaped = stopped & Ops::bits(Ops::above(mag, upper));
            // a point that stayed inside for the whole limit counts as never escaping, whatever
            // it did in the steps run past its limit: the loop looks every STEPS steps, and a
            // point is due LIMIT + 1 steps after its start, which STEPS need not divide
            Ops::storeCounts(counts, point[v], Ops::atMost(done[v], LIMIT), escaped);
            if (escaped != stopped) {
                settleByDefinition<Ops>(counts, point[v], cr[v], ci[v], stopped & ~escaped);
            }
            restart(v, stopped);
        }

        if (it >= due) {
            for (int v = 0; v < VECTORS; ++v) {
                const unsigned finished = Ops::atOrBelow(started[v], it - LIMIT - 1);
                if (finished != 0) {
                    Ops::storeCounts(counts, point[v], Ops::broadcastIndex(LIMIT), finished);
                    restart(v, finished);
                }
            }
            due = earliestDue();
        }
    }
}

} // namespace stavenwick::escapeKernel
