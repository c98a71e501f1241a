// The consumer's own shared library, which renders through lumivar linked into it.
#include <lumivar/render/LumivarCreator.h>

#if defined(_WIN32)
#define PICTURE_EXPORT __declspec(dllexport)
#else
#define PICTURE_EXPORT __attribute__((visibility("default")))
#endif

// Renders a small picture to path: 0, or 1 where it could not be written.
extern "C" PICTURE_EXPORT int renderPicture(const char* path)
{
    stavenwick::LumivarCreator creator(16, 12);
    creator.addRange(0.0, stavenwick::RGB(0, 0, 0));
    creator.addRange(0.3, stavenwick::RGB(255, 0, 0));
    creator.addRange(1.0, stavenwick::RGB(255, 255, 255));
    stavenwick::FileError error;
    return creator.render(path, error) ? 0 : 1;
}
