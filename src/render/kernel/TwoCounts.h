// What a lane does at each step where registers are few (SSE2's and AVX2's 16, and the
// compiler's generic vectors): z runs on, as in LastTest.h, and two counts packed in one integer
// tell the loop what it needs, three vectors a lane where LastTest.h's held mag would make four.
// Over the path's vector operations, Ops; see LaneLoop.h.
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"
#include "render/kernel/LaneLoop.h"

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
//   So it does a lane of NaN c: its compares are false from the start and would count it as
//   escaping at once, where the definition never lets it escape; it starts with counts that
//   differ.
// So a lane is finished once a test finds mag above the band (not <= UPPER_BAND), or once it
// has run ITERATION_LIMIT iterations; where low = high, low is its count.
template <class VectorOps>
struct TwoCounts {
    using Ops = VectorOps;
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // all ones in a chosen lane
    using Index = typename Ops::Index; // one 64-bit integer per lane

    // Each lane's counts live in one 64-bit integer with its point's key, so that one register
    // holds all that a lane is: key · 2^(32 + COUNT_BITS) + (FRESH + high) · 2^32 + (high − low).
    // A test at or below the band adds 1 to both halves (a 32-bit subtraction of the compare's
    // mask, all ones, that is -1), one below it takes 1 back from the low half (a 64-bit
    // addition: low <= high, so it never borrows). high counts from FRESH, so that it reaches
    // AT_LIMIT, a bit of its own, once z0 ... z_LIMIT have all passed at or below the band.
    static constexpr int KEY_SHIFT = 32;
    static constexpr std::size_t MOST_POINTS =
        (std::size_t{1} << (63 - KEY_SHIFT - COUNT_BITS)) - 1;
    static constexpr std::int64_t AT_LIMIT = 1024;
    static constexpr std::int64_t FRESH = AT_LIMIT - (Mandelbrot::ITERATION_LIMIT + 1);
    // A lane at the limit runs on to the next round; its count must stay below BY_DEFINITION.
    static constexpr int MOST_STEPS = static_cast<int>(BY_DEFINITION - AT_LIMIT);
    static_assert(FRESH > 0 && AT_LIMIT < BY_DEFINITION, "the count fits its bits");

    // the band's edges, and 2 for twice ri, which step reads from memory
    static constexpr double CONSTANTS[] = {LOWER_BAND, UPPER_BAND, 2.0};

    struct State {
        Vec zr;
        Vec zi;
        Index tests; // the key and both counts, packed
    };
    struct Last {
        unsigned stay; // the lanes whose test was at or below the band
    };

    static void clear(State& state)
    {
        state.zr = state.zi = Ops::broadcast(0.0);
        state.tests = Ops::broadcastIndex(0);
    }

    // Tests z and counts, then z <- z² + c, each operation rounded on its own; re·im + im·re
    // is twice ri, since both products round alike. In an order that keeps few values live:
    // on 16 registers every one counts.
    template <bool LAST>
    static Last step(State& state, const Vec& cr, const Vec& ci, const Vec* constants)
    {
        const Vec rr = Ops::mul(state.zr, state.zr);
        const Vec ii = Ops::mul(state.zi, state.zi);
        const Vec mag = Ops::add(rr, ii);
        const Mask atOrBelow = Ops::atOrBelow(mag, constants[1]);
        const Last last{LAST ? Ops::bits(atOrBelow) : 0u};
        state.tests = Ops::count(state.tests, Ops::below(mag, constants[0]), atOrBelow);
        const Vec ri = Ops::mul(state.zr, state.zi);
        state.zr = Ops::add(Ops::sub(rr, ii), cr);
        state.zi = Ops::add(Ops::twice(ri, constants[2]), ci);
        return last;
    }

    // A lane runs while its last test was at or below the band and it is short of the limit.
    static unsigned running(const State& state, const Last& last)
    {
        return last.stay & ~Ops::lanesWithBit(state.tests, AT_LIMIT << KEY_SHIFT);
    }

    // The key and high, or BY_DEFINITION where the counts differ.
    static Index answers(const State& state, const Last& /*last*/)
    {
        return Ops::answers(state.tests, BY_DEFINITION);
    }

    // The iterations completed, from an answer's count: every passed test but that of z0.
    static std::int32_t count(std::int64_t field)
    {
        const std::int64_t iterations = field - FRESH - 1;
        return static_cast<std::int32_t>(
            iterations < Mandelbrot::ITERATION_LIMIT ? iterations : Mandelbrot::ITERATION_LIMIT);
    }

    // The lanes named start again from z = 0, with the keys given in order (FRESH in their
    // counts); a lane of NaN c with counts that differ.
    static void restart(State& state, unsigned lanes, Index keys, Vec cr, Vec ci)
    {
        const Mask chosen = Ops::laneMask(lanes);
        state.zr = Ops::clear(state.zr, chosen);
        state.zi = Ops::clear(state.zi, chosen);
        const Index fresh = Ops::orIndex(Ops::expandIndex(keys, lanes), Ops::nanOnes(cr, ci));
        state.tests = Ops::blendIndex(state.tests, fresh, chosen);
    }
};

} // namespace stavenwick::escapeKernel
