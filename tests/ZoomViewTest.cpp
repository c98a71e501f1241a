#include "render/ZoomView.h"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>

namespace stavenwick {

bool operator==(const PlanePoint& a, const PlanePoint& b)
{
    return a.re == b.re && a.im == b.im;
}

void PrintTo(const PlanePoint& p, std::ostream* out)
{
    *out << "(" << p.re << ", " << p.im << ")";
}

namespace {

using Point = PlanePoint;

Point point(double re, double im)
{
    return {re, im};
}

ZoomView programView()
{
    ZoomView view(800, 600);
    view.push(ZoomView::initialStep(800, 600));
    return view;
}

TEST(ZoomViewTest, InitialStepCentresAFourUnitWidePictureOnTheOrigin)
{
    const ZoomView view = programView();
    EXPECT_EQ(view.toPlane(0, 0), point(-2.0, -1.5));
    EXPECT_EQ(view.toPlane(400, 300), point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(799, 599), point(399 * 0.005, 299 * 0.005));
    EXPECT_DOUBLE_EQ(view.toPlane(799, 599).re, 1.995);
}

TEST(ZoomViewTest, StepsCentreOnThePixelCountedFromTheTop)
{
    ZoomView view = programView();
    const Point target = view.toPlane(295, 600 - 202);
    view.push(ZoomStep(295, 202, 0.1));
    EXPECT_EQ(view.toPlane(400, 300), target);
    EXPECT_DOUBLE_EQ(target.re, -0.525);
    EXPECT_DOUBLE_EQ(target.im, 0.49);

    view.push(ZoomStep(312, 304, 0.1));
    EXPECT_NEAR(view.toPlane(400, 300).re, -0.569, 1e-12);
    EXPECT_NEAR(view.toPlane(400, 300).im, 0.488, 1e-12);
    EXPECT_NEAR(view.toPlane(0, 0).re, -0.589, 1e-12);
    EXPECT_NEAR(view.toPlane(0, 0).im, 0.473, 1e-12);
}

TEST(ZoomViewTest, StepAtTheCentreChangesOnlyTheScale)
{
    ZoomView view = programView();
    view.push(ZoomStep(400, 300, 0.5));
    EXPECT_EQ(view.toPlane(400, 300), point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(0, 0), point(-1.0, -0.75));
}

TEST(ZoomViewTest, OddSizesTruncateTheHalves)
{
    ZoomView view(7, 5);
    view.push(ZoomStep(3, 2, 1.0));
    EXPECT_EQ(view.toPlane(3, 2), point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(0, 0), point(-3.0, -2.0));
    // with an odd height the top row is t = 0
    view.push(ZoomStep(3, 0, 1.0));
    EXPECT_EQ(view.toPlane(3, 2), point(0.0, 2.0));
}

TEST(ZoomViewTest, ExtremePixelPositionsDoNotOverflow)
{
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    const std::int32_t least = std::numeric_limits<std::int32_t>::min();
    ZoomView view(800, 600);
    view.push(ZoomStep(least, most, 1.0));
    EXPECT_EQ(view.toPlane(400, 300), point(-2147483648.0 - 400.0, -(2147483647.0 - 300.0)));
}

} // namespace
} // namespace stavenwick
