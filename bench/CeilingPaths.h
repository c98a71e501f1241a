// The ceiling of each vector width, each in a file of its own built for its instruction set.
#pragma once

#include <cstdint>

namespace stavenwick::bench {

// How the loop forms re·im + im·re and tests z (see Ceiling.h): ri + ri or ri · 2 with the
// ceiling's one compare, or ri + ri with the exact test of a kernel: the two compares of those
// on 16 registers, or AVX-512's held mag.
enum class Form { Sum, Product, TwoCounts, LastTest };

// The ceiling of one width at one number of vectors in flight: runs `steps` steps over points
// read from c, returns the sum of the counts. lanes() tells how many points a vector holds.
struct Ceiling {
    int vectors;
    Form form;
    std::int64_t (*run)(const double* c, std::int64_t steps);
};

struct CeilingWidth {
    int lanes;
    const Ceiling* ceilings; // each form from fewest to most vectors
    int count;
};

CeilingWidth ceilingSse2();
CeilingWidth ceilingAvx2();
CeilingWidth ceilingAvx512();

} // namespace stavenwick::bench
