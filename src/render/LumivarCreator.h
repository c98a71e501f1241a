// The renderer: escape counts for every pixel, coloured by histogram equalisation inside colour
// ranges, written as a BMP file.
#pragma once

#include "../common/ZeroedArray.h"
#include "../image/Bitmap.h"
#include "../image/FileError.h"
#include "RGB.h"
#include "ZoomStep.h"
#include "ZoomView.h"
#include <lumivar/LumivarExport.h>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace stavenwick {

class LUMIVAR_EXPORT LumivarCreator {
public:
    // Throws a std::bad_alloc-family exception when the picture is too large for a BMP file or
    // for this build's memory.
    LumivarCreator(std::int32_t width, std::int32_t height);
    virtual ~LumivarCreator();

    LumivarCreator(const LumivarCreator&) = delete;
    LumivarCreator& operator=(const LumivarCreator&) = delete;

    // Appends a boundary at rangeEnd × ITERATION_LIMIT iterations with its colour. Boundaries
    // must end up at least two and strictly ascending; counts at or past the last one fall in
    // the last range. A NaN rangeEnd gives the boundary 0; infinite ones saturate to the int32
    // range. A pixel's channel is start + share × (end − start) / total across its range,
    // truncated: outside 0–255 it keeps its low 8 bits, past ±2^31 it saturates, and NaN gives
    // 0. So an infinite channel gives 0 wherever the shading takes it from itself or multiplies
    // it by zero (a range that starts at infinity, the first count of a range), 255 or 0 where
    // it stays infinite.
    void addRange(double rangeEnd, const RGB& color);
    // The index of the colour range that holds count; counts at or past the last boundary are
    // in the last range. Stops the program when there are fewer than two boundaries.
    std::int32_t findRange(std::int32_t count) const;
    void pushZoom(const ZoomStep& step);
    // Computes and paints the picture, then writes it to fileName. Returns false, with the
    // reason in error, when the file was not written. Each render starts its sums afresh.
    // Throws std::bad_alloc, the earlier file untouched, when the file's bytes cannot be had.
    // The progress line goes to progress, or to standard output.
    bool render(std::string fileName, FileError& error, std::ostream& progress);
    bool render(std::string fileName, FileError& error);
    bool render(std::string fileName);

private:
    void checkRanges() const;
    void computeEscapeCounts(std::ostream& progress);
    void countPixels(std::size_t begin, std::size_t end);
    void addToHistogram(const std::int32_t* counts, std::size_t n);
    void computeRangeTotals();
    void paintPixels();
    bool saveImage(std::string fileName, FileError& error);

    std::int32_t m_width;
    std::int32_t m_height;
    Bitmap m_bitmap;
    ZoomView m_zoomView;
    // pixels that never escape are left out of the histogram: they are painted black
    ZeroedArray<std::int32_t> m_histogram;    // pixels per escape count below the limit
    ZeroedArray<std::int32_t> m_escapeCounts; // per pixel, at y × width + x
    std::vector<std::int32_t> m_ranges;       // boundaries, in iterations
    std::vector<RGB> m_colors;                // the colour at each boundary
    std::vector<std::int32_t> m_rangeTotals;  // pixels below the limit, per range
    bool m_gotFirstRange = false;
    ZeroedArray<double> m_columnReals; // the real part of each column's points
    ZeroedArray<double> m_points;      // the points of the pixels counted at a time
};

} // namespace stavenwick
