// lumivar with Mandelbrot::escapeCount run point by point: the yardstick for the program's speed.
#include "app/Program.h"
#include "render/kernel/EscapeKernel.h"

int main()
{
    stavenwick::escapeKernel::select(stavenwick::escapeKernel::Path::Scalar);
    return stavenwick::runProgram();
}
