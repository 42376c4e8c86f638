// The trigger library on caller-owned records: trigger point, dead reckoning, plausibility monitors.
#include "laptiming/gps_trigger.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr float kStepStanding = 0.1f; // m per time unit: not moving
constexpr float kLeaveFactor = 1.3f;  // the state returns to 0 beyond radius x 1.3
constexpr float kStepTime = 0.01f;    // dead-reckoning step of the lap trigger's 10 ms call
constexpr float kMonitorDistance = 20.0f;

float length(float a, float b) {
    return std::sqrt(a * a + b * b);
}

// Vector from (lat, lon) to the point, with the cosine of the point's latitude.
void towardsPoint(const gpsTriggerState* p, float lat, float lon, float* east, float* north) {
    *east = GPS_EARTH_RADIUS * std::sin(gps_deg2rad(p->pointLong - lon)) * std::cos(gps_deg2rad(p->pointLat));
    *north = GPS_EARTH_RADIUS * std::sin(gps_deg2rad(p->pointLat - lat));
}

uint8_t fire(gpsTriggerState* p) {
    p->state = 2;
    return 1;
}

bool hasPosition(float lon, float lat) {
    return lat != 0.0f && lon != 0.0f;
}

void store(gpsMonState* m, float lon, float lat) {
    m->lon = lon;
    m->lat = lat;
}

// The monitors' common states: 0 until the vehicle has moved, 1 and 4 watch the channel, 2 the
// channel has shown a value other than 0 (final), 3 and 4 implausible.
uint8_t monitor(gpsMonState* m, float lon, float lat, bool channelZero, bool movedTooFar) {
    switch (m->state) {
    case 0:
        if (hasPosition(m->lon, m->lat)) {
            if (lon != m->lon || lat != m->lat) {
                store(m, lon, lat);
                m->state = 1;
            }
        } else if (hasPosition(lon, lat)) {
            store(m, lon, lat);
        }
        break;
    case 1:
    case 4:
        if (!channelZero)
            m->state = 2;
        else if (movedTooFar)
            m->state = 3;
        break;
    case 3:
        if (hasPosition(lon, lat)) {
            store(m, lon, lat);
            m->state = 4;
        }
        break;
    default:
        break;
    }
    return (m->state == 3 || m->state == 4) ? 0 : 1;
}

} // namespace

float gps_deg2rad(float deg) {
    return deg * 0.017453292f;
}

float gps_rad2deg(float rad) {
    return rad * 57.29578f;
}

float gps_distCalc_sqr(float lat1, float long1, float lat2, float long2) {
    const float dLat = lat1 - lat2;
    const float dLong = long1 - long2;
    const float east = GPS_EARTH_RADIUS * std::sin(gps_deg2rad(dLong)) * std::cos(gps_deg2rad(lat1));
    const float north = GPS_EARTH_RADIUS * std::sin(gps_deg2rad(dLat));
    return east * east + north * north;
}

void gpsTriggerReset(gpsTriggerState* point) {
    if (point == nullptr) return;
    point->state = 0;
    point->rate = 0.0f;
}

void gpsTriggerInit(gpsTriggerState* point, float lon, float lat, float radius) {
    if (point == nullptr) return;
    std::memset(point, 0, sizeof *point);
    gpsTriggerReset(point);
    point->pointLong = lon;
    point->pointLat = lat;
    point->radius = radius;
    point->state = 0;
    point->prevDist = 0.0f;
    // No position has been seen: no distance, so that calls before the first fix cannot put the
    // point in its radius and make the first fix fire.
    point->dist = point->along = point->lateral = std::numeric_limits<float>::quiet_NaN();
}

void gpsInterPolInit(gpsIPolState* ipol, float stepFactor) {
    if (ipol == nullptr) return;
    ipol->stepFactor = stepFactor;
    ipol->stepCount = -1;
}

void gpsInterPol(gpsIPolState* ip, float dt, float* lat, float* lon) {
    if (ip == nullptr) return;
    if (ip->newPosition && ip->deadReckoning) {
        const float dir = gps_deg2rad(ip->dir);
        ip->sinDir = std::sin(dir);
        ip->cosDir = std::cos(dir);
        ip->vEast = ip->speed * 0.2777778f * ip->sinDir * dt;
        ip->vNorth = ip->speed * 0.2777778f * ip->cosDir * dt;
        ip->step = length(ip->vEast, ip->vNorth);
        ip->stepCount = 0;
        ip->dLong = gps_rad2deg(std::asin(ip->vEast / (std::cos(gps_deg2rad(ip->lat)) * GPS_EARTH_RADIUS))) *
                    ip->stepFactor;
        ip->dLat = gps_rad2deg(std::asin(ip->vNorth * 1.567855942887398e-07f)) * ip->stepFactor;
    }
    if (lat == nullptr || lon == nullptr) return;
    if (!ip->deadReckoning) {
        *lat = ip->lat;
        *lon = ip->lon;
    } else if (ip->stepCount == -1) {
        *lat = 0.0f;
        *lon = 0.0f;
    } else {
        *lat = ip->lat + float(ip->stepCount) * ip->dLat;
        *lon = ip->lon + float(ip->stepCount) * ip->dLong;
        ++ip->stepCount;
    }
}

uint8_t gpsTriggerCalc(gpsTriggerState* p, gpsIPolState* ip) {
    if (p == nullptr || ip == nullptr) return 0;
    if (!ip->newPosition) {
        if (ip->deadReckoning) {
            p->along = p->along + p->rate * kStepTime;
            p->dist = length(p->lateral, p->along);
        }
    } else if (!ip->deadReckoning) {
        p->dist = std::sqrt(gps_distCalc_sqr(p->pointLat, p->pointLong, ip->lat, ip->lon));
    } else {
        float east = 0.0f, north = 0.0f;
        towardsPoint(p, ip->lat, ip->lon, &east, &north);
        const float d = length(east, north);
        if (ip->step <= kStepStanding) {
            p->rate = 0.0f;
            const float along = ip->cosDir * north + ip->sinDir * east;
            p->lateral = length(ip->cosDir * along - north, ip->sinDir * along - east);
            p->along = std::fabs(along);
        } else {
            const float dot = ip->vNorth * north + ip->vEast * east;
            const float along = dot / ip->step;
            p->lateral = length(ip->vNorth / ip->step * along - north, ip->vEast / ip->step * along - east);
            p->along = std::fabs(along);
            p->rate = (dot == 0.0f || d == 0.0f) ? 0.0f : -dot / d;
        }
        p->dist = length(p->lateral, p->along);
        // The distance has stopped falling inside the radius, or the vehicle moves across the
        // direction to the point.
        if (p->state == 1 && p->dist < p->radius && p->rate >= 0.0f) return fire(p);
        if (p->state == 1 && ip->step > kStepStanding && p->rate == 0.0f) return fire(p);
    }

    if (ip->deadReckoning) {
        if (p->dist < p->radius && p->state == 0) p->state = 1;
        if (p->dist > kLeaveFactor * p->radius) {
            if (p->state == 1) return fire(p);
            p->state = 0;
        }
        // The line is crossed within the next step. Behind the line |along| first grows from
        // just under that step again, which must not count as a second pass.
        if (p->state != 2 && std::fabs(p->along) < std::fabs(p->rate) * kStepTime && p->lateral < p->radius)
            return fire(p);
    } else {
        if (p->dist < p->radius && p->state == 0) p->state = 1;
        if (p->state == 1 && p->prevDist < p->dist) return fire(p);
        if (p->dist > kLeaveFactor * p->radius) {
            if (p->state == 1) return fire(p);
            p->state = 0;
        }
    }
    p->prevDist = p->dist;
    return 0;
}

void gps_mon_init(gpsMonState* mon) {
    if (mon == nullptr) return;
    *mon = gpsMonState{};
}

uint8_t gps_speed_monitor(gpsMonState* mon, float lon, float lat, float speed) {
    if (mon == nullptr) return 0;
    const bool far = std::sqrt(gps_distCalc_sqr(mon->lat, mon->lon, lat, lon)) > kMonitorDistance;
    return monitor(mon, lon, lat, speed == 0.0f, far);
}

uint8_t gps_dir_monitor(gpsMonState* mon, float lon, float lat, float heading) {
    if (mon == nullptr) return 0;
    // East-west movement only, in whole metres: a heading of exactly 0 is north.
    const float east =
        GPS_EARTH_RADIUS * std::sin(gps_deg2rad(lon - mon->lon)) * std::cos(gps_deg2rad(mon->lat));
    const float metres = std::trunc(std::fabs(east));
    return monitor(mon, lon, lat, heading == 0.0f, metres > kMonitorDistance);
}
