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
float getGpsActDist2trig();     // while latitude and longitude are valid, else 0
float getGpsActLongDist2trig(); // |along| while speed and heading are valid, else 0
float getGpsActVertDist2trig(); // lateral while speed and heading are valid, else 0
