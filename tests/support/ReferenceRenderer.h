// The whole picture worked out the plain way, pixel by pixel and sum by sum, as the yardstick
// for the renderer's file.
#pragma once

#include "app/Scene.h"

#include <vector>

namespace stavenwick::testing {

// The BMP file the scene should give, byte for byte.
std::vector<unsigned char> referenceBmp(const Scene& scene);

// The file LumivarCreator writes for the scene (rendered into a temporary directory).
std::vector<unsigned char> renderedBmp(const Scene& scene);

} // namespace stavenwick::testing
