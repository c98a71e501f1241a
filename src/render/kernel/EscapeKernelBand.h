// When the kernel's cheap test of |z| > 2 agrees with the definition's, and what settles the
// points where it may not. Shared by both kernel loops.
#pragma once

#include "render/Mandelbrot.h"

#include <cstdint>

namespace stavenwick::escapeKernel {

// |z| > 2 is defined by hypot. The loops test mag = re² + im² instead (two products and a sum,
// each rounded), and trust it only outside [LOWER_BAND, UPPER_BAND], a band of 2^-40 relative
// around 4:
// - each rounding is within u = 2^-53 relative, so mag lies within a factor (1 ± u)² of the exact
//   re² + im², a relative error below 3u; a square that underflows is off by less than 2^-1074,
//   nothing beside the other square when mag is near 4;
// - hypot is within 1 ulp (at most 2u relative) of the exact |z|; allow four times that, 8u;
// - mag > 4(1 + δ) then gives |z| > 2(1 + δ/2 − 3u/2 − 8u) > 2, and mag < 4(1 − δ) gives
//   |z| < 2, for any δ above 20u; δ = 2^-40 is 8192u, far wider than the roundings need.
// A square that overflows makes mag infinite: |z| is then far above 2, as hypot says too. Both
// comparisons are false for a NaN. A point whose mag lands in the band, or is NaN, is settled by
// the definition itself, Mandelbrot::escapeCount, whose hypot decides every step.
constexpr double LOWER_BAND = 4.0 - 0x1p-38;
constexpr double UPPER_BAND = 4.0 + 0x1p-38;

// The definition's count of c. Rare, and kept out of line: the call clobbers every vector
// register, which must not cost the common path a spill. A template on the path's Ops, as
// everything the loops call (see the loops' headers).
template <class Ops>
[[gnu::noinline]] std::int32_t countByDefinition(double re, double im)
{
    return Mandelbrot::escapeCount(re, im);
}

} // namespace stavenwick::escapeKernel
