// Loads the shared library named by its argument, closes it, and exits 0 only where it is gone
// from the process: nothing in it (a unique symbol, say) pins it after dlclose.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: unload LIBRARY\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || dlclose(library) != 0) {
        std::fprintf(stderr, "unload: %s\n", dlerror());
        return 2;
    }
    if (dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::fprintf(stderr, "unload: %s is still loaded after dlclose\n", argv[1]);
        return 1;
    }
    return 0;
}
