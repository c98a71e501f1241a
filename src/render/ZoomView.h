// The current view of the complex plane, and the mapping from pixels to plane points.
#pragma once

#include "render/ZoomStep.h"

#include <cstdint>
#include <utility>

namespace stavenwick {

class ZoomView {
public:
    ZoomView(std::int32_t width, std::int32_t height);

    // Centres the view on the step's pixel, as the view stood before the step, then scales it.
    void push(const ZoomStep& step);
    // The plane point (real, imaginary) of pixel (x, y), y counted up from the bottom row.
    std::pair<double, double> toPlane(std::int32_t x, std::int32_t y) const;

private:
    double m_centerX = 0.0;
    double m_centerY = 0.0;
    double m_scale = 1.0; // plane units per pixel
    std::int32_t m_width;
    std::int32_t m_height;
};

} // namespace stavenwick
