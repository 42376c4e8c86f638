#include "framework/calc_round.h"

#include <cmath>
#include <cstdint>

namespace calc {

double round(double x) {
    if (std::isnan(x)) return 0.0;
    if (x >= 0) {
        const double r = x + 0.5;
        // Converting a double beyond the integer's range is undefined: saturate first.
        return r >= 4294967296.0 ? 4294967295.0 : static_cast<double>(static_cast<uint32_t>(r));
    }
    const double r = x - 0.5;
    return r <= -2147483649.0 ? -2147483648.0 : static_cast<double>(static_cast<int32_t>(r));
}

} // namespace calc
