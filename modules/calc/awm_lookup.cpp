#include "calc/awm_lookup.h"

#include "framework/syslog.h"

namespace {

constexpr uint8_t kMaxLastIndex = 15;

} // namespace

void awm_0x02_lookup(float* out, const float* yValues, float x, const float* xValues, uint8_t lastIndex) {
    if (!out || !yValues || !xValues) return;
    if (lastIndex > kMaxLastIndex) lastIndex = kMaxLastIndex;
    if (lastIndex == 0) {
        *out = yValues[0];
        return;
    }
    // The segment that holds x; below the first or above the last point the end segment.
    unsigned lo = 0, hi = lastIndex;
    if (x <= xValues[0]) {
        hi = 1;
    } else if (x >= xValues[lastIndex]) {
        lo = lastIndex - 1u;
    } else {
        while (hi - lo > 1) {
            const unsigned mid = (lo + hi) / 2;
            if (x < xValues[mid])
                hi = mid;
            else
                lo = mid;
        }
    }
    const float dx = xValues[hi] - xValues[lo];
    if (dx == 0.0f) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "awm_0x02_lookup() invalid code path");
        *out = yValues[lo];
        return;
    }
    *out = yValues[lo] + (yValues[hi] - yValues[lo]) / dx * (x - xValues[lo]);
}
