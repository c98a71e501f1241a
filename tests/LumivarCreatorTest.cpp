#include "render/LumivarCreator.h"
#include "support/ReferenceRenderer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace stavenwick {
namespace {

using testing::readFile;
using testing::referenceBmp;
using testing::renderedBmp;
using testing::TempDir;

const RGB BLACK(0, 0, 0);
const RGB RED(255, 0, 0);
const RGB YELLOW(255, 255, 0);
const RGB WHITE(255, 255, 255);

void addProgramRanges(LumivarCreator& creator)
{
    creator.addRange(0.0, BLACK);
    creator.addRange(0.3, RED);
    creator.addRange(0.5, YELLOW);
    creator.addRange(1.0, WHITE);
}

// The colour (red, green, blue) of pixel (x, y) of a saved file.
std::vector<int> pixelOf(const std::vector<unsigned char>& file, int width, int x, int y)
{
    const std::size_t rowSize = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
    const std::size_t at =
        54 + static_cast<std::size_t>(y) * rowSize + 3 * static_cast<std::size_t>(x);
    return {file[at + 2], file[at + 1], file[at]};
}

TEST(LumivarCreatorTest, FindRangePlacesCountsBetweenTheProgramsBoundaries)
{
    LumivarCreator creator(8, 8);
    addProgramRanges(creator);
    const std::pair<int, int> expected[] = {{0, 0},   {200, 0}, {299, 0},  {300, 1}, {499, 1},
                                            {500, 2}, {999, 2}, {1000, 2}, {5000, 2}};
    for (const auto& [count, range] : expected) {
        EXPECT_EQ(creator.findRange(count), range) << "count " << count;
    }
}

TEST(LumivarCreatorTest, RangeEndsAreTruncatedProducts)
{
    LumivarCreator creator(8, 8);
    creator.addRange(0.0, BLACK);
    creator.addRange(0.3, RED); // 0.3 × 1000.0 is exactly 300.0 in doubles: 300, not 299
    creator.addRange(1.0, WHITE);
    EXPECT_EQ(creator.findRange(299), 0);
    EXPECT_EQ(creator.findRange(300), 1);
}

TEST(LumivarCreatorTest, RangeEndsOutsideTheIntegersSaturateAndNaNGivesZero)
{
    LumivarCreator creator(8, 8);
    creator.addRange(-1.0, BLACK);
    creator.addRange(std::numeric_limits<double>::quiet_NaN(), RED); // boundary 0
    creator.addRange(1e300, YELLOW);                                 // the largest int
    creator.addRange(1e301, WHITE);
    EXPECT_EQ(creator.findRange(-1), 0);
    EXPECT_EQ(creator.findRange(0), 1);
    EXPECT_EQ(creator.findRange(2000000000), 1);
}

TEST(LumivarCreatorTest, FewerThanTwoBoundariesStopTheProgram)
{
    LumivarCreator creator(8, 8);
    EXPECT_DEATH(creator.findRange(0),
                 "assertion failed: range > -1 \\(src/render/LumivarCreator.cpp:");
    creator.addRange(0.0, BLACK);
    EXPECT_DEATH(creator.findRange(200), "assertion failed: range > -1");
    TempDir dir;
    EXPECT_DEATH(creator.render(dir / "out.bmp"), "assertion failed: range > -1");
    EXPECT_TRUE(dir.entries().empty());
}

TEST(LumivarCreatorTest, BoundariesOutOfOrderStopTheProgramBeforeAnythingIsWritten)
{
    for (const double middle : {0.7, 0.5, 0.0}) {
        LumivarCreator creator(8, 8);
        creator.addRange(0.0, BLACK);
        creator.addRange(0.5, RED);
        creator.addRange(middle, YELLOW); // after 0.5: descending or equal
        creator.addRange(0.6, WHITE);
        TempDir dir;
        EXPECT_DEATH(creator.render(dir / "out.bmp"),
                     "assertion failed: m_ranges\\[k - 1\\] < m_ranges\\[k\\]")
            << "middle " << middle;
        EXPECT_TRUE(dir.entries().empty());
    }
}

TEST(LumivarCreatorTest, OtherScenesMatchThePlainAlgorithm)
{
    const std::vector<Scene::Range> programRanges = Scene::fixed().ranges;
    const Scene scenes[] = {
        {7, 5, programRanges, {}},
        {33, 17, programRanges, {ZoomStep(10, 3, 0.25)}},
        {801, 3, programRanges, {ZoomStep(300, 2, 0.5)}},
        // points prepared in pieces (the pixels before the progress dots, then chunks) that end
        // inside a row
        {999, 17, programRanges, {ZoomStep(500, 8, 0.05)}},
        {7, 2400, programRanges, {ZoomStep(3, 1200, 0.004)}},
        // counts below a first boundary above 0 get the first range's start colour
        {41, 29, {{0.004, RED}, {0.01, YELLOW}, {1.0, WHITE}}, {}},
        // two boundaries only; colours that fall
        {64, 48, {{0.0, WHITE}, {1.0, RGB(0, 10, 200)}}, {ZoomStep(20, 30, 0.2)}},
        // a first boundary below 0: its range sums the histogram from count 0
        {23, 19, {{-0.05, RED}, {0.01, YELLOW}, {1.0, WHITE}}, {}},
    };
    for (const Scene& scene : scenes) {
        EXPECT_TRUE(renderedBmp(scene) == referenceBmp(scene))
            << scene.width << "x" << scene.height << " with " << scene.ranges.size()
            << " boundaries";
    }
}

TEST(LumivarCreatorTest, LastBoundaryBelowTheLimitHoldsTheHigherCounts)
{
    // boundaries end at 50 iterations: every higher count below the limit is in the last range
    const Scene scene{41, 29, {{0.0, BLACK}, {0.01, RED}, {0.02, YELLOW}, {0.05, WHITE}}, {}};
    EXPECT_TRUE(renderedBmp(scene) == referenceBmp(scene));
}

// Renders a 9×7 picture of the program's ranges (the first ending in firstEnd) after one zoom
// step; every pixel must have the colour given.
void expectEveryPixel(const ZoomStep& step, const std::vector<int>& rgb, const RGB& firstEnd = RED)
{
    LumivarCreator creator(9, 7);
    creator.addRange(0.0, BLACK);
    creator.addRange(0.3, firstEnd);
    creator.addRange(0.5, YELLOW);
    creator.addRange(1.0, WHITE);
    creator.pushZoom(step);
    TempDir dir;
    ASSERT_TRUE(creator.render(dir / "out.bmp"));
    const std::vector<unsigned char> file = readFile(dir / "out.bmp");
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 9; ++x) {
            EXPECT_EQ(pixelOf(file, 9, x, y), rgb) << "pixel (" << x << ", " << y << ")";
        }
    }
}

TEST(LumivarCreatorTest, PixelsThatNeverEscapeArePaintedBlack)
{
    // a tiny view of the origin: every count is at the limit, in the range that ends in white
    expectEveryPixel(ZoomStep(4, 3, 1e-6), {0, 0, 0});
}

TEST(LumivarCreatorTest, PixelsSharingTheirRangesOnlyCountGetItsEndColour)
{
    // a tiny view near c = 4 (9 pixels of 4/9 right of the centre): every pixel escapes at once,
    // count 0, in the black-to-red range
    expectEveryPixel(ZoomStep(4 + 9, 3, 1e-6), {255, 0, 0});
}

TEST(LumivarCreatorTest, ChannelsOutsideTheIntegersSaturateAndNaNGivesZero)
{
    // the low 8 bits of the largest int, of the smallest, and of 0
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expectEveryPixel(ZoomStep(4 + 9, 3, 1e-6), {255, 0, 0}, RGB(1e10, -1e10, nan));
}

TEST(LumivarCreatorTest, EachRenderStartsItsSumsAfresh)
{
    // a second render of another view must not carry the first one's histogram or totals
    const Scene scene{40, 30, Scene::fixed().ranges, {ZoomStep(12, 10, 0.3)}};
    LumivarCreator creator(scene.width, scene.height);
    scene.addRangesTo(creator);
    TempDir dir;
    ASSERT_TRUE(creator.render(dir / "first.bmp"));
    scene.pushZoomsTo(creator);
    ASSERT_TRUE(creator.render(dir / "second.bmp"));
    EXPECT_TRUE(readFile(dir / "second.bmp") == referenceBmp(scene));
}

// The progress line of a render: on standard output by default, or on the stream given,
// and then nothing on standard output.
std::string progressOf(std::int32_t width, std::int32_t height, bool ownStream = false)
{
    LumivarCreator creator(width, height);
    addProgramRanges(creator);
    TempDir dir;
    std::ostringstream stream;
    FileError error;
    ::testing::internal::CaptureStdout();
    const bool saved = ownStream ? creator.render(dir / "out.bmp", error, stream)
                                 : creator.render(dir / "out.bmp");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(saved);
    if (ownStream) {
        EXPECT_EQ(out, "");
        return stream.str();
    }
    return out;
}

TEST(LumivarCreatorTest, ProgressDotsComeOnceAfterThe5001stPixel)
{
    for (const bool ownStream : {false, true}) {
        SCOPED_TRACE(ownStream ? "a stream of the caller's" : "standard output");
        EXPECT_EQ(progressOf(8, 8, ownStream), "Compiling Please Wait.\n");
        EXPECT_EQ(progressOf(100, 50, ownStream), "Compiling Please Wait.\n");
        EXPECT_EQ(progressOf(5001, 1, ownStream), "Compiling Please Wait......\n");
        EXPECT_EQ(progressOf(71, 71, ownStream), "Compiling Please Wait......\n");
    }
}

TEST(LumivarCreatorTest, FailedSaveIsReportedWithItsReason)
{
    LumivarCreator creator(8, 8);
    addProgramRanges(creator);
    TempDir dir;
    FileError error;
    EXPECT_FALSE(creator.render(dir / "missing/out.bmp", error));
    EXPECT_EQ(error.code, std::errc::no_such_file_or_directory);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(LumivarCreatorTest, PicturesTooLargeForABmpFileFailLikeAnAllocation)
{
    EXPECT_THROW(LumivarCreator(100000, 100000), std::bad_alloc);
    EXPECT_THROW(LumivarCreator(0, 10), std::bad_alloc);
}

} // namespace
} // namespace stavenwick
