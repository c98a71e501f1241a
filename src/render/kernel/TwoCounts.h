// What a lane does at each step where registers are few (SSE2's and AVX2's 16, and the
// compiler's generic vectors): z runs on, as in LastTest.h, and two counts packed in one integer
// tell the loop what it needs, three vectors a lane where LastTest.h's held mag would make four.
// Over the path's vector operations, Ops; see LaneLoop.h.
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"
#include "render/kernel/LaneStep.h"

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
// - A lane of NaN c fails its test of z1 = c, as a point far outside does, and the compares
//   cannot tell the two apart: the loop asks the definition for a count of 0 whose c is NaN.
// So a lane is finished once a test finds mag above the band (not <= UPPER_BAND), or once it
// has run ITERATION_LIMIT iterations; where low = high, low is its count.
template <class VectorOps>
struct TwoCounts {
    using Ops = VectorOps;
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // all ones in a chosen lane
    using Index = typename Ops::Index; // one 64-bit integer per lane

    // Each lane's counts live in one 64-bit integer with its point's key, so that one register
    // holds all that a lane is: (FRESH + high) · 2^32 + key · 2^DIFF_BITS + (high − low).
    // A test at or below the band adds 1 to both halves (a 32-bit subtraction of the compare's
    // mask, all ones, that is -1), one below it takes 1 back from the low half (a 64-bit
    // addition: low <= high, so it never borrows). high counts from FRESH, so that the upper
    // half reaches 2^31, the lane's sign, once z0 ... z_LIMIT have all passed at or below the
    // band: the limit is the lane's sign bit.
    static constexpr int DIFF_BITS = 11;
    static constexpr std::int64_t KEY_STEP = std::int64_t{1} << DIFF_BITS;
    static constexpr std::size_t MOST_POINTS = (std::size_t{1} << (32 - DIFF_BITS)) - 1;
    static constexpr std::int64_t FRESH =
        (std::int64_t{1} << 31) - (Mandelbrot::ITERATION_LIMIT + 1);
    // the tests after which a lane has reached the limit
    static constexpr int MOST_TESTS = Mandelbrot::ITERATION_LIMIT + 1;
    // A lane at the limit runs on to the next round; high − low, one more for a moment, must
    // stay below 2^DIFF_BITS.
    static constexpr int MOST_STEPS = (1 << DIFF_BITS) - 2 - MOST_TESTS;
    static_assert(MOST_STEPS > 0, "the difference fits its bits");

    // the band's edges, which step reads from memory
    static constexpr double CONSTANTS[] = {LOWER_BAND, UPPER_BAND};

    struct State {
        Vec zr;
        Vec zi;
        Index keyAndCounts; // packed, as above
    };
    struct Last {
        unsigned stay; // the lanes whose test was at or below the band
    };
    static constexpr Last NONE_KEPT{0u};              // before the lanes' first points
    static constexpr bool FIRST_STEP_DIFFERS = false; // see step

    LUMIVAR_LANE_STEP static void clear(State& state)
    {
        state.zr = state.zi = Ops::broadcast(0.0);
        state.keyAndCounts = Ops::broadcastIndex(0);
    }

    // Tests z and counts, then z <- z² + c, each operation rounded on its own; re·im + im·re
    // is ri + ri, since both products round alike. In an order that keeps few values live:
    // on 16 registers every one counts. The first step after a round (FIRST) is no different:
    // restart has cleared z, as nothing here could do for less.
    template <bool LAST, bool /*FIRST*/>
    LUMIVAR_LANE_STEP static Last step(State& state, const Vec& cr, const Vec& ci,
                                       const Vec* constants)
    {
        const Vec rr = Ops::mul(state.zr, state.zr);
        const Vec ii = Ops::mul(state.zi, state.zi);
        const Vec mag = Ops::add(rr, ii);
        const Mask atOrBelow = Ops::atOrBelow(mag, constants[1]);
        const Last last{LAST ? Ops::bits(atOrBelow) : 0u};
        state.keyAndCounts =
            Ops::count(state.keyAndCounts, Ops::below(mag, constants[0]), atOrBelow);
        const Vec ri = Ops::mul(state.zr, state.zi);
        state.zr = Ops::add(Ops::sub(rr, ii), cr);
        state.zi = Ops::add(Ops::add(ri, ri), ci);
        return last;
    }

    // A lane is finished once its last test was above the band, or it is at the limit.
    LUMIVAR_LANE_STEP static unsigned finished(const State& state, const Last& last)
    {
        return (last.stay ^ ((1u << Ops::LANES) - 1)) | Ops::signs(state.keyAndCounts);
    }

    // What the loop stages of each lane: all of it.
    LUMIVAR_LANE_STEP static Index answers(const State& state, const Last& /*last*/)
    {
        return state.keyAndCounts;
    }

    // The packed value of point i's lane before its first step.
    static std::int64_t fresh(std::size_t i)
    {
        return (FRESH << 32) + static_cast<std::int64_t>(i) * KEY_STEP;
    }

    // An answer's point.
    static std::size_t point(std::int64_t answer)
    {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(answer) & 0xFFFFFFFF) >>
                                        DIFF_BITS);
    }

    // The iterations completed, every passed test but that of z0; or -1, where the definition
    // must decide: the counts differ.
    static std::int32_t count(std::int64_t answer)
    {
        const auto high = static_cast<std::int64_t>(static_cast<std::uint64_t>(answer) >> 32);
        const std::int64_t iterations = high - FRESH - 1;
        if ((answer & (KEY_STEP - 1)) != 0) {
            return -1;
        }
        return static_cast<std::int32_t>(
            iterations < Mandelbrot::ITERATION_LIMIT ? iterations : Mandelbrot::ITERATION_LIMIT);
    }

    // The lanes named start again from z = 0, with the packed values given in their lanes.
    LUMIVAR_LANE_STEP static void restart(State& state, const Last& /*last*/, unsigned lanes,
                                          Index fresh)
    {
        const Mask chosen = Ops::laneMask(lanes);
        state.zr = Ops::clear(state.zr, chosen);
        state.zi = Ops::clear(state.zi, chosen);
        state.keyAndCounts = Ops::blendIndex(state.keyAndCounts, fresh, lanes);
    }
};

} // namespace stavenwick::escapeKernel
