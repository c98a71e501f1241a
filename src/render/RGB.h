// A colour as three channels; the program uses whole numbers from 0 to 255.
#pragma once

#include "../common/ExactDoubles.h"

namespace stavenwick {

struct RGB {
    RGB(double red, double green, double blue) : r(red), g(green), b(blue) {}

    double r;
    double g;
    double b;
};

// Per-channel difference: end minus start gives a colour range's span.
inline RGB operator-(const RGB& a, const RGB& b)
{
    return RGB(a.r - b.r, a.g - b.g, a.b - b.b);
}

} // namespace stavenwick
