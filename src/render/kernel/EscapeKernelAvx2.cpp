// The kernel on AVX2: four points to a vector. Finished lanes' answers leave, and the next points
// come in, through permutations from two small tables, as AVX-512's compress and expand would
// move them. Built with -mavx2 and run only where the CPU has it.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

#include <immintrin.h>

#include <array>
#include <cstddef>

namespace stavenwick::escapeKernel {

namespace {

// For each set of lanes (bit l for lane l): the 32-bit elements that a permutation takes to pack
// those lanes' 64-bit values at the front (COMPRESS), or to spread the front values over those
// lanes in order (EXPAND).
using Permutations = std::array<std::array<std::int32_t, 8>, 16>;

constexpr Permutations permutations(bool compress)
{
    Permutations table{};
    for (unsigned lanes = 0; lanes < 16; ++lanes) {
        int rank = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                const int to = compress ? rank : lane;
                const int from = compress ? lane : rank;
                const std::size_t slot = 2 * static_cast<std::size_t>(to);
                table[lanes][slot] = 2 * from;
                table[lanes][slot + 1] = 2 * from + 1;
                ++rank;
            }
        }
    }
    return table;
}

alignas(32) constexpr Permutations COMPRESS = permutations(true);
alignas(32) constexpr Permutations EXPAND = permutations(false);

struct Avx2Ops {
    using Vec = __m256d;
    using Mask = __m256d; // all ones in a chosen lane
    using Index = __m256i;
    static constexpr bool FEW_REGISTERS = true;
    static constexpr int LANES = 4;

    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    // a · 2 rather than a + a: both are the rounding of the same 2a, and the product leaves an
    // adder free for the second count's compare. two comes from memory, where the compiler
    // cannot see it, or it would make the product a sum again.
    static Vec twice(Vec a, Vec two) { return _mm256_mul_pd(a, two); }
    static Mask below(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static unsigned popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }
    static Mask laneMask(unsigned lanes)
    {
        const __m256i laneBits = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i chosen =
            _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(lanes)), laneBits);
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(chosen, laneBits));
    }
    static Vec clear(Vec v, Mask m) { return _mm256_andnot_pd(m, v); }
    static Vec loadu(const double* from) { return _mm256_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        const Vec spread = _mm256_castsi256_pd(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(w), table(EXPAND, lanes)));
        return _mm256_blendv_pd(v, spread, laneMask(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm256_set1_epi64x(x); }
    static Index orIndex(Index a, Index b) { return _mm256_or_si256(a, b); }
    // a true compare is all ones, that is -1: as 32-bit halves it counts in both
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm256_add_epi64(_mm256_sub_epi32(tests, _mm256_castpd_si256(high)),
                                _mm256_castpd_si256(low));
    }
    // the lanes of v that have the bit of x set
    static unsigned lanesWithBit(Index v, std::int64_t x)
    {
        return bits(_mm256_castsi256_pd(_mm256_slli_epi64(v, 63 - bitIndex(x))));
    }
    static Mask lessThan(Index v, std::int64_t x)
    {
        return _mm256_castsi256_pd(_mm256_sub_epi64(v, _mm256_set1_epi64x(x)));
    }
    // the upper halves, or definition where the lower ones are not zero
    static Index answers(Index tests, std::int64_t definition)
    {
        const __m256i agree = _mm256_cmpeq_epi64(
            _mm256_and_si256(tests, _mm256_set1_epi64x(0xFFFFFFFF)), _mm256_setzero_si256());
        return _mm256_or_si256(_mm256_srli_epi64(tests, 32),
                               _mm256_andnot_si256(agree, _mm256_set1_epi64x(definition)));
    }
    // 1 in the lanes where c is NaN
    static Index nanOnes(Vec cr, Vec ci)
    {
        return _mm256_srli_epi64(_mm256_castpd_si256(_mm256_cmp_pd(cr, ci, _CMP_UNORD_Q)), 63);
    }
    static Index compress(Index v, unsigned lanes)
    {
        return _mm256_permutevar8x32_epi32(v, table(COMPRESS, lanes));
    }
    static Index expandIndex(Index v, unsigned lanes)
    {
        return _mm256_permutevar8x32_epi32(v, table(EXPAND, lanes));
    }
    static Index blendIndex(Index v, Index w, Mask m)
    {
        return _mm256_castpd_si256(
            _mm256_blendv_pd(_mm256_castsi256_pd(v), _mm256_castsi256_pd(w), m));
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return blendIndex(v, w, laneMask(lanes));
    }
    // first + lane · 2^shift in each lane
    static Index iota(std::int64_t first, int shift)
    {
        return _mm256_add_epi64(
            _mm256_set1_epi64x(first),
            _mm256_sllv_epi64(_mm256_set_epi64x(3, 2, 1, 0), _mm256_set1_epi64x(shift)));
    }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
    }

private:
    static __m256i table(const Permutations& permutations, unsigned lanes)
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(permutations[lanes].data()));
    }
    static constexpr int bitIndex(std::int64_t x) { return x == 1 ? 0 : 1 + bitIndex(x >> 1); }
};

} // namespace

void runAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<TwoCounts<Avx2Ops>, 8, 32>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
