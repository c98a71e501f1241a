// The kernel on SSE2: two points to a vector, for x86 CPUs without AVX2 (SSE2 is the baseline
// of x86-64 and of every 32-bit x86 build here). With two lanes, a lane's answer or next point
// moves at most one place, which a shuffle and a select do.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

#include <emmintrin.h>

#include <cstdint>

namespace stavenwick::escapeKernel {

namespace {

// For each set of lanes (bit l for lane l): the lanes as a mask, all ones in each (MASK); and
// all ones where lane 1 alone is named (MOVES), the one set whose value moves a place.
alignas(16) constexpr std::int64_t MASK[4][2] = {{0, 0}, {-1, 0}, {0, -1}, {-1, -1}};
alignas(16) constexpr std::int64_t MOVES[4][2] = {{0, 0}, {0, 0}, {-1, -1}, {0, 0}};

struct Sse2Ops {
    using Vec = __m128d;
    using Mask = __m128d; // all ones in a chosen lane
    using Index = __m128i;
    static constexpr int LANES = 2;
    static constexpr bool SKIP_IDLE = true; // see LaneLoop.h
    static constexpr int PLAIN_AT_ONCE = 1; // see LaneLoop.h

    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Mask below(Vec a, Vec b) { return _mm_cmplt_pd(a, b); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm_cmple_pd(a, b); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static std::size_t popcount(unsigned lanes) { return (lanes & 1u) + (lanes >> 1); }
    static Mask laneMask(unsigned lanes) { return row(MASK, lanes); }
    static Vec clear(Vec v, Mask m) { return _mm_andnot_pd(m, v); }
    static Vec loadu(const double* from) { return _mm_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v: lane 1 alone takes the first
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        const Vec spread = select(_mm_unpacklo_pd(w, w), w, row(MOVES, lanes));
        return select(spread, v, laneMask(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm_set1_epi64x(x); }
    // a true compare is all ones, that is -1: as 32-bit halves it counts in both
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm_add_epi64(_mm_sub_epi32(tests, _mm_castpd_si128(high)), _mm_castpd_si128(low));
    }
    // the lanes whose sign bit is set
    static unsigned signs(Index v) { return bits(_mm_castsi128_pd(v)); }
    // lane 1's value into lane 0 where lane 1 alone is named
    static Index compress(Index v, unsigned lanes)
    {
        return _mm_castpd_si128(select(_mm_castsi128_pd(_mm_unpackhi_epi64(v, v)),
                                       _mm_castsi128_pd(v), row(MOVES, lanes)));
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return _mm_castpd_si128(select(_mm_castsi128_pd(w), _mm_castsi128_pd(v), laneMask(lanes)));
    }
    static Index addIndex(Index a, Index b) { return _mm_add_epi64(a, b); }
    static Index loadIndex(const std::int64_t* from)
    {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
    }

private:
    // a in the lanes of m, b elsewhere
    static Vec select(Vec a, Vec b, Mask m)
    {
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static Mask row(const std::int64_t (&table)[4][2], unsigned lanes)
    {
        return _mm_load_pd(reinterpret_cast<const double*>(table[lanes]));
    }
};

} // namespace

void runSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<TwoCounts<Sse2Ops>, 6, 24>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
