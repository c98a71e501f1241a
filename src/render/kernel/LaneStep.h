// What marks a step of the lane loop (LaneLoop.h) and of the Bodies it runs: a function of its
// own for the reader, not for the compiler. Each is inlined into the loop around it, so that the
// lanes' state never leaves the registers; a call would pass it through memory.
#pragma once

#if defined(__GNUC__)
#define LUMIVAR_LANE_STEP [[gnu::always_inline]] inline
#else
#define LUMIVAR_LANE_STEP inline
#endif
