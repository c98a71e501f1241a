#include "Ceiling.h"
#include "CeilingPaths.h"

#include <iterator> // std::size

#include <immintrin.h>

namespace stavenwick::bench {

namespace {

struct Avx512Ops {
    using Vec = __m512d;
    using Count = __m512i;
    static constexpr int LANES = 8;

    static Vec load(const double* from) { return _mm512_loadu_pd(from); }
    static Vec zero() { return _mm512_setzero_pd(); }
    static Vec broadcast(double x) { return _mm512_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    static Count noCount() { return _mm512_setzero_si512(); }
    static Count countIf(Count count, Vec mag, Vec four)
    {
        return _mm512_mask_add_epi64(count, _mm512_cmp_pd_mask(mag, four, _CMP_LT_OQ), count,
                                     _mm512_set1_epi64(1));
    }
    // where held < lower: count, and hold this step's mag
    static Count countAndHoldIfBelow(Count count, Vec& held, Vec mag, Vec lower)
    {
        const __mmask8 counts = _mm512_cmp_pd_mask(held, lower, _CMP_LT_OQ);
        held = _mm512_mask_mov_pd(held, counts, mag);
        return _mm512_mask_add_epi64(count, counts, count, _mm512_set1_epi64(1));
    }
    static std::int64_t total(Count count)
    {
        alignas(64) std::int64_t lanes[LANES];
        _mm512_store_si512(lanes, count);
        std::int64_t sum = 0;
        for (const std::int64_t lane : lanes) {
            sum += lane;
        }
        return sum;
    }
};

} // namespace

CeilingWidth ceilingAvx512()
{
    static const Ceiling ceilings[] = {
        {4, Form::Sum, ceilingLoop<Avx512Ops, 4, Form::Sum>},
        {4, Form::Product, ceilingLoop<Avx512Ops, 4, Form::Product>},
        {6, Form::Sum, ceilingLoop<Avx512Ops, 6, Form::Sum>},
        {6, Form::Product, ceilingLoop<Avx512Ops, 6, Form::Product>},
        {8, Form::Sum, ceilingLoop<Avx512Ops, 8, Form::Sum>},
        {8, Form::Product, ceilingLoop<Avx512Ops, 8, Form::Product>},
        {10, Form::Sum, ceilingLoop<Avx512Ops, 10, Form::Sum>},
        {10, Form::Product, ceilingLoop<Avx512Ops, 10, Form::Product>},
        {12, Form::Sum, ceilingLoop<Avx512Ops, 12, Form::Sum>},
        {12, Form::Product, ceilingLoop<Avx512Ops, 12, Form::Product>},
        {4, Form::LastTest, ceilingLoop<Avx512Ops, 4, Form::LastTest>},
        {6, Form::LastTest, ceilingLoop<Avx512Ops, 6, Form::LastTest>},
        {8, Form::LastTest, ceilingLoop<Avx512Ops, 8, Form::LastTest>},
    };
    return {Avx512Ops::LANES, ceilings, static_cast<int>(std::size(ceilings))};
}

} // namespace stavenwick::bench
