// Float-to-integer conversions of display values: truncation toward zero that saturates at the
// integer's range and gives 0 for NaN (a plain cast of such values is undefined).
#pragma once

#include <cmath>
#include <cstdint>

inline int32_t cdataTruncI32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

inline uint32_t cdataTruncU32(double v) {
    if (std::isnan(v) || v <= 0) return 0;
    if (v >= 4294967295.0) return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

// A rounded value (calc::round) as the unsigned word the verbal and character modes use: negative
// values keep their two's-complement form.
inline uint32_t cdataRoundedWord(double r) {
    return r < 0 ? static_cast<uint32_t>(cdataTruncI32(r)) : cdataTruncU32(r);
}

// Number of trailing zero bits of a mask; 0 for a mask of 0.
inline uint8_t cdataShiftOf(uint32_t mask) {
    if (mask == 0) return 0;
    uint8_t s = 0;
    for (; !(mask & 1u); mask >>= 1) ++s;
    return s;
}
