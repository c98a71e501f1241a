// The kernel on AVX-512: eight points to a vector; frozen lanes cost nothing through write
// masks, and are refilled with expanding loads and their counts scattered. Built with
// -mavx512f and run only where the CPU has it.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/FrozenLanesLoop.h"

#include <immintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Avx512Ops {
    using Vec = __m512d;
    using Mask = __mmask8;
    using Index = __m512i;
    static constexpr int LANES = 8;

    static Vec broadcast(double x) { return _mm512_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    // a + b in the lanes of m; v elsewhere
    static Vec maskedAdd(Vec v, Mask m, Vec a, Vec b) { return _mm512_mask_add_pd(v, m, a, b); }
    static Mask below(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static Mask above(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static Vec expand(Vec v, unsigned lanes, const double* from)
    {
        return _mm512_mask_expandloadu_pd(v, static_cast<Mask>(lanes), from);
    }
    static Vec clear(Vec v, unsigned lanes)
    {
        return _mm512_mask_mov_pd(v, static_cast<Mask>(lanes), _mm512_setzero_pd());
    }
    static double lane(Vec v, int lane)
    {
        alignas(64) double values[LANES];
        _mm512_store_pd(values, v);
        return values[lane];
    }

    static Mask noLanes() { return 0; }
    static Mask setMask(Mask m, unsigned lanes) { return static_cast<Mask>(m | lanes); }
    static unsigned bits(Mask m) { return m; }
    static unsigned popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm512_set1_epi64(x); }
    static Index maskedIncrement(Index v, Mask m)
    {
        return _mm512_mask_add_epi64(v, m, v, _mm512_set1_epi64(1));
    }
    static Index setLanes(Index v, unsigned lanes, std::int64_t x)
    {
        return _mm512_mask_mov_epi64(v, static_cast<Mask>(lanes), _mm512_set1_epi64(x));
    }
    // the lanes named take first, first + 1, ... in order
    static Index expandIota(Index v, unsigned lanes, std::int64_t first)
    {
        const __m512i iota = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
        return _mm512_mask_expand_epi64(v, static_cast<Mask>(lanes),
                                        _mm512_add_epi64(_mm512_set1_epi64(first), iota));
    }
    static Index atMost(Index v, std::int64_t x)
    {
        return _mm512_mask_min_epi64(v, 0xFF, v, _mm512_set1_epi64(x));
    }
    static unsigned atOrBelow(Index v, std::int64_t x)
    {
        return _mm512_cmple_epi64_mask(v, _mm512_set1_epi64(x));
    }
    static std::int64_t laneIndex(Index v, int lane)
    {
        alignas(64) std::int64_t values[LANES];
        _mm512_store_si512(values, v);
        return values[lane];
    }
    static std::int64_t minimum(Index v)
    {
        alignas(64) std::int64_t values[LANES];
        _mm512_store_si512(values, v);
        std::int64_t least = values[0];
        for (int lane = 1; lane < LANES; ++lane) {
            least = values[lane] < least ? values[lane] : least;
        }
        return least;
    }
    static void storeCounts(std::int32_t* counts, Index point, Index count, unsigned lanes)
    {
        _mm512_mask_i64scatter_epi32(counts, static_cast<Mask>(lanes), point,
                                     _mm512_maskz_cvtepi64_epi32(0xFF, count), 4);
    }
};

} // namespace

void runAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    frozenLanesLoop<Avx512Ops, 6, 24, 8>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
