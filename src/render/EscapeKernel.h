// Escape counts of many points at once, on the widest vector unit this CPU offers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick {

// Every path gives exactly Mandelbrot::escapeCount for every point, NaN and infinities included.
class EscapeKernel {
public:
    enum class Path {
        Scalar,   // Mandelbrot::escapeCount itself, one point at a time: the yardstick
        Portable, // plain C++, several points in flight
        Avx2,
        Avx512,
    };

    // counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, on the best path.
    static void run(const double* re, const double* im, std::int32_t* counts, std::size_t n);
    // The same on the given path; stops the program if this CPU cannot run it.
    static void run(Path path, const double* re, const double* im, std::int32_t* counts,
                    std::size_t n);

    static bool supported(Path path);
    // The widest supported path, decided once.
    static Path best();
    static const char* name(Path path);
};

} // namespace stavenwick
