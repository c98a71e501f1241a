// The plain loop of each vector width, each in a file of its own built for its instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick::bench {

void plainSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n);
void plainAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n);
void plainAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n);

} // namespace stavenwick::bench
