// The kernel's vector paths, each in a file of its own built for its instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavenwick::escapeKernel {

void runPortable(const double* re, const double* im, std::int32_t* counts, std::size_t n);
#ifdef LUMIVAR_X86_KERNELS
void runSse2(const double* re, const double* im, std::int32_t* counts, std::size_t n);
void runAvx2(const double* re, const double* im, std::int32_t* counts, std::size_t n);
void runAvx512(const double* re, const double* im, std::int32_t* counts, std::size_t n);
#endif

} // namespace stavenwick::escapeKernel
