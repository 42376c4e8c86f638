// The value rule of the gauges (dials, scales): a wanted value is limited to [min, max]; nothing
// changes for the value already shown, or for one beyond the bound the gauge already stands at.
#pragma once

#include <cstdint>

// True with the new value in `out` when the gauge's value changes.
inline bool GuiGaugeValue(int32_t current, int32_t min, int32_t max, int64_t wanted, int32_t* out) {
    if (wanted == current) return false;
    if ((wanted < min && current == min) || (wanted > max && current == max)) return false;
    *out = static_cast<int32_t>(wanted < min ? min : wanted > max ? max : wanted);
    return true;
}
