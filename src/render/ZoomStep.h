// One zoom request: a new centre in pixels and a factor for the plane units per pixel.
#pragma once

#include <cstdint>

namespace stavenwick {

struct ZoomStep {
    ZoomStep(std::int32_t centerX, std::int32_t centerY, double scaleFactor)
        : x(centerX), y(centerY), scale(scaleFactor)
    {
    }

    std::int32_t x; // pixel column of the new centre, from the left
    std::int32_t y; // pixel row of the new centre, counted down from the top
    double scale;   // 0.1 zooms in tenfold
};

} // namespace stavenwick
