// Renders a small picture through the installed headers and library.
#include <lumivar/image/FileError.h>
#include <lumivar/render/LumivarCreator.h>

#include <cstdio>

int main()
{
    stavenwick::LumivarCreator creator(16, 12);
    creator.addRange(0.0, stavenwick::RGB(0, 0, 0));
    creator.addRange(1.0, stavenwick::RGB(255, 255, 255));
    stavenwick::FileError error;
    if (!creator.render("consumer.bmp", error)) {
        std::fprintf(stderr, "consumer: %s\n", error.message().c_str());
        return 1;
    }
    std::FILE* file = std::fopen("consumer.bmp", "rb");
    if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0 ||
        std::ftell(file) != 54 + 16 * 12 * 3) {
        std::fprintf(stderr, "consumer: consumer.bmp is not the picture\n");
        return 1;
    }
    std::fclose(file);
    return 0;
}
