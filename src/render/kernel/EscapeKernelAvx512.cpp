// The kernel on AVX-512: eight points to a vector; finished lanes' answers leave by compressing,
// the next points come in by expanding.
// Built with -mavx512f and run only where the CPU has it.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/LastTest.h"

#include <immintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Avx512Ops {
    using Vec = __m512d;
    using Mask = __mmask8;
    using Index = __m512i;
    static constexpr int LANES = 8;
    static constexpr bool SKIP_IDLE = false; // see LaneLoop.h

    static Vec broadcast(double x) { return _mm512_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    // a in the lanes of m, b elsewhere
    static Vec select(Mask m, Vec a, Vec b) { return _mm512_mask_mov_pd(b, m, a); }
    static Mask below(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static Mask above(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static Vec loadu(const double* from) { return _mm512_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        return _mm512_mask_expand_pd(v, mask(lanes), w);
    }
    static Vec clear(Vec v, unsigned lanes) { return _mm512_maskz_mov_pd(mask(~lanes), v); }

    static unsigned bits(Mask m) { return m; }
    static unsigned popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm512_set1_epi64(x); }
    // 1 more in the lanes of m
    static Index increment(Index v, Mask m)
    {
        return _mm512_mask_sub_epi64(v, m, v, _mm512_set1_epi64(-1));
    }
    // the lanes of v that have a bit of x set
    static unsigned lanesWithBit(Index v, std::int64_t x)
    {
        return _mm512_test_epi64_mask(v, _mm512_set1_epi64(x));
    }
    // v | x in the lanes named
    static Index orLanes(Index v, unsigned lanes, std::int64_t x)
    {
        return _mm512_mask_or_epi64(v, mask(lanes), v, _mm512_set1_epi64(x));
    }
    // the values of the lanes named, in order, at the front
    static Index compress(Index v, unsigned lanes)
    {
        return _mm512_maskz_compress_epi64(mask(lanes), v);
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return _mm512_mask_mov_epi64(v, mask(lanes), w);
    }
    static Index addIndex(Index a, Index b) { return _mm512_add_epi64(a, b); }
    static Index loadIndex(const std::int64_t* from) { return _mm512_loadu_si512(from); }
    static void storeIndex(std::int64_t* to, Index v) { _mm512_storeu_si512(to, v); }

private:
    static Mask mask(unsigned lanes) { return static_cast<Mask>(lanes); }
};

} // namespace

void runAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<LastTest<Avx512Ops>, 4, 32>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
