#include "app/Scene.h"

namespace stavenwick {

Scene Scene::fixed()
{
    return {800,
            600,
            {{0.0, RGB(0, 0, 0)},
             {0.3, RGB(255, 0, 0)},
             {0.5, RGB(255, 255, 0)},
             {1.0, RGB(255, 255, 255)}},
            {ZoomStep(295, 202, 0.1), ZoomStep(312, 304, 0.1)}};
}

void Scene::addRangesTo(LumivarCreator& creator) const
{
    for (const Range& range : ranges) {
        creator.addRange(range.end, range.color);
    }
}

void Scene::pushZoomsTo(LumivarCreator& creator) const
{
    for (const ZoomStep& step : zooms) {
        creator.pushZoom(step);
    }
}

ZoomView Scene::view() const
{
    ZoomView view(width, height);
    view.push(ZoomView::initialStep(width, height));
    for (const ZoomStep& step : zooms) {
        view.push(step);
    }
    return view;
}

} // namespace stavenwick
