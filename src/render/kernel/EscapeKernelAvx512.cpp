// The kernel on AVX-512: eight points to a vector. Finished lanes' answers leave, and the next
// points come in, through permutations from two tables: one shuffle each, where the compress and
// expand instructions take two, on the port that the rounds keep busiest.
// Built with -mavx512f and run only where the CPU has it.
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/LastTest.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

namespace {

// For each set of lanes (bit l for lane l): the lanes whose values a permutation takes to pack
// those lanes' values at the front (compress), and each named lane's place among them, which
// takes the front values to those lanes in order (place).
struct Tables {
    std::int64_t compress[256][8];
    std::int64_t place[256][8];
};

constexpr Tables tables()
{
    Tables tables{};
    for (unsigned lanes = 0; lanes < 256; ++lanes) {
        int rank = 0;
        for (int lane = 0; lane < 8; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                tables.compress[lanes][rank] = lane;
                tables.place[lanes][lane] = rank++;
            }
        }
    }
    return tables;
}

alignas(64) constexpr Tables TABLES = tables();

struct Avx512Ops {
    using Vec = __m512d;
    using Mask = __mmask8;
    using Index = __m512i;
    static constexpr int LANES = 8;
    // (some operations masked with every lane: GCC 12's unmasked forms warn of their own
    // undefined operand)
    static constexpr unsigned ALL = 0xFF;
    static constexpr bool SKIP_IDLE = false; // see LaneLoop.h
    static constexpr int PLAIN_AT_ONCE = 8;  // see writePlain

    static Vec broadcast(double x) { return _mm512_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    // a · b in the lanes of m, 0 elsewhere
    static Vec mulWhere(Mask m, Vec a, Vec b) { return _mm512_maskz_mul_pd(m, a, b); }
    // a in the lanes of m, b elsewhere
    static Vec select(Mask m, Vec a, Vec b) { return _mm512_mask_mov_pd(b, m, a); }
    static Mask below(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    // a >= b, or either is NaN
    static Mask notBelow(Vec a, Vec b) { return _mm512_cmp_pd_mask(a, b, _CMP_NLT_UQ); }
    // the lanes of m where a <= b, or either is NaN
    static Mask notAbove(Mask m, Vec a, Vec b)
    {
        return _mm512_mask_cmp_pd_mask(m, a, b, _CMP_NGT_UQ);
    }
    static Vec loadu(const double* from) { return _mm512_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        return _mm512_mask_permutexvar_pd(v, mask(lanes), row(TABLES.place, lanes), w);
    }

    static unsigned bits(Mask m) { return m; }
    static std::size_t popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm512_set1_epi64(x); }
    // 1 more in the lanes of m, or in every lane
    static Index increment(Index v, Mask m)
    {
        return _mm512_mask_sub_epi64(v, m, v, _mm512_set1_epi64(-1));
    }
    static Index incrementAll(Index v) { return _mm512_sub_epi64(v, _mm512_set1_epi64(-1)); }
    // the lanes of m where v has no bit of x set
    static Mask withoutBit(Mask m, Index v, std::int64_t x)
    {
        return _mm512_mask_testn_epi64_mask(m, v, _mm512_set1_epi64(x));
    }
    // v | x in the lanes of m
    static Index orLanes(Index v, Mask m, std::int64_t x)
    {
        return _mm512_mask_or_epi64(v, m, v, _mm512_set1_epi64(x));
    }
    // the values of the lanes named, in order, at the front
    static Index compress(Index v, unsigned lanes)
    {
        return _mm512_maskz_permutexvar_epi64(static_cast<Mask>(ALL), row(TABLES.compress, lanes),
                                              v);
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return _mm512_mask_mov_epi64(v, mask(lanes), w);
    }
    static Index addIndex(Index a, Index b) { return _mm512_add_epi64(a, b); }
    static Index loadIndex(const std::int64_t* from) { return _mm512_loadu_si512(from); }
    static void storeIndex(std::int64_t* to, Index v) { _mm512_storeu_si512(to, v); }

    // Writes the counts of eight staged answers packed as LastTest.h packs them, if all eight
    // are plain: before n, and sure (a NaN c never is: its failing test is NaN). Says whether it
    // did; if not, it wrote nothing.
    template <class Body>
    static bool writePlain(const std::int64_t* answers, std::size_t n, std::int32_t* counts)
    {
        const __m512i packed = _mm512_loadu_si512(answers);
        const __m512i point =
            _mm512_maskz_srli_epi64(static_cast<Mask>(ALL), packed, Body::COUNT_BITS);
        const __m512i field = _mm512_and_si512(packed, _mm512_set1_epi64(Body::BY_DEFINITION));
        const __m512i iterations = _mm512_sub_epi64(field, _mm512_set1_epi64(Body::FRESH + 2));
        Mask plain = _mm512_cmpneq_epi64_mask(field, _mm512_set1_epi64(Body::BY_DEFINITION));
        plain = _mm512_mask_cmplt_epu64_mask(plain, point,
                                             _mm512_set1_epi64(static_cast<std::int64_t>(n)));
        if (plain != ALL) {
            return false;
        }
        // each lane's point and count as two 32-bit halves, read back one by one: the counts'
        // places are the points', which no vector store reaches
        const __m512i count = _mm512_maskz_min_epi64(
            static_cast<Mask>(ALL), iterations, _mm512_set1_epi64(Mandelbrot::ITERATION_LIMIT));
        alignas(64) std::int32_t pairs[16];
        _mm512_store_si512(pairs, _mm512_or_si512(point, _mm512_maskz_slli_epi64(
                                                             static_cast<Mask>(ALL), count, 32)));
        for (std::size_t lane = 0; lane < 8; ++lane) {
            counts[pairs[2 * lane]] = pairs[2 * lane + 1];
        }
        return true;
    }

private:
    static Mask mask(unsigned lanes) { return static_cast<Mask>(lanes); }
    static __m512i row(const std::int64_t (&table)[256][8], unsigned lanes)
    {
        return _mm512_load_si512(table[lanes]);
    }
};

} // namespace

void runAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<LastTest<Avx512Ops>, 4, 24>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
