// Non-finite constants of the generated model code and their tests. The constants are filled by
// rt_InitInfAndNaN at the model's initialisation, from fixed bit patterns.
#pragma once

#include <cstddef>

extern double rtInf;
extern double rtMinusInf;
extern double rtNaN;
extern float rtInfF;
extern float rtMinusInfF;
extern float rtNaNF;

double rtGetInf();      // bits 0x7FF0000000000000
double rtGetMinusInf(); // bits 0xFFF0000000000000
double rtGetNaN();      // bits 0xFFF8000000000000
float rtGetInfF();      // bits 0x7F800000
float rtGetMinusInfF(); // bits 0xFF800000
float rtGetNaNF();      // bits 0xFFC00000

// Fills the six constants; the size argument is not used.
void rt_InitInfAndNaN(size_t realSize);

bool rtIsInf(double value);
bool rtIsInfF(float value);
// Exponent bits all 1 and mantissa non-zero.
bool rtIsNaN(double value);
bool rtIsNaNF(float value);
