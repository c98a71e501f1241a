// A scene of one's own: the valley of seahorses between the set's main body and its largest
// bulb, 640×480, in blues and gold, written to seahorse.bmp.
#include <lumivar/Version.h>
#include <lumivar/image/FileError.h>
#include <lumivar/render/LumivarCreator.h>

#include <cstdio>

int main()
{
    stavenwick::LumivarCreator creator(640, 480); // width × 3 a multiple of 4: a conforming BMP

    // A range runs from its boundary to the next. A boundary is a fraction of the 1,000
    // iterations; there must be two at least, in ascending order, and counts at or past the
    // last fall in the last range. Points that never escape are painted black whatever the
    // ranges say.
    creator.addRange(0.0, stavenwick::RGB(0, 0, 40));
    creator.addRange(0.05, stavenwick::RGB(0, 90, 200));
    creator.addRange(0.2, stavenwick::RGB(255, 215, 0));
    creator.addRange(1.0, stavenwick::RGB(255, 255, 255));

    // The view starts 4.0 plane units wide, centred on the origin. A zoom step centres it on a
    // pixel (x from the left, y counted down from the top) and multiplies the plane units per
    // pixel by its scale: 0.02 zooms in fiftyfold.
    creator.pushZoom(stavenwick::ZoomStep(200, 224, 0.02));

    stavenwick::FileError error;
    if (!creator.render("seahorse.bmp", error)) {
        std::fprintf(stderr, "seahorse: cannot write seahorse.bmp: %s\n", error.message().c_str());
        return 1;
    }
    std::printf("seahorse.bmp written with lumivar %s\n", LUMIVAR_VERSION);
    return 0;
}
