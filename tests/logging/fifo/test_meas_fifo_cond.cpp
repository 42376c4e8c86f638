// Condition FIFOs on hand-given time stamps: states around a change, checks before, between and
// past the entries, puts ahead of the time now, a device delay, a full ring; and the write counters
// with their rates on the hand-driven clock.
#include "logcfg_fixture.h"

#include "framework/time_util.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "measdata/seram.h"
#include "platform/rtos/hostclock.h"

using namespace logcfgtest;

namespace {

constexpr uint16_t OWN_PID = 16;

fifo_cond_request_t request(uint8_t n, uint16_t pid = OWN_PID, uint16_t delayMs = 0, uint8_t size = 1,
                            uint16_t raster = 2) {
    return {n, size, delayMs, raster, pid, uint16_t(100 + n), 0};
}

int put(uint32_t n, uint32_t t, uint8_t value) {
    const uint8_t record[5] = {uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t), value};
    return fifo_condition_put(n, record);
}

struct CondFifoTest : LogTest {
    void SetUp() override {
        LogTest::SetUp();
        fifo_condition_release_all();
        fifo_condition_init();
    }
    void TearDown() override {
        fifo_condition_release_all();
        LogTest::TearDown();
    }
};

} // namespace

TEST_F(CondFifoTest, RequestsAndReleases) {
    const struct {
        fifo_cond_request_t r;
        int result;
        const char* line;
    } rows[] = {
        {request(124), MF_ERR_COND_NUM, "fifo_cond_request BLK #224 for Fifo #124: MF_ERR_COND_NUM."},
        {request(3, OWN_PID, 0, 3), MF_ERR_TYPE, "fifo_cond_request BLK #103 for Fifo #3: MF_ERR_TYPE."},
        {request(3, OWN_PID, 0, 1, 3), MF_ERR_RASTER,
         "fifo_cond_request BLK #103 for Fifo #3: MF_ERR_RASTER."},
        {request(3), 0, nullptr},
        {request(3), MF_ERR_FIFO_IN_USE, "fifo_cond_request BLK #103 for Fifo#3: MF_ERR_FIFO_IN_USE."},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(fifo_condition_request(&r.r), r.result);
        if (r.line) {
            EXPECT_TRUE(contains(log(), r.line)) << r.line;
        }
    }
    EXPECT_EQ(fifo_condition_count(), 1u);
    EXPECT_EQ(fifo_condition_check(3, 10), MF_ERR_FIFO_EMPTY);
    // A missing FIFO is reported once, and its return once.
    EXPECT_EQ(fifo_condition_check(9, 10), MF_ERR_FIFO_INVALID);
    EXPECT_EQ(fifo_condition_check(9, 10), MF_ERR_FIFO_INVALID);
    EXPECT_EQ(put(9, 10, 1), MF_ERR_FIFO_INVALID);
    auto lines = log();
    EXPECT_EQ(testsupport::countContaining(lines, "fifo_condition_check Fifo #9: MF_ERR_FIFO_INVALID."), 1);
    EXPECT_TRUE(contains(lines, "fifo_condition_put Fifo #9: MF_ERR_FIFO_INVALID."));
    EXPECT_EQ(fifo_condition_request(&rows[3].r), MF_ERR_FIFO_IN_USE);
    const fifo_cond_request_t nine = request(9);
    ASSERT_EQ(fifo_condition_request(&nine), 0);
    EXPECT_EQ(fifo_condition_check(9, 10), MF_ERR_FIFO_EMPTY);
    EXPECT_TRUE(contains(log(), "fifo_condition_check Fifo #9: reset MF_ERR_FIFO_INVALID. error healed"));
    EXPECT_EQ(
        std::vector<int>({fifo_condition_release(9), fifo_condition_release(9), fifo_condition_release(124),
                          fifo_condition_check(124, 1), fifo_condition_check(3, 0xFFFFFFFF)}),
        (std::vector<int>{0, MF_ERR_FIFO_RELEASE, MF_ERR_COND_NUM, MF_ERR_COND_NUM, MF_ERR_TS_INVALID}));
    EXPECT_EQ(fifo_condition_count(), 1u);
}

TEST_F(CondFifoTest, EachTimeIsJudgedByTheConditionAtThatTime) {
    const fifo_cond_request_t r = request(5);
    ASSERT_EQ(fifo_condition_request(&r), 0);
    fifo_cond_set_curr_ts(100000);
    for (uint32_t t = 99000; t < 100000; t += 50) ASSERT_EQ(put(5, t, 0), 0);
    ASSERT_EQ(put(5, 100000, 1), 0); // 0 -> 1: the 200 units before it become uncertain
    const struct {
        uint32_t t;
        int state;
    } at[] = {{98999, MF_ERR_TS_TOO_OLD},
              {99000, 0},
              {99750, 0},
              {99790, 0},
              {99800, 2},
              {99950, 2},
              {99999, 2},
              {100000, 1}};
    for (const auto& a : at) EXPECT_EQ(fifo_condition_check(5, a.t), a.state) << a.t;

    // Past the newest entry: wait while it is under 200 ms old, then the condition has stopped.
    const struct {
        uint32_t now;
        int result;
    } later[] = {{100000, MF_ERR_TS_INVALID}, {101999, MF_ERR_TS_WAIT}, {102000, MF_ERR_COND_STOPPED}};
    for (const auto& l : later) {
        fifo_cond_set_curr_ts(l.now);
        EXPECT_EQ(fifo_condition_check(5, 100100), l.result) << l.now;
    }
    // A sample more than 100 ms ahead of the time now is refused and not stored; the tick's time of
    // a late logging task refuses nothing.
    hostclock_setManual(true);
    const uint32_t now = time_getTimestamp();
    fifo_cond_set_curr_ts(now - 5000);
    EXPECT_EQ(put(5, now + 1001, 0), MF_ERR_TS_INVALID);
    hostclock_setManual(false);
    fifo_cond_set_curr_ts(100000);
    EXPECT_EQ(put(5, 101000, 0), 0);
    fifo_cond_set_curr_ts(103000);
    EXPECT_EQ(fifo_condition_check(5, 101000), 0);
    EXPECT_EQ(fifo_condition_check(5, 100999), 1) << "the window before the 1 -> 0 change holds no entry";

    // A full ring drops its oldest entry.
    const fifo_cond_request_t full = request(7);
    ASSERT_EQ(fifo_condition_request(&full), 0);
    fifo_cond_set_curr_ts(50 * COND_FIFO_DEPTH + 1000);
    for (uint32_t i = 0; i <= COND_FIFO_DEPTH; ++i) ASSERT_EQ(put(7, 50 + 50 * i, i % 2), 0);
    EXPECT_EQ(fifo_condition_check(7, 50), MF_ERR_TS_TOO_OLD);
    EXPECT_EQ(fifo_condition_check(7, 100), 2);
    EXPECT_EQ(fifo_condition_check(7, 50 + 50 * COND_FIFO_DEPTH), int(COND_FIFO_DEPTH % 2));
}

TEST_F(CondFifoTest, DeviceDelayShiftsStoredStamps) {
    // Another device (window 400) 20 ms late: its stamps are stored 200 units earlier.
    const fifo_cond_request_t r = request(6, 33, 20);
    ASSERT_EQ(fifo_condition_request(&r), 0);
    fifo_cond_set_curr_ts(20000);
    EXPECT_EQ(put(6, 150, 1), 0) << "older than the delay: ignored";
    EXPECT_EQ(fifo_condition_check(6, 0), MF_ERR_FIFO_EMPTY);
    ASSERT_EQ(put(6, 500, 0), 0);
    EXPECT_EQ(fifo_condition_check(6, 299), MF_ERR_TS_TOO_OLD);
    EXPECT_EQ(fifo_condition_check(6, 300), 0);
    for (uint32_t t = 550; t <= 1000; t += 50) ASSERT_EQ(put(6, t, 0), 0);
    ASSERT_EQ(put(6, 1050, 1), 0); // stored at 850: the window reaches back to 450 in stored time
    EXPECT_EQ(std::vector<int>({fifo_condition_check(6, 400), fifo_condition_check(6, 450),
                                fifo_condition_check(6, 800), fifo_condition_check(6, 850)}),
              (std::vector<int>{0, 2, 2, 1}));
}

TEST_F(CondFifoTest, WriteCountersAndRates) {
    dataWriteCounts_t none{}, drive{}, usb{};
    meas_cnt_reference(&none, 1, 0);
    EXPECT_EQ(none.writes, nullptr);
    EXPECT_EQ(none.bytes, nullptr);
    meas_cnt_reference(&none, 0, 2);
    EXPECT_EQ(none.writes, nullptr);
    meas_cnt_reference(&drive, 2, 0);
    meas_cnt_reference(&usb, 0, 4);
    SeramSigPage& sig = seramSig();
    EXPECT_EQ(drive.writes, &sig.meas_cnt_int_arr[1]);
    EXPECT_EQ(usb.writes, &sig.meas_cnt_forked_arr[0]);

    hostclock_setManual(true);
    meas_cnt_update();
    meas_cnt_update(); // time stood: rates 0, counted from here
    const uint32_t writesBefore = sig.meas_cnt_int;
    meas_cnt_add(drive, 6000);
    meas_cnt_add(drive, 4000);
    meas_cnt_add(usb, 512);
    meas_cnt_add(none, 1); // counts nowhere
    hostclock_advanceBurstMs(1000);
    meas_cnt_update();
    EXPECT_EQ(std::vector<double>({double(sig.meas_write_rate_intern[1]), double(sig.meas_write_rate_usb[0]),
                                   double(sig.meas_write_rate_intern[0])}),
              (std::vector<double>{10000, 512, 0}));
    EXPECT_EQ(sig.meas_cnt_int, writesBefore + 2);
    hostclock_advanceBurstMs(500);
    meas_cnt_update();
    EXPECT_EQ(double(sig.meas_write_rate_intern[1]), 10000) << "kept until a second has passed";
    hostclock_advanceBurstMs(500);
    meas_cnt_update();
    EXPECT_EQ(double(sig.meas_write_rate_intern[1]), 0);
}
