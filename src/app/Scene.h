// A picture to render, described plainly: its size, its colour ranges and its zoom steps.
#pragma once

#include "render/LumivarCreator.h"
#include "render/RGB.h"
#include "render/ZoomStep.h"
#include "render/ZoomView.h"

#include <cstdint>
#include <vector>

namespace stavenwick {

struct Scene {
    struct Range {
        double end; // a fraction of the iteration limit
        RGB color;
    };

    // The program's picture: 800×600, black to red to yellow to white, two tenfold zooms.
    static Scene fixed();

    void addRangesTo(LumivarCreator& creator) const;
    void pushZoomsTo(LumivarCreator& creator) const;
    // The view a renderer of this scene ends with: its initial step, then the zooms.
    ZoomView view() const;

    std::int32_t width;
    std::int32_t height;
    std::vector<Range> ranges; // in the order added
    std::vector<ZoomStep> zooms;
};

} // namespace stavenwick
