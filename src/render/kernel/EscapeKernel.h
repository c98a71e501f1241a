// Escape counts of many points at once, on the widest vector unit this CPU offers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

// Every path gives exactly Mandelbrot::escapeCount for every point, NaN and infinities included.
enum class Path {
    Scalar,   // Mandelbrot::escapeCount itself, one point at a time: the yardstick
    Portable, // C++ on the compiler's generic vectors, for any CPU: several points in flight
    Sse2,     // x86 without AVX2
    Avx2,
    Avx512,
};

// counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, on the selected path.
void run(const double* re, const double* im, std::int32_t* counts, std::size_t n);
// The same on the given path; stops the program if this CPU cannot run it.
void run(Path path, const double* re, const double* im, std::int32_t* counts, std::size_t n);

bool supported(Path path);
// The widest path this CPU runs, decided once.
Path best();
// The path run() takes: best() unless select() chose another.
Path selected();
// Makes run() take path from now on (the benchmarks' scalar program compares against this);
// stops the program if this CPU cannot run it.
void select(Path path);
const char* name(Path path);

} // namespace stavenwick::escapeKernel
