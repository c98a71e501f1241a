#include "render/kernel/EscapeKernel.h"

#include "common/Assertion.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelPaths.h"

#include <atomic>

namespace stavenwick::escapeKernel {

namespace {

std::atomic<Path>& chosen()
{
    static std::atomic<Path> path{best()};
    return path;
}

} // namespace

void run(const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    run(selected(), re, im, counts, n);
}

void run(Path path, const double* re, const double* im, std::int32_t* counts, std::size_t n)
{
    STAVENWICK_ASSERT(supported(path));
    switch (path) {
#ifdef LUMIVAR_X86_KERNELS
    case Path::Avx512:
        runAvx512(re, im, counts, n);
        return;
    case Path::Avx2:
        runAvx2(re, im, counts, n);
        return;
    case Path::Sse2:
        runSse2(re, im, counts, n);
        return;
#endif
    case Path::Portable:
        runPortable(re, im, counts, n);
        return;
    case Path::Scalar:
    default:
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = Mandelbrot::escapeCount(re[i], im[i]);
        }
        return;
    }
}

bool supported(Path path)
{
    switch (path) {
    case Path::Scalar:
    case Path::Portable:
        return true;
#ifdef LUMIVAR_X86_KERNELS
    case Path::Sse2:
        return __builtin_cpu_supports("sse2");
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

Path best()
{
    static const Path path = supported(Path::Avx512) ? Path::Avx512
                             : supported(Path::Avx2) ? Path::Avx2
                             : supported(Path::Sse2) ? Path::Sse2
                                                     : Path::Portable;
    return path;
}

Path selected()
{
    return chosen().load(std::memory_order_relaxed);
}

void select(Path path)
{
    STAVENWICK_ASSERT(supported(path));
    chosen().store(path, std::memory_order_relaxed);
}

const char* name(Path path)
{
    switch (path) {
    case Path::Avx512:
        return "avx512";
    case Path::Avx2:
        return "avx2";
    case Path::Sse2:
        return "sse2";
    case Path::Portable:
        return "portable";
    default:
        return "scalar";
    }
}

} // namespace stavenwick::escapeKernel
