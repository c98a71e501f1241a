#include "render/ZoomView.h"

namespace stavenwick {

namespace {

// pixel - half as a double; formed in 64 bits so that no pixel position can overflow
double offset(std::int32_t pixel, std::int32_t half)
{
    return static_cast<double>(std::int64_t{pixel} - half);
}

} // namespace

ZoomView::ZoomView(std::int32_t width, std::int32_t height) : m_width(width), m_height(height) {}

ZoomStep ZoomView::initialStep(std::int32_t width, std::int32_t height)
{
    return ZoomStep(width / 2, height / 2, 4.0 / width);
}

void ZoomView::push(const ZoomStep& step)
{
    const std::int32_t halfW = m_width / 2;
    const std::int32_t halfH = m_height / 2;
    // a step's y counts down from the top, so up the plane is minus
    m_centerX = offset(step.x, halfW) * m_scale + m_centerX;
    m_centerY = -offset(step.y, halfH) * m_scale + m_centerY;
    m_scale = m_scale * step.scale;
}

double ZoomView::real(std::int32_t x) const
{
    return offset(x, m_width / 2) * m_scale + m_centerX;
}

double ZoomView::imaginary(std::int32_t y) const
{
    return offset(y, m_height / 2) * m_scale + m_centerY;
}

} // namespace stavenwick
