// What a lane does at each step where registers are many (AVX-512's 32): z runs on, unmasked,
// and the lane holds the mag of the last test that counted, which stops the count once a test
// fails and says, at the next round, how it failed. Over the path's vector operations, Ops; see
// LaneLoop.h. (On 16 registers this fourth vector a lane would spill; TwoCounts.h counts twice
// in three.)
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"
#include "render/kernel/LaneStep.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace stavenwick::escapeKernel {

// Why the count is exact with nothing held still. A lane restarts with z = z0 = 0, and its first
// step counts, as the test of z0 passes (it is the step after a round, which asks nothing of
// held; the lanes that kept their points have passed every test). Each later step first asks
// whether held is below the band: if so, every test of the point so far
// found z surely inside, so the step counts and holds the mag of its own test of z; if not, held
// and the count stand still from then on. z is updated in every lane either way: up to the first
// test that fails it is the definition's z, each operation rounded on its own; past it, it is
// never looked at again, so it may run to infinity or NaN (every compare of NaN is false).
// - After the first failing test, of z_f, the count has grown by f + 1 and held is that test's
//   mag: above the band, z_f is surely outside (EscapeKernelBand.h) and z1 ... z_f-1 inside, so
//   f - 1 iterations completed; in the band, or NaN (a NaN c among them), the definition
//   settles the point.
// - A lane whose held is below the band when the loop looks has passed every test so far; once
//   z0 ... z_(LIMIT + 1) have all passed, its count reaches AT_LIMIT, a bit of its own, and it
//   has its answer, the limit. Counting one step past the limit keeps one rule for both cases:
//   iterations = growth of the count - 2, at most the limit.
template <class VectorOps>
struct LastTest {
    using Ops = VectorOps;
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // one flag per lane
    using Index = typename Ops::Index; // one 64-bit integer per lane

    // A lane's answer is one 64-bit value: its point's key, shifted above COUNT_BITS bits that
    // hold its count from FRESH, or BY_DEFINITION where the definition must decide.
    static constexpr int COUNT_BITS = 11;
    static constexpr std::int64_t KEY_STEP = std::int64_t{1} << COUNT_BITS;
    static constexpr std::int64_t BY_DEFINITION = KEY_STEP - 1;
    static constexpr std::size_t MOST_POINTS = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::uint64_t{1} << 40, std::numeric_limits<std::size_t>::max()));
    static constexpr std::int64_t AT_LIMIT = 1024;
    static constexpr std::int64_t FRESH = AT_LIMIT - (Mandelbrot::ITERATION_LIMIT + 2);
    // the steps after which a lane has reached the limit
    static constexpr int MOST_TESTS = Mandelbrot::ITERATION_LIMIT + 2;
    // A lane at the limit runs on to the next round; its count must stay below BY_DEFINITION.
    static constexpr int MOST_STEPS = static_cast<int>(BY_DEFINITION - AT_LIMIT);
    static_assert(FRESH > 0 && AT_LIMIT < BY_DEFINITION, "the count fits its bits");

    // the band's edges, which step reads from memory
    static constexpr double CONSTANTS[] = {LOWER_BAND, UPPER_BAND};

    struct State {
        Vec zr;
        Vec zi;
        Vec held;     // the mag of the last test that counted
        Index answer; // the point's key and its count from FRESH
        Mask kept;    // the lanes that kept their points at the last round; the others restart
    };
    struct Last {
        Mask kept;   // the lanes whose tests have all found z surely inside, short of the limit
        Mask unsure; // the lanes whose failing test fell in the band, or on NaN
    };
    static constexpr Last NONE_KEPT{Mask{0}, Mask{0}}; // before the lanes' first points
    static constexpr bool FIRST_STEP_DIFFERS = true;   // see step

    LUMIVAR_LANE_STEP static void clear(State& state)
    {
        state.zr = state.zi = state.held = Ops::broadcast(0.0);
        state.answer = Ops::broadcastIndex(0);
        state.kept = Mask{0};
    }

    // Counts where every test so far passed, and there holds the mag of z's test; then
    // z <- z² + c in every lane, each operation rounded on its own; re·im + im·re is ri + ri,
    // since both products round alike. The first step after a round (FIRST) counts in every
    // lane, and takes z = 0 where a lane restarts: its products are 0 there, which costs the
    // multiplications nothing, where clearing z at the round would cost the round.
    template <bool LAST, bool FIRST>
    LUMIVAR_LANE_STEP static Last step(State& state, const Vec& cr, const Vec& ci,
                                       const Vec* constants)
    {
        if constexpr (FIRST) {
            static_assert(!LAST, "a round between a vector's rounds");
            const Vec rr = Ops::mulWhere(state.kept, state.zr, state.zr);
            const Vec ii = Ops::mulWhere(state.kept, state.zi, state.zi);
            state.held = Ops::add(rr, ii);
            state.answer = Ops::incrementAll(state.answer);
            const Vec ri = Ops::mulWhere(state.kept, state.zr, state.zi);
            state.zr = Ops::add(Ops::sub(rr, ii), cr);
            state.zi = Ops::add(Ops::add(ri, ri), ci);
            return {};
        }
        const Vec rr = Ops::mul(state.zr, state.zr);
        const Vec ii = Ops::mul(state.zi, state.zi);
        const Mask counts = Ops::below(state.held, constants[0]);
        state.held = Ops::select(counts, Ops::add(rr, ii), state.held);
        state.answer = Ops::increment(state.answer, counts);
        const Vec ri = Ops::mul(state.zr, state.zi);
        state.zr = Ops::add(Ops::sub(rr, ii), cr);
        state.zi = Ops::add(Ops::add(ri, ri), ci);
        if (!LAST) {
            return {};
        }
        // inside: below the band; the failing test in the band or on NaN: neither below nor above
        const Mask inside = Ops::below(state.held, constants[0]);
        return {Ops::withoutBit(inside, state.answer, AT_LIMIT),
                Ops::notAbove(Ops::notBelow(state.held, constants[0]), state.held, constants[1])};
    }

    // A lane is finished once a test failed, or it is at the limit.
    LUMIVAR_LANE_STEP static unsigned finished(const State& /*state*/, const Last& last)
    {
        constexpr unsigned ALL_LANES = (1u << Ops::LANES) - 1;
        return ~Ops::bits(last.kept) & ALL_LANES;
    }

    // The key and the count, or BY_DEFINITION where the failing test fell in the band or on NaN.
    LUMIVAR_LANE_STEP static Index answers(const State& state, const Last& last)
    {
        return Ops::orLanes(state.answer, last.unsure, BY_DEFINITION);
    }

    // The answer of point i's lane before its first step.
    static std::int64_t fresh(std::size_t i)
    {
        return static_cast<std::int64_t>(i) * KEY_STEP + FRESH;
    }

    // An answer's point.
    static std::size_t point(std::int64_t answer)
    {
        return static_cast<std::size_t>(answer >> COUNT_BITS);
    }

    // The iterations completed (see above), or -1 where the definition must decide.
    static std::int32_t count(std::int64_t answer)
    {
        const std::int64_t field = answer & BY_DEFINITION;
        if (field == BY_DEFINITION) {
            return -1;
        }
        const std::int64_t iterations = field - FRESH - 2;
        return static_cast<std::int32_t>(
            iterations < Mandelbrot::ITERATION_LIMIT ? iterations : Mandelbrot::ITERATION_LIMIT);
    }

    // The lanes named, those last did not keep, start again with the answers given in their
    // lanes; their first step takes z = 0.
    LUMIVAR_LANE_STEP static void restart(State& state, const Last& last, unsigned lanes,
                                          Index fresh)
    {
        state.kept = last.kept;
        state.answer = Ops::blendIndex(state.answer, fresh, lanes);
    }
};

} // namespace stavenwick::escapeKernel
