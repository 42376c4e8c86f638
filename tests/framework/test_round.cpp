// Rounding of display values and lap-model results: half away from zero through 32-bit integers.
#include <gtest/gtest.h>

#include <cmath>

#include "framework/calc_round.h"

TEST(CalcRound, HalfAwayFromZeroSaturatingAtTheIntegerRanges) {
    const struct {
        double x, want;
    } cases[] = {{2.5, 3},
                 {-2.5, -3},
                 {2.49, 2},
                 {-0.4, 0},
                 {0, 0},
                 {4294967294.6, 4294967295.0},
                 {1e10, 4294967295.0},
                 {-2147483648.4, -2147483648.0},
                 {-1e10, -2147483648.0},
                 {NAN, 0}};
    for (const auto& c : cases) EXPECT_EQ(calc::round(c.x), c.want) << c.x;
}
