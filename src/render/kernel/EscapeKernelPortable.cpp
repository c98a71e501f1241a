// The kernel in plain C++, for every CPU. z runs on with two counts, as on SSE2 and AVX2: nothing
// selects per lane at a step, which would become a branch as unpredictable as the points.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

#include <array>
#include <cstring>

namespace stavenwick::escapeKernel {

namespace {

// Two points to a vector, in the compiler's generic vectors where it has them (GCC and clang:
// SSE2 or NEON instructions, or pairs of scalar ones), in plain scalars elsewhere.
#if defined(__GNUC__)
using Doubles = double __attribute__((vector_size(16)));
using Integers = std::int64_t __attribute__((vector_size(16)));
using Unsigned = std::uint64_t __attribute__((vector_size(16))); // for sums that wrap
#else
struct Doubles {
    double lane[2];
    double& operator[](int i) { return lane[i]; }
    double operator[](int i) const { return lane[i]; }
};
using Integers = std::array<std::int64_t, 2>;
#endif

struct PairOps {
    using Vec = Doubles;
    using Mask = Integers; // all ones in a chosen lane
    using Index = Integers;
    static constexpr int LANES = 2;
    static constexpr bool SKIP_IDLE = true; // see LaneLoop.h
    static constexpr int PLAIN_AT_ONCE = 1; // see LaneLoop.h

    static Vec broadcast(double x) { return Vec{x, x}; }
#if defined(__GNUC__)
    static Vec add(Vec a, Vec b)
    {
        return a + b;
    }
    static Vec sub(Vec a, Vec b)
    {
        return a - b;
    }
    static Vec mul(Vec a, Vec b)
    {
        return a * b;
    }
    static Mask below(Vec a, Vec b)
    {
        return a < b;
    }
    static Mask atOrBelow(Vec a, Vec b)
    {
        return a <= b;
    }
#else
    static Vec add(Vec a, Vec b)
    {
        return Vec{a[0] + b[0], a[1] + b[1]};
    }
    static Vec sub(Vec a, Vec b)
    {
        return Vec{a[0] - b[0], a[1] - b[1]};
    }
    static Vec mul(Vec a, Vec b)
    {
        return Vec{a[0] * b[0], a[1] * b[1]};
    }
    static Mask below(Vec a, Vec b)
    {
        return Mask{a[0] < b[0] ? -1 : 0, a[1] < b[1] ? -1 : 0};
    }
    static Mask atOrBelow(Vec a, Vec b)
    {
        return Mask{a[0] <= b[0] ? -1 : 0, a[1] <= b[1] ? -1 : 0};
    }
#endif
    static unsigned bits(Mask m)
    {
        return (m[0] != 0 ? 1u : 0u) | (m[1] != 0 ? 2u : 0u);
    }
    static std::size_t popcount(unsigned lanes)
    {
        return (lanes & 1u) + (lanes >> 1);
    }
    static Mask laneMask(unsigned lanes)
    {
        return Mask{(lanes & 1u) != 0 ? -1 : 0, (lanes & 2u) != 0 ? -1 : 0};
    }
    static Vec clear(Vec v, Mask m)
    {
        return Vec{m[0] != 0 ? 0.0 : v[0], m[1] != 0 ? 0.0 : v[1]};
    }
    static Vec loadu(const double* from)
    {
        return Vec{from[0], from[1]};
    }
    // the first values of w, in order, into the lanes named of v: lane 1 alone takes the first
    static Vec expandInto(Vec v, unsigned lanes, Vec w)
    {
        return Vec{(lanes & 1u) != 0 ? w[0] : v[0],
                   (lanes & 2u) != 0 ? w[(lanes & 1u) != 0 ? 1 : 0] : v[1]};
    }

    static Index broadcastIndex(std::int64_t x)
    {
        return Index{x, x};
    }
    // as the vector paths count: 1 more in both halves at or below the band, 1 less in the
    // lower half below it (a true compare is all ones, -1), wrapping as they do past the sign
    static Index count(Index tests, Mask low, Mask high)
    {
        constexpr std::int64_t BOTH_HALVES = (std::int64_t{1} << 32) + 1;
#if defined(__GNUC__)
        return reinterpret_cast<Index>(reinterpret_cast<Unsigned>(tests) +
                                       reinterpret_cast<Unsigned>(high & BOTH_HALVES) +
                                       reinterpret_cast<Unsigned>(low));
#else
        const auto lane = [&](int i) {
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(tests[i]) +
                                             static_cast<std::uint64_t>(high[i] & BOTH_HALVES) +
                                             static_cast<std::uint64_t>(low[i]));
        };
        return Index{lane(0), lane(1)};
#endif
    }
    // the lanes whose sign bit is set
    static unsigned signs(Index v)
    {
        return (v[0] < 0 ? 1u : 0u) | (v[1] < 0 ? 2u : 0u);
    }
    // lane 1's value into lane 0 where lane 1 alone is named
    static Index compress(Index v, unsigned lanes)
    {
        return lanes == 2u ? Index{v[1], v[1]} : v;
    }
    static Index blendIndex(Index v, Index w, unsigned lanes)
    {
        return Index{(lanes & 1u) != 0 ? w[0] : v[0], (lanes & 2u) != 0 ? w[1] : v[1]};
    }
    // a + b in each lane, wrapping as the vector adds do: past the last point, where the keys
    // may wrap, the lanes take the key n instead
    static Index addIndex(Index a, Index b)
    {
        const auto lane = [&](int i) {
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(a[i]) +
                                             static_cast<std::uint64_t>(b[i]));
        };
        return Index{lane(0), lane(1)};
    }
    static Index loadIndex(const std::int64_t* from)
    {
        return Index{from[0], from[1]};
    }
    static void storeIndex(std::int64_t* to, Index v)
    {
        to[0] = v[0];
        to[1] = v[1];
    }
};

} // namespace

void runPortable(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<TwoCounts<PairOps>, 5, 25>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
