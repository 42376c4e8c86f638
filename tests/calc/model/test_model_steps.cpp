// The lap model's steps on their own, with inputs set by hand and the lap messages recorded: beacon
// pulses into lap events and lap times, retrigger locks, the lap counter's wrap into a new outing,
// the quiet first step, split mode, distance and GPS segments, fuel, and an hour of random inputs
// and parameters.
#include "model_harness.h"

#include "measdata/seram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

using namespace modeltest;

namespace {

float scope2() {
    return seramSig().fuelcons_scope2;
}

std::vector<LapMessage> events() {
    std::vector<LapMessage> out;
    for (const LapMessage& m : sent)
        if (m.event) out.push_back(m);
    return out;
}

} // namespace

TEST(ModelLap, BeaconPulsesBecomeLapEventsWithTheirLapTimes) {
    start();
    run(1000);
    pulse(5);
    run(1500);
    EXPECT_TRUE(sent.empty()) << "a pulse shorter than the minimum on-time gives nothing";

    pulse(100);
    run(1900);
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0].lap, 2);
    EXPECT_EQ(events()[0].outing, 1);
    EXPECT_EQ(*laptimebest, APPLICATION_DOR_NO_BEST) << "the lap since start is not valid: no best lap";

    run(83460 - 2000);
    pulse(100); // 8346 steps of 10 ms after the first
    run(100);
    ASSERT_EQ(events().size(), 2u);
    EXPECT_EQ(events()[1].lap, 3);
    EXPECT_EQ(events()[1].tick - events()[0].tick, 83460u);
    EXPECT_EQ(events()[1].timestamp - events()[0].timestamp, 834600u);
    EXPECT_FLOAT_EQ(events()[1].laptime, 83.46f) << "the time between the two events' stamps";
    EXPECT_FLOAT_EQ(*laptimebest, events()[1].laptime);
    EXPECT_FLOAT_EQ(laptimeold, events()[1].laptime);

    // Within the retrigger lock a pulse is ignored; a lap request is not.
    run(300);
    pulse(100);
    run(100);
    EXPECT_EQ(events().size(), 2u);
    MACRO_LAPTRG_SET = 1;
    run(10);
    MACRO_LAPTRG_SET = 0;
    run(10);
    EXPECT_EQ(events().size(), 3u);
    EXPECT_TRUE(std::none_of(sent.begin(), sent.end(), [](const LapMessage& m) { return !m.event; }))
        << "no counter was preset";
}

// The 10 ms step that takes a beacon's pulse may run late, after the 1 ms step saw the beacon: the
// lap is stamped when the pulse rose (the beacon plus the minimum on-time), never at the late step's
// due time, which may lie before the beacon.
TEST(ModelLap, ABeaconLapIsStampedWhenItsPulseRoseHoweverLateTheLapStepRuns) {
    for (const uint64_t lateMs : {0u, 9u, 500u, 975u}) {
        start();
        in.step1LateMs = lateMs;
        run(2000);
        const uint64_t first = ticks + 1;
        pulse(100);
        run(60000 - 100);
        const uint64_t second = ticks + 1;
        pulse(100);
        run(1100);
        ASSERT_EQ(events().size(), 2u) << lateMs;
        for (const auto& [e, beacon] : {std::pair{events()[0], first}, std::pair{events()[1], second}}) {
            EXPECT_GE(e.timestamp, beacon * 10) << lateMs << " ms late: stamped before its beacon";
            EXPECT_LE(e.timestamp, (beacon + MAIN_TRIG_TIME_MIN) * 10) << lateMs << " ms late";
        }
        EXPECT_FLOAT_EQ(events()[1].laptime, 60.0f) << lateMs;
    }
}

// Laps of 10 s at 50 m/s on a track of 500 m, whose line counts from 90 % of it (CND_DIST_MIN). The
// host drops steps mid-lap, or the crossing is found after it (its fixes came late): the distances
// count the device's time, not the steps run, so the crossing is taken, and the lap is the time
// between its stamps.
TEST(ModelLap, DistancesAndTheLapCountTheClocksTimeNotTheStepsRun) {
    const struct {
        const char* what;
        uint64_t dropMs; // steps dropped from 4 s into the lap
        int64_t foundMs; // the crossing found this long after it
    } rows[] = {
        {"undisturbed", 0, 0},
        {"2 s of steps dropped", 2000, 0},
        {"4 s dropped, the crossing found 0.9 s after it", 4000, 900},
    };
    for (const auto& r : rows) {
        defaults();
        TRACK_LEN = 500;
        CND_DIST_MIN = 0.9f;
        boot();
        in.speed = 50;
        run(9990);
        in.gps = 1; // the line, 10 s from the start
        run(10);
        in.gps = 0;
        ASSERT_EQ(events().size(), 1u) << r.what;
        run(4000);
        drop(r.dropMs);
        run(6000 - r.dropMs - 10 + uint64_t(r.foundMs));
        EXPECT_NEAR(distlap, 50 * (9.99 + r.foundMs / 1000.0), 0.6) << r.what;
        in.gps = 1;
        in.gpsEarlierMs = r.foundMs;
        run(10);
        in.gps = 0;
        ASSERT_EQ(events().size(), 2u) << r.what << ": the crossing was not taken";
        EXPECT_EQ(events()[1].timestamp - events()[0].timestamp, 100000u) << r.what;
        EXPECT_FLOAT_EQ(events()[1].laptime, 10.0f) << r.what;
        EXPECT_NEAR(distlap, 50 * std::max(0.01, r.foundMs / 1000.0), 0.01) << r.what << ": since the line";
        EXPECT_NEAR(dist, 50 * (20.0 + r.foundMs / 1000.0), 1.0) << r.what;
    }
}

TEST(ModelLap, LapCounterWrapsAt255IntoANewOutingWithAnUpdate) {
    defaults();
    LAP_CTR_INIT = 255;
    OUT_CTR_INIT = 3;
    LAP_CTR_SET = 1;
    boot();
    run(100);
    pulse(100);
    run(200);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].event);
    EXPECT_EQ((std::vector<int>{sent[0].lap, sent[0].outing}), (std::vector<int>{1, 4}));
    EXPECT_FALSE(sent[1].event);
    EXPECT_EQ((std::vector<int>{sent[1].lap, sent[1].outing}), (std::vector<int>{1, 4}));
    EXPECT_EQ(sent[1].laptime, 0.0f);
    EXPECT_EQ(sent[1].tick, sent[0].tick + 10) << "the update follows in the next step";
}

TEST(ModelLap, EntryTableAndNothingFiresInTheFirstStep) {
    std::vector<uint32_t> slots;
    for (uint32_t slot = 0; slot < 40; ++slot)
        if (codegen_hookPartition_P1(slot)) slots.push_back(slot);
    EXPECT_EQ(slots, (std::vector<uint32_t>{0, 3, 6, 21, 22, 23, 24}));

    defaults();
    MACRO_LAPTRG_SET = MACRO_LAP_SET = MACRO_OUT_SET = MACRO_SEGTIME_SET = MACRO_LAPTIBEST_SET = 1;
    MACRO_LAPDIST_SET = 1;
    LAPTIBEST_SET = 42.0f;
    boot();
    run(100);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(*laptimebest, APPLICATION_DOR_NO_BEST);
    EXPECT_EQ(lapseg_last[0], 0.0f) << "no segment reset";
}

TEST(ModelLap, SplitModeToldShortMainFromLongIntermediatePulses) {
    defaults();
    TRIG_CFG = 1;
    IM_TRIG_TIME_MIN = 200;
    SEGTIME_MODE = 1;
    boot();
    run(50);
    pulse(100);
    run(2000);
    ASSERT_EQ(events().size(), 1u) << "the main trigger at the end of a short pulse";
    const uint64_t lapTick = events()[0].tick;
    EXPECT_EQ(lapTick % 10, 0u);
    EXPECT_EQ(events()[0].timestamp, 151u * 10) << "stamped by the 1 ms step that saw the pulse end";
    pulse(400);
    run(1500);
    EXPECT_EQ(events().size(), 1u) << "a long pulse is no lap";
    EXPECT_EQ(lapsegctr, 2) << "but ends the first segment";
    // Its 200 ms on-time after the 20 ms one: 2.220 s after the lap's stamp; the 10 ms step that
    // sees it times it within half a step.
    EXPECT_NEAR(laptimeseg, 2.220, 0.005);
}

TEST(ModelLap, DistanceAndGpsSegments) {
    defaults();
    SEGTIME_MODE = 2;
    TRACK_LEN = 1000;
    LAPSEG[0] = 250;
    LAPSEG[1] = 500;
    LAPSEG[2] = 750;
    MAIN_RETRIG_LOCK = 0.5f;
    boot();
    in.speed = 50; // m/s: a lap of 1000 m takes 20 s
    for (int lap = 0; lap < 3; ++lap) {
        in.gps = 1;
        run(10);
        in.gps = 0;
        run(19990);
    }
    in.gps = 1;
    run(10);
    in.gps = 0;
    ASSERT_EQ(events().size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(lapseg_last[i], 5.0 * (i + 1), 0.03) << i;
    EXPECT_EQ(lapseg_last[3], 0.0f);
    EXPECT_NEAR(lapdiff, 0.0, 0.011);
    run(5100);
    EXPECT_EQ(lapsegctr, 2);
    EXPECT_NEAR(lapseg_dlast, 0.0, 0.02) << "the first segment as fast as last time";
    EXPECT_NEAR(dist, 3 * 1000 + 5100 * 0.05, 2.0);

    defaults();
    SEGTIME_MODE = 4;
    boot();
    run(100);
    in.gpsSegment = 1;
    run(10);
    EXPECT_EQ(lapsegctr, 2);
    EXPECT_EQ(b_lapseg, 1);
    const float stamp = laptimeseg;
    run(50);
    in.gpsSegment = 5;
    run(10);
    EXPECT_EQ(lapsegctr, 6) << "another boundary than expected resynchronises";
    EXPECT_EQ(laptimeseg, stamp) << "without a segment event";
}

TEST(ModelFuel, ConsumptionPerLapRemainingAndTheLapTimeStamp) {
    defaults();
    CORRECTION_FACTOR = 1000; // input x 1 x 1000 x 0.001: litres per second
    TANK_CAPACITY = 50;
    boot();
    in.fuel = 2;
    run(1000);
    EXPECT_NEAR(*fuelcons, 2.0, 1e-5);
    EXPECT_NEAR(*fueltotal, 2.0, 1e-5);
    EXPECT_NEAR(fuelrem, 48.0, 1e-5);
    EXPECT_EQ(laprem, 100.0f) << "no lap yet";
    in.fuelLap = 1;
    run(100);
    EXPECT_NEAR(fuellapold, 2.0, 1e-5);
    EXPECT_NEAR(laprem, 47.8 / 2.0, 1e-4);
    EXPECT_EQ(fuellap, 0.0f) << "a new lap starts";

    in.fuelReset = 1;
    run(100);
    in.fuelReset = 0;
    run(100);
    EXPECT_NEAR(*fuelcons, 2.6, 1e-5) << "a reset of one sample is ignored";
    in.fuelReset = 1;
    run(200);
    in.fuelReset = 0;
    EXPECT_EQ(*fuelcons, 0.0f);
    EXPECT_NEAR(*fueltotal, 3.0, 1e-5) << "the total keeps counting";

    in.lapTimestamp = 1234567;
    run(100);
    EXPECT_EQ(laptimestamp, 123456u);

    FUEL_INPUT_MODE = 0; // a running total
    in.fuel = 7;
    run(100);
    in.fuel = 7.5f;
    run(100);
    EXPECT_NEAR(scope2(), 5.0, 1e-4) << "0.5 l in 100 ms";
    in.fuel = 0;
    run(100);
    EXPECT_EQ(scope2(), 0.0f);
}

// An hour of random inputs and parameters, some of them not finite or out of every range: lap
// messages stay finite, and no conversion leaves its range (the sanitizer checks that).
TEST(ModelRandom, AnHourOfRandomInputsAndParameters) {
    std::mt19937 rng(20240611);
    const float pool[] = {0,
                          1,
                          -1,
                          0.5f,
                          20,
                          255,
                          300,
                          65536,
                          1e9f,
                          5e9f,
                          -5e9f,
                          std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
    auto any = [&] { return pool[rng() % std::size(pool)]; };
    auto small = [&](uint32_t n) { return uint8_t(rng() % n); };
    start();
    for (int minute = 0; minute < 60; ++minute) {
        float* reals[] = {&MAIN_TRIG_TIME_MIN, &IM_TRIG_TIME_MIN, &MAIN_RETRIG_LOCK, &IM_RETRIG_LOCK,
                          &CND_SPEED_MIN,      &TRACK_LEN,        &CND_DIST_MIN,     &CND_DIST_MAX,
                          &LAPTIMEPRED,        &LAPTIBEST_PL,     &LAPTIBEST_SET,    &CNTDOWNTIME_SET,
                          &LAP_CTR_SET,        &OUT_CTR_SET,      &ADAPTION_FACTOR,  &CORRECTION_FACTOR,
                          &TANK_CAPACITY,      &TARGET_LAP_CONS};
        for (float* p : reals)
            if (rng() % 3 == 0) *p = any();
        for (int i = 0; i < 100; ++i) {
            LAPSEG[i] = rng() % 4 ? float(rng() % 5000) : any();
            LAPSEGPRED[i] = rng() % 4 ? float(rng() % 200) : any();
        }
        SIG_ACT_LVL = small(2);
        TRIG_CFG = small(2);
        SEGTIME_MODE = small(6);
        CNTDOWNTIME_MODE = small(3);
        FUEL_INPUT_MODE = small(2);
        LAP_REMAINING_MODE = small(2);
        for (int second = 0; second < 60; ++second) {
            in.speed = rng() % 5 ? float(rng() % 90) : any();
            in.fuel = rng() % 5 ? float(rng() % 10) : any();
            in.lapTimestamp = uint32_t(rng());
            for (int step = 0; step < 100; ++step) {
                in.trigger = rng() % 50 == 0 ? uint8_t(!in.trigger) : in.trigger;
                in.gps = rng() % 400 == 0;
                if (rng() % 500 == 0) in.outIncrReq = 1;
                if (rng() % 200 == 0) in.gpsSegment = uint16_t(rng() % 300);
                in.fuelReset = rng() % 300 == 0;
                in.fuelLap = rng() % 300 == 0;
                uint8_t* macros[] = {&MACRO_LAPTRG_SET,   &MACRO_LAPDIST_SET,  &MACRO_LAP_SET,
                                     &MACRO_OUT_SET,      &MACRO_SEGTIME_SET,  &MACRO_LAPTIBEST_SET,
                                     &MACRO_FUELCONS_SET, &MACRO_FUELTOTAL_SET};
                for (uint8_t* m : macros)
                    if (rng() % 1000 == 0) *m = small(4);
                run(10);
            }
        }
    }
    EXPECT_EQ(ticks, 3600000u);
    size_t eventCount = 0;
    for (const LapMessage& m : sent) {
        ASSERT_TRUE(std::isfinite(m.laptime)) << "tick " << m.tick;
        if (m.event)
            ++eventCount;
        else
            EXPECT_EQ(m.laptime, 0.0f);
    }
    EXPECT_GT(eventCount, 100u) << "the inputs made laps";
}
