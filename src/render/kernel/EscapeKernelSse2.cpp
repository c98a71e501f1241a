// The kernel on SSE2: two points to a vector, for x86 CPUs without AVX2 (SSE2 is the baseline
// of x86-64 and of every 32-bit x86 build here).
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/TwoCountsLoop.h"

#include <emmintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Sse2Ops {
    using Vec = __m128d;
    using Mask = __m128d; // all ones in a chosen lane
    using Index = __m128i;
    static constexpr int LANES = 2;

    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec load(const double* from) { return _mm_load_pd(from); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Mask below(Vec a, Vec b) { return _mm_cmplt_pd(a, b); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm_cmple_pd(a, b); }
    static int popcount(unsigned lanes) { return static_cast<int>((lanes & 1u) + (lanes >> 1)); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static Mask laneMask(unsigned lanes)
    {
        return _mm_castsi128_pd(
            _mm_set_epi64x((lanes & 2u) != 0 ? -1 : 0, (lanes & 1u) != 0 ? -1 : 0));
    }
    static Vec clear(Vec v, Mask m) { return _mm_andnot_pd(m, v); }

    static Index broadcastIndex(std::int64_t x) { return _mm_set1_epi64x(x); }
    // a true compare is all ones, that is -1: as 32-bit lanes it counts in both halves
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm_sub_epi64(_mm_sub_epi32(tests, _mm_castpd_si128(high)), _mm_castpd_si128(low));
    }
    static Index clear(Index v, Mask m) { return _mm_andnot_si128(_mm_castpd_si128(m), v); }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(to), v);
    }
};

} // namespace

void runSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    twoCountsLoop<Sse2Ops, 5, 8, 4>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
