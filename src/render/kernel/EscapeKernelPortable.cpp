// The kernel in plain C++, for every CPU: independent points in flight, one to a lane.
#include "render/kernel/EscapeKernelPaths.h"
#include "render/kernel/FrozenLanesLoop.h"

namespace stavenwick::escapeKernel {

namespace {

struct ScalarOps {
    using Vec = double;
    using Mask = bool;
    using Index = std::int64_t;
    static constexpr int LANES = 1;

    static Vec broadcast(double x) { return x; }
    static Vec add(Vec a, Vec b) { return a + b; }
    static Vec sub(Vec a, Vec b) { return a - b; }
    static Vec mul(Vec a, Vec b) { return a * b; }
    static Vec maskedAdd(Vec v, Mask m, Vec a, Vec b) { return m ? a + b : v; }
    static Mask below(Vec a, Vec b) { return a < b; }
    static Mask above(Vec a, Vec b) { return a > b; }
    static Vec expand(Vec v, unsigned lanes, const double* from) { return lanes != 0 ? *from : v; }
    static Vec clear(Vec v, unsigned lanes) { return lanes != 0 ? 0.0 : v; }
    static double lane(Vec v, int /*lane*/) { return v; }

    static Mask noLanes() { return false; }
    static Mask setMask(Mask m, unsigned lanes) { return m || lanes != 0; }
    static unsigned bits(Mask m) { return m ? 1u : 0u; }
    static unsigned popcount(unsigned lanes) { return lanes; }

    static Index broadcastIndex(std::int64_t x) { return x; }
    static Index maskedIncrement(Index v, Mask m) { return m ? v + 1 : v; }
    static Index setLanes(Index v, unsigned lanes, std::int64_t x) { return lanes != 0 ? x : v; }
    static Index expandIota(Index v, unsigned lanes, std::int64_t first)
    {
        return lanes != 0 ? first : v;
    }
    static Index atMost(Index v, std::int64_t x) { return v < x ? v : x; }
    static unsigned atOrBelow(Index v, std::int64_t x) { return v <= x ? 1u : 0u; }
    static std::int64_t laneIndex(Index v, int /*lane*/) { return v; }
    static std::int64_t minimum(Index v) { return v; }
    static void storeCounts(std::int32_t* counts, Index point, Index count, unsigned lanes)
    {
        if (lanes != 0) {
            counts[point] = static_cast<std::int32_t>(count);
        }
    }
};

} // namespace

void runPortable(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    frozenLanesLoop<ScalarOps, 4, 1, 1>(re, im, counts, n);
}

} // namespace stavenwick::escapeKernel
