// Every kernel path must give exactly the counts of Mandelbrot::escapeCount, point for point.
#include "render/kernel/EscapeKernel.h"
#include "app/Scene.h"
#include "render/Mandelbrot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace stavenwick {
namespace escapeKernel {
// a failing case names its path
void PrintTo(Path path, std::ostream* out)
{
    *out << name(path);
}
} // namespace escapeKernel

namespace {

using escapeKernel::Path;

constexpr std::int32_t LIMIT = Mandelbrot::ITERATION_LIMIT;
constexpr std::int32_t UNWRITTEN = -7; // a count no path can give
// Under an emulator the large cases run on a sample: platform differences show on a few
// thousand points as well, and the picture's hash covers the whole scene there.
#ifdef LUMIVAR_SMALL_INPUTS
constexpr int SAMPLE = 37;
#else
constexpr int SAMPLE = 1;
#endif

struct Points {
    std::vector<double> re;
    std::vector<double> im;

    void add(double x, double y)
    {
        re.push_back(x);
        im.push_back(y);
    }
};

class EscapeKernelTest : public ::testing::TestWithParam<Path> {
protected:
    void SetUp() override
    {
        if (!escapeKernel::supported(GetParam())) {
            GTEST_SKIP() << "this CPU cannot run the " << escapeKernel::name(GetParam()) << " path";
        }
    }

    // Runs the path on the points and compares every count with the definition's. The kernel
    // must write exactly the n counts asked for, nothing before or after.
    void expectDefinitionCounts(const Points& points)
    {
        const std::size_t n = points.re.size();
        std::vector<std::int32_t> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
            expected[i] = Mandelbrot::escapeCount(points.re[i], points.im[i]);
        }
        // copies without spare capacity: AddressSanitizer sees a read past the last point
        const std::vector<double> re(points.re);
        const std::vector<double> im(points.im);
        std::vector<std::int32_t> counts(n + 2, UNWRITTEN);
        escapeKernel::run(GetParam(), re.data(), im.data(), counts.data() + 1, n);
        EXPECT_EQ(counts.front(), UNWRITTEN);
        EXPECT_EQ(counts.back(), UNWRITTEN);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (counts[i + 1] != expected[i] && ++mismatches <= 10) {
                ADD_FAILURE() << "point " << i << " c = (" << points.re[i] << ", " << points.im[i]
                              << "): " << counts[i + 1] << ", definition " << expected[i];
            }
        }
        EXPECT_EQ(mismatches, 0u) << "of " << n << " points";
    }
};

Points scenePoints()
{
    const Scene scene = Scene::fixed();
    const ZoomView view = scene.view();
    Points points;
    for (std::int32_t y = 0; y < scene.height; ++y) {
        for (std::int32_t x = y % SAMPLE; x < scene.width; x += SAMPLE) {
            const PlanePoint c = view.toPlane(x, y);
            points.add(c.re, c.im);
        }
    }
    return points;
}

TEST_P(EscapeKernelTest, FixedScene)
{
    const Points points = scenePoints();
    expectDefinitionCounts(points);
}

Points randomPoints()
{
    std::mt19937_64 random(20261207);
    std::uniform_real_distribution<double> wide(-2.5, 2.5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> exponent(-1074, 1023);
    Points points;
    for (int i = 0; i < 200000 / SAMPLE; ++i) {
        points.add(wide(random), wide(random) * 0.6);
    }
    // near the edge of the main cardioid, where counts run long and vary most
    for (int i = 0; i < 100000 / SAMPLE; ++i) {
        const double t = 6.283185307179586 * unit(random); // 2π
        const double r = 1.0 + (unit(random) - 0.5) * 1e-3;
        points.add(r * (0.5 * std::cos(t) - 0.25 * std::cos(2 * t)),
                   r * (0.5 * std::sin(t) - 0.25 * std::sin(2 * t)));
    }
    // every magnitude a double has, both signs
    for (int i = 0; i < 20000; ++i) {
        points.add(std::ldexp(wide(random), exponent(random)),
                   std::ldexp(wide(random), exponent(random)));
    }
    return points;
}

TEST_P(EscapeKernelTest, RandomPointsInAndAroundTheSet)
{
    const Points points = randomPoints();
    expectDefinitionCounts(points);
}

// One step z <- z² + c, each operation as the definition rounds it.
void step(double& re, double& im, double x, double y)
{
    const double newRe = re * re - im * im + x;
    im = re * im + im * re + y;
    re = newRe;
}

// z after k iterations from c.
std::pair<double, double> orbit(double x, double y, int k)
{
    double re = 0.0;
    double im = 0.0;
    for (int i = 0; i < k; ++i) {
        step(re, im, x, y);
    }
    return {re, im};
}

// Points c whose k-th iterate lies within a few ulps of |z| = 2: bisection along the ray
// through a random c, then the neighbouring doubles of the crossing.
Points pointsOnTheCircle(std::size_t rays)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> wide(-2.0, 2.0);
    Points points;
    for (std::size_t ray = 0; ray < rays; ++ray) {
        const double x = wide(random);
        const double y = wide(random) * 0.7;
        const std::int32_t n = Mandelbrot::escapeCount(x, y);
        if (n == LIMIT) {
            continue;
        }
        const int k = n + 1; // the iteration that leaves the disc
        auto outside = [&](double s) {
            const auto z = orbit(s * x, s * y, k);
            return std::hypot(z.first, z.second) > 2.0;
        };
        double in = 0.0; // z_k(0) = 0
        double out = 1.0;
        for (int step = 0; step < 80; ++step) {
            const double mid = 0.5 * (in + out);
            (outside(mid) ? out : in) = mid;
        }
        for (int dx = -3; dx <= 3; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                double px = out * x;
                double py = out * y;
                for (int i = 0; i < std::abs(dx); ++i) {
                    px = std::nextafter(px, dx > 0 ? 10.0 : -10.0);
                }
                for (int i = 0; i < std::abs(dy); ++i) {
                    py = std::nextafter(py, dy > 0 ? 10.0 : -10.0);
                }
                points.add(px, py);
            }
        }
    }
    return points;
}

// Whether some iterate of c has re² + im² within 2^-38 of 4, where the squares alone cannot
// decide.
bool reachesTheBand(double x, double y)
{
    double re = 0.0;
    double im = 0.0;
    for (int i = 0; i < LIMIT; ++i) {
        step(re, im, x, y);
        if (std::fabs(re * re + im * im - 4.0) <= 0x1p-38) {
            return true;
        }
        if (std::hypot(re, im) > 2.0) {
            return false;
        }
    }
    return false;
}

TEST_P(EscapeKernelTest, OrbitsThatLandWithinUlpsOfTheCircle)
{
    Points points = pointsOnTheCircle(3000);
    // z lands exactly on the circle: at 2 for c = 1 (second step) and c = 2 (first), and stays
    // there for c = -2
    for (const double x : {1.0, 2.0, -2.0}) {
        for (int ulps = -4; ulps <= 4; ++ulps) {
            double px = x;
            for (int i = 0; i < std::abs(ulps); ++i) {
                px = std::nextafter(px, ulps > 0 ? 10.0 : -10.0);
            }
            points.add(px, 0.0);
            points.add(0.0, px);
        }
    }
    std::size_t inBand = 0;
    for (std::size_t i = 0; i < points.re.size(); ++i) {
        inBand += reachesTheBand(points.re[i], points.im[i]) ? 1 : 0;
    }
    ASSERT_GT(inBand, points.re.size() / 2) << "the search must land in the band";
    expectDefinitionCounts(points);
}

TEST_P(EscapeKernelTest, PointsThatEscapeAroundTheLimit)
{
    // z's escape iteration with no limit in the way: the definition's count where that is
    // below the limit
    const auto escapeIteration = [](double x) {
        double re = 0.0;
        double im = 0.0;
        for (int n = 0; n < 2 * LIMIT; ++n) {
            const double newRe = re * re - im * im + x;
            im = re * im + im * re;
            re = newRe;
            if (std::hypot(re, im) > 2.0) {
                return n;
            }
        }
        return 2 * LIMIT;
    };
    // just right of the cusp at 0.25 a point takes about pi / sqrt(x - 0.25) iterations; each
    // near-limit point follows a few quick ones, so that lanes reach the limit out of step
    Points points;
    std::vector<int> found;
    for (double x = 0.25 + 9.6e-6; x < 0.25 + 1.03e-5; x += 1e-9) {
        const int n = escapeIteration(x);
        if (n >= LIMIT - 2 && n <= LIMIT + 2) {
            found.push_back(n);
            for (int quick = 0; quick < static_cast<int>(found.size() % 5); ++quick) {
                points.add(0.3 + 0.1 * quick, 0.0);
            }
            points.add(x, 0.0);
        }
    }
    for (int n = LIMIT - 2; n <= LIMIT + 2; ++n) {
        EXPECT_NE(std::find(found.begin(), found.end(), n), found.end()) << n;
    }
    expectDefinitionCounts(points);
}

TEST_P(EscapeKernelTest, SpecialValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double values[] = {0.0,   -0.0,    0.25,   -0.75, 2.0,   -2.0, 0.5,  1e-300, tiny, -tiny,
                             1e154, 1.4e154, -1e155, 1e200, 1e300, max,  -max, inf,    -inf, nan};
    Points points;
    for (const double x : values) {
        for (const double y : values) {
            points.add(x, y);
        }
    }
    expectDefinitionCounts(points);
}

TEST_P(EscapeKernelTest, LanesThatRunOnAfterLeavingOrVisitTheBand)
{
    // Each kind of point sits between points that never escape, so its lane waits for the
    // others and runs on for many steps after it has left.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Points kinds;
    for (int k = 36; k <= 60; k += 2) {
        // z = c ≈ -2, then ≈ 2: in the band for a few steps, then back inside for good (or,
        // just below -2, out)
        kinds.add(-2.0 + std::ldexp(1.0, -k), 0.0);
        kinds.add(-2.0 - std::ldexp(1.0, -k), 0.0);
        kinds.add(-2.0 + std::ldexp(1.0, -k), std::ldexp(1.0, -k - 20));
    }
    for (const double x : {2.5, 3.0, -5.0, 1e10, 1e100, 1e154, 1e300}) {
        kinds.add(x, 0.0); // leaves at once; z² overflows a few steps later, then turns NaN
        kinds.add(0.0, x);
    }
    kinds.add(0.3, 0.0); // leaves after a dozen steps, then overflows
    for (const double x : {nan, 0.0, 3.0, std::numeric_limits<double>::infinity()}) {
        kinds.add(nan, x); // NaN c: the definition never lets it escape, save with an infinity
        kinds.add(x, nan);
    }
    Points points;
    for (std::size_t i = 0; i < kinds.re.size(); ++i) {
        for (int inside = 0; inside < static_cast<int>(i % 11); ++inside) {
            points.add(-0.1, 0.05 * inside);
        }
        points.add(kinds.re[i], kinds.im[i]);
    }
    expectDefinitionCounts(points);
}

TEST_P(EscapeKernelTest, AnswersThatNeedMoreAmongPlainOnes)
{
    // Runs of points that all leave after one iteration finish at the same rounds, so their
    // answers are flushed side by side; one that needs more than its count (a NaN c, the
    // band, a count of 0) lands at every place of the four or eight decoded at once.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double others[][2] = {{nan, 0.0}, {0.0, nan}, {-2.0 - 0x1p-40, 0.0}, {3.0, 0.5}};
    Points points;
    for (const auto& other : others) {
        for (int place = 0; place < 17; ++place) {
            for (int i = 0; i < 17; ++i) {
                points.add(i == place ? other[0] : 1.5, i == place ? other[1] : 0.5);
            }
        }
    }
    expectDefinitionCounts(points);
}

TEST_P(EscapeKernelTest, BatchesOfAnySize)
{
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> wide(-2.2, 1.2);
    // around the points a round may take and read (10 portable, 12 SSE2, 24 AVX2, 32 AVX-512),
    // the staging buffer's flush (512 answers) and the slices the two counts' keys allow
    // (2^21 − 1)
    for (const std::size_t n : {0,
                                1,
                                2,
                                3,
                                5,
                                7,
                                8,
                                9,
                                10,
                                11,
                                12,
                                13,
                                15,
                                16,
                                17,
                                23,
                                24,
                                25,
                                31,
                                32,
                                33,
                                47,
                                48,
                                49,
                                63,
                                64,
                                65,
                                95,
                                96,
                                97,
                                100,
                                127,
                                129,
                                511,
                                512,
                                513,
                                577,
                                600,
                                1001,
                                1040,
                                (1 << 21) - 2,
                                (1 << 21) + 2}) {
        Points points;
        for (std::size_t i = 0; i < n; ++i) {
            // every third point never escapes, so lanes finish at very different times; far
            // into the long batches, points leave at once but around the slices' edge
            const bool near = i < 2000 || (i > (1 << 21) - 80 && i < (1 << 21) + 80);
            if (!near) {
                points.add(3.0 + 1e-6 * static_cast<double>(i % 1000), 0.5);
            } else if (i % 3 == 0) {
                points.add(-0.1, 0.1 * wide(random) / 2.2);
            } else {
                points.add(wide(random), wide(random));
            }
        }
        SCOPED_TRACE("batch of " + std::to_string(n));
        expectDefinitionCounts(points);
    }
    // every point leaves at once, so every lane takes a point at every round: at the tail, a
    // round may find any number of points left
    for (std::size_t n = 100; n < 100 + 48; ++n) {
        Points points;
        for (std::size_t i = 0; i < n; ++i) {
            points.add(3.0, 0.5);
        }
        SCOPED_TRACE("batch of " + std::to_string(n) + " that leave at once");
        expectDefinitionCounts(points);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPath, EscapeKernelTest,
                         ::testing::Values(Path::Scalar, Path::Portable, Path::Sse2, Path::Avx2,
                                           Path::Avx512),
                         [](const ::testing::TestParamInfo<Path>& path) {
                             return std::string(escapeKernel::name(path.param));
                         });

TEST(EscapeKernelDispatchTest, BestPathIsTheWidestThisCpuRuns)
{
    const Path best = escapeKernel::best();
    EXPECT_TRUE(escapeKernel::supported(best));
    EXPECT_NE(best, Path::Scalar);
    if (escapeKernel::supported(Path::Avx512)) {
        EXPECT_EQ(best, Path::Avx512);
    } else if (escapeKernel::supported(Path::Avx2)) {
        EXPECT_EQ(best, Path::Avx2);
    } else if (escapeKernel::supported(Path::Sse2)) {
        EXPECT_EQ(best, Path::Sse2);
    }
    EXPECT_EQ(escapeKernel::selected(), best);
    std::printf("escape kernel path on this CPU: %s\n", escapeKernel::name(best));
    // the paths whose cases were skipped, said where a log keeps it
    std::string unable;
    for (const Path path : {Path::Sse2, Path::Avx2, Path::Avx512}) {
        if (!escapeKernel::supported(path)) {
            unable += std::string(" ") + escapeKernel::name(path);
        }
    }
    std::printf("escape kernel paths this CPU cannot run:%s\n",
                unable.empty() ? " none" : unable.c_str());
}

} // namespace
} // namespace stavenwick
