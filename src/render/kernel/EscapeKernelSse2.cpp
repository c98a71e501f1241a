// The kernel on SSE2: two points to a vector, for x86 CPUs without AVX2 (SSE2 is the baseline
// of x86-64 and of every 32-bit x86 build here). Frozen lanes are kept by and/andnot/or, as
// SSE2 has no blends; lane-wise integer work goes through memory, where SSE2 has no compares.
#include "render/kernel/EscapeKernelLoop.h"
#include "render/kernel/EscapeKernelPaths.h"

#include <emmintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Sse2Ops {
    using Vec = __m128d;
    using Mask = __m128d; // all ones in a chosen lane
    using Index = __m128i;
    static constexpr int LANES = 2;

    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Vec maskedAdd(Vec v, Mask m, Vec a, Vec b)
    {
        return _mm_or_pd(_mm_and_pd(m, _mm_add_pd(a, b)), _mm_andnot_pd(m, v));
    }
    static Mask below(Vec a, Vec b) { return _mm_cmplt_pd(a, b); }
    static Mask above(Vec a, Vec b) { return _mm_cmpgt_pd(a, b); }
    static Vec expand(Vec v, unsigned lanes, const double* from)
    {
        alignas(16) double values[LANES];
        _mm_store_pd(values, v);
        for (int lane = 0; lane < LANES; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                values[lane] = *from++;
            }
        }
        return _mm_load_pd(values);
    }
    static Vec clear(Vec v, unsigned lanes) { return _mm_andnot_pd(laneMask(lanes), v); }
    static double lane(Vec v, int lane)
    {
        alignas(16) double values[LANES];
        _mm_store_pd(values, v);
        return values[lane];
    }

    static Mask laneMask(unsigned lanes)
    {
        return _mm_castsi128_pd(
            _mm_set_epi64x((lanes & 2u) != 0 ? -1 : 0, (lanes & 1u) != 0 ? -1 : 0));
    }
    static Mask noLanes() { return _mm_setzero_pd(); }
    static Mask setMask(Mask m, unsigned lanes) { return _mm_or_pd(m, laneMask(lanes)); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static unsigned popcount(unsigned lanes) { return (lanes & 1u) + (lanes >> 1 & 1u); }

    static Index broadcastIndex(std::int64_t x) { return _mm_set1_epi64x(x); }
    // a chosen lane holds all ones, that is -1
    static Index maskedIncrement(Index v, Mask m) { return _mm_sub_epi64(v, _mm_castpd_si128(m)); }
    static Index fromLanes(const std::int64_t (&values)[LANES])
    {
        return _mm_set_epi64x(values[1], values[0]);
    }
    static void toLanes(Index v, std::int64_t (&values)[LANES])
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values), v);
    }
    static Index setLanes(Index v, unsigned lanes, std::int64_t x)
    {
        const __m128i m = _mm_castpd_si128(laneMask(lanes));
        return _mm_or_si128(_mm_and_si128(m, _mm_set1_epi64x(x)), _mm_andnot_si128(m, v));
    }
    static Index expandIota(Index v, unsigned lanes, std::int64_t first)
    {
        std::int64_t values[LANES];
        toLanes(v, values);
        for (int lane = 0; lane < LANES; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                values[lane] = first++;
            }
        }
        return fromLanes(values);
    }
    static Index atMost(Index v, std::int64_t x)
    {
        std::int64_t values[LANES];
        toLanes(v, values);
        for (std::int64_t& value : values) {
            value = value < x ? value : x;
        }
        return fromLanes(values);
    }
    static unsigned atOrBelow(Index v, std::int64_t x)
    {
        std::int64_t values[LANES];
        toLanes(v, values);
        return (values[0] <= x ? 1u : 0u) | (values[1] <= x ? 2u : 0u);
    }
    static std::int64_t laneIndex(Index v, int lane)
    {
        std::int64_t values[LANES];
        toLanes(v, values);
        return values[lane];
    }
    static std::int64_t minimum(Index v)
    {
        std::int64_t values[LANES];
        toLanes(v, values);
        return values[0] < values[1] ? values[0] : values[1];
    }
    static void storeCounts(std::int32_t* counts, Index point, Index count, unsigned lanes)
    {
        for (int lane = 0; lane < LANES; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                counts[laneIndex(point, lane)] = static_cast<std::int32_t>(laneIndex(count, lane));
            }
        }
    }
};

} // namespace

void runSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    escapeCountLoop<Sse2Ops, 4, 6, 8>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
