#include "PlainLoop.h"
#include "PlainLoopPaths.h"

#include <emmintrin.h>

namespace stavenwick::bench {

namespace {

struct Sse2Ops {
    using Vec = __m128d;
    using Index = __m128i;
    static constexpr int LANES = 2;

    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec load(const double* from) { return _mm_load_pd(from); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Vec below(Vec a, Vec b) { return _mm_cmplt_pd(a, b); }
    static int popcount(unsigned lanes) { return static_cast<int>((lanes & 1u) + (lanes >> 1)); }
    static unsigned bits(Vec m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static __m128i lanes(unsigned chosen)
    {
        return _mm_set_epi64x((chosen & 2u) != 0 ? -1 : 0, (chosen & 1u) != 0 ? -1 : 0);
    }
    static Vec clear(Vec v, unsigned chosen)
    {
        return _mm_andnot_pd(_mm_castsi128_pd(lanes(chosen)), v);
    }
    static Index broadcastIndex(std::int64_t x) { return _mm_set1_epi64x(x); }
    static Index countIf(Index v, Vec m) { return _mm_sub_epi64(v, _mm_castpd_si128(m)); }
    static Index setMinusOne(Index v, unsigned chosen) { return _mm_or_si128(v, lanes(chosen)); }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm_store_si128(reinterpret_cast<__m128i*>(to), v);
    }
};

} // namespace

void plainSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    plainLoop<Sse2Ops, 5, 8, 4>(re, im, counts, n);
}

} // namespace stavenwick::bench
