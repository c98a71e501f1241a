// The whole program: renders the fixed scene to test.bmp and reports on the console.
#pragma once

namespace stavenwick {

// Returns the exit status: 0 when the picture was written and reported, 1 otherwise.
int runProgram();

} // namespace stavenwick
