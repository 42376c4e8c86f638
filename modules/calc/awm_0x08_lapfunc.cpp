#include "calc/awm_0x08_lapfunc.h"

#include "calc/awm_0x0A_fuelcons.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_sched.h"
#include "calc/model/application_dor.h"
#include "framework/appman.h"
#include "framework/board_io.h"
#include "framework/nvram.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/gps_fixes.h"
#include "laptiming/gps_trackdet.h"
#include "laptiming/gps_trigger.h"
#include "laptiming/lap_hooks.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "platform/rtos/hostclock.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

namespace {

constexpr uint16_t kRasterBeacon = 0; // the beacon is read by the 1 ms step
constexpr uint16_t kRasterInputs = 3; // everything else by the 10 ms step
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint64_t kStepNs = 10000000; // the step of the 10 ms raster

enum Request : uint32_t {
    REQ_LAPTRG = 1u << 0,
    REQ_LAPDIST = 1u << 1,
    REQ_LAP = 1u << 2,
    REQ_OUT = 1u << 3,
    REQ_SEGTIME = 1u << 4,
    REQ_LAPTIBEST = 1u << 5,
};

struct LapFunc {
    std::atomic<bool> configured{false};
    uint32_t channel = 0;
    awm_lapfunc_cfg cfg;
    AwmInput beacon, speed, lat, lon, gpsSpeed, heading;
    std::atomic<uint32_t> requests{0};
    std::atomic<uint8_t> outIncrReq{0};
    std::atomic<uint16_t> gpsSegment{0};
    float best = APPLICATION_DOR_NO_BEST; // the model's best lap cell
    float storedBest = APPLICATION_DOR_NO_BEST;
    float dist2trig[3] = {};
    // Where the current outing began, for the outing check in another task.
    std::atomic<float> outingStartDist{0.0f};
    float lastOuting = -1.0f;
    // The trigger line's position inputs are this device's receiver: it takes every fix the
    // receiver took, each at its own time, in place of the values the gateway sampled.
    bool fixesOfReceiver = false;
    GpsFixReader fixes;
    uint32_t gpsCrossedAt = 0; // time stamp of the crossing the last call reported
};

LapFunc& lf() {
    static LapFunc l;
    return l;
}

float readOr(const AwmInput& in, float fallback) {
    double v = 0;
    return in.read(&v) ? float(v) : fallback;
}

// The lap length and, with distance segments, the segment ends that follow from it.
void setLapLength(float length) {
    const awm_lapfunc_cfg& c = lf().cfg;
    TRACK_LEN = length;
    for (int i = 0; i < AWM_LAPFUNC_SEGMENTS; ++i) LAPSEG[i] = c.lapSeg[i] * length;
}

void storeBest(float best) {
    LapFunc& l = lf();
    if (best == l.storedBest) return;
    // A value the NV store's queue refused is not stored: the next step queues it again.
    if (nvram_dbs_writeLater(NV_REC_LAPMODEL, NV_LAPMODEL_BEST, &best, sizeof best, "the best lap") != 0)
        l.storedBest = best;
}

void request(uint32_t bit) {
    lf().requests.fetch_or(bit, std::memory_order_acq_rel);
}

// A pending request raises its model request for one step; a request that follows at once waits
// one step, so that the model sees its edge.
void raise(uint32_t pending, uint32_t bit, uint8_t* macro) {
    if (*macro != 0) {
        *macro = 0;
        return;
    }
    if ((pending & bit) == 0) return;
    *macro = 1;
    lf().requests.fetch_and(~bit, std::memory_order_acq_rel);
}

// A receiver without its first fix reports 0, 0. Without a position, speed and heading are held
// back too: dead reckoning from no position would put the car on the trigger point.
void positionOrNone(float* lat, float* lon, float* speedKmh, float* heading) {
    if ((*lat == 0.0f && *lon == 0.0f) || std::isnan(*lat) || std::isnan(*lon))
        *lat = *lon = *speedKmh = *heading = kNaN;
}

float readAsOfOr(const AwmInput& in, uint64_t ns) {
    double v = 0;
    return in.readAsOf(ns, &v) ? float(v) : kNaN;
}

bool speedValid() {
    double v = 0;
    return lf().speed.read(&v);
}

// An input that reads the f32 cell of this device's receiver.
bool readsReceiver(const awm_input_cfg& in, const float& cell) {
    return in.address != 0 && in.type == 6 && (in.pid == 0 || in.pid == app_pid) &&
           seramMemPtr(in.address & 0x00FFFFFFu, sizeof(float)) == reinterpret_cast<const uint8_t*>(&cell);
}

bool fromReceiver(const awm_lapfunc_cfg& c) {
    const SeramSigPage& s = seramSig();
    return readsReceiver(c.lat, s.gps_lat) && readsReceiver(c.lon, s.gps_long) &&
           (c.gpsSpeed.address == 0 || readsReceiver(c.gpsSpeed, s.gps_speed)) &&
           (c.heading.address == 0 || readsReceiver(c.heading, s.gps_direction));
}

// Speed and heading count as configured for the trigger line when the gateway delivers them, or
// when they come with the receiver's fixes.
uint8_t triggerInput(const AwmInput& in, const awm_input_cfg& c) {
    return in.configured() || (lf().fixesOfReceiver && c.address != 0) ? 1 : 0;
}

// A fix's value through the input's conversion; NaN for an input that is not configured or a
// conversion that is undefined.
float converted(const awm_input_cfg& in, float raw) {
    double v = 0;
    return in.address != 0 && awm_input_convert(in, std::bit_cast<uint32_t>(raw), &v) ? float(v) : kNaN;
}

} // namespace

bool awm_0x08_lapfunc_ini(uint32_t channel, const awm_lapfunc_cfg& cfg) {
    LapFunc& l = lf();
    if (l.configured.load()) {
        syslogx(LOG_PRIO_ERR2, "awm_0x08_lapfunc_ini(): channel %u refused: the lap function is channel %u",
                unsigned(channel), unsigned(l.channel));
        return false;
    }
    l.channel = channel;
    l.cfg = cfg;
    SIG_ACT_LVL = cfg.sigActLvl;
    MAIN_TRIG_TIME_MIN = cfg.mainTrigTimeMin;
    IM_TRIG_TIME_MIN = cfg.imTrigTimeMin;
    TRIG_CFG = cfg.trigCfg;
    MAIN_RETRIG_LOCK = cfg.mainRetrigLock;
    IM_RETRIG_LOCK = cfg.imRetrigLock;
    CND_SPEED_MIN = cfg.cndSpeedMin;
    CND_DIST_MIN = cfg.cndDistMin;
    CND_DIST_MAX = cfg.cndDistMax;
    SEGTIME_MODE = cfg.segTimeMode;
    for (int i = 0; i < AWM_LAPFUNC_SEGMENTS; ++i) LAPSEGPRED[i] = cfg.lapSegPred[i];
    setLapLength(cfg.lapLength);
    LAPTIMEPRED = cfg.lapTimePred;
    LAPTIBEST_PL = cfg.lapTiBestPl;
    LAPTIBEST_SET = cfg.lapTiBestSet;
    CNTDOWNTIME_INIT = cfg.cntDownTimeInit;
    LAP_CTR_SET = cfg.startLap;
    OUT_CTR_SET = cfg.startOuting;

    float stored = 0;
    const bool kept =
        nvram_dbs_read(NV_REC_LAPMODEL, NV_LAPMODEL_BEST, &stored, sizeof stored) == sizeof stored &&
        std::isfinite(stored);
    l.best = l.storedBest = kept ? stored : APPLICATION_DOR_NO_BEST;
    laptimebest = &l.best;
    l.requests = 0;
    l.outIncrReq = 0;
    l.gpsSegment = 0;
    l.fixesOfReceiver = fromReceiver(cfg);
    gps_fixReaderStart(&l.fixes);

    l.beacon.start(cfg.beacon, kRasterBeacon, "awm_0x08_lapfunc", "beacon");
    l.speed.start(cfg.speed, kRasterInputs, "awm_0x08_lapfunc", "speed");
    l.lat.start(cfg.lat, kRasterInputs, "awm_0x08_lapfunc", "latitude");
    l.lon.start(cfg.lon, kRasterInputs, "awm_0x08_lapfunc", "longitude");
    l.gpsSpeed.start(cfg.gpsSpeed, kRasterInputs, "awm_0x08_lapfunc", "GPS speed");
    l.heading.start(cfg.heading, kRasterInputs, "awm_0x08_lapfunc", "heading");
    initGpsTrigger(cfg.gpsLong, cfg.gpsLat, cfg.gpsRadius, triggerInput(l.gpsSpeed, cfg.gpsSpeed),
                   triggerInput(l.heading, cfg.heading));
    gps_trackdet_ini();
    l.configured.store(true, std::memory_order_release);
    syslogx(LOG_PRIO_INFO2, "awm_0x08_lapfunc_ini(): lap function at channel %u, %s trigger, best lap %.2f s",
            unsigned(channel), cfg.triggerMode == AWM_LAPFUNC_GPS ? "GPS" : "beacon", double(l.best));
    return true;
}

void awm_0x08_lapfunc_exit() {
    LapFunc& l = lf();
    if (!l.configured.exchange(false)) return;
    for (AwmInput* in : {&l.beacon, &l.speed, &l.lat, &l.lon, &l.gpsSpeed, &l.heading}) in->stop();
    gps_trackdet_stop();
}

bool awm_0x08_lapfunc_configured() {
    return lf().configured.load(std::memory_order_acquire);
}

void awm_0x08_lapfunc_ini_lof() {
    LapFunc& l = lf();
    if (!awm_0x08_lapfunc_configured()) return;
    DISTLAP_INIT = l.cfg.distLapInit;
    CNTDOWNTIME_MODE = l.cfg.cntDownTimeMode;
    CNTDOWNTIME_SET = l.cfg.cntDownTimeSet;
    LapOutFraState st{};
    LapOutFra_getState(&st);
    uint16_t lap = st.lap, out = st.outing;
    bool changed = false;
    // A lap-trigger slave takes its counters from the master; its model just starts from them.
    if (!cfg_system.laptrigSlave) {
        if (st.valid) {
            if (!speedValid() || (l.cfg.outingDistance > 0 && distlap > l.cfg.outingDistance)) {
                lap = l.cfg.startLap;
                out = uint16_t(st.outing + 1);
                changed = true;
            }
        } else {
            syslogx(LOG_PRIO_WARNING, "awm_0x08_lapfunc_ini_lof: Lap and Outing invalid, reset to default");
            lap = l.cfg.startLap;
            out = l.cfg.startOuting;
            changed = true;
        }
        if (changed) LapOutFra_initLapOutCnt(lap, out);
    }
    LAP_CTR_INIT = lap;
    OUT_CTR_INIT = out;
    l.lastOuting = -1.0f;
    if (cfg_system.laptrigSlave) return;
    laptrigger_init(lap, out, 0.0f);
    if (changed) laptrigger_update(lap, out, 0.0f);
}

uint8_t awm_0x08_lapfunc_getTrigger() {
    LapFunc& l = lf();
    const uint8_t inactive = (SIG_ACT_LVL & 1u) ? 0 : 1;
    if (!awm_0x08_lapfunc_configured() || AWM_sched_STOP.load(std::memory_order_relaxed) || !supply_isGood())
        return inactive;
    if (!l.beacon.configured()) return digital_ioIn(0) != 0 ? 1 : 0;
    double v = 0;
    if (!l.beacon.read(&v)) return inactive;
    return v >= l.cfg.beaconThreshold ? 1 : 0;
}

uint8_t awm_0x08_lapfunc_getGpsTrigger() {
    LapFunc& l = lf();
    if (!awm_0x08_lapfunc_configured() || l.cfg.triggerMode != AWM_LAPFUNC_GPS ||
        AWM_sched_STOP.load(std::memory_order_relaxed)) {
        gps_fixReaderStart(&l.fixes); // the fixes of that time are not looked at later
        return 0;
    }
    float lat, lon, speedKmh, heading;
    awm_0x08_lapfunc_gpsInputs(&lat, &lon, &speedKmh, &heading);
    float pointLat = 0, pointLong = 0, length = 0;
    int32_t id = -1;
    const int found = gps_trackdet_get(lat, lon, dist, &pointLat, &pointLong, &length, &id);
    if (found != 0) {
        initGpsTrigger(pointLong, pointLat, l.cfg.gpsRadius, triggerInput(l.gpsSpeed, l.cfg.gpsSpeed),
                       triggerInput(l.heading, l.cfg.heading));
        setLapLength(length);
        if (found == 2) l.best = APPLICATION_DOR_NO_BEST; // another track: its best lap is still to come
        syslogx(LOG_PRIO_INFO2, "awm_0x08_lapfunc_getGpsTrigger(): track %d, %.1f m, line at %.6f %.6f",
                int(id), double(length), double(pointLat), double(pointLong));
    }
    // The line is found on the device's clock, not by the passes run: a pass that runs late (the host
    // held the process back, and the rasters catch up on their ticks, or drop them) takes every fix
    // made by its time, each at the time it was made, and dead reckoning counts the clock's steps
    // between them. Values sampled by the gateway are taken as they stood at the pass's time.
    const uint64_t dueNs = raster_passDueNs() != 0 ? raster_passDueNs() : hostclock_nowNs();
    const uint32_t due = time_timestampOf(dueNs);
    uint32_t crossed = due;
    uint8_t fired = 0;
    if (l.fixesOfReceiver) {
        const awm_lapfunc_cfg& c = l.cfg;
        GpsFix f{};
        while (fired == 0 && gps_fixNext(&l.fixes, dueNs, &f)) {
            lat = converted(c.lat, f.lat);
            lon = converted(c.lon, f.lon);
            speedKmh = converted(c.gpsSpeed, f.speedKmh);
            heading = converted(c.heading, f.heading);
            positionOrNone(&lat, &lon, &speedKmh, &heading);
            fired = gpsLapTriggerTake(lon, lat, speedKmh, heading, time_timestampOf(f.atNs), &crossed);
        }
    } else {
        // A value that came within the step of the pass that reads it came in time.
        const uint64_t asOf = dueNs + kStepNs;
        lat = readAsOfOr(l.lat, asOf);
        lon = readAsOfOr(l.lon, asOf);
        speedKmh = readAsOfOr(l.gpsSpeed, asOf);
        heading = readAsOfOr(l.heading, asOf);
        positionOrNone(&lat, &lon, &speedKmh, &heading);
        fired = gpsLapTriggerTake(lon, lat, speedKmh, heading, due, &crossed);
    }
    if (fired == 0) fired = gpsLapTriggerAdvance(due, &crossed);
    l.gpsCrossedAt = fired != 0 ? crossed : due;
    return fired;
}

uint32_t awm_0x08_lapfunc_getGpsTriggerTimestamp() {
    return lf().gpsCrossedAt;
}

void awm_0x08_lapfunc_gpsInputs(float* lat, float* lon, float* speedKmh, float* heading) {
    LapFunc& l = lf();
    *lat = readOr(l.lat, kNaN);
    *lon = readOr(l.lon, kNaN);
    *speedKmh = readOr(l.gpsSpeed, kNaN);
    *heading = readOr(l.heading, kNaN);
    positionOrNone(lat, lon, speedKmh, heading);
}

uint16_t awm_0x08_lapfunc_getGpsSegmentTrigger() {
    return lf().gpsSegment.exchange(0);
}

void awm_0x08_lapfunc_setGpsSegmentTrigger(uint16_t boundary) {
    lf().gpsSegment.store(boundary);
}

float awm_0x08_lapfunc_getSpeed() {
    if (!awm_0x08_lapfunc_configured() || AWM_sched_STOP.load(std::memory_order_relaxed)) return 0.0f;
    return readOr(lf().speed, 0.0f);
}

uint8_t awm_0x08_lapfunc_getOutIncrReq() {
    return lf().outIncrReq.exchange(0);
}

void awm_0x08_lapfunc_checkOutCtr() {
    LapFunc& l = lf();
    if (cfg_system.ltmPid == app_pid && cfg_system.laptrigSlave) return;
    if (!awm_0x08_lapfunc_configured()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "awm_0x08_lapfunc_checkOutCtr(): lapfunc not operational");
        return;
    }
    const float driven =
        std::atomic_ref<float>(dist).load(std::memory_order_relaxed) - l.outingStartDist.load();
    if (!speedValid() || (l.cfg.outingDistance > 0 && driven > l.cfg.outingDistance)) l.outIncrReq.store(1);
}

void awm_0x08_lapfunc_requests() {
    const uint32_t pending = lf().requests.load(std::memory_order_acquire);
    raise(pending, REQ_LAPTRG, &MACRO_LAPTRG_SET);
    raise(pending, REQ_LAPDIST, &MACRO_LAPDIST_SET);
    raise(pending, REQ_LAP, &MACRO_LAP_SET);
    raise(pending, REQ_OUT, &MACRO_OUT_SET);
    raise(pending, REQ_SEGTIME, &MACRO_SEGTIME_SET);
    raise(pending, REQ_LAPTIBEST, &MACRO_LAPTIBEST_SET);
}

void awm_0x08_lapfunc_cyclicCall() {
    LapFunc& l = lf();
    if (!awm_0x08_lapfunc_configured()) return;
    l.dist2trig[0] = getGpsActDist2trig();
    l.dist2trig[1] = getGpsActLongDist2trig();
    l.dist2trig[2] = getGpsActVertDist2trig();
    if (outing != l.lastOuting) {
        l.lastOuting = outing;
        l.outingStartDist.store(dist);
    }
    storeBest(l.best);
}

const float* awm_0x08_lapfunc_dist2trig(int which) {
    return which >= 0 && which < 3 ? &lf().dist2trig[which] : nullptr;
}

void lapfunc_resetLap() {
    request(REQ_LAP);
}
void lapfunc_resetOut() {
    request(REQ_OUT);
}
void lapfunc_resetLapDist() {
    request(REQ_LAPDIST);
}
void lapfunc_resetBestLapTime() {
    request(REQ_LAPTIBEST);
}
void lapfunc_incrOuting() {
    syslogx(LOG_PRIO_INFO, "lapfunc_incrOuting(): outing increment requested from extern");
    lf().outIncrReq.store(1);
}
void lapfunc_incrLap() {
    request(REQ_LAPTRG);
}
void lapfunc_resetSegments() {
    request(REQ_SEGTIME);
}

void awm_0x08_lapfunc_connect() {
    static const LapFunctionHooks hooks{
        awm_0x08_lapfunc_configured, awm_0x08_lapfunc_checkOutCtr,   lapfunc_resetLap,   lapfunc_resetOut,
        lapfunc_resetLapDist,        lapfunc_resetBestLapTime,       lapfunc_incrOuting, lapfunc_incrLap,
        lapfunc_resetSegments,       awm_0x0A_fuelcons_setLaptrigger};
    lap_setLapFunction(&hooks);
}
