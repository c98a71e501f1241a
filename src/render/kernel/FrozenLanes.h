// What a lane does at each step on a vector unit with write masks (AVX-512): a lane whose z
// leaves the sure inside of the disc freezes there, its z and its count standing still at no
// cost. Over the path's vector operations, Ops; see LaneLoop.h.
#pragma once

#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"
#include "render/kernel/LaneLoop.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace stavenwick::escapeKernel {

template <class VectorOps>
struct FrozenLanes {
    using Ops = VectorOps;
    using Vec = typename Ops::Vec;
    using Mask = typename Ops::Mask;   // one flag per lane
    using Index = typename Ops::Index; // one 64-bit integer per lane

    // A lane's tests of z that found it inside, counted in the low bits of its answer: from
    // FRESH, so that the count reaches AT_LIMIT, a bit of its own, when z0 ... z_LIMIT have all
    // passed, and the lane may stop.
    static constexpr int KEY_SHIFT = 0;
    static constexpr std::size_t MOST_POINTS = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::uint64_t{1} << 40, std::numeric_limits<std::size_t>::max()));
    static constexpr std::int64_t AT_LIMIT = 1024;
    static constexpr std::int64_t FRESH = AT_LIMIT - (Mandelbrot::ITERATION_LIMIT + 1);
    // A lane at the limit runs on to the next round; its count must stay below BY_DEFINITION.
    static constexpr int MOST_STEPS = static_cast<int>(BY_DEFINITION - AT_LIMIT);
    static_assert(FRESH > 0 && AT_LIMIT < BY_DEFINITION, "the count fits its bits");

    // the band's edges, which step reads from memory
    static constexpr double CONSTANTS[] = {LOWER_BAND, UPPER_BAND};

    struct State {
        Vec zr;
        Vec zi;
        Index answer; // the point's key and its count from FRESH
    };
    struct Last {
        Mask inside;  // the lanes whose test found z surely inside the disc
        Mask outside; // the lanes whose z is surely outside
    };

    static void clear(State& state)
    {
        state.zr = state.zi = Ops::broadcast(0.0);
        state.answer = Ops::broadcastIndex(0);
    }

    // Tests z, counts the test where z is inside and there makes z <- z² + c, each operation
    // rounded on its own; re·im + im·re is ri + ri, since both products round alike. A frozen
    // lane's z stands still: at the LAST step of a block its test also tells whether it
    // escaped (or lies in the band, or is NaN: the definition's to settle).
    template <bool LAST>
    static Last step(State& state, const Vec& cr, const Vec& ci, const Vec* constants)
    {
        const Vec rr = Ops::mul(state.zr, state.zr);
        const Vec ii = Ops::mul(state.zi, state.zi);
        const Vec ri = Ops::mul(state.zr, state.zi);
        const Vec mag = Ops::add(rr, ii);
        const Mask inside = Ops::below(mag, constants[0]);
        state.answer = Ops::maskedIncrement(state.answer, inside);
        state.zr = Ops::maskedAdd(state.zr, inside, Ops::sub(rr, ii), cr);
        state.zi = Ops::maskedAdd(state.zi, inside, Ops::add(ri, ri), ci);
        return {inside, LAST ? Ops::above(mag, constants[1]) : Ops::noLanes()};
    }

    // A lane runs while it is inside and short of the limit: a count at the limit means that
    // z1 ... z_LIMIT all tested inside, whatever it does in the steps it runs past the limit.
    static unsigned running(const State& state, const Last& last)
    {
        return Ops::bits(Ops::clearOf(last.inside, state.answer, AT_LIMIT));
    }

    // A frozen lane whose z is surely outside escaped after its count; one in the band, or NaN,
    // is the definition's to settle.
    static Index answers(const State& state, const Last& last)
    {
        constexpr unsigned ALL_LANES = (1u << Ops::LANES) - 1;
        const unsigned unsure = ~(Ops::bits(last.inside) | Ops::bits(last.outside)) & ALL_LANES;
        return Ops::orLanes(state.answer, unsure, BY_DEFINITION);
    }

    // The iterations completed, from an answer's count: every passed test but that of z0.
    static std::int32_t count(std::int64_t field)
    {
        const std::int64_t iterations = field - FRESH - 1;
        return static_cast<std::int32_t>(
            iterations < Mandelbrot::ITERATION_LIMIT ? iterations : Mandelbrot::ITERATION_LIMIT);
    }

    // The lanes named start again from z = 0, with the keys given in order (FRESH in their
    // counts).
    static void restart(State& state, unsigned lanes, Index keys, Vec /*cr*/, Vec /*ci*/)
    {
        state.zr = Ops::clear(state.zr, lanes);
        state.zi = Ops::clear(state.zi, lanes);
        state.answer = Ops::expandIndexInto(state.answer, lanes, keys);
    }
};

} // namespace stavenwick::escapeKernel
