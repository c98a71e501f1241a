#include "render/Mandelbrot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace stavenwick {
namespace {

constexpr std::int32_t LIMIT = Mandelbrot::ITERATION_LIMIT;

TEST(MandelbrotTest, CountsIterationsCompletedBeforeLeavingTheDisc)
{
    EXPECT_EQ(Mandelbrot::escapeCount(0, 0), LIMIT);
    EXPECT_EQ(Mandelbrot::escapeCount(3, 0), 0);
    EXPECT_EQ(Mandelbrot::escapeCount(1, 0), 2);
    EXPECT_EQ(Mandelbrot::escapeCount(0.5, 0), 4);
    EXPECT_EQ(Mandelbrot::escapeCount(0.26, 0), 29);
    EXPECT_EQ(Mandelbrot::escapeCount(0.25, 0), LIMIT); // creeps toward 0.5, never past
}

TEST(MandelbrotTest, ExactlyTwoIsStillInsideTheDisc)
{
    EXPECT_EQ(Mandelbrot::escapeCount(2, 0), 1);
    EXPECT_EQ(Mandelbrot::escapeCount(-2, 0), LIMIT); // settles at 2 and stays
    EXPECT_EQ(Mandelbrot::escapeCount(0, 2), 1);      // 2i, then -4 + 2i
    EXPECT_EQ(Mandelbrot::escapeCount(std::nextafter(2.0, 3.0), 0), 0);
}

TEST(MandelbrotTest, HugeAndNonFiniteInputsFollowHypot)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(Mandelbrot::escapeCount(1e300, 1e300), 0); // squares would overflow; hypot does not
    EXPECT_EQ(Mandelbrot::escapeCount(inf, 0), 0);
    EXPECT_EQ(Mandelbrot::escapeCount(0, -inf), 0);
    EXPECT_EQ(Mandelbrot::escapeCount(nan, inf), 0);   // hypot of an infinity and a NaN is infinite
    EXPECT_EQ(Mandelbrot::escapeCount(nan, 0), LIMIT); // NaN > 2 is false, every time
    EXPECT_EQ(Mandelbrot::escapeCount(1.5, 1.0), 1);
}

} // namespace
} // namespace stavenwick
