// The GPS lap trigger on generated trajectories: fixes once a second, the trigger called every
// 10 ms as the lap model does. Positions are metres east and north of the trigger point, turned
// into degrees near the equator so that single precision keeps them to a centimetre.
#include "gps_test_util.h"

#include "framework/errmem.h"
#include "laptiming/gps_trigger.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double kLat0 = 1.5, kLon0 = 2.5; // trigger point
constexpr double kR = 6378137.0;
constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Fix {
    double t;           // s
    double east, north; // m from the point
    float speed;        // km/h
    float heading;      // degrees
};

float latOf(double north) {
    return float(kLat0 + north / kR * 180.0 / kPi);
}
float lonOf(double east) {
    return float(kLon0 + east / (kR * std::cos(kLat0 * kPi / 180.0)) * 180.0 / kPi);
}

// Straight line through (east0, north0) with `heading`, one fix per second from t = 0.
std::vector<Fix> straight(double east0, double north0, float kmh, float heading, int seconds) {
    std::vector<Fix> out;
    const double v = kmh / 3.6, a = heading * kPi / 180.0;
    for (int s = 0; s <= seconds; ++s)
        out.push_back({double(s), east0 + std::sin(a) * v * s, north0 + std::cos(a) * v * s, kmh, heading});
    return out;
}

struct Passes {
    std::vector<double> fires; // times of the calls that fired
    double longDistAtStart = -1;
};

// Calls the trigger every 10 ms until `end` with the latest fix; speed and heading as NaN when
// `withMotion` is false (channels not configured).
Passes drive(const std::vector<Fix>& fixes, double end, float radius, bool withMotion = true) {
    initGpsTrigger(float(lonOf(0)), float(latOf(0)), radius, withMotion, withMotion);
    Passes run;
    size_t next = 0;
    const Fix* current = nullptr;
    for (int step = 0; step * 0.01 <= end + 1e-9; ++step) {
        const double t = step * 0.01;
        while (next < fixes.size() && fixes[next].t <= t + 1e-9) current = &fixes[next++];
        if (current == nullptr) continue;
        const float speed = withMotion ? current->speed : kNaN;
        const float heading = withMotion ? current->heading : kNaN;
        if (getGpsTrigger(lonOf(current->east), latOf(current->north), speed, heading))
            run.fires.push_back(t);
        if (step == 0) run.longDistAtStart = getGpsActLongDist2trig();
    }
    return run;
}

} // namespace

TEST(GpsTrigger, OneFirePerPassOnGeneratedTrajectories) {
    // Straight through the point at 100 km/h: the line is crossed at 303 m / 27.78 m/s = 10.908 s;
    // the fire is the 10 ms step just before it.
    {
        const Passes r = drive(straight(0, -303, 100, 0, 20), 20, 25);
        ASSERT_EQ(r.fires.size(), 1u);
        const double cross = 303 / (100 / 3.6);
        EXPECT_GT(r.fires[0], cross - 0.01);
        EXPECT_LE(r.fires[0], cross);
    }
    // 30 m to the side with a radius of 25 m: never inside, never fired.
    EXPECT_TRUE(drive(straight(30, -300, 100, 0, 20), 20, 25).fires.empty());

    // Entering the radius at 20 km/h and stopping inside it: the fix that stands fires.
    {
        std::vector<Fix> fixes = straight(3, -40, 20, 10, 4); // at 4 s about 17 m before the point
        // Standing still, the receiver's position moves by a few centimetres.
        fixes.push_back({5, fixes.back().east, fixes.back().north + 0.05, 0, 10});
        fixes.push_back({6, fixes.back().east + 0.03, fixes.back().north, 0, 10});
        const Passes r = drive(fixes, 8, 25);
        ASSERT_EQ(r.fires.size(), 1u);
        EXPECT_NEAR(r.fires[0], 5.0, 1e-6);
    }
    // A wide curve that enters the radius and turns away before the line: the first call beyond
    // 1.3 x radius fires.
    {
        const std::vector<Fix> fixes = {
            {0, 20, -50, 50, 0},     {1, 20, -36.1, 50, 0},   {2, 20, -22.2, 50, 0},   {3, 20, -8.3, 50, 0},
            {4, 33.7, -5.5, 50, 80}, {5, 47.4, -3.1, 50, 80}, {6, 61.1, -0.7, 50, 80},
        };
        const Passes r = drive(fixes, 7, 25);
        ASSERT_EQ(r.fires.size(), 1u);
        EXPECT_NEAR(r.fires[0], 4.0, 1e-6);
    }
    // Without speed and heading channels: the first fix whose distance grows, inside the radius.
    {
        const std::vector<Fix> fixes = straight(2, -300, 50, 0, 30);
        const Passes r = drive(fixes, 30, 25, false);
        ASSERT_EQ(r.fires.size(), 1u);
        double prev = 1e9, grows = -1;
        for (const Fix& f : fixes) {
            const double d = std::hypot(f.east, f.north);
            if (d > prev && d < 25) {
                grows = f.t;
                break;
            }
            prev = d;
        }
        EXPECT_NEAR(r.fires[0], grows, 1e-6);
        EXPECT_EQ(r.longDistAtStart, 0.0);
    }
}

TEST(GpsTrigger, SpeedStuckAtZeroWhileMovingIsReportedOnce) {
    gpstest::startLog();
    int events = 0;
    error_mgr_setEventHook([&](const ErrorMemEntry& e) {
        if (e.path == GPS_ERR_PATH && e.type == GPS_ERR_SPEED) ++events;
    });
    auto active = [] {
        ErrorMemEntry e[ERROR_MEM_ENTRIES];
        const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
        for (size_t i = 0; i < n; ++i)
            if (e[i].path == GPS_ERR_PATH && e[i].type == GPS_ERR_SPEED) return e[i].active == 1;
        return false;
    };
    // 21 m per second with the speed channel at 0, then the channel comes alive.
    std::vector<Fix> fixes = straight(0, -500, 75.6f, 45, 8);
    for (Fix& f : fixes) f.speed = 0;
    initGpsTrigger(lonOf(0), latOf(0), 25, 1, 1);
    for (size_t i = 0; i < fixes.size(); ++i) {
        getGpsTrigger(lonOf(fixes[i].east), latOf(fixes[i].north), fixes[i].speed, fixes[i].heading);
        if (i >= 2) {
            EXPECT_TRUE(active()) << i;
            EXPECT_EQ(getGpsActLongDist2trig(), 0.0f) << "no dead reckoning while the speed is implausible";
        }
    }
    EXPECT_EQ(events, 1);
    // The monitor takes one more fix to leave its implausible state, then the error is cleared.
    for (double m : {15.0, 30.0})
        getGpsTrigger(lonOf(fixes.back().east + m), latOf(fixes.back().north + m), 75.6f, 45);
    EXPECT_FALSE(active());
    EXPECT_GT(getGpsActLongDist2trig(), 0.0f);
    EXPECT_EQ(events, 1);
    error_mgr_setEventHook(nullptr);
}

TEST(GpsTrigger, CallsBeforeTheFirstFixDoNotMakeItFire) {
    for (bool motion : {true, false}) {
        initGpsTrigger(lonOf(0), latOf(0), 25, motion, motion);
        for (int i = 0; i < 100; ++i) EXPECT_EQ(getGpsTrigger(kNaN, kNaN, kNaN, kNaN), 0);
        // The first fix lies 500 m north, moving further away.
        int fires = 0;
        for (const Fix& f : straight(0, 500, 100, 0, 3))
            fires += getGpsTrigger(lonOf(f.east), latOf(f.north), motion ? f.speed : kNaN,
                                   motion ? f.heading : kNaN);
        EXPECT_EQ(fires, 0) << (motion ? "with" : "without") << " speed and heading";
    }
}
