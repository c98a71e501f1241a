#include "app/Program.h"

#include "app/Scene.h"
#include "image/FileError.h"
#include "render/LumivarCreator.h"

#include <csignal>
#include <cstdint>
#include <iostream>
#include <new>

#ifdef _WIN32
#include <fcntl.h> // _O_BINARY
#include <io.h>    // _setmode
#endif

namespace stavenwick {

namespace {

int renderTheScene()
{
#ifdef SIGXFSZ
    // past a file size limit the write must fail and be reported, not kill the program mid-file
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#ifdef SIGPIPE
    // a reader that leaves early (lumivar | head -n1) must not stop the picture being saved;
    // the lost output is reported at the end
    std::signal(SIGPIPE, SIG_IGN);
#endif

#ifdef _WIN32
    // the console lines are the program's own bytes, "\n" included, not the C runtime's "\r\n"
    _setmode(_fileno(stdout), _O_BINARY);
#endif

    const Scene scene = Scene::fixed();
    LumivarCreator creator(scene.width, scene.height);
    scene.addRangesTo(creator);

    const std::int32_t range = creator.findRange(200);
    std::cout << "Range: " << range << std::endl;

    scene.pushZoomsTo(creator);

    const char* const fileName = "test.bmp";
    FileError error;
    if (!creator.render(fileName, error)) {
        // saved but not flushed still fails the run: whoever relies on the picture being kept
        // (before deleting what it came from, say) must not go on as if it were
        if (error.saved) {
            std::cerr << "lumivar: saved " << fileName << ", but " << error.message()
                      << " (it may not survive a crash)" << std::endl;
        } else {
            std::cerr << "lumivar: cannot write " << fileName << ": " << error.message()
                      << std::endl;
        }
        return 1;
    }

    std::cout << "Finished" << std::endl;
    if (!std::cout) {
        std::cerr << "lumivar: cannot write to standard output" << std::endl;
        return 1;
    }
    return 0;
}

} // namespace

int runProgram()
{
    try {
        return renderTheScene();
    } catch (const std::bad_alloc&) {
        // the buffers are allocated before the file is touched: the earlier picture stays
        std::cerr << "lumivar: out of memory" << std::endl;
        return 1;
    }
}

} // namespace stavenwick
