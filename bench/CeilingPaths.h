// The ceiling of each vector width, each in a file of its own built for its instruction set.
#pragma once

#include <cstdint>

namespace stavenwick::bench {

// The ceiling of one width at one number of vectors in flight: runs `steps` steps over points
// read from c, returns the sum of the counts. lanes() tells how many points a vector holds.
struct Ceiling {
    int vectors;
    bool byProduct; // re·im + im·re as ri · 2 rather than ri + ri
    std::int64_t (*run)(const double* c, std::int64_t steps);
};

struct CeilingWidth {
    int lanes;
    const Ceiling* ceilings; // from fewest to most vectors
    int count;
};

CeilingWidth ceilingSse2();
CeilingWidth ceilingAvx2();
CeilingWidth ceilingAvx512();

} // namespace stavenwick::bench
