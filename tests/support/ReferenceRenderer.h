// The whole picture worked out the plain way, pixel by pixel and sum by sum, as the yardstick
// for the renderer's file.
#pragma once

#include "render/RGB.h"
#include "render/ZoomStep.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace stavenwick::testing {

struct Scene {
    std::int32_t width;
    std::int32_t height;
    std::vector<std::pair<double, RGB>> ranges; // (range end, colour), in the order added
    std::vector<ZoomStep> zooms;
};

// The program's own scene: 800×600, four ranges, two zoom steps.
Scene fixedScene();

// The BMP file the scene should give, byte for byte.
std::vector<unsigned char> referenceBmp(const Scene& scene);

// The file LumivarCreator writes for the scene (rendered into a temporary directory).
std::vector<unsigned char> renderedBmp(const Scene& scene);

} // namespace stavenwick::testing
