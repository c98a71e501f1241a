#include "Ceiling.h"
#include "CeilingPaths.h"

#include <iterator> // std::size

#include <emmintrin.h>

namespace stavenwick::bench {

namespace {

struct Sse2Ops {
    using Vec = __m128d;
    using Count = __m128i;
    static constexpr int LANES = 2;

    static Vec load(const double* from) { return _mm_loadu_pd(from); }
    static Vec zero() { return _mm_setzero_pd(); }
    static Vec broadcast(double x) { return _mm_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Count noCount() { return _mm_setzero_si128(); }
    // a true compare is all ones, -1
    static Count countIf(Count count, Vec mag, Vec four)
    {
        return _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmplt_pd(mag, four)));
    }
    static Count countIfAtOrBelow(Count count, Vec mag, Vec edge)
    {
        return _mm_sub_epi64(count, _mm_castpd_si128(_mm_cmple_pd(mag, edge)));
    }
    static std::int64_t total(Count count)
    {
        alignas(16) std::int64_t lanes[LANES];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), count);
        return lanes[0] + lanes[1];
    }
};

} // namespace

CeilingWidth ceilingSse2()
{
    static const Ceiling ceilings[] = {
        {3, Form::Sum, ceilingLoop<Sse2Ops, 3, Form::Sum>},
        {3, Form::Product, ceilingLoop<Sse2Ops, 3, Form::Product>},
        {4, Form::Sum, ceilingLoop<Sse2Ops, 4, Form::Sum>},
        {4, Form::Product, ceilingLoop<Sse2Ops, 4, Form::Product>},
        {5, Form::Sum, ceilingLoop<Sse2Ops, 5, Form::Sum>},
        {5, Form::Product, ceilingLoop<Sse2Ops, 5, Form::Product>},
        {6, Form::Sum, ceilingLoop<Sse2Ops, 6, Form::Sum>},
        {6, Form::Product, ceilingLoop<Sse2Ops, 6, Form::Product>},
        {8, Form::Sum, ceilingLoop<Sse2Ops, 8, Form::Sum>},
        {8, Form::Product, ceilingLoop<Sse2Ops, 8, Form::Product>},
        {4, Form::TwoCounts, ceilingLoop<Sse2Ops, 4, Form::TwoCounts>},
        {6, Form::TwoCounts, ceilingLoop<Sse2Ops, 6, Form::TwoCounts>},
    };
    return {Sse2Ops::LANES, ceilings, static_cast<int>(std::size(ceilings))};
}

} // namespace stavenwick::bench
