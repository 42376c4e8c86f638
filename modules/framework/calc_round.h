// Rounding of display values, bar lengths, alarm times and lap-model results: half away from
// zero, through a 32-bit integer. In its own namespace beside the C library's round().
#pragma once

namespace calc {

// x not below 0: x + 0.5 truncated to an unsigned 32-bit integer; negative x: x - 0.5 truncated to
// a signed 32-bit integer; returned as a double. Values beyond either range saturate; NaN gives 0.
double round(double x);

} // namespace calc
