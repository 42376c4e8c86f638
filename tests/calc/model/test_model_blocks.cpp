// The model's support blocks: delays in steps, on the clock and in calls, their time limits at the
// edges of the 32-bit range, the integrator, debounces, low-pass, non-finite constants and the
// wide multiply.
#include "calc/model/rt_nonfinite.h"
#include "calc/model/util_simulink.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The outputs of a delay block over an input sequence.
template <class Block> std::vector<int> outputs(const std::vector<uint8_t>& inputs, Block block) {
    std::vector<int> out;
    for (uint8_t x : inputs) out.push_back(block(x));
    return out;
}

std::vector<uint8_t> repeat(uint8_t value, size_t n) {
    return std::vector<uint8_t>(n, value);
}

// First 1-based call in which the output is 1, 0 if none.
int firstOn(const std::vector<int>& out) {
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i]) return int(i + 1);
    return 0;
}

} // namespace

TEST(ModelBlocks, TimeLimitsAndWideMultiply) {
    const struct {
        float seconds;
        uint32_t limit;
    } limits[] = {{0.05f, 50},
                  {0.0f, 0},
                  {-1.0f, 0},
                  {kNaN, 0},
                  {4294967.0f, 4294967040u},
                  {4294967.296f, 0xFFFFFFFFu},
                  {kInf, 0xFFFFFFFFu}};
    for (const auto& l : limits) EXPECT_EQ(util_simulink_limitMs(l.seconds), l.limit) << l.seconds;

    EXPECT_EQ(mul_u32_loSR(13421773u, 1000u, 27), 100u);
    EXPECT_EQ(mul_u32_loSR(0xFFFFFFFFu, 0xFFFFFFFFu, 0), 1u);
    for (uint32_t a : {0u, 1u, 13421773u, 0x89ABCDEFu, 0xFFFFFFFFu})
        for (uint32_t b : {0u, 7u, 0x10000u, 0xFEDCBA98u, 0xFFFFFFFFu}) {
            uint32_t hi = 0, lo = 0;
            mul_wide_u32(a, b, &hi, &lo);
            EXPECT_EQ(uint64_t(hi) << 32 | lo, uint64_t(a) * b) << a << " x " << b;
            EXPECT_EQ(mul_u32_loSR(a, b, 27), uint32_t((uint64_t(a) * b) >> 27));
        }
}

TEST(ModelBlocks, StepDelaysSwitchAfterTheirTime) {
    auto on = [](float T, uint32_t timer = 0) {
        return [T, timer, out = uint8_t(0)](uint8_t x) mutable {
            util_simulink_turnOn(x, 1, T, &timer, &out);
            return int(out);
        };
    };
    EXPECT_EQ(firstOn(outputs(repeat(1, 60), on(0.05f))), 51);
    EXPECT_EQ(firstOn(outputs(repeat(1, 3), on(0.0f))), 1);
    EXPECT_EQ(firstOn(outputs(repeat(1, 3), on(-1.0f))), 1);
    EXPECT_EQ(firstOn(outputs(repeat(1, 3), on(0.05f, 0xFFFFFFFFu))), 1) << "an idle timer switches at once";

    auto off = [](float T) {
        return [T, timer = 0xFFFFFFFFu, out = uint8_t(0)](uint8_t x) mutable {
            util_simulink_turnOff(x, 1, T, &timer, &out);
            return int(out);
        };
    };
    std::vector<uint8_t> in = {1};
    for (int i = 0; i < 22; ++i) in.push_back(0);
    std::vector<int> want(21, 1);
    want.push_back(0);
    want.push_back(0);
    EXPECT_EQ(outputs(in, off(0.02f)), want) << "1 for 20 calls after the input falls, 0 on the 21st";
    EXPECT_EQ(outputs({2, 2, 1, 2}, off(0.0f)), (std::vector<int>{0, 0, 1, 0})) << "only exactly 1 is active";

    uint32_t timer = 0xFFFFFFF0u;
    uint8_t out = 0;
    util_simulink_turnOn(1, 100, kInf, &timer, &out);
    EXPECT_EQ(timer, 0xFFFFFFFFu) << "saturates instead of wrapping";
    EXPECT_EQ(out, 0);
}

TEST(ModelBlocks, ClockAndCountedDelays) {
    int32_t start = 0;
    uint8_t out = 0;
    util_simulink_turnOnAsyncAt(1000, 1, 0.05f, &start, &out);
    EXPECT_EQ(out, 0);
    util_simulink_turnOnAsyncAt(1049, 1, 0.05f, &start, &out);
    EXPECT_EQ(out, 0);
    util_simulink_turnOnAsyncAt(1050, 1, 0.05f, &start, &out);
    EXPECT_EQ(out, 1);
    start = -1;
    util_simulink_turnOffAsyncAt(2000, 0, 1.0f, &start, &out);
    EXPECT_EQ(out, 0) << "forced expired";

    uint32_t cnt = 0;
    std::vector<int> seen;
    for (uint8_t x : {1, 1, 1, 0, 1}) {
        util_simulink_turnOnN(x, 2, &cnt, &out);
        seen.push_back(out);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 0, 0}));

    // Vectors: a parameter array of one value serves every element.
    const uint8_t in[3] = {1, 1, 1};
    const float T[1] = {0.0f};
    uint32_t timers[3] = {};
    uint8_t outs[3] = {};
    util_simulink_turnOnVect(in, 1, T, timers, outs, 1, 3);
    EXPECT_EQ(outs[0] + outs[1] + outs[2], 3);
}

TEST(ModelBlocks, IntegratorDebouncesAndLowPass) {
    uint8_t first = 1;
    const uint8_t no = 0, yes = 1;
    const float zero = 0, gain = 1, upper = 10, resetTo = 50;
    float in = 4, out = 0;
    double state = 0;
    auto step = [&](uint8_t reset) {
        util_simulink_integratorK(&first, &reset, 1, &yes, 1, &resetTo, 1, &in, 1, &gain, 1, 1.0f, &zero, 1,
                                  &upper, 1, 3.0f, &out, &state);
        return out;
    };
    EXPECT_EQ(step(no), 3.0f) << "first call: the start value";
    EXPECT_EQ(step(no), 7.0f);
    EXPECT_EQ(step(no), 10.0f) << "held at the upper limit";
    EXPECT_EQ(step(yes), 10.0f) << "a reset value is limited too";
    in = -100;
    EXPECT_EQ(step(no), 0.0f);

    float timer = 0;
    int32_t dstate = 0, dout = 0;
    std::vector<int> seen;
    for (int32_t x : {5, 5, 5, 5, 0, 0, 0, 0}) {
        util_simulink_cmp_debounce(0.1f, 1, 0.15f, 5, x, &timer, &dstate, &dout);
        seen.push_back(dout);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 0, 5, 5, 5, 5, 0}))
        << "to the target after T + dt, away once it ran down";

    uint8_t lpFirst = 1;
    float y = 0;
    util_simulink_lowpass_t(&lpFirst, 0, 1, 1.0f, 0.1f, 0, 2.0f, 12.0f, &y);
    EXPECT_EQ(y, 2.0f);
    util_simulink_lowpass_t(&lpFirst, 0, 1, 1.0f, 0.1f, 0, 2.0f, 12.0f, &y);
    EXPECT_FLOAT_EQ(y, 3.0f);

    float rtimer = 0;
    int32_t stored = 0, rstate = 0;
    uint8_t outside = 0, valid = 0;
    util_simulink_sensordiagRT6(1, 1, 11.0f, 10.0f, 0.0f, 1, 2, 0.1f, 0.2f, &rtimer, &stored, &rstate,
                                &outside, &valid);
    EXPECT_EQ(rstate, 1);
    EXPECT_EQ(outside, 1);
    EXPECT_EQ(valid, 0);
}

TEST(ModelBlocks, NonFiniteConstants) {
    rt_InitInfAndNaN(sizeof(double));
    EXPECT_EQ(std::bit_cast<uint64_t>(rtNaN), 0xFFF8000000000000u);
    EXPECT_EQ(std::bit_cast<uint32_t>(rtNaNF), 0xFFC00000u);
    EXPECT_EQ(std::bit_cast<uint32_t>(rtMinusInfF), 0xFF800000u);
    EXPECT_TRUE(rtIsInf(rtMinusInf));
    EXPECT_TRUE(rtIsInfF(rtInfF));
    EXPECT_TRUE(rtIsNaN(rtNaN));
    EXPECT_TRUE(rtIsNaNF(std::bit_cast<float>(0x7F800001u)));
    EXPECT_FALSE(rtIsNaNF(rtInfF));
    EXPECT_FALSE(rtIsNaN(1.0));
}
