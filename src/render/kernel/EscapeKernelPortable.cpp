// The kernel in plain C++, for every CPU: independent points in flight, one to a lane. z runs
// on with two counts, as on SSE2 and AVX2: a lane that froze would need a select at every step,
// which compilers make a branch, and the branch is as unpredictable as the points.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/LaneLoop.h"
#include "render/kernel/TwoCounts.h"

namespace stavenwick::escapeKernel {

namespace {

struct ScalarOps {
    using Vec = double;
    using Mask = bool;
    using Index = std::int64_t;
    static constexpr bool FEW_REGISTERS = false;
    static constexpr int LANES = 1;

    static Vec broadcast(double x) { return x; }
    static Vec add(Vec a, Vec b) { return a + b; }
    static Vec sub(Vec a, Vec b) { return a - b; }
    static Vec mul(Vec a, Vec b) { return a * b; }
    static Vec twice(Vec a, Vec /*two*/) { return a + a; }
    static Mask below(Vec a, Vec b) { return a < b; }
    static Mask atOrBelow(Vec a, Vec b) { return a <= b; }
    static unsigned bits(Mask m) { return m ? 1u : 0u; }
    static unsigned popcount(unsigned lanes) { return lanes; }
    static Mask laneMask(unsigned lanes) { return lanes != 0; }
    static Vec clear(Vec v, Mask m) { return m ? 0.0 : v; }
    static Vec loadu(const double* from) { return *from; }
    static Vec expandInto(Vec v, unsigned lanes, Vec w) { return lanes != 0 ? w : v; }

    static Index broadcastIndex(std::int64_t x) { return x; }
    static Index orIndex(Index a, Index b) { return a | b; }
    // as the vector paths count: 1 more in both halves at or below the band, 1 less in the
    // lower half below it
    static Index count(Index tests, Mask low, Mask high)
    {
        return tests + (high ? (std::int64_t{1} << 32) + 1 : 0) - (low ? 1 : 0);
    }
    static unsigned lanesWithBit(Index v, std::int64_t x) { return (v & x) != 0 ? 1u : 0u; }
    static Mask lessThan(Index v, std::int64_t x) { return v < x; }
    static Index answers(Index tests, std::int64_t definition)
    {
        return (tests >> 32) | ((tests & 0xFFFFFFFF) != 0 ? definition : 0);
    }
    // NaN is the one value unequal to itself
    static Index nanOnes(Vec cr, Vec ci) { return cr != cr || ci != ci ? 1 : 0; }
    static Index compress(Index v, unsigned /*lanes*/) { return v; }
    static Index expandIndex(Index v, unsigned /*lanes*/) { return v; }
    static Index blendIndex(Index v, Index w, Mask m) { return m ? w : v; }
    static Index blendIndex(Index v, Index w, unsigned lanes) { return lanes != 0 ? w : v; }
    static Index iota(std::int64_t first, int /*shift*/) { return first; }
    static void storeIndex(std::int64_t* to, Index v) { *to = v; }
};

} // namespace

void runPortable(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    LaneLoop<TwoCounts<ScalarOps>, 4, 4>::run(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
