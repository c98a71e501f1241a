// The current view of the complex plane, and the mapping from pixels to plane points.
#pragma once

#include "../common/ExactDoubles.h"
#include "PlanePoint.h"
#include "ZoomStep.h"
#include <lumivar/LumivarExport.h>

#include <cstdint>

namespace stavenwick {

class LUMIVAR_EXPORT ZoomView {
public:
    ZoomView(std::int32_t width, std::int32_t height);

    // The step a renderer starts from: centred on the origin, 4.0 plane units wide.
    static ZoomStep initialStep(std::int32_t width, std::int32_t height);

    // Centres the view on the step's pixel, as the view stood before the step, then scales it.
    void push(const ZoomStep& step);
    // The plane point of pixel (x, y), y counted up from the bottom row.
    PlanePoint toPlane(std::int32_t x, std::int32_t y) const { return {real(x), imaginary(y)}; }
    // The real part depends on the column alone, the imaginary part on the row alone.
    double real(std::int32_t x) const;
    double imaginary(std::int32_t y) const;

private:
    double m_centerX = 0.0;
    double m_centerY = 0.0;
    double m_scale = 1.0; // plane units per pixel
    std::int32_t m_width;
    std::int32_t m_height;
};

} // namespace stavenwick
