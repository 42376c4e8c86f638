// Block FIFOs on the hand-driven clock: requests refused and depths chosen, puts and gets with the
// data delay, repeated, early and late time stamps, a full ring with its load peak and error report,
// late signals put back into their sample, the two recording rates of a condition, and releases
// while puts run.
#include "logcfg_fixture.h"

#include "bytes.h"

#include "framework/board_io.h"
#include "framework/time_util.h"
#include "logging/fifo/meas_fifo_data.h"
#include "measdata/seram.h"

#include <atomic>
#include <thread>

using namespace logcfgtest;

namespace {

constexpr uint16_t OWN_PID = 16;

fifo_data_request_t request(uint16_t n, uint16_t raster, std::vector<uint8_t> widths,
                            std::vector<uint16_t> latencies = {}, uint16_t a = 1, uint16_t b = 1,
                            uint8_t cond = 0) {
    fifo_data_request_t r{};
    r.fifoNo = n;
    r.signalCount = uint16_t(widths.size());
    for (size_t i = 0; i < widths.size() && i < DATA_FIFO_MAX_SIGNALS; ++i) r.widths[i] = widths[i];
    for (size_t i = 0; i < latencies.size(); ++i) r.latencies[i] = latencies[i];
    r.raster = raster;
    r.factorA = a;
    r.factorB = b;
    r.condNo = cond;
    r.pid = OWN_PID;
    r.blockNo = uint16_t(100 + n);
    return r;
}

// A sample of one 4-byte and one 1-byte signal.
std::vector<uint8_t> sample(uint32_t ts, uint32_t big, uint8_t small) {
    std::vector<uint8_t> s;
    testsupport::put32(s, ts);
    testsupport::put32(s, big);
    s.push_back(small);
    return s;
}

int put(uint16_t n, const std::vector<uint8_t>& s) {
    return fifo_data_put(n, s.data(), uint32_t(s.size()));
}

struct Taken {
    int result;
    uint32_t ts, big;
    uint8_t small;
};

Taken get(uint16_t n, bool holdBack = false) {
    uint8_t dest[9] = {};
    uint32_t ts = 0;
    const int r = fifo_data_get(n, dest, holdBack, &ts);
    return {r, ts, testsupport::get32(dest + 4), dest[8]};
}

struct DataFifoTest : LogTest {
    void SetUp() override {
        LogTest::SetUp();
        fifo_data_release_all();
        fifo_condition_release_all();
        fifo_data_time_resync(false);
        cal().DATADELAY = 300;
        cal().MEAS_APP_DEBUG = 0;
        hostclock_setManual(true);
    }
    void TearDown() override {
        fifo_data_release_all();
        fifo_condition_release_all();
        cal().MEAS_APP_DEBUG = 0;
        LogTest::TearDown();
    }
    static SeramCalData& cal() { return seramCalPage(SERAM_PAGE_REFERENCE); }
    // The logging clock of this cycle.
    uint32_t tick(uint32_t ms) {
        hostclock_advanceMs(ms);
        const uint32_t now = time_getTimestamp();
        fifo_data_set_curr_ts(now);
        fifo_cond_set_curr_ts(now);
        return now;
    }
};

} // namespace

TEST_F(DataFifoTest, RequestsAndDepths) {
    cal().MEAS_APP_DEBUG = 1;
    const std::vector<uint8_t> w3(513, 1);
    const struct {
        fifo_data_request_t r;
        int result;
        const char* line;
    } rows[] = {
        {request(500, 3, {4}), MF_ERR_FIFO_INVALID,
         "fifo_data_request BLK #600 for Fifo #500: MF_ERR_FIFO_INVALID."},
        {request(1, 3, {4, 3}), MF_ERR_TYPE, "fifo_data_request BLK #101 for Fifo #1: MF_ERR_TYPE."},
        {request(1, 3, w3), MF_ERR_TYPE, "fifo_data_request BLK #101 for Fifo #1: MF_ERR_TYPE."},
        {request(1, 13, {4}), MF_ERR_RASTER, "fifo_data_request BLK #101 for Fifo #1: MF_ERR_RASTER 0xD."},
        {request(1, 11, {4}, {2}), MF_ERR_RASTER, "MF_ERR_RASTER 0xB."},
        {request(1, 3, {4}, {}, 0, 0), MF_ERR_RASTER, "MF_ERR_RASTER 0x3."},
        // The slot refused above is free.
        {request(1, 9, {4}), 0,
         "BLK #101, Fifo #1, Raster 1s, PID 0x10, Latency_max 0, 32 deep for 32000 ms"},
        {request(1, 9, {4}), MF_ERR_FIFO_IN_USE,
         "fifo_data_request BLK #101 for Fifo #1: MF_ERR_FIFO_IN_USE."},
        {request(2, 0, {4}), 0,
         "BLK #102, Fifo #2, Raster 1ms, PID 0x10, Latency_max 0, 2048 deep for 2048 ms"},
        {request(3, 11, {4}, {}, 0, 0), 0, "BLK #103, Fifo #3, Raster Lap, PID 0x10, Latency_max 0, 32 deep"},
        {request(4, 3, {1}, {20}), 0, "Latency_max 20, 256 deep for 2560 ms"},
        {request(5, 16, {4, 2, 1}), 0, "Raster R:0x10, PID 0x10, Latency_max 0, 2048 deep"},
        // 512 four-byte signals of 200 samples in 2048 slots: far more than a FIFO may hold.
        {request(6, 14, std::vector<uint8_t>(512, 4)), MF_ERR_MEM_ALLOC,
         "MF_ERR_MEM_ALLOC (2048 slots of 409604"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(fifo_data_request(&r.r), r.result) << r.line;
        EXPECT_TRUE(contains(log(), r.line)) << r.line;
    }
    EXPECT_EQ(fifo_data_record_size(5), 4 + 7 * 20); // a burst record holds 20 samples of each signal
    EXPECT_EQ(fifo_data_count(), 5u);

    // Deeper for a longer data delay, until the ring covers twice the delay; never beyond a u16 count.
    cal().DATADELAY = 1500;
    const fifo_data_request_t deeper = request(7, 0, {4});
    EXPECT_EQ(fifo_data_request(&deeper), 0);
    auto lines = log();
    EXPECT_TRUE(contains(lines, "BLK #107, Fifo #7 was not deep enough for Laptrigger delay (2 x 1500 ms)"));
    EXPECT_TRUE(contains(lines, "Old depth: 2048 for 2048 ms"));
    EXPECT_TRUE(contains(lines, "New depth: 4096 for 4096 ms"));
    cal().DATADELAY = 65535;
    const fifo_data_request_t tooDeep = request(8, 0, {4});
    EXPECT_EQ(fifo_data_request(&tooDeep), MF_ERR_MEM_ALLOC);
    EXPECT_EQ(std::vector<int>({fifo_data_release(7), fifo_data_release(7), fifo_data_release(8)}),
              std::vector<int>({0, MF_ERR_FIFO_RELEASE, MF_ERR_FIFO_RELEASE}));
    EXPECT_TRUE(contains(log(), "BLK #107, Fifo #7 released, Raster 1ms, PID 0x10"));
}

TEST_F(DataFifoTest, PutAndGetOnTheLoggingClock) {
    const fifo_data_request_t r = request(9, 3, {4, 1});
    ASSERT_EQ(fifo_data_request(&r), 0);
    const uint32_t t0 = tick(1000);
    EXPECT_EQ(put(9, sample(t0, 0xA1A2A3A4, 1)), 0);
    EXPECT_EQ(put(9, sample(t0, 0xA1A2A3A4, 1)), 0); // the same sample again: dropped, no error
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(put(9, sample(t0 + 2000, 3, 3)), MF_ERR_TS_INVALID); // 0.2 s ahead
    EXPECT_EQ(put(9, sample(t0 + 100, 4, 4)), 0);
    EXPECT_EQ(put(9, sample(t0 - 500, 5, 5)), 0); // older: kept, reported
    EXPECT_TRUE(contains(log(), "TS-Err BLK #109, Fifo #9, Cnt: 2 PID: 0x10"));
    auto shortSample = sample(t0 + 200, 6, 6);
    shortSample.pop_back();
    EXPECT_EQ(put(9, shortSample), MF_ERR_TYPE);
    EXPECT_EQ(put(10, sample(t0, 1, 1)), MF_ERR_FIFO_INVALID);
    EXPECT_TRUE(contains(log(), "fifo_data_put Fifo #10: MF_ERR_FIFO_INVALID."));

    // Held back by the data delay of 300 ms; then taken in order, the old stamp last.
    tick(200);
    EXPECT_EQ(get(9, true).result, MF_ERR_TS_WAIT);
    tick(200);
    const Taken a = get(9, true), b = get(9, true), c = get(9, true), none = get(9, true);
    EXPECT_EQ(std::vector<uint32_t>({uint32_t(a.result), a.ts, a.big, a.small}),
              std::vector<uint32_t>({9, t0, 0xA1A2A3A4, 1}));
    EXPECT_EQ(std::vector<uint32_t>({b.ts, b.big, c.ts, c.big}),
              std::vector<uint32_t>({t0 + 100, 4, t0 - 500, 5}));
    EXPECT_EQ(none.result, MF_ERR_NO_SAMPLE);
    uint32_t ts = 0;
    EXPECT_EQ(fifo_data_get(9, nullptr, false, &ts), MF_ERR_MEM_DEST);

    // A sample stamped later than the logging clock waits, unless the clock was just set anew.
    const uint32_t now = tick(1);
    EXPECT_EQ(put(9, sample(now + 50, 7, 7)), 0);
    EXPECT_EQ(get(9).result, MF_ERR_TS_WAIT);
    EXPECT_TRUE(contains(log(), "Localtime is older than datatime BLK #109, Fifo #9!"));
    fifo_data_time_resync(true);
    EXPECT_EQ(get(9).big, 7u);

    // Full: 256 slots for 10 ms (2.56 s); the error report and the load peak of the 10 ms raster.
    meas_fifo_data_init_load_vars();
    for (uint32_t i = 1; i <= 256; ++i) ASSERT_EQ(put(9, sample(now + 50 + i, i, 0)), 0) << i;
    EXPECT_EQ(put(9, sample(now + 400, 0, 0)), MF_ERR_FIFO_FULL);
    EXPECT_EQ(seramSig().fifo_full_ctr, 1u);
    meas_fifo_data_update_load_vars();
    EXPECT_EQ(seramSig().fifo_load_max_R10ms, 100);
    meas_fifo_data_syslog();
    EXPECT_TRUE(contains(log(),
                         "New error BLK #109, Fifo #9, PID 0x10, Raster 100, type 'NO_LATENCY': FullCnt 1, "
                         "TS ErrCnt 2"));
    EXPECT_EQ(meas_led_status & 0x20000, 0u);
    meas_fifo_data_syslog();
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(meas_led_status & 0x20000, 0x20000u);

    // A late logging task: its last cycle is 0.5 s old. A sample of now is kept; only a stamp
    // ahead of the time now comes from the future.
    const fifo_data_request_t late = request(11, 0, {4, 1});
    ASSERT_EQ(fifo_data_request(&late), 0);
    const uint32_t cycle = tick(1);
    hostclock_advanceMs(500);
    const uint32_t t = time_getTimestamp();
    EXPECT_EQ(std::vector<int>({put(11, sample(cycle + 10, 1, 1)), put(11, sample(t, 2, 2)),
                                put(11, sample(t + 900, 3, 3)), put(11, sample(t + 2000, 4, 4))}),
              std::vector<int>({0, 0, 0, MF_ERR_TS_INVALID}));
}

TEST_F(DataFifoTest, EachLossOfSamplesIsOneLine) {
    // A 1 ms block, its stamps 3 s old: samples that never came, came stamped ahead or found the FIFO
    // full, each loss one line with its count; the gap of a paused block is no loss.
    const fifo_data_request_t r = request(15, 0, {4, 1});
    ASSERT_EQ(fifo_data_request(&r), 0);
    const uint32_t now = tick(5000), t = now - 30000;
    const auto putAt = [&](uint32_t at) {
        EXPECT_EQ(put(15, sample(at, 0, 0)), 0);
        return log();
    };
    const auto lost = [](uint32_t before, const char* what) {
        return "before " + std::to_string(before) + " are lost: " + what;
    };
    EXPECT_TRUE(putAt(t).empty());
    EXPECT_EQ(putAt(t + 470),
              std::vector<std::string>({"fifo_data_put(): BLK #115, Fifo #15, Raster 1ms, PID 0x10: 46 "
                                        "records (46 ms) " +
                                        lost(t + 470, "0 found the FIFO full, 0 came stamped ahead, "
                                                      "46 never came")}));
    EXPECT_EQ(put(15, sample(now + 2000, 0, 0)), MF_ERR_TS_INVALID);
    EXPECT_TRUE(
        contains(putAt(t + 490), "1 records (1 ms) " + lost(t + 490, "0 found the FIFO full, 1 came")));
    fifo_data_pause(15);
    EXPECT_TRUE(putAt(t + 1000).empty()) << "the gap of a pause";
    uint32_t last = t + 1000;
    while (put(15, sample(last += 10, 0, 0)) == 0) {
    }
    EXPECT_GT(get(15).result, 0);
    EXPECT_TRUE(contains(putAt(last + 10), "1 records (1 ms) " + lost(last + 10, "1 found the FIFO full")));
}

// A pause excuses its own gap, the one before the first sample stored after the block runs again,
// and no later one: samples still on their way at the pause leave it to come.
TEST_F(DataFifoTest, APauseExcusesOnlyItsOwnGap) {
    // p pauses the block, r lets it run again, s stores a sample `ms` after the last one (1 ms apart
    // is no gap), and whether its loss line is expected.
    struct Step {
        char what;
        uint32_t ms = 0;
        bool named = false;
    };
    const struct {
        const char* name;
        std::vector<Step> steps;
    } rows[] = {
        {"a pause without a gap", {{'p'}, {'s', 1}, {'r'}, {'s', 1}, {'s', 5, true}}},
        {"the pause's gap", {{'p'}, {'r'}, {'s', 50}, {'s', 1}, {'s', 5, true}}},
        {"samples still coming at the pause", {{'p'}, {'s', 1}, {'s', 1}, {'r'}, {'s', 50}, {'s', 5, true}}},
        {"a gap while paused", {{'p'}, {'s', 50}, {'r'}, {'s', 1}, {'s', 5, true}}},
        {"no pause", {{'s', 1}, {'s', 5, true}, {'s', 5, true}}},
    };
    const uint32_t now = tick(5000);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fifo_data_release(16);
        const fifo_data_request_t r = request(16, 0, {4, 1});
        ASSERT_EQ(fifo_data_request(&r), 0);
        uint32_t at = now - 30000;
        ASSERT_EQ(put(16, sample(at, 0, 0)), 0);
        log();
        for (const Step& step : row.steps) {
            if (step.what == 'p') fifo_data_pause(16);
            if (step.what == 'r') fifo_data_resume(16);
            if (step.what != 's') continue;
            at += 10 * step.ms;
            ASSERT_EQ(put(16, sample(at, 0, 0)), 0);
            EXPECT_EQ(contains(log(), "before " + std::to_string(at) + " are lost"), step.named)
                << step.ms << " ms on";
        }
    }
}

TEST_F(DataFifoTest, LateSignalsJoinTheirSample) {
    // The 1-byte signal arrives three samples late; samples come every 10 ms although the block
    // records every 20 ms at most.
    const fifo_data_request_t r = request(11, 3, {4, 1}, {0, 3}, 2, 2);
    ASSERT_EQ(fifo_data_request(&r), 0);
    const uint32_t t0 = tick(10);
    fifo_data_time_resync(true);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(put(11, sample(t0 + 100 * i, i, uint8_t(50 + i - 3))), 0);
    EXPECT_EQ(get(11).result, MF_ERR_NO_SAMPLE); // each still waits for its late value
    for (uint32_t i = 3; i < 6; ++i) ASSERT_EQ(put(11, sample(t0 + 100 * i, i, uint8_t(50 + i - 3))), 0);
    for (uint32_t i = 0; i < 3; ++i) {
        const Taken t = get(11);
        EXPECT_EQ(std::vector<uint32_t>({t.ts, t.big, t.small}),
                  std::vector<uint32_t>({t0 + 100 * i, i, 50 + i}));
    }
    EXPECT_EQ(get(11).result, MF_ERR_NO_SAMPLE);

    // After a gap the three samples that wait for late values never get them: discarded, while the
    // complete ones before them are still taken.
    for (uint32_t i = 6; i < 8; ++i) ASSERT_EQ(put(11, sample(t0 + 100 * i, i, uint8_t(50 + i - 3))), 0);
    const uint32_t t1 = tick(1000);
    for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(put(11, sample(t1 + 100 * i, 10 + i, uint8_t(80 + i - 3))), 0);
    EXPECT_TRUE(contains(log(), "TS-Err BLK #111, Fifo #11"));
    std::vector<uint32_t> taken;
    for (Taken t{}; (t = get(11)).result > 0;) taken.insert(taken.end(), {t.ts - t0, t.big, t.small});
    EXPECT_EQ(taken, std::vector<uint32_t>({300, 3, 53, 400, 4, 54, t1 - t0, 10, 80, t1 + 100 - t0, 11, 81}));
}

TEST_F(DataFifoTest, ConditionChoosesTheRecordingRate) {
    // Every sample while the condition is true (b = 1), every tenth while false (a = 10): a 10 ms
    // block by the time stamps, a Sync block by counting its events.
    const fifo_cond_request_t cond{0, 1, 0, 2, OWN_PID, 200, 0};
    ASSERT_EQ(fifo_condition_request(&cond), 0);
    const fifo_data_request_t periodic = request(12, 3, {4, 1}, {}, 10, 1, 1);
    const fifo_data_request_t sync = request(14, 10, {4, 1}, {}, 10, 1, 1);
    ASSERT_EQ(fifo_data_request(&periodic), 0);
    ASSERT_EQ(fifo_data_request(&sync), 0);
    // 2 s of condition entries, true for the first second, the newest 0.1-0.2 s old; the recording
    // period counts from whole seconds.
    const uint32_t now = tick(3000);
    const uint32_t start = now / 1000 * 1000 - 21000;
    for (uint32_t t = start; t <= start + 20000; t += 50) {
        const uint8_t entry[5] = {uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t),
                                  uint8_t(t - start < 10000)};
        ASSERT_EQ(fifo_condition_put(0, entry), 0);
    }
    for (uint16_t n : {12, 14}) {
        for (uint32_t t = start + 100; t < start + 20000; t += 100)
            ASSERT_EQ(put(n, sample(t, t - start, 0)), 0);
        ASSERT_EQ(put(n, sample(start + 20500, 0, 0)), 0); // no condition known yet for this one
    }
    const auto recorded = [](uint16_t n, size_t& whileTrue) {
        std::vector<uint32_t> whileFalse;
        whileTrue = 0;
        Taken t{};
        while ((t = get(n)).result > 0) t.big < 10000 ? void(++whileTrue) : whileFalse.push_back(t.big);
        EXPECT_EQ(t.result, MF_ERR_COND_WAIT);
        return whileFalse;
    };
    size_t whileTrue = 0;
    EXPECT_EQ(recorded(12, whileTrue),
              std::vector<uint32_t>({11000, 12000, 13000, 14000, 15000, 16000, 17000, 18000, 19000}));
    EXPECT_EQ(whileTrue, 99u);
    EXPECT_EQ(recorded(14, whileTrue),
              std::vector<uint32_t>({10900, 11900, 12900, 13900, 14900, 15900, 16900, 17900, 18900, 19900}));
    EXPECT_EQ(whileTrue, 99u);
}

TEST_F(DataFifoTest, ReleasedWhilePutsRun) {
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> puts{0};
    fifo_data_set_curr_ts(0xFFFF);
    std::thread producer([&] {
        for (uint32_t t = 1; !stop; ++t) {
            const int r = put(13, sample(t & 0xFFFF, t, 0));
            ASSERT_TRUE(r == 0 || r == MF_ERR_FIFO_INVALID || r == MF_ERR_FIFO_FULL || r == MF_ERR_TS_INVALID)
                << r;
            puts.fetch_add(1);
        }
    });
    const fifo_data_request_t r = request(13, 0, {4, 1});
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(fifo_data_request(&r), 0);
        const uint32_t seen = puts.load();
        testsupport::waitUntil([&] { return puts.load() > seen + 2; });
        ASSERT_EQ(fifo_data_release(13), 0);
    }
    stop = true;
    producer.join();
    EXPECT_EQ(fifo_data_count(), 0u);
}
