// lumivar: renders a zoomed-in view of the Mandelbrot set to test.bmp.

#include "render/LumivarCreator.h"
#include "render/RGB.h"
#include "render/ZoomStep.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

int main()
{
    using namespace stavenwick;

#ifdef SIGXFSZ
    // past a file size limit the write must fail and be reported, not kill the program mid-file
    std::signal(SIGXFSZ, SIG_IGN);
#endif

    LumivarCreator creator(800, 600);
    creator.addRange(0.0, RGB(0, 0, 0));
    creator.addRange(0.3, RGB(255, 0, 0));
    creator.addRange(0.5, RGB(255, 255, 0));
    creator.addRange(1.0, RGB(255, 255, 255));

    const std::int32_t range = creator.findRange(200);
    std::cout << "Range: " << range << std::endl;

    creator.pushZoom(ZoomStep(295, 202, 0.1));
    creator.pushZoom(ZoomStep(312, 304, 0.1));

    const char* const fileName = "test.bmp";
    if (!creator.render(fileName)) {
        const int error = errno;
        std::cerr << "lumivar: cannot write " << fileName << ": " << std::strerror(error)
                  << std::endl;
        return 1;
    }

    std::cout << "Finished" << std::endl;
    if (!std::cout) {
        std::cerr << "lumivar: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
