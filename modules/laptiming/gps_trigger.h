// The GPS trigger line: a trigger point with a radius fires once each time the vehicle passes it,
// at the crossing of the line through the point perpendicular to the direction of travel. Between
// fixes the position is carried on by dead reckoning in steps of 1/100 of a time unit. Positions
// in degrees (north and east positive), distances in m, speed in km/h, heading in degrees from
// north; single precision throughout, in a flat projection around the points involved.
//
// Two layers: a library on caller-owned records (also used by the GPS segment module of the
// calculation channels), and the lap trigger proper, one static trigger point driven every 10 ms
// by the lap function.
#pragma once

#include <cstdint>

struct gpsTriggerState {
    float rate;     // change of the distance per time unit, negative while approaching
    float dist;     // distance to the point
    float prevDist; // distance of the previous call
    float lateral;  // distance of the point from the line of travel
    float along;    // distance to the point along the direction of travel
    float pointLong, pointLat;
    float radius;
    int32_t state; // 0 away, 1 inside the radius, 2 triggered
};

struct gpsIPolState {
    float lon, lat, dir, speed; // last input values
    float vEast, vNorth;        // travel per time unit, m
    float cosDir, sinDir;
    float step;            // length of (vEast, vNorth)
    float dLat, dLong;     // position change per dead-reckoning step, degrees
    float stepFactor;      // fraction of a time unit per step
    int32_t stepCount;     // steps since the last fix, -1 before the first
    uint8_t newPosition;   // latitude or longitude changed in this call
    uint8_t deadReckoning; // speed and heading are both plausible
};

struct gpsMonState {
    int32_t state;  // 0..4
    float lon, lat; // stored position
};

inline constexpr float GPS_EARTH_RADIUS = 6378137.0f;
inline constexpr uint16_t GPS_ERR_PATH = 0x1C8;
inline constexpr uint8_t GPS_ERR_SPEED = 0x17;
inline constexpr uint8_t GPS_ERR_HEADING = 0x18;

// Library. A missing record is ignored (results 0).
void gpsTriggerInit(gpsTriggerState* point, float lon, float lat, float radius);
void gpsTriggerReset(gpsTriggerState* point);
uint8_t gpsTriggerCalc(gpsTriggerState* point, gpsIPolState* ipol);
void gpsInterPolInit(gpsIPolState* ipol, float stepFactor);
void gpsInterPol(gpsIPolState* ipol, float dt, float* lat, float* lon);
void gps_mon_init(gpsMonState* mon);
uint8_t gps_speed_monitor(gpsMonState* mon, float lon, float lat, float speed);
uint8_t gps_dir_monitor(gpsMonState* mon, float lon, float lat, float heading);
// Squared distance in m², with the cosine of lat1.
float gps_distCalc_sqr(float lat1, float long1, float lat2, float long2);
float gps_deg2rad(float deg);
float gps_rad2deg(float rad);

// Lap trigger. Inputs that are not configured are passed as NaN.
void initGpsTrigger(float lon, float lat, float radius, uint8_t speedConfigured, uint8_t headingConfigured);
uint8_t getGpsTrigger(float lon, float lat, float speedKmh, float headingDeg); // 1 in the call that fires

// The lap trigger on the device's clock (time stamps of 100 us): each position is taken at its own
// time, and dead reckoning steps 10 ms of that clock at a time between the positions and up to a
// pass's time, however many passes ran. A position older than the steps taken (its sentence came
// late) is taken at its own time, and the steps after it are taken again from it. Dead reckoning
// carries a position until the next one is due (as long as the last two lay apart, at most 2.5 s)
// and then waits for it, so that where the line is found does not depend on when a position's
// sentence came, nor on whether a pass ran before it. Both return 1 when the line is crossed, with
// the time of the step or position that fired in *firedAt, and then take no further step: the rest
// waits for the next call.
// The values as they stood at `at` (NaN: not there); speed and heading alone take effect with the
// next position, as in a call without one.
uint8_t gpsLapTriggerTake(float lon, float lat, float speedKmh, float headingDeg, uint32_t at,
                          uint32_t* firedAt);
// The steps due up to `until`.
uint8_t gpsLapTriggerAdvance(uint32_t until, uint32_t* firedAt);
float getGpsActDist2trig();     // while latitude and longitude are valid, else 0
float getGpsActLongDist2trig(); // |along| while speed and heading are valid, else 0
float getGpsActVertDist2trig(); // lateral while speed and heading are valid, else 0
