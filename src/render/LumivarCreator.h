// The renderer: escape counts for every pixel, coloured by histogram equalisation inside colour
// ranges, written as a BMP file.
#pragma once

#include "image/Bitmap.h"
#include "image/ZeroedArray.h"
#include "render/RGB.h"
#include "render/ZoomStep.h"
#include "render/ZoomView.h"

#include <cstdint>
#include <string>
#include <vector>

namespace stavenwick {

class LumivarCreator {
public:
    // Throws a std::bad_alloc-family exception when the picture is too large for a BMP file.
    LumivarCreator(std::int32_t width, std::int32_t height);
    virtual ~LumivarCreator();

    LumivarCreator(const LumivarCreator&) = delete;
    LumivarCreator& operator=(const LumivarCreator&) = delete;

    // Appends a boundary at rangeEnd × ITERATION_LIMIT iterations with its colour. Boundaries
    // must end up at least two, strictly ascending, the last at least ITERATION_LIMIT.
    void addRange(double rangeEnd, const RGB& color);
    // The index of the colour range that holds count; counts at or past the last boundary are
    // in the last range. Stops the program when there are fewer than two boundaries.
    std::int32_t findRange(std::int32_t count) const;
    void pushZoom(const ZoomStep& step);
    // Computes and paints the picture, then writes it to fileName. Returns false, with errno
    // telling why, when the file was not written. Rendering again gives the same file.
    bool render(std::string fileName);

private:
    void checkRanges() const;
    void computeEscapeCounts();
    void computeRangeTotals();
    void paintPixels();
    bool saveImage(std::string fileName);

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
};

} // namespace stavenwick
