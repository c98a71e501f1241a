// lumivar: renders a zoomed-in view of the Mandelbrot set to test.bmp.
#include "app/Program.h"

int main()
{
    return stavenwick::runProgram();
}
