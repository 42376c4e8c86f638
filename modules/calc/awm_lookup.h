// Curve lookup of the calculation library: piecewise linear interpolation over up to 16 points,
// used by the display's brightness curves.
#pragma once

#include <cstdint>

// Interpolates x over the points 0..lastIndex (at most 15) of xValues (ascending) and yValues into
// *out. Outside the points the first or the last segment is extended. Two equal x values where a
// segment is needed are logged ("invalid code path") and give y of the lower point; a single point
// gives its y.
void awm_0x02_lookup(float* out, const float* yValues, float x, const float* xValues, uint8_t lastIndex);
