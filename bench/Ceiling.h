// A yardstick, not a code path: the ceiling of the escape loop's body on vectors of one width.
// Per step and vector, the definition's own arithmetic and nothing else: three products, the
// adds of z² + c and of re² + im², one compare with 4 counted into a register. re·im + im·re is
// formed as ri + ri (Form::Sum) or as ri · 2 (Form::Product, the same rounding of the same 2·ri):
// which is faster depends on how the CPU spreads adds and multiplies over its pipes, and the
// ceiling is the faster one. Every vector is independent and stays in registers; no point ever
// leaves, so there is nothing to refill or check. No exact loop can beat it.
//
// The kernels' own bodies, in the same loop: Form::TwoCounts, the exact test of the kernels on
// 16 registers (TwoCounts.h: the sum form, and two compares, against each edge of the band
// around 4, each counted), and Form::LastTest, AVX-512's (LastTest.h: a compare of the mag
// held from the last counted test, which then holds the new mag and counts, under that mask).
// Each is the most its kernel could reach, before any point leaves.
//
// Each width's file supplies Ops in an anonymous namespace and is built with the flags of the
// kernel path of that width. It shares no code with the kernel it judges.
#pragma once

#include "CeilingPaths.h"

#include <cstddef>
#include <cstdint>

namespace stavenwick::bench {

// Runs VECTORS vectors of points c (from c[0..], real parts then imaginary parts, one vector
// each) for `steps` steps; returns the sum of the counts, which no compiler can skip (with two
// counts, twice the tests).
template <class Ops, int VECTORS, Form FORM>
std::int64_t ceilingLoop(const double* c, std::int64_t steps)
{
    using Vec = typename Ops::Vec;
    using Count = typename Ops::Count;
    constexpr int LANES = Ops::LANES;
    Vec zr[VECTORS];
    Vec zi[VECTORS];
    Vec cr[VECTORS];
    Vec ci[VECTORS];
    Vec held[VECTORS]; // Form::LastTest's
    Count count[VECTORS];
    for (int v = 0; v < VECTORS; ++v) {
        const std::ptrdiff_t first = std::ptrdiff_t{2} * v * LANES;
        cr[v] = Ops::load(c + first);
        ci[v] = Ops::load(c + first + LANES);
        zr[v] = zi[v] = held[v] = Ops::zero();
        count[v] = Ops::noCount();
    }
    const Vec four = Ops::broadcast(4.0);
    const Vec lower = Ops::broadcast(4.0 - 0x1p-38); // the band's edges
    const Vec upper = Ops::broadcast(4.0 + 0x1p-38);
    Vec two = Ops::broadcast(2.0);
    // hidden from the compiler, which would turn ri · 2 back into ri + ri
    __asm__("" : "+x"(two));
    for (std::int64_t step = 0; step < steps; ++step) {
        for (int v = 0; v < VECTORS; ++v) {
            const Vec rr = Ops::mul(zr[v], zr[v]);
            const Vec ii = Ops::mul(zi[v], zi[v]);
            const Vec ri = Ops::mul(zr[v], zi[v]);
            const Vec mag = Ops::add(rr, ii);
            if constexpr (FORM == Form::TwoCounts) {
                count[v] = Ops::countIf(Ops::countIfAtOrBelow(count[v], mag, upper), mag, lower);
            } else if constexpr (FORM == Form::LastTest) {
                count[v] = Ops::countAndHoldIfBelow(count[v], held[v], mag, lower);
            } else {
                count[v] = Ops::countIf(count[v], mag, four);
            }
            zr[v] = Ops::add(Ops::sub(rr, ii), cr[v]);
            zi[v] = Ops::add(FORM == Form::Product ? Ops::mul(ri, two) : Ops::add(ri, ri), ci[v]);
        }
    }
    std::int64_t sum = 0;
    for (int v = 0; v < VECTORS; ++v) {
        sum += Ops::total(count[v]);
    }
    return sum;
}

} // namespace stavenwick::bench
