// The kernel on SSE2: two points to a vector, for x86 CPUs without AVX2 (SSE2 is the baseline
// of x86-64 and of every 32-bit x86 build here). With two lanes, a lane's answer or next point
// moves at most one place, which a shuffle and a select do.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

#include <emmintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Sse2Ops {
    using Vec = __m128d;
    using Mask = __m128d; // all ones in a chosen lane
    using Index = __m128i;
    static constexpr bool FEW_REGISTERS = true;
    static constexpr int LANES = 2;

    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Vec twice(Vec a, Vec two) { return _mm_mul_pd(a, two); }
    static Mask below(Vec a, Vec b) { return _mm_cmplt_pd(a, b); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm_cmple_pd(a, b); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static unsigned popcount(unsigned lanes) { return (lanes & 1u) + (lanes >> 1); }
    static Mask laneMask(unsigned lanes)
    {
        return _mm_castsi128_pd(
            _mm_set_epi64x((lanes & 2u) != 0 ? -1 : 0, (lanes & 1u) != 0 ? -1 : 0));
    }
    static Vec clear(Vec v, Mask m) { return _mm_andnot_pd(m, v); }
    static Vec loadu(const double* from) { return _mm_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v: lane 1 alone takes the first
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        const Vec spread = select(_mm_unpacklo_pd(w, w), w, lanes == 2u);
        return select(spread, v, laneMask(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm_set1_epi64x(x); }
    static Index orIndex(Index a, Index b) { return _mm_or_si128(a, b); }
    // a true compare is all ones, that is -1: as 32-bit halves it counts in both
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm_add_epi64(_mm_sub_epi32(tests, _mm_castpd_si128(high)), _mm_castpd_si128(low));
    }
    // the lanes of v that have the bit of x set
    static unsigned lanesWithBit(Index v, std::int64_t x)
    {
        return bits(_mm_castsi128_pd(_mm_slli_epi64(v, 63 - bitIndex(x))));
    }
    static Mask lessThan(Index v, std::int64_t x)
    {
        return _mm_castsi128_pd(_mm_sub_epi64(v, _mm_set1_epi64x(x)));
    }
    // the upper halves, or definition where the lower ones are not zero
    static Index answers(Index tests, std::int64_t definition)
    {
        const __m128i lowZero = _mm_cmpeq_epi32(tests, _mm_setzero_si128());
        const __m128i agree = _mm_shuffle_epi32(lowZero, _MM_SHUFFLE(2, 2, 0, 0));
        return _mm_or_si128(_mm_srli_epi64(tests, 32),
                            _mm_andnot_si128(agree, _mm_set1_epi64x(definition)));
    }
    // 1 in the lanes where c is NaN
    static Index nanOnes(Vec cr, Vec ci)
    {
        return _mm_srli_epi64(_mm_castpd_si128(_mm_cmpunord_pd(cr, ci)), 63);
    }
    // lane 1's value into lane 0 where lane 1 alone is named
    static Index compress(Index v, unsigned lanes)
    {
        return _mm_castpd_si128(
            select(_mm_castsi128_pd(_mm_unpackhi_epi64(v, v)), _mm_castsi128_pd(v), lanes == 2u));
    }
    static Index expandIndex(Index v, unsigned lanes)
    {
        return _mm_castpd_si128(
            select(_mm_castsi128_pd(_mm_unpacklo_epi64(v, v)), _mm_castsi128_pd(v), lanes == 2u));
    }
    static Index blendIndex(Index v, Index w, Mask m)
    {
        return _mm_castpd_si128(select(_mm_castsi128_pd(w), _mm_castsi128_pd(v), m));
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return blendIndex(v, w, laneMask(lanes));
    }
    // first + lane · 2^shift in each lane, wrapping as the vector adds do: past the last point,
    // where the keys may wrap, the lanes take the key n instead
    static Index iota(std::int64_t first, int shift)
    {
        return _mm_add_epi64(_mm_set1_epi64x(first), _mm_set_epi64x(std::int64_t{1} << shift, 0));
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
    static Vec select(Vec a, Vec b, bool first)
    {
        return select(a, b, _mm_castsi128_pd(_mm_set1_epi64x(first ? -1 : 0)));
    }
    static constexpr int bitIndex(std::int64_t x) { return x == 1 ? 0 : 1 + bitIndex(x >> 1); }
};

} // namespace

void runSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    // four vectors of three registers a lane: the step loop keeps every lane in a register
    LaneLoop<TwoCounts<Sse2Ops>, 4, 32>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
