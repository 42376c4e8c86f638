// Stand-ins for what the model reads and calls, and the model's start-up and rasters.
#include "model_harness.h"

#include <cstring>

namespace modeltest {

Inputs in;
std::vector<LapMessage> sent;
uint64_t ticks = 0;

namespace {
uint64_t lateMs = 0; // of the step running now

template <typename T> T take(T& v) {
    const T t = v;
    v = 0;
    return t;
}

uint8_t awm_0x08_lapfunc_getTrigger() {
    return in.trigger;
}
uint8_t awm_0x08_lapfunc_getGpsTrigger() {
    return in.gps;
}
uint32_t raster_getPassTimestamp() {
    return uint32_t((ticks - lateMs) * 10);
}
uint32_t awm_0x08_lapfunc_getGpsTriggerTimestamp() {
    return uint32_t(raster_getPassTimestamp() - in.gpsEarlierMs * 10);
}
uint16_t awm_0x08_lapfunc_getGpsSegmentTrigger() {
    return take(in.gpsSegment);
}
float awm_0x08_lapfunc_getSpeed() {
    return in.speed;
}
uint8_t awm_0x08_lapfunc_getOutIncrReq() {
    return take(in.outIncrReq);
}
void awm_0x08_lapfunc_ini_lof() {}
uint8_t awm_0x0A_fuelcons_getReset() {
    return in.fuelReset;
}
float awm_0x0A_fuelcons_getFuel() {
    return in.fuel;
}
uint8_t awm_0x0A_fuelcons_getLaptrigger() {
    return take(in.fuelLap);
}
uint32_t laptrigger_getLapTimeStamp() {
    return in.lapTimestamp;
}
void laptrigger_event(uint16_t lap, uint16_t outing, float laptime, uint32_t timestamp) {
    sent.push_back({true, lap, outing, laptime, ticks, timestamp});
}
void laptrigger_update(uint16_t lap, uint16_t outing, float laptime) {
    sent.push_back({false, lap, outing, laptime, ticks, raster_getPassTimestamp()});
}

const application_dor_Imports kStandIns{awm_0x08_lapfunc_getTrigger,
                                        awm_0x08_lapfunc_getGpsTrigger,
                                        awm_0x08_lapfunc_getGpsTriggerTimestamp,
                                        awm_0x08_lapfunc_getGpsSegmentTrigger,
                                        awm_0x08_lapfunc_getSpeed,
                                        awm_0x08_lapfunc_getOutIncrReq,
                                        awm_0x08_lapfunc_ini_lof,
                                        awm_0x0A_fuelcons_getReset,
                                        awm_0x0A_fuelcons_getFuel,
                                        awm_0x0A_fuelcons_getLaptrigger,
                                        laptrigger_getLapTimeStamp,
                                        laptrigger_event,
                                        laptrigger_update,
                                        raster_getPassTimestamp};
} // namespace

void defaults() {
    in = Inputs{};
    sent.clear();
    ticks = 0;
    SIG_ACT_LVL = 1;
    MAIN_TRIG_TIME_MIN = 20;
    IM_TRIG_TIME_MIN = 0;
    TRIG_CFG = 0;
    MAIN_RETRIG_LOCK = 1.0f;
    IM_RETRIG_LOCK = 1.0f;
    CND_SPEED_MIN = CND_DIST_MIN = CND_DIST_MAX = TRACK_LEN = 0;
    SEGTIME_MODE = 0;
    std::memset(LAPSEG, 0, sizeof LAPSEG);
    std::memset(LAPSEGPRED, 0, sizeof LAPSEGPRED);
    LAPTIMEPRED = LAPTIBEST_PL = LAPTIBEST_SET = 0;
    CNTDOWNTIME_MODE = 0;
    CNTDOWNTIME_SET = CNTDOWNTIME_INIT = 0;
    LAP_CTR_SET = LAP_CTR_INIT = OUT_CTR_SET = OUT_CTR_INIT = 1;
    DISTLAP_INIT = 0;
    MACRO_LAPTRG_SET = MACRO_LAPDIST_SET = MACRO_LAP_SET = MACRO_OUT_SET = MACRO_SEGTIME_SET =
        MACRO_LAPTIBEST_SET = 0;
    FC_SIG_ACT_LVL = 1;
    FUEL_INPUT_MODE = 1;
    ADAPTION_FACTOR = CORRECTION_FACTOR = 1;
    TANK_CAPACITY = TARGET_LAP_CONS = 0;
    LAP_REMAINING_MODE = 0;
    FUELCONS_INIT = FUELTOTAL_INIT = 0;
    MACRO_FUELCONS_SET = MACRO_FUELTOTAL_SET = 0;
}

void boot() {
    application_dor_setImports(&kStandIns);
    application_dor_initialize(1);
    application_dor_step2();
    application_dor_step1();
    application_dor_step0();
}

void run(uint64_t ms) {
    for (uint64_t i = 0; i < ms; ++i) {
        ++ticks;
        application_dor_step0();
        if (ticks % 10 == 0) {
            lateMs = in.step1LateMs;
            application_dor_step1();
            lateMs = 0;
        }
        if (ticks % 100 == 0) application_dor_step2();
    }
}

void drop(uint64_t ms) {
    ticks += ms;
}

void pulse(uint64_t ms) {
    in.trigger = 1;
    run(ms);
    in.trigger = 0;
}

} // namespace modeltest
