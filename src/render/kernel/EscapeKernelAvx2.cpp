// The kernel on AVX2: four points to a vector. Frozen lanes are kept by blends, and finished
// lanes refilled through memory, as AVX2 has no write masks or expanding loads. Built with
// -mavx2 and run only where the CPU has it.
#include "render/kernel/EscapeKernelLoop.h"
#include "render/kernel/EscapeKernelPaths.h"

#include <immintrin.h>

namespace stavenwick::escapeKernel {

namespace {

struct Avx2Ops {
    using Vec = __m256d;
    using Mask = __m256d; // all ones in a chosen lane
    using Index = __m256i;
    static constexpr int LANES = 4;

    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Vec maskedAdd(Vec v, Mask m, Vec a, Vec b)
    {
        return _mm256_blendv_pd(v, _mm256_add_pd(a, b), m);
    }
    static Mask below(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static Mask above(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static Vec expand(Vec v, unsigned lanes, const double* from)
    {
        alignas(32) double values[LANES];
        _mm256_store_pd(values, v);
        for (int lane = 0; lane < LANES; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                values[lane] = *from++;
            }
        }
        return _mm256_load_pd(values);
    }
    static Vec clear(Vec v, unsigned lanes) { return _mm256_andnot_pd(laneMask(lanes), v); }
    static double lane(Vec v, int lane)
    {
        alignas(32) double values[LANES];
        _mm256_store_pd(values, v);
        return values[lane];
    }

    static Mask laneMask(unsigned lanes)
    {
        const __m256i laneBits = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i chosen =
            _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(lanes)), laneBits);
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(chosen, laneBits));
    }
    static Mask noLanes() { return _mm256_setzero_pd(); }
    static Mask setMask(Mask m, unsigned lanes) { return _mm256_or_pd(m, laneMask(lanes)); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static unsigned popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm256_set1_epi64x(x); }
    // a chosen lane holds all ones, that is -1
    static Index maskedIncrement(Index v, Mask m)
    {
        return _mm256_sub_epi64(v, _mm256_castpd_si256(m));
    }
    static Index setLanes(Index v, unsigned lanes, std::int64_t x)
    {
        return _mm256_blendv_epi8(v, _mm256_set1_epi64x(x), _mm256_castpd_si256(laneMask(lanes)));
    }
    static Index expandIota(Index v, unsigned lanes, std::int64_t first)
    {
        alignas(32) std::int64_t values[LANES];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), v);
        for (int lane = 0; lane < LANES; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                values[lane] = first++;
            }
        }
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(values));
    }
    static Index atMost(Index v, std::int64_t x)
    {
        const __m256i limit = _mm256_set1_epi64x(x);
        return _mm256_blendv_epi8(v, limit, _mm256_cmpgt_epi64(v, limit));
    }
    static unsigned atOrBelow(Index v, std::int64_t x)
    {
        const __m256i above = _mm256_cmpgt_epi64(v, _mm256_set1_epi64x(x));
        return ~bits(_mm256_castsi256_pd(above)) & ((1u << LANES) - 1);
    }
    static std::int64_t laneIndex(Index v, int lane)
    {
        alignas(32) std::int64_t values[LANES];
        _mm256_store_si256(reinterpret_cast<__m256i*>(values), v);
        return values[lane];
    }
    static std::int64_t minimum(Index v)
    {
        std::int64_t least = laneIndex(v, 0);
        for (int lane = 1; lane < LANES; ++lane) {
            const std::int64_t value = laneIndex(v, lane);
            least = value < least ? value : least;
        }
        return least;
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

void runAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    escapeCountLoop<Avx2Ops, 4, 8, 8>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
