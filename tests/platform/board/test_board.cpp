// Board state: outputs remembered, inputs settable, nonsense refused, status bits, one-wire id.
#include "platform/board/board.h"
#include "platform/rtos/hostclock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace {

struct BoardTest : ::testing::Test {
    void SetUp() override { board_reset(); }
    void TearDown() override { board_reset(); }
};

} // namespace

TEST_F(BoardTest, OutputsAndInputsKeepWhatWasSetAndRefuseNonsense) {
    EXPECT_TRUE(board_pwmSet(0, 95.0f, 1000.0f));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(board_pwmSet(BOARD_PWM_CHANNELS, 50.0f, 100.0f));
    EXPECT_FALSE(board_pwmSet(0, 100.5f, 100.0f));
    EXPECT_FALSE(board_pwmSet(0, nan, 100.0f));
    EXPECT_FALSE(board_pwmSet(0, 50.0f, -1.0f));
    float duty = -1, freq = -1;
    ASSERT_TRUE(board_pwmGet(0, &duty, &freq)); // refusals changed nothing
    EXPECT_EQ(duty, 95.0f);
    EXPECT_EQ(freq, 1000.0f);

    EXPECT_TRUE(board_dinSet(8, 0x80)); // any non-zero level is high
    EXPECT_EQ(board_dinGet(8), 1);
    EXPECT_FALSE(board_dinSet(9, 1));
    EXPECT_EQ(board_dinGet(9), -1);
    EXPECT_TRUE(board_doutSet(16, 0xAB));
    EXPECT_EQ(board_doutGet(16), 0xAB);
    EXPECT_FALSE(board_doutSet(17, 1));
    EXPECT_EQ(board_doutGet(17), -1);
    board_setSupplyGood(false);
    EXPECT_FALSE(board_supplyGood());

    board_reset();
    ASSERT_TRUE(board_pwmGet(0, &duty, &freq));
    EXPECT_EQ(duty, 0.0f);
    EXPECT_EQ(board_doutGet(16), 0);
    EXPECT_EQ(board_dinGet(8), 0);
    EXPECT_TRUE(board_supplyGood());
}

// A task that the host runs late reads its input as it stood at its own time: each change of an
// input is stamped when it came, on the process's clock.
TEST_F(BoardTest, AnInputReadsAsItStoodAtATime) {
    hostclock_setManual(true);
    const uint64_t t0 = hostclock_nowNs();
    constexpr uint64_t kMs = 1000000;
    ASSERT_TRUE(board_dinSet(0, 1));
    hostclock_advanceMs(5);
    ASSERT_TRUE(board_dinSet(0, 0));
    hostclock_advanceMs(5);
    ASSERT_TRUE(board_dinSet(0, 1));
    hostclock_advanceMs(5);
    ASSERT_TRUE(board_dinSet(0, 7)); // no change: high stays high since t0 + 10 ms
    const struct {
        uint32_t input;
        uint64_t at;
        int level;
    } rows[] = {
        {0, t0 - kMs, 0},
        {0, t0, 1},
        {0, t0 + 4 * kMs, 1},
        {0, t0 + 5 * kMs, 0},
        {0, t0 + 9 * kMs, 0},
        {0, t0 + 10 * kMs, 1},
        {0, t0 + 1000 * kMs, 1},
        {1, t0, 0}, // never set
        {BOARD_DIGITAL_INPUTS, t0, -1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(board_dinGetAt(r.input, r.at), r.level)
            << "input " << r.input << " at t0 + " << (int64_t(r.at) - int64_t(t0)) / 1000 << " us";
    // The last 16 changes are kept, each read at its own time; a time before them reads the level
    // before the oldest of them.
    const uint64_t t1 = hostclock_nowNs();
    for (int i = 0; i < 40; ++i) {
        board_dinSet(2, i % 2 == 0);
        hostclock_advanceMs(1);
    }
    for (int i = 24; i < 40; ++i)
        EXPECT_EQ(board_dinGetAt(2, t1 + uint64_t(i) * kMs), i % 2 == 0 ? 1 : 0) << i;
    EXPECT_EQ(board_dinGetAt(2, t1), 0);
    EXPECT_EQ(board_dinGet(0), 1);
    hostclock_setManual(false);
}

TEST_F(BoardTest, StatusBitsFromManyTasksAreNeverLost) {
    board_setStatusLights(0x80000000u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            const uint32_t mine = 1u << t, other = 1u << (t + 8);
            for (int i = 0; i < 2000; ++i) {
                board_statusLightsSetBits(mine | other);
                board_statusLightsClearBits(other);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(board_statusLights(), 0x800000FFu);
}

TEST_F(BoardTest, OneWireIdCanBeSetAndMadeToFail) {
    uint8_t id[BOARD_ROM_ID_SIZE] = {};
    ASSERT_TRUE(board_owReadRomId(id));
    // The host chip's id carries a valid one-wire CRC-8 (x^8 + x^5 + x^4 + 1, reflected) in byte 7.
    uint8_t crc = 0;
    for (int i = 0; i < 7; ++i) {
        uint8_t b = id[i];
        for (int bit = 0; bit < 8; ++bit, b >>= 1)
            crc = ((crc ^ b) & 1) ? uint8_t((crc >> 1) ^ 0x8C) : uint8_t(crc >> 1);
    }
    EXPECT_EQ(id[7], crc);

    const uint8_t mine[BOARD_ROM_ID_SIZE] = {0x28, 1, 2, 3, 4, 5, 6, 7};
    board_owSetRomId(mine);
    board_owSetReadFailure(true);
    uint8_t untouched[BOARD_ROM_ID_SIZE] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(board_owReadRomId(untouched));
    EXPECT_EQ(untouched[0], 9);
    board_owSetReadFailure(false);
    ASSERT_TRUE(board_owReadRomId(id));
    EXPECT_EQ(0, std::memcmp(id, mine, sizeof id));
}
