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
    static Count countIfAtOrBelow(Count count, Vec mag, Vec edge)
    {
        return _mm256_sub_epi64(count, _mm256_castpd_si256(_mm256_cmp_pd(mag, edge, _CMP_LE_OQ)));
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
        {3, Form::Sum, ceilingLoop<Avx2Ops, 3, Form::Sum>},
        {3, Form::Product, ceilingLoop<Avx2Ops, 3, Form::Product>},
        {4, Form::Sum, ceilingLoop<Avx2Ops, 4, Form::Sum>},
        {4, Form::Product, ceilingLoop<Avx2Ops, 4, Form::Product>},
        {5, Form::Sum, ceilingLoop<Avx2Ops, 5, Form::Sum>},
        {5, Form::Product, ceilingLoop<Avx2Ops, 5, Form::Product>},
        {6, Form::Sum, ceilingLoop<Avx2Ops, 6, Form::Sum>},
        {6, Form::Product, ceilingLoop<Avx2Ops, 6, Form::Product>},
        {8, Form::Sum, ceilingLoop<Avx2Ops, 8, Form::Sum>},
        {8, Form::Product, ceilingLoop<Avx2Ops, 8, Form::Product>},
        {4, Form::TwoCounts, ceilingLoop<Avx2Ops, 4, Form::TwoCounts>},
        {6, Form::TwoCounts, ceilingLoop<Avx2Ops, 6, Form::TwoCounts>},
        {8, Form::TwoCounts, ceilingLoop<Avx2Ops, 8, Form::TwoCounts>},
    };
    return {Avx2Ops::LANES, ceilings, static_cast<int>(std::size(ceilings))};
}

} // namespace stavenwick::bench
