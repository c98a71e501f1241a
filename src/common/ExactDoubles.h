// Every double operation must be rounded on its own, as IEEE 754 double precision: the picture
// is to be byte-identical on every platform.
#pragma once

#include <cfloat>

// x87 arithmetic (32-bit x86 by default) keeps 80-bit intermediates and paints another picture;
// such targets are built with -msse2 -mfpmath=sse.
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must not use extended precision");
