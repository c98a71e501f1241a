// The points of the program's scene, shared by the kernel benchmarks, and the z updates their
// exact counts take: the work every benchmark of the escape-count pass is measured by.
#pragma once

#include "app/Scene.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"

#include <cstdint>
#include <vector>

namespace stavenwick::bench {

struct ScenePoints {
    std::vector<double> re;
    std::vector<double> im;
    std::int64_t iterations = 0;
};

inline const ScenePoints& scenePoints()
{
    static const ScenePoints points = [] {
        const Scene fixed = Scene::fixed();
        const ZoomView view = fixed.view();
        ScenePoints scene;
        for (std::int32_t y = 0; y < fixed.height; ++y) {
            for (std::int32_t x = 0; x < fixed.width; ++x) {
                const PlanePoint c = view.toPlane(x, y);
                scene.re.push_back(c.re);
                scene.im.push_back(c.im);
            }
        }
        std::vector<std::int32_t> counts(scene.re.size());
        escapeKernel::run(scene.re.data(), scene.im.data(), counts.data(), counts.size());
        for (const std::int32_t n : counts) {
            // a point that escapes after n full iterations took one more update to leave
            scene.iterations += n < Mandelbrot::ITERATION_LIMIT ? n + 1 : n;
        }
        return scene;
    }();
    return points;
}

} // namespace stavenwick::bench
