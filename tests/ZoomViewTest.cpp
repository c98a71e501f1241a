#include "render/ZoomView.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

namespace stavenwick {
namespace {

using Point = std::pair<double, double>;

ZoomView programView()
{
    ZoomView view(800, 600);
    view.push(ZoomStep(400, 300, 4.0 / 800));
    return view;
}

TEST(ZoomViewTest, InitialStepCentresAFourUnitWidePictureOnTheOrigin)
{
    const ZoomView view = programView();
    EXPECT_EQ(view.toPlane(0, 0), Point(-2.0, -1.5));
    EXPECT_EQ(view.toPlane(400, 300), Point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(799, 599), Point(399 * 0.005, 299 * 0.005));
    EXPECT_DOUBLE_EQ(view.toPlane(799, 599).first, 1.995);
}

TEST(ZoomViewTest, StepsCentreOnThePixelCountedFromTheTop)
{
    ZoomView view = programView();
    const Point target = view.toPlane(295, 600 - 202);
    view.push(ZoomStep(295, 202, 0.1));
    EXPECT_EQ(view.toPlane(400, 300), target);
    EXPECT_DOUBLE_EQ(target.first, -0.525);
    EXPECT_DOUBLE_EQ(target.second, 0.49);

    view.push(ZoomStep(312, 304, 0.1));
    EXPECT_NEAR(view.toPlane(400, 300).first, -0.569, 1e-12);
    EXPECT_NEAR(view.toPlane(400, 300).second, 0.488, 1e-12);
    EXPECT_NEAR(view.toPlane(0, 0).first, -0.589, 1e-12);
    EXPECT_NEAR(view.toPlane(0, 0).second, 0.473, 1e-12);
}

TEST(ZoomViewTest, StepAtTheCentreChangesOnlyTheScale)
{
    ZoomView view = programView();
    view.push(ZoomStep(400, 300, 0.5));
    EXPECT_EQ(view.toPlane(400, 300), Point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(0, 0), Point(-1.0, -0.75));
}

TEST(ZoomViewTest, OddSizesTruncateTheHalves)
{
    ZoomView view(7, 5);
    view.push(ZoomStep(3, 2, 1.0));
    EXPECT_EQ(view.toPlane(3, 2), Point(0.0, 0.0));
    EXPECT_EQ(view.toPlane(0, 0), Point(-3.0, -2.0));
    // with an odd height the top row is t = 0
    view.push(ZoomStep(3, 0, 1.0));
    EXPECT_EQ(view.toPlane(3, 2), Point(0.0, 2.0));
}

TEST(ZoomViewTest, ExtremePixelPositionsDoNotOverflow)
{
    const std::int32_t most = std::numeric_limits<std::int32_t>::max();
    const std::int32_t least = std::numeric_limits<std::int32_t>::min();
    ZoomView view(800, 600);
    view.push(ZoomStep(least, most, 1.0));
    EXPECT_EQ(view.toPlane(400, 300), Point(-2147483648.0 - 400.0, -(2147483647.0 - 300.0)));
}

} // namespace
} // namespace stavenwick
