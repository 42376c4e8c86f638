// The lap function in beacon mode with the model in the framework's rasters on the hand-driven
// clock: a 5 ms pulse on digital input 0 gives nothing, a 100 ms pulse one lap message; the lap
// messages leave through the command queue. A host that holds the process back, its ticks given
// late or dropped, moves neither a lap's time nor its stamp.
#include "lap_rig.h"

#include "calc/model/application_dor.h"
#include "framework/time_util.h"
#include "platform/board/board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace laptest;

namespace {

class LapBeacon : public LapRig {
protected:
    void SetUp() override {
        LapRig::SetUp();
        board_reset();
        awm_lapfunc_cfg cfg;
        cfg.mainTrigTimeMin = 20;
        cfg.mainRetrigLock = 1;
        cfg.cntDownTimeMode = 2; // from each lap
        cfg.cntDownTimeSet = 100;
        start(cfg);
    }
    void TearDown() override {
        LapRig::TearDown();
        board_reset();
    }
};

} // namespace

TEST_F(LapBeacon, AFiveMillisecondPulseGivesNothingAHundredMillisecondsOneLap) {
    advance(1000);
    sent(); // the start's counter update
    board_dinSet(0, 1);
    advance(5);
    board_dinSet(0, 0);
    advance(1000);
    EXPECT_TRUE(lapEvents().empty());

    board_dinSet(0, 1);
    advance(100);
    board_dinSet(0, 0);
    advance(1000);
    const auto events = lapEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(ci_get16(events[0].data + 12), 2) << "the lap after the start lap";
    EXPECT_EQ(ci_dst(&events[0]), CI_PID_ALL);
}

// Laps of 10 s between the rises of 100 ms pulses, each disturbed once: held mid-lap, or held over
// the pulse that ends it (the pulse rises within the ticks given late, after those dropped). Each
// lap's time, its end's stamp (from the pulse's rise) and the countdown from its start are those of
// the undisturbed lap.
TEST_F(LapBeacon, AHeldBackHostMovesNeitherTheLapTimeNorItsStamp) {
    struct Row {
        const char* what;
        bool overCrossing;
        uint32_t beforeMs, afterMs; // held before the pulse rises (mid-lap: all), after it
        bool drops;
    };
    const Row rows[] = {
        {"undisturbed", false, 0, 0, false},
        {"held 1 s mid-lap", false, 1000, 0, false},
        {"held 3 s mid-lap", false, 3000, 0, true},
        {"held 1 s over the crossing", true, 500, 500, false},
        {"held 3 s over the crossing", true, 2700, 300, true},
    };
    constexpr uint32_t kLapMs = 10000, kPulseMs = 100;
    advance(1000);
    sent();
    board_dinSet(0, 1); // the first crossing
    uint32_t rise = time_getTimestamp();
    advance(kPulseMs);
    board_dinSet(0, 0);
    advance(1000);
    uint32_t sinceRise = kPulseMs + 1000;
    ASSERT_EQ(lapEvents().size(), 1u);
    testsupport::drainSyslog();
    uint32_t lapOf[std::size(rows)] = {}, stampAfterRise[std::size(rows)] = {};
    float countdownAtRise[std::size(rows)] = {}; // 100 s from each lap, by the same clock
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        if (!r.overCrossing) {
            advance(kLapMs / 2 - sinceRise);
            if (r.beforeMs) held(r.beforeMs);
            advance(kLapMs / 2 - r.beforeMs);
            countdownAtRise[i] = cntdowntime;
            board_dinSet(0, 1);
            rise = time_getTimestamp();
            advance(kPulseMs);
            board_dinSet(0, 0);
            sinceRise = kPulseMs;
        } else {
            advance(kLapMs - r.beforeMs - sinceRise);
            held(r.beforeMs);
            countdownAtRise[i] = cntdowntime;
            board_dinSet(0, 1);
            rise = time_getTimestamp();
            held(kPulseMs);
            board_dinSet(0, 0);
            held(r.afterMs - kPulseMs);
            sinceRise = r.afterMs;
        }
        advance(1000);
        sinceRise += 1000;
        const auto events = lapEvents();
        ASSERT_EQ(events.size(), 1u) << r.what;
        lapOf[i] = ci_get32(events[0].data + 8);
        stampAfterRise[i] = ci_get32(events[0].data + 4) - rise;
        const auto log = testsupport::drainSyslog();
        EXPECT_EQ(testsupport::countContaining(log, "ms of base ticks were dropped"), r.drops ? 1 : 0)
            << r.what;
    }
    EXPECT_EQ(lapOf[0], kLapMs / 10) << "the time between the stamps of the pulses' rises, in hundredths";
    for (size_t i = 1; i < std::size(rows); ++i) {
        EXPECT_EQ(lapOf[i], lapOf[0]) << rows[i].what;
        EXPECT_EQ(stampAfterRise[i], stampAfterRise[0]) << rows[i].what << ": the lap's stamp moved";
        EXPECT_NEAR(countdownAtRise[i], countdownAtRise[0], 0.011) << rows[i].what;
    }
}
