#include "render/Mandelbrot.h"

#include <cmath>

namespace stavenwick {

Mandelbrot::~Mandelbrot() = default;

std::int32_t Mandelbrot::escapeCount(double x, double y)
{
    double re = 0.0;
    double im = 0.0;
    std::int32_t n = 0;
    while (n < ITERATION_LIMIT) {
        // both parts from the old z; each operation rounded on its own
        const double newRe = re * re - im * im + x;
        const double newIm = re * im + im * re + y;
        re = newRe;
        im = newIm;
        // hypot avoids the overflow of the squares
        if (std::hypot(re, im) > 2.0) {
            break;
        }
        ++n;
    }
    return n;
}

} // namespace stavenwick
