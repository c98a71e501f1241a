#include "render/EscapeKernel.h"

#include "render/Assertion.h"
#include "render/EscapeKernelPaths.h"
#include "render/Mandelbrot.h"

namespace stavenwick {

void EscapeKernel::run(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    run(best(), re, im, counts, n);
}

void EscapeKernel::run(Path path, const double* re, const double* im, std::int32_t* counts,
                       std::size_t n)
{
    STAVENWICK_ASSERT(supported(path));
    switch (path) {
#ifdef LUMIVAR_X86_KERNELS
    case Path::Avx512:
        escapeKernel::runAvx512(re, im, counts, n);
        return;
    case Path::Avx2:
        escapeKernel::runAvx2(re, im, counts, n);
        return;
#endif
    case Path::Portable:
        escapeKernel::runPortable(re, im, counts, n);
        return;
    case Path::Scalar:
    default:
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = Mandelbrot::escapeCount(re[i], im[i]);
        }
        return;
    }
}

bool EscapeKernel::supported(Path path)
{
    switch (path) {
    case Path::Scalar:
    case Path::Portable:
        return true;
#ifdef LUMIVAR_X86_KERNELS
    // these also ask whether the operating system saves the wide registers
    case Path::Avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    case Path::Avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
#endif
    default:
        return false;
    }
}

EscapeKernel::Path EscapeKernel::best()
{
#ifdef LUMIVAR_BASELINE_SCALAR
    // the benchmarks' baseline build of the program: the plain loop
    return Path::Scalar;
#else
    static const Path path = supported(Path::Avx512) ? Path::Avx512
                             : supported(Path::Avx2) ? Path::Avx2
                                                     : Path::Portable;
    return path;
#endif
}

const char* EscapeKernel::name(Path path)
{
    switch (path) {
    case Path::Avx512:
        return "avx512";
    case Path::Avx2:
        return "avx2";
    case Path::Portable:
        return "portable";
    default:
        return "scalar";
    }
}

} // namespace stavenwick
