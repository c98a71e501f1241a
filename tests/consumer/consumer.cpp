// Renders a small picture through the installed headers and library (from a shared library of
// its own, where it is built with CMake), with a creator of a class of its own derived from the
// library's, and checks it byte for byte against the picture the definition gives; and that the
// headers' version is the package's.
#include <lumivar/Version.h>
#include <lumivar/render/LumivarCreator.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <typeinfo>

#if defined(CONSUMER_PICTURE)
int renderPicture(stavenwick::LumivarCreator& creator, const char* path);
#else
#include "picture.cpp"
#endif

namespace {

// Its base's vtable and type information are the library's; its destructor runs through the
// base's virtual one.
class LabelledCreator final : public stavenwick::LumivarCreator {
public:
    explicit LabelledCreator(bool& destroyed) : LumivarCreator(16, 12), m_destroyed(destroyed) {}
    ~LabelledCreator() override { m_destroyed = true; }

    LabelledCreator(const LabelledCreator&) = delete;
    LabelledCreator& operator=(const LabelledCreator&) = delete;

private:
    bool& m_destroyed;
};

} // namespace

static_assert(LUMIVAR_VERSION_MAJOR >= 1 && LUMIVAR_VERSION_MINOR >= 0 &&
                  LUMIVAR_VERSION_PATCH >= 0,
              "the version's parts are numbers");

int main()
{
    if (std::strcmp(LUMIVAR_VERSION, PACKAGE_VERSION) != 0) {
        std::fprintf(stderr, "consumer: headers of %s, package %s\n", LUMIVAR_VERSION,
                     PACKAGE_VERSION);
        return 1;
    }
    bool destroyed = false;
    std::unique_ptr<stavenwick::LumivarCreator> creator =
        std::make_unique<LabelledCreator>(destroyed);
    stavenwick::LumivarCreator& base = *creator;
    if (typeid(base) != typeid(LabelledCreator) ||
        dynamic_cast<LabelledCreator*>(&base) == nullptr) {
        std::fprintf(stderr, "consumer: the derived creator's type is lost\n");
        return 1;
    }
    if (renderPicture(base, "consumer.bmp") != 0) {
        std::fprintf(stderr, "consumer: consumer.bmp could not be written\n");
        return 1;
    }
    creator.reset();
    if (!destroyed) {
        std::fprintf(stderr, "consumer: the derived creator was not destroyed through its base\n");
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
