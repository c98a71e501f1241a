// The escape-time iteration z <- z² + c that decides membership of the Mandelbrot set.
#pragma once

#include "../common/ExactDoubles.h"
#include <lumivar/LumivarExport.h>

#include <cstdint>

namespace stavenwick {

class LUMIVAR_EXPORT Mandelbrot {
public:
    // Iterations at most; also the count of a point that never escapes.
    static constexpr std::int32_t ITERATION_LIMIT = 1000;

    Mandelbrot() = default;
    virtual ~Mandelbrot();

    // The number of iterations of z <- z² + c, from z = 0 with c = x + y·i, completed before
    // |z| > 2; ITERATION_LIMIT when z never leaves the disc. The definition every faster path
    // must agree with, to the last count.
    static std::int32_t escapeCount(double x, double y);
};

} // namespace stavenwick
