// The GPS lap trigger: one trigger point fed by the lap function every 10 ms with the GPS
// position, speed and heading channels; speed and heading are checked against the movement of the
// position and reported to the error memory when implausible.
#include "laptiming/gps_trigger.h"

#include "framework/errmem.h"

#include <cmath>
#include <limits>

namespace {

// Signal states: 0 not yet received, 1 not configured, 2 valid, 3 implausible.
struct GpsSignal {
    float value;
    int32_t state;
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

gpsTriggerState triggerState;
gpsIPolState ipolState;
GpsSignal sigLong{kNaN, 0}, sigLat{kNaN, 0}, sigSpeed{kNaN, 0}, sigDir{kNaN, 0};
gpsMonState speedMonState, dirMonState;

// The trigger's clock, in time stamps of 100 us.
constexpr uint32_t kStep = 100;        // a dead-reckoning step, 10 ms
constexpr uint32_t kReachMost = 25000; // the receiver's silence, 2.5 s
struct TriggerClock {
    bool running;
    uint32_t evaluated; // the time of the last step or position taken
    uint32_t position;  // the time of the last position
    uint32_t reach;     // how long dead reckoning carries it: until the next position is due
};
TriggerClock clock{};

bool before(uint32_t a, uint32_t b) {
    return int32_t(a - b) < 0;
}

// The steps due up to `until` and within the position's reach.
uint8_t steps(uint32_t until, uint32_t* firedAt) {
    while (clock.running) {
        const uint32_t t = clock.evaluated + kStep;
        if (before(until, t) || before(clock.position + clock.reach, t)) return 0;
        clock.evaluated = t;
        if (getGpsTrigger(kNaN, kNaN, kNaN, kNaN)) {
            *firedAt = t;
            return 1;
        }
    }
    return 0;
}

bool moves(const GpsSignal& s, float in) {
    return !std::isnan(in) && in != s.value;
}

bool present(const GpsSignal& s) {
    return s.state == 2 || s.state == 3;
}

bool valid(const GpsSignal& s) {
    return s.state == 2;
}

// A value that arrived: the state becomes valid (from 0) and a changed value is stored.
bool take(GpsSignal& s, float in) {
    if (std::isnan(in)) return false;
    if (s.state == 0) s.state = 2;
    if (in == s.value) return false;
    s.value = in;
    return true;
}

void check(GpsSignal& s, uint8_t plausible, uint8_t errorType) {
    if (plausible) {
        s.state = 2;
        return;
    }
    if (s.state != 3) error_mgr_set(GPS_ERR_PATH, errorType, 0);
    s.state = 3;
}

} // namespace

void initGpsTrigger(float lon, float lat, float radius, uint8_t speedConfigured, uint8_t headingConfigured) {
    gpsTriggerInit(&triggerState, lon, lat, radius);
    gpsInterPolInit(&ipolState, 0.01f);
    sigLong = {kNaN, 0};
    sigLat = {kNaN, 0};
    sigSpeed = {kNaN, speedConfigured ? 0 : 1};
    sigDir = {kNaN, headingConfigured ? 0 : 1};
    gps_mon_init(&speedMonState);
    gps_mon_init(&dirMonState);
    clock = TriggerClock{};
}

uint8_t getGpsTrigger(float lon, float lat, float speedKmh, float headingDeg) {
    bool newPosition = take(sigLong, lon);
    newPosition = take(sigLat, lat) || newPosition;
    if (sigSpeed.state != 1) take(sigSpeed, speedKmh);
    if (sigDir.state != 1) take(sigDir, headingDeg);

    if (newPosition && present(sigSpeed) && present(sigDir)) {
        check(sigSpeed, gps_speed_monitor(&speedMonState, sigLong.value, sigLat.value, sigSpeed.value),
              GPS_ERR_SPEED);
        check(sigDir, gps_dir_monitor(&dirMonState, sigLong.value, sigLat.value, sigDir.value),
              GPS_ERR_HEADING);
    }

    ipolState.lon = sigLong.value;
    ipolState.lat = sigLat.value;
    ipolState.dir = sigDir.value;
    ipolState.speed = sigSpeed.value;
    ipolState.newPosition = newPosition ? 1 : 0;
    ipolState.deadReckoning = valid(sigSpeed) && valid(sigDir) ? 1 : 0;
    if (ipolState.deadReckoning) error_mgr_clear(GPS_ERR_PATH);

    gpsInterPol(&ipolState, 1.0f, nullptr, nullptr);
    return gpsTriggerCalc(&triggerState, &ipolState);
}

uint8_t gpsLapTriggerTake(float lon, float lat, float speedKmh, float headingDeg, uint32_t at,
                          uint32_t* firedAt) {
    if (!moves(sigLong, lon) && !moves(sigLat, lat)) {
        take(sigLong, lon);
        take(sigLat, lat);
        if (sigSpeed.state != 1) take(sigSpeed, speedKmh);
        if (sigDir.state != 1) take(sigDir, headingDeg);
        return 0;
    }
    // The steps before the position; one that fires leaves the position nothing to fire.
    uint8_t fired = clock.running && before(clock.evaluated, at) ? steps(at - 1, firedAt) : 0;
    if (getGpsTrigger(lon, lat, speedKmh, headingDeg) && !fired) {
        *firedAt = at;
        fired = 1;
    }
    if (!clock.running) {
        clock.reach = 0; // the next position is due when the second one tells
    } else if (before(clock.position, at)) {
        const uint32_t gap = at - clock.position;
        clock.reach = (gap < kReachMost ? gap : kReachMost) - 1;
    }
    clock.running = true;
    clock.evaluated = clock.position = at;
    return fired;
}

uint8_t gpsLapTriggerAdvance(uint32_t until, uint32_t* firedAt) {
    return steps(until, firedAt);
}

float getGpsActDist2trig() {
    return valid(sigLat) && valid(sigLong) ? triggerState.dist : 0.0f;
}

float getGpsActLongDist2trig() {
    return valid(sigSpeed) && valid(sigDir) ? std::fabs(triggerState.along) : 0.0f;
}

float getGpsActVertDist2trig() {
    return valid(sigSpeed) && valid(sigDir) ? triggerState.lateral : 0.0f;
}
