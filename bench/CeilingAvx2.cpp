#include "Ceiling.h"
#include "CeilingPaths.h"

#include <iterator> // std::size

#include <immintrin.h>

namespace stavenwick::bench {

namespace {

struct Avx2Ops {
    using Vec = __m256d;
    using Count = __m256i;
    static constexpr int LANES = 4;

    static Vec load(const double* from) { return _mm256_loadu_pd(from); }
    static Vec zero() { return _mm256_setzero_pd(); }
    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Count noCount() { return _mm256_setzero_si256(); }
    // a true compare is all ones, -1
    static Count countIf(Count count, Vec mag, Vec four)
    {
        return _mm256_sub_epi64(count, _mm256_castpd_si256(_mm256_cmp_pd(mag, four, _CMP_LT_OQ)));
    }
    static std::int64_t total(Count count)
    {
        alignas(32) std::int64_t lanes[LANES];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), count);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
};

} // namespace

CeilingWidth ceilingAvx2()
{
    static const Ceiling ceilings[] = {
        {3, false, ceilingLoop<Avx2Ops, 3, false>}, {3, true, ceilingLoop<Avx2Ops, 3, true>},
        {4, false, ceilingLoop<Avx2Ops, 4, false>}, {4, true, ceilingLoop<Avx2Ops, 4, true>},
        {5, false, ceilingLoop<Avx2Ops, 5, false>}, {5, true, ceilingLoop<Avx2Ops, 5, true>},
        {6, false, ceilingLoop<Avx2Ops, 6, false>}, {6, true, ceilingLoop<Avx2Ops, 6, true>},
        {8, false, ceilingLoop<Avx2Ops, 8, false>}, {8, true, ceilingLoop<Avx2Ops, 8, true>},
    };
    return {Avx2Ops::LANES, ceilings, static_cast<int>(std::size(ceilings))};
}

} // namespace stavenwick::bench
