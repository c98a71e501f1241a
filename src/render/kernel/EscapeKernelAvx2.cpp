// The kernel on AVX2: four points to a vector. Built with -mavx2 and run only where the CPU
// has it.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/TwoCountsLoop.h"

#include <immintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Avx2Ops {
    using Vec = __m256d;
    using Mask = __m256d; // all ones in a chosen lane
    using Index = __m256i;
    static constexpr int LANES = 4;

    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec load(const double* from) { return _mm256_load_pd(from); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Mask below(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static int popcount(unsigned lanes) { return __builtin_popcount(lanes); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static Mask laneMask(unsigned lanes)
    {
        const __m256i laneBits = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i chosen =
            _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(lanes)), laneBits);
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(chosen, laneBits));
    }
    static Vec clear(Vec v, Mask m) { return _mm256_andnot_pd(m, v); }

    static Index broadcastIndex(std::int64_t x) { return _mm256_set1_epi64x(x); }
    // a true compare is all ones, that is -1: as 32-bit lanes it counts in both halves
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm256_sub_epi64(_mm256_sub_epi32(tests, _mm256_castpd_si256(high)),
                                _mm256_castpd_si256(low));
    }
    static Index clear(Index v, Mask m) { return _mm256_andnot_si256(_mm256_castpd_si256(m), v); }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm256_store_si256(reinterpret_cast<__m256i*>(to), v);
    }
};

} // namespace

void runAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    twoCountsLoop<Avx2Ops, 6, 8, 12>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
