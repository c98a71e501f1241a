// The kernel on AVX2: four points to a vector. Finished lanes' answers leave, and the next points
// come in, through permutations from two small tables, as AVX-512's compress and expand would
// move them. Built with -mavx2 and run only where the CPU has it.
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

namespace {

// For each set of lanes (bit l for lane l): the 32-bit elements that a permutation takes to pack
// those lanes' 64-bit values at the front (COMPRESS), or to spread the front values over those
// lanes in order (EXPAND); and the lanes as a mask, all ones in each (MASK).
using Table = std::array<std::array<std::int32_t, 8>, 16>;

enum class Kind { Compress, Expand, Mask };

constexpr Table table(Kind kind)
{
    Table table{};
    for (unsigned lanes = 0; lanes < 16; ++lanes) {
        int rank = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((lanes >> lane & 1u) != 0) {
                const int to = kind == Kind::Compress ? rank : lane;
                const int from = kind == Kind::Compress ? lane : rank;
                const std::size_t slot = 2 * static_cast<std::size_t>(to);
                table[lanes][slot] = kind == Kind::Mask ? -1 : 2 * from;
                table[lanes][slot + 1] = kind == Kind::Mask ? -1 : 2 * from + 1;
                ++rank;
            }
        }
    }
    return table;
}

alignas(32) constexpr Table COMPRESS = table(Kind::Compress);
alignas(32) constexpr Table EXPAND = table(Kind::Expand);
alignas(32) constexpr Table MASK = table(Kind::Mask);

struct Avx2Ops {
    using Vec = __m256d;
    using Mask = __m256d; // all ones in a chosen lane
    using Index = __m256i;
    static constexpr int LANES = 4;
    static constexpr bool SKIP_IDLE = false; // see LaneLoop.h
    static constexpr int PLAIN_AT_ONCE = 4;  // see writePlain

    static Vec broadcast(double x) { return _mm256_set1_pd(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Mask below(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static Mask atOrBelow(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static unsigned bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static std::size_t popcount(unsigned lanes)
    {
        return static_cast<unsigned>(__builtin_popcount(lanes));
    }
    static Mask laneMask(unsigned lanes) { return _mm256_castsi256_pd(row(MASK, lanes)); }
    static Vec clear(Vec v, Mask m) { return _mm256_andnot_pd(m, v); }
    static Vec loadu(const double* from) { return _mm256_loadu_pd(from); }
    // the first values of w, in order, into the lanes named of v
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        const Vec spread = _mm256_castsi256_pd(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(w), row(EXPAND, lanes)));
        return _mm256_blendv_pd(v, spread, laneMask(lanes));
    }

    static Index broadcastIndex(std::int64_t x) { return _mm256_set1_epi64x(x); }
    // a true compare is all ones, that is -1: as 32-bit halves it counts in both
    static Index count(Index tests, Mask low, Mask high)
    {
        return _mm256_add_epi64(_mm256_sub_epi32(tests, _mm256_castpd_si256(high)),
                                _mm256_castpd_si256(low));
    }
    // the lanes whose sign bit is set
    static unsigned signs(Index v) { return bits(_mm256_castsi256_pd(v)); }
    static Index compress(Index v, unsigned lanes)
    {
        return _mm256_permutevar8x32_epi32(v, row(COMPRESS, lanes));
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return _mm256_castpd_si256(
            _mm256_blendv_pd(_mm256_castsi256_pd(v), _mm256_castsi256_pd(w), laneMask(lanes)));
    }
    static Index addIndex(Index a, Index b) { return _mm256_add_epi64(a, b); }
    static Index loadIndex(const std::int64_t* from)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
    }
    static void storeIndex(std::int64_t* to, Index v)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
    }

    // Writes the counts of four staged answers packed as TwoCounts.h packs them, if all four
    // are plain: before n, both counts alike, and at least one iteration (a count of 0 may be a
    // NaN c's). Says whether it did; if not, it wrote nothing.
    template <class Body>
    static bool writePlain(const std::int64_t* answers, std::size_t n, std::int32_t* counts)
    {
        const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(answers));
        const __m256i point = _mm256_srli_epi64(
            _mm256_and_si256(packed, _mm256_set1_epi64x(0xFFFFFFFF)), Body::DIFF_BITS);
        const __m256i iterations =
            _mm256_sub_epi64(_mm256_srli_epi64(packed, 32), _mm256_set1_epi64x(Body::FRESH + 1));
        const __m256i plain = _mm256_and_si256(
            _mm256_and_si256(
                _mm256_cmpeq_epi64(_mm256_and_si256(packed, _mm256_set1_epi64x(Body::KEY_STEP - 1)),
                                   _mm256_setzero_si256()),
                _mm256_cmpgt_epi64(iterations, _mm256_setzero_si256())),
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<std::int64_t>(n)), point));
        if (bits(_mm256_castsi256_pd(plain)) != 15) {
            return false;
        }
        // each lane's point and count as two 32-bit halves, read back one by one: the counts'
        // places are the points', which no vector store reaches
        const __m256i count =
            _mm256_min_epi32(iterations, _mm256_set1_epi64x(Mandelbrot::ITERATION_LIMIT));
        alignas(32) std::int32_t pairs[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(pairs),
                           _mm256_blend_epi32(point, _mm256_slli_epi64(count, 32), 0xAA));
        for (std::size_t lane = 0; lane < 4; ++lane) {
            counts[pairs[2 * lane]] = pairs[2 * lane + 1];
        }
        return true;
    }

private:
    static __m256i row(const Table& table, unsigned lanes)
    {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(table[lanes].data()));
    }
};

} // namespace

void runAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    // six vectors, a round every four steps: on 16 registers some of the lanes' counts live in
    // memory, which costs less than the waits of fewer vectors
    LaneLoop<TwoCounts<Avx2Ops>, 6, 24>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
