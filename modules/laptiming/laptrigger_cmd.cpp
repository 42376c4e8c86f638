// The handlers of the lap-trigger commands, run by "r_Comint".
#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lap_hooks.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "laptiming/laptrigger_internal.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "msdcom/ci/comint.h"

#include <atomic>

namespace {

constexpr int kRasterLap = -4;   // the lap raster
constexpr int kRasterSbLap = -7; // the lap status-block raster

// A message shorter than its fields would hand the handler what the queue slot held before.
// Each handler owns its flood counter.
bool longEnough(const comint_msg* m, uint16_t needed, const char* handler, std::atomic<uint8_t>* flood) {
    if (ci_len(m) >= needed) return true;
    const uint8_t seen = syslogss_floodcount(flood);
    if (seen < 13)
        syslogx(LOG_PRIO_ERR, "%s(): cmd 0x%X from PID %X with %u payload bytes (%u needed), dropped",
                handler, unsigned(ci_cmd(m)), unsigned(ci_src(m)), unsigned(ci_len(m)), unsigned(needed));
    else if (seen == 13)
        syslogss_floodwarn(flood);
    return false;
}

void request(int channel, const char* text, void (*LapFunctionHooks::*call)()) {
    const LapFunctionHooks& lapFunction = lap_lapFunction();
    if (lapFunction.configured()) {
        syslogx(LOG_PRIO_DEBUG, "%s", text);
        (lapFunction.*call)();
    }
    lapfunc_ctrl_Set(channel);
}

} // namespace

void laptrigger_signal_cmd(comint_msg* message) {
    static std::atomic<uint8_t> flood{0};
    if (!message || !longEnough(message, LAPTRIGGER_MSG_LEN, "laptrigger_signal_cmd", &flood)) return;
    const uint8_t* p = message->data;
    const uint32_t code = ci_get32(p);
    const uint32_t timestamp = ci_get32(p + 4);
    const uint32_t laptime = ci_get32(p + 8);
    const uint16_t lap = ci_get16(p + 12);
    const uint16_t outing = ci_get16(p + 14);
    const uint16_t sender = ci_src(message);
    const int secs = int(laptime / 100), hundredths = int(laptime % 100);

    // The receiver record follows every lap message, whoever sent it and whatever follows.
    laptrg::Receiver& r = laptrg::receiver();
    const uint16_t previousLap = r.lap.exchange(lap);
    const uint16_t previousOuting = r.outing.exchange(outing);
    r.laptimeOld.store(laptime);
    if (code == LAPTRIGGER_EVENT) r.timestamp.store(timestamp);

    if (seramCal().OUTINGCTR_MODE != 0) { // test-bench mode
        if (code == LAPTRIGGER_EVENT)
            syslogx(LOG_PRIO_INFO2,
                    "Testbenchmode! Ignoring received Laptrigger Event. Outing: %d, Lap: %d, Laptime %d,%.2d",
                    int(outing), int(lap), secs, hundredths);
        else if (code == LAPTRIGGER_STATUS)
            raster_triggerTask(kRasterSbLap);
        return;
    }
    switch (code) {
    case LAPTRIGGER_EVENT: {
        if (sender != cfg_system.ltmPid) {
            syslogx(
                LOG_PRIO_INFO2,
                "Ignoring received Laptrigger Event from non-LTM (%d). Outing: %d, Lap: %d, Laptime %d,%.2d",
                int(sender), int(outing), int(lap), secs, hundredths);
            break;
        }
        LapOutFra_setLapOutCnt(lap, outing, timestamp);
        const float fuel = lap_lapFunction().fuelLaptrigger();
        syslogx(LOG_PRIO_INFO2,
                "Received Laptrigger Event. Outing %d, Lap %d, Laptime %d,%.2d, fuelcons %5.2f", int(outing),
                int(lap), secs, hundredths, double(fuel));
        raster_triggerTask(kRasterLap);
        const uint16_t fcm = cfg_system.fcmPid;
        if (fcm == CFG_SYSTEM_PID_NONE || fcm == app_pid)
            lap_logging().lapStackAddEntry(uint8_t(previousLap), laptime, fuel);
        lap_logging().statusBlockLap(previousLap, previousOuting, timestamp, laptime);
        break;
    }
    case LAPTRIGGER_STATUS:
        raster_triggerTask(kRasterSbLap);
        break;
    case LAPTRIGGER_UPDATE:
        syslogx(LOG_PRIO_INFO2, "Received Laptrigger Update. Outing %d, Lap %d, Laptime %d,%.2d", int(outing),
                int(lap), secs, hundredths);
        LapOutFra_chngLapOutCnt(lap, outing);
        break;
    default:
        break;
    }
}

void laptrigger_get_info_cmd(comint_msg* message) {
    static std::atomic<uint8_t> flood{0};
    if (!message || !longEnough(message, 4, "laptrigger_get_info_cmd", &flood)) return;
    const laptrg::Master& m = laptrg::master();
    if (m.valid.load() != 1) return;
    comint_msg reply;
    // The requester's context words come back exchanged.
    ci_init(&reply, 0x1202, app_pid, ci_src(message), ci_rctx(message), ci_ctx(message), LAPTRIGGER_MSG_LEN);
    ci_put32(reply.data, ci_get32(message->data));
    ci_put32(reply.data + 4, m.timestamp.load());
    ci_put32(reply.data + 8, m.laptime.load());
    ci_put16(reply.data + 12, m.lap.load());
    ci_put16(reply.data + 14, m.outing.load());
    comint_put_cmd(&reply, 1);
}

void laptrigger_get_info_reply_cmd(comint_msg* message) {
    static std::atomic<uint8_t> flood{0};
    if (!message || !longEnough(message, LAPTRIGGER_MSG_LEN, "laptrigger_get_info_reply_cmd", &flood)) return;
    // A lap event that came first wins.
    if (LapOutFra_isValid() != 1)
        LapOutFra_initLapOutCnt(ci_get16(message->data + 12), ci_get16(message->data + 14));
}

void laptrigger_meas(comint_msg*) {
    const uint32_t now = time_getTimestamp();
    laptrg::StatusReply& s = laptrg::statusReply();
    if (!laptrg::statusDue(s.sent.load(), s.last.load(), now)) return;
    s.last.store(now);
    s.sent.store(true);
    const laptrg::Master& m = laptrg::master();
    laptrg::sendLapMessage(LAPTRIGGER_STATUS, 0, m.laptime.load(), m.lap.load(), m.outing.load());
}

void laptrigger_check_outctr_cmd(comint_msg*) {
    const LapFunctionHooks& lapFunction = lap_lapFunction();
    if (lapFunction.configured()) lapFunction.checkOutCtr();
}

void laptrigger_reset_lap_cmd(comint_msg*) {
    request(LAPFUNC_CH_RESET_LAP, "laptrigger_reset_lap_cmd(): laptrigger: received lap reset request",
            &LapFunctionHooks::resetLap);
}
void laptrigger_reset_out_cmd(comint_msg*) {
    request(LAPFUNC_CH_RESET_OUT, "laptrigger_reset_out_cmd(): laptrigger: received outing reset request",
            &LapFunctionHooks::resetOut);
}
void laptrigger_reset_lapdist_cmd(comint_msg*) {
    request(LAPFUNC_CH_RESET_LAPDIST,
            "laptrigger_reset_lapdist_cmd(): laptrigger: received lapdist reset request",
            &LapFunctionHooks::resetLapDist);
}
void laptrigger_reset_best_laptime_cmd(comint_msg*) {
    request(LAPFUNC_CH_RESET_BEST,
            "laptrigger_reset_best_laptime_cmd(): laptrigger: received best laptime reset request",
            &LapFunctionHooks::resetBestLapTime);
}
void laptrigger_incr_outing_cmd(comint_msg*) {
    request(LAPFUNC_CH_INCR_OUTING,
            "laptrigger_incr_outing_cmd(): laptrigger: received outing increment request",
            &LapFunctionHooks::incrOuting);
}
void laptrigger_incr_lap_cmd(comint_msg*) {
    request(LAPFUNC_CH_INCR_LAP, "laptrigger_incr_lap_cmd(): laptrigger: received lap increment request",
            &LapFunctionHooks::incrLap);
}
void laptrigger_reset_segments_cmd(comint_msg*) {
    request(LAPFUNC_CH_RESET_SEGMENTS,
            "laptrigger_reset_segments_cmd(): laptrigger: received reset segments request",
            &LapFunctionHooks::resetSegments);
}
