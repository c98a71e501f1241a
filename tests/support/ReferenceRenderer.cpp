#include "support/ReferenceRenderer.h"

#include "render/LumivarCreator.h"
#include "render/Mandelbrot.h"
#include "render/ZoomView.h"
#include "support/TempDir.h"

#include <stdexcept>

namespace stavenwick::testing {

namespace {

constexpr int LIMIT = Mandelbrot::ITERATION_LIMIT;

int rangeOf(const std::vector<int>& bounds, int count)
{
    for (std::size_t k = 1; k < bounds.size(); ++k) {
        if (bounds[k] > count) {
            return static_cast<int>(k) - 1;
        }
    }
    return static_cast<int>(bounds.size()) - 2;
}

void put32(std::vector<unsigned char>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
}

} // namespace

std::vector<unsigned char> referenceBmp(const Scene& scene)
{
    const int w = scene.width;
    const int h = scene.height;
    const ZoomView view = scene.view();

    std::vector<int> counts(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::vector<int> histogram(LIMIT, 0);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const PlanePoint c = view.toPlane(x, y);
            const int n = Mandelbrot::escapeCount(c.re, c.im);
            counts[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                   static_cast<std::size_t>(x)] = n;
            if (n != LIMIT) {
                ++histogram[static_cast<std::size_t>(n)];
            }
        }
    }

    std::vector<int> bounds;
    std::vector<RGB> colors;
    for (const auto& range : scene.ranges) {
        bounds.push_back(static_cast<int>(range.end * 1000.0));
        colors.push_back(range.color);
    }
    std::vector<int> totals(bounds.size() - 1, 0);
    for (int i = 0; i < LIMIT; ++i) {
        totals[static_cast<std::size_t>(rangeOf(bounds, i))] +=
            histogram[static_cast<std::size_t>(i)];
    }

    const std::uint32_t rowSize = (static_cast<std::uint32_t>(w) * 3 + 3) / 4 * 4;
    std::vector<unsigned char> file = {'B', 'M'};
    put32(file, 54 + rowSize * static_cast<std::uint32_t>(h));
    put32(file, 0);
    put32(file, 54);
    for (std::uint32_t v : {40u, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)}) {
        put32(file, v);
    }
    file.insert(file.end(), {1, 0, 24, 0});
    for (std::uint32_t v : {0u, 0u, 2400u, 2400u, 0u, 0u}) {
        put32(file, v);
    }
    for (int y = 0; y < h; ++y) {
        std::size_t written = 0;
        for (int x = 0; x < w; ++x) {
            const int n = counts[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                                 static_cast<std::size_t>(x)];
            int rgb[3] = {0, 0, 0};
            if (n != LIMIT) {
                const auto r = static_cast<std::size_t>(rangeOf(bounds, n));
                int cumulative = 0;
                for (int i = bounds[r]; i <= n; ++i) {
                    cumulative += i >= 0 ? histogram[static_cast<std::size_t>(i)] : 0;
                }
                const RGB& start = colors[r];
                const RGB& end = colors[r + 1];
                const double spans[3] = {end.r - start.r, end.g - start.g, end.b - start.b};
                const double starts[3] = {start.r, start.g, start.b};
                for (int ch = 0; ch < 3; ++ch) {
                    rgb[ch] = static_cast<int>(static_cast<double>(cumulative) * spans[ch] /
                                                   static_cast<double>(totals[r]) +
                                               starts[ch]);
                }
            }
            file.push_back(static_cast<unsigned char>(rgb[2] & 0xFF));
            file.push_back(static_cast<unsigned char>(rgb[1] & 0xFF));
            file.push_back(static_cast<unsigned char>(rgb[0] & 0xFF));
            written += 3;
        }
        file.insert(file.end(), rowSize - written, 0);
    }
    return file;
}

std::vector<unsigned char> renderedBmp(const Scene& scene)
{
    LumivarCreator creator(scene.width, scene.height);
    scene.addRangesTo(creator);
    scene.pushZoomsTo(creator);
    TempDir dir;
    if (!creator.render(dir / "scene.bmp")) {
        throw std::runtime_error("render failed");
    }
    return readFile(dir / "scene.bmp");
}

} // namespace stavenwick::testing
