#include "PlainLoop.h"
#include "PlainLoopPaths.h"

#include <immintrin.h>

namespace stavenwick::bench {

namespace {

struct Avx2Ops {
    using Vec = __m256d;
    using Index = __m256i;
    static constexpr int LANES = 4;

    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec load(const double* from) { return _mm256_load_pd(from); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Vec below(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static int popcount(unsigned lanes) { return __builtin_popcount(lanes); }
    static unsigned bits(Vec m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static __m256i lanes(unsigned chosen)
    {
        const __m256i laneBits = _mm256_set_epi64x(8, 4, 2, 1);
        return _mm256_cmpeq_epi64(
            _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(chosen)), laneBits),
            laneBits);
    }
    static Vec clear(Vec v, unsigned chosen)
    {
        return _mm256_andnot_pd(_mm256_castsi256_pd(lanes(chosen)), v);
    }
    static Index broadcastIndex(std::int64_t x) { return _mm256_set1_epi64x(x); }
    static Index countIf(Index v, Vec m) { return _mm256_sub_epi64(v, _mm256_castpd_si256(m)); }
    static Index setMinusOne(Index v, unsigned chosen) { return _mm256_or_si256(v, lanes(chosen)); }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm256_store_si256(reinterpret_cast<__m256i*>(to), v);
    }
};

} // namespace

void plainAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    plainLoop<Avx2Ops, 6, 8, 12>(re, im, counts, n);
}

} // namespace stavenwick::bench
