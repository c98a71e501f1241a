// A point of the complex plane.
#pragma once

namespace stavenwick {

struct PlanePoint {
    double re;
    double im;
};

} // namespace stavenwick
