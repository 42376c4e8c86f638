#include "calc/model/rt_nonfinite.h"

#include <bit>
#include <cstdint>

double rtInf;
double rtMinusInf;
double rtNaN;
float rtInfF;
float rtMinusInfF;
float rtNaNF;

double rtGetInf() {
    return std::bit_cast<double>(uint64_t{0x7FF0000000000000});
}
double rtGetMinusInf() {
    return std::bit_cast<double>(uint64_t{0xFFF0000000000000});
}
double rtGetNaN() {
    return std::bit_cast<double>(uint64_t{0xFFF8000000000000});
}
float rtGetInfF() {
    return std::bit_cast<float>(uint32_t{0x7F800000});
}
float rtGetMinusInfF() {
    return std::bit_cast<float>(uint32_t{0xFF800000});
}
float rtGetNaNF() {
    return std::bit_cast<float>(uint32_t{0xFFC00000});
}

void rt_InitInfAndNaN(size_t) {
    rtNaN = rtGetNaN();
    rtNaNF = rtGetNaNF();
    rtInf = rtGetInf();
    rtInfF = rtGetInfF();
    rtMinusInf = rtGetMinusInf();
    rtMinusInfF = rtGetMinusInfF();
}

bool rtIsInf(double value) {
    return value == rtGetInf() || value == rtGetMinusInf();
}

bool rtIsInfF(float value) {
    return value == rtGetInfF() || value == rtGetMinusInfF();
}

bool rtIsNaN(double value) {
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    return (bits & 0x7FF0000000000000) == 0x7FF0000000000000 && (bits & 0x000FFFFFFFFFFFFF) != 0;
}

bool rtIsNaNF(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    return (bits & 0x7F800000) == 0x7F800000 && (bits & 0x007FFFFF) != 0;
}
