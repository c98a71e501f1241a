#include "render/LumivarCreator.h"

#include "common/Assertion.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <utility>

namespace stavenwick {

namespace {

constexpr std::int32_t LIMIT = Mandelbrot::ITERATION_LIMIT;
constexpr std::size_t PROGRESS_DOTS_AFTER = 5001; // pixels done when the progress dots go out
constexpr std::size_t CHUNK_PIXELS = std::size_t{1} << 14; // points prepared at a time
// the points array: real parts, then imaginary parts
constexpr std::size_t CHUNK_DOUBLES = 2 * CHUNK_PIXELS;

// Truncation toward zero, as a plain conversion gives wherever that is defined; values past
// either end saturate and NaN gives 0, where a plain conversion would be undefined.
std::int32_t truncateToInt(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    if (value <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

// The low 8 bits of the truncated channel value.
std::uint8_t channelByte(double value)
{
    return static_cast<std::uint8_t>(truncateToInt(value));
}

} // namespace

LumivarCreator::LumivarCreator(std::int32_t width, std::int32_t height)
    : m_width(width), m_height(height), m_bitmap(width, height), m_zoomView(width, height),
      m_histogram(LIMIT), m_escapeCounts(Bitmap::pixelCount(width, height)),
      m_columnReals(static_cast<std::size_t>(width)), m_points(CHUNK_DOUBLES)
{
    m_zoomView.push(ZoomView::initialStep(width, height));
}

LumivarCreator::~LumivarCreator() = default;

void LumivarCreator::addRange(double rangeEnd, const RGB& color)
{
    m_ranges.push_back(truncateToInt(rangeEnd * static_cast<double>(LIMIT)));
    m_colors.push_back(color);
    if (m_gotFirstRange) {
        m_rangeTotals.push_back(0);
    }
    m_gotFirstRange = true;
}

std::int32_t LumivarCreator::findRange(std::int32_t count) const
{
    std::int32_t range = 0;
    for (std::size_t i = 1; i < m_ranges.size(); ++i) {
        range = static_cast<std::int32_t>(i);
        if (m_ranges[i] > count) {
            break;
        }
    }
    range = range - 1;
    STAVENWICK_ASSERT(range > -1);
    STAVENWICK_ASSERT(static_cast<std::size_t>(range) < m_ranges.size());
    return range;
}

void LumivarCreator::pushZoom(const ZoomStep& step)
{
    m_zoomView.push(step);
}

bool LumivarCreator::render(std::string fileName, FileError& error, std::ostream& progress)
{
    checkRanges();
    computeEscapeCounts(progress);
    computeRangeTotals();
    paintPixels();
    return saveImage(std::move(fileName), error);
}

bool LumivarCreator::render(std::string fileName, FileError& error)
{
    return render(std::move(fileName), error, std::cout);
}

bool LumivarCreator::render(std::string fileName)
{
    FileError ignored;
    return render(std::move(fileName), ignored);
}

void LumivarCreator::checkRanges() const
{
    // fewer than two boundaries stops in findRange's own check
    findRange(0);
    for (std::size_t k = 1; k < m_ranges.size(); ++k) {
        STAVENWICK_ASSERT(m_ranges[k - 1] < m_ranges[k]);
    }
}

void LumivarCreator::computeEscapeCounts(std::ostream& progress)
{
    progress << "Compiling Please Wait." << std::flush;
    const std::size_t total = m_escapeCounts.size();
    for (std::int32_t x = 0; x < m_width; ++x) {
        m_columnReals[static_cast<std::size_t>(x)] = m_zoomView.real(x);
    }

    std::fill(m_histogram.get(), m_histogram.get() + LIMIT, 0);
    const std::size_t beforeDots = std::min(total, PROGRESS_DOTS_AFTER);
    countPixels(0, beforeDots);
    if (beforeDots == PROGRESS_DOTS_AFTER) {
        // the 5,001st pixel's own "." with "...." appended
        progress << "....." << std::flush;
    }
    countPixels(beforeDots, total);
    progress << '\n' << std::flush;
}

// The escape counts of pixels [begin, end) in storage order, y × width + x, bottom row first,
// and their histogram, a chunk at a time while its counts are at hand.
void LumivarCreator::countPixels(std::size_t begin, std::size_t end)
{
    const auto width = static_cast<std::size_t>(m_width);
    double* re = m_points.get();
    double* im = re + CHUNK_PIXELS;
    for (std::size_t first = begin; first < end; first += CHUNK_PIXELS) {
        const std::size_t n = std::min(CHUNK_PIXELS, end - first);
        // a row's points share their imaginary part, a column's their real part
        for (std::size_t i = 0; i < n;) {
            const std::size_t x = (first + i) % width;
            const auto y = static_cast<std::int32_t>((first + i) / width);
            const std::size_t run = std::min(width - x, n - i);
            std::copy_n(m_columnReals.get() + x, run, re + i);
            std::fill_n(im + i, run, m_zoomView.imaginary(y));
            i += run;
        }
        std::int32_t* counts = m_escapeCounts.get() + first;
        escapeKernel::run(re, im, counts, n);
        addToHistogram(counts, n);
    }
}

// Pixels that never escape are left out: they are painted black.
void LumivarCreator::addToHistogram(const std::int32_t* counts, std::size_t n)
{
    // two tallies taken in turn, so that runs of one count do not wait on one another, and
    // a slot for the limit, so that no branch sorts it out; a chunk's counts fit 16 bits
    static_assert(CHUNK_PIXELS <= 0xFFFF, "a tally of a chunk fits 16 bits");
    std::array<std::array<std::uint16_t, LIMIT + 1>, 2> tallies{};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        ++tallies[0][static_cast<std::size_t>(counts[i])];
        ++tallies[1][static_cast<std::size_t>(counts[i + 1])];
    }
    if (i < n) {
        ++tallies[0][static_cast<std::size_t>(counts[i])];
    }
    for (std::size_t c = 0; c < LIMIT; ++c) {
        m_histogram[c] += tallies[0][c] + tallies[1][c];
    }
}

void LumivarCreator::computeRangeTotals()
{
    std::fill(m_rangeTotals.begin(), m_rangeTotals.end(), 0);
    const std::size_t lastRange = m_rangeTotals.size() - 1;
    std::size_t range = 0;
    for (std::int32_t i = 0; i < LIMIT; ++i) {
        // counts at or past the last boundary stay in the last range, as findRange places them
        while (range < lastRange && i >= m_ranges[range + 1]) {
            ++range;
        }
        m_rangeTotals[range] += m_histogram[i];
    }
}

void LumivarCreator::paintPixels()
{
    // below[n]: pixels with a count under n, so any slice of the histogram sums in one step
    std::array<std::int64_t, LIMIT + 1> below{};
    for (std::int32_t n = 0; n < LIMIT; ++n) {
        below[n + 1] = below[n] + m_histogram[n];
    }

    // every pixel of one count gets the same colour: work out each colour once, as the bytes
    // blue, green, red (and a fourth, which the next pixel overwrites)
    std::array<std::array<std::uint8_t, 4>, LIMIT + 1> palette{}; // the limit stays black
    for (std::int32_t n = 0; n < LIMIT; ++n) {
        if (m_histogram[n] == 0) {
            continue; // no pixel to paint
        }
        const std::int32_t range = findRange(n);
        const auto r = static_cast<std::size_t>(range);
        const double rangeTotal = m_rangeTotals[r];
        const std::int32_t rangeStart = m_ranges[r];
        const RGB& start = m_colors[r];
        const RGB diff = m_colors[r + 1] - start;
        const std::int64_t cumulative =
            n < rangeStart ? 0 : below[n + 1] - below[std::max(rangeStart, 0)];
        const auto share = static_cast<double>(cumulative);
        palette[n] = {channelByte(share * diff.b / rangeTotal + start.b),
                      channelByte(share * diff.g / rangeTotal + start.g),
                      channelByte(share * diff.r / rangeTotal + start.r), 0};
    }

    // the rows lie one after the other: every pixel but the last takes four bytes at once
    const std::int32_t* count = m_escapeCounts.get();
    std::uint8_t* pixel = m_bitmap.pixels();
    const std::size_t last = m_escapeCounts.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        std::memcpy(pixel + 3 * i, palette[static_cast<std::size_t>(count[i])].data(), 4);
    }
    const auto& color = palette[static_cast<std::size_t>(count[last])];
    m_bitmap.putPixel(m_width - 1, m_height - 1, color[2], color[1], color[0]);
}

bool LumivarCreator::saveImage(std::string fileName, FileError& error)
{
    return m_bitmap.save(std::move(fileName), error);
}

} // namespace stavenwick
