// The consumer's own shared library, which renders through lumivar linked into it.
#include <lumivar/render/LumivarCreator.h>

#include <typeinfo>

#if defined(_WIN32)
#define PICTURE_EXPORT __declspec(dllexport)
#else
#define PICTURE_EXPORT __attribute__((visibility("default")))
#endif

// Renders a small picture of 16 × 12 pixels with creator, a consumer's class derived from the
// library's, to path: 0, 1 where it could not be written, 2 where creator's type is lost.
PICTURE_EXPORT int renderPicture(stavenwick::LumivarCreator& creator, const char* path)
{
    if (typeid(creator) == typeid(stavenwick::LumivarCreator)) {
        return 2;
    }
    creator.addRange(0.0, stavenwick::RGB(0, 0, 0));
    creator.addRange(0.3, stavenwick::RGB(255, 0, 0));
    creator.addRange(1.0, stavenwick::RGB(255, 255, 255));
    stavenwick::FileError error;
    return creator.render(path, error) ? 0 : 1;
}
