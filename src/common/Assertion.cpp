#include "common/Assertion.h"

#include <cstdio>
#include <cstdlib>

namespace stavenwick {

void assertionFailed(const char* expression, const char* file, int line)
{
    // stdio rather than iostreams: usable however broken the program's state is
    std::fprintf(stderr, "lumivar: assertion failed: %s (%s:%d)\n", expression, file, line);
    std::fflush(stderr);
    std::abort();
}

} // namespace stavenwick
