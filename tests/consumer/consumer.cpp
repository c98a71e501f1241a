// Renders a small picture through the installed headers and library, and checks it byte for
// byte against the picture the definition gives.
#include <lumivar/image/FileError.h>
#include <lumivar/render/LumivarCreator.h>

#include <cstdint>
#include <cstdio>

int main()
{
    stavenwick::LumivarCreator creator(16, 12);
    creator.addRange(0.0, stavenwick::RGB(0, 0, 0));
    creator.addRange(0.3, stavenwick::RGB(255, 0, 0));
    creator.addRange(1.0, stavenwick::RGB(255, 255, 255));
    stavenwick::FileError error;
    if (!creator.render("consumer.bmp", error)) {
        std::fprintf(stderr, "consumer: %s\n", error.message().c_str());
        return 1;
    }
    // FNV-1a of the whole file, and its size; the value the plain reference renderer gives
    std::FILE* file = std::fopen("consumer.bmp", "rb");
    std::uint64_t hash = 14695981039346656037u;
    long size = 0;
    for (int c = file != nullptr ? std::fgetc(file) : EOF; c != EOF; c = std::fgetc(file)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
        ++size;
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    if (size != 54 + 16 * 12 * 3 || hash != 0xa72461f3f3ad25fdu) {
        std::fprintf(stderr, "consumer: consumer.bmp is not the picture (%ld bytes, %016llx)\n",
                     size, static_cast<unsigned long long>(hash));
        return 1;
    }
    return 0;
}
