#include "calc/awm_0x17_gps.h"

#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_sched.h"
#include "framework/syslog.h"
#include "laptiming/gps_trigger.h"

#include <cmath>

namespace {

constexpr uint8_t kRaster = 3;
constexpr uint32_t kStep = 100;      // the raster's 10 ms in time stamps of 100 us
constexpr uint32_t kMostSteps = 250; // dead reckoning carries a position 2.5 s at most

struct GpsSeg {
    bool configured = false;
    uint32_t channel = 0;
    uint8_t count = 0;
    gpsTriggerState points[AWM_GPSSEG_POINTS] = {};
    gpsIPolState ipol = {};
    gpsMonState speedMon = {}, dirMon = {};
    float lat = 0, lon = 0, speed = 0, heading = 0;
    bool stamped = false;
    uint32_t stamp = 0; // of the last call
    awm_sched_node* node = nullptr;
};

// Dead reckoning counts the clock's steps, not the calls: the steps the host dropped since the last
// call are taken before this one.
uint16_t missedSteps(GpsSeg& s, uint32_t timestamp) {
    const int32_t since = int32_t(timestamp - s.stamp);
    const bool first = !s.stamped;
    s.stamped = true;
    s.stamp = timestamp;
    if (first || since <= int32_t(kStep)) return 0;
    uint32_t missed = uint32_t(since) / kStep - 1;
    if (missed > kMostSteps) missed = kMostSteps;
    uint16_t passed = 0;
    s.ipol.newPosition = 0;
    for (uint32_t k = 0; k < missed; ++k)
        for (uint8_t i = 0; i < s.count; ++i)
            if (gpsTriggerCalc(&s.points[i], &s.ipol)) passed = uint16_t(i + 1);
    return passed;
}

GpsSeg& seg() {
    static GpsSeg s;
    return s;
}

} // namespace

bool awm_0x17_gps_ini(uint32_t channel, uint8_t raster, const awm_gpsseg_cfg& cfg) {
    GpsSeg& s = seg();
    const char* why = s.configured                    ? "the GPS segments are another channel"
                      : raster != kRaster             ? "its dead reckoning needs raster index 3 (10 ms)"
                      : cfg.count > AWM_GPSSEG_POINTS ? "more than 50 points"
                                                      : nullptr;
    if (why) {
        syslogx(LOG_PRIO_ERR2, "awm_0x17_gps_ini(): channel %u refused: %s", unsigned(channel), why);
        return false;
    }
    s.channel = channel;
    s.count = cfg.count;
    for (uint8_t i = 0; i < s.count; ++i)
        gpsTriggerInit(&s.points[i], cfg.point[i].lon, cfg.point[i].lat, cfg.radius);
    gpsInterPolInit(&s.ipol, 0.01f);
    gps_mon_init(&s.speedMon);
    gps_mon_init(&s.dirMon);
    s.lat = s.lon = s.speed = s.heading = 0.0f;
    s.stamped = false;
    s.node = awm_sched_queue_head(awm_0x17_gps_cyclicCall, &s, kRaster);
    s.configured = s.node != nullptr;
    return s.configured;
}

void awm_0x17_gps_exit() {
    GpsSeg& s = seg();
    awm_sched_unqueue(s.node);
    s.node = nullptr;
    s.configured = false;
}

void awm_0x17_gps_cyclicCall(void* instance, uint32_t timestamp) {
    auto& s = *static_cast<GpsSeg*>(instance);
    uint16_t passed = missedSteps(s, timestamp);
    float lat, lon, speed, heading;
    awm_0x08_lapfunc_gpsInputs(&lat, &lon, &speed, &heading);
    bool newPosition = false;
    if (!std::isnan(lat) && !std::isnan(lon) && (lat != s.lat || lon != s.lon)) {
        s.lat = lat;
        s.lon = lon;
        newPosition = true;
    }
    const bool moving = !std::isnan(speed) && !std::isnan(heading);
    bool plausible = moving;
    if (moving) {
        s.speed = speed;
        s.heading = heading;
        if (newPosition) {
            const uint8_t speedOk = gps_speed_monitor(&s.speedMon, s.lon, s.lat, s.speed);
            const uint8_t dirOk = gps_dir_monitor(&s.dirMon, s.lon, s.lat, s.heading);
            plausible = speedOk && dirOk;
        } else {
            plausible =
                s.speedMon.state != 3 && s.speedMon.state != 4 && s.dirMon.state != 3 && s.dirMon.state != 4;
        }
    }
    s.ipol.lon = s.lon;
    s.ipol.lat = s.lat;
    s.ipol.speed = s.speed;
    s.ipol.dir = s.heading;
    s.ipol.newPosition = newPosition ? 1 : 0;
    s.ipol.deadReckoning = plausible ? 1 : 0;
    gpsInterPol(&s.ipol, 1.0f, nullptr, nullptr);
    for (uint8_t i = 0; i < s.count; ++i)
        if (gpsTriggerCalc(&s.points[i], &s.ipol)) passed = uint16_t(i + 1);
    if (passed) awm_0x08_lapfunc_setGpsSegmentTrigger(passed);
}
