#include "PlainLoop.h"
#include "PlainLoopPaths.h"

#include <immintrin.h>

namespace stavenwick::bench {

namespace {

struct Avx512Ops {
    using Vec = __m512d;
    using Index = __m512i;
    static constexpr int LANES = 8;

    static Vec broadcast(double x) { return _mm512_set1_pd(x); }
    static Vec load(const double* from) { return _mm512_load_pd(from); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    static __mmask8 below(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static int popcount(unsigned lanes) { return __builtin_popcount(lanes); }
    static unsigned bits(__mmask8 m) { return m; }
    static Vec clear(Vec v, unsigned chosen)
    {
        return _mm512_mask_mov_pd(v, static_cast<__mmask8>(chosen), _mm512_setzero_pd());
    }
    static Index broadcastIndex(std::int64_t x) { return _mm512_set1_epi64(x); }
    static Index countIf(Index v, __mmask8 m)
    {
        return _mm512_mask_add_epi64(v, m, v, _mm512_set1_epi64(1));
    }
    static Index setMinusOne(Index v, unsigned chosen)
    {
        return _mm512_mask_mov_epi64(v, static_cast<__mmask8>(chosen), _mm512_set1_epi64(-1));
    }
    static void storeIndex(std::int64_t* to, Index v) { _mm512_store_si512(to, v); }
};

} // namespace

void plainAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    plainLoop<Avx512Ops, 6, 8, 24>(re, im, counts, n);
}

} // namespace stavenwick::bench
