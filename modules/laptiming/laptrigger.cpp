#include "laptiming/laptrigger.h"

#include "framework/appman.h"
#include "framework/calc_round.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "laptiming/laptrigger_internal.h"
#include "measdata/cfg_system.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/measman/meas_man.h"

#include <cstring>

namespace {

// Lap messages go to every device; this one serves its own broadcast too.
const uint16_t laptrigger_targets[] = {CI_PID_ALL, 0};

std::atomic<int32_t> lapfunc_ctrl_req_cnt[LAPFUNC_CHANNELS];
std::atomic<int32_t> lapfunc_ctrl_ack_cnt[LAPFUNC_CHANNELS];

void setMaster(uint16_t lap, uint16_t outing, uint32_t laptime, uint32_t timestamp) {
    laptrg::Master& m = laptrg::master();
    m.lap.store(lap);
    m.outing.store(outing);
    m.laptime.store(laptime);
    m.timestamp.store(timestamp);
    m.valid.store(1);
}

void broadcast(uint16_t cmd) {
    comint_msg m;
    ci_init(&m, cmd, app_pid, CI_PID_ALL, 0, 0, 0);
    comint_put_cmd(&m, 1);
}

} // namespace

namespace laptrg {

bool statusDue(bool sent, uint32_t last, uint32_t now) {
    return !sent || uint32_t(now - last) >= LAPTRIGGER_STATUS_INTERVAL;
}

Master& master() {
    static Master m;
    return m;
}

Receiver& receiver() {
    static Receiver r;
    return r;
}

StatusReply& statusReply() {
    static StatusReply s;
    return s;
}

void sendLapMessage(uint32_t code, uint32_t timestamp, uint32_t laptime, uint16_t lap, uint16_t outing) {
    for (const uint16_t* target = laptrigger_targets; *target; ++target) {
        comint_msg m;
        ci_init(&m, 0x1200, app_pid, *target, 0, 0, LAPTRIGGER_MSG_LEN);
        ci_put32(m.data, code);
        ci_put32(m.data + 4, timestamp);
        ci_put32(m.data + 8, laptime);
        ci_put16(m.data + 12, lap);
        ci_put16(m.data + 14, outing);
        comint_put_cmd(&m, 1);
    }
}

} // namespace laptrg

uint32_t laptrigger_laptime(float seconds) {
    const double hundredths = calc::round(double(seconds) * 100.0); // halves away from zero, saturating
    return hundredths > 0 ? uint32_t(hundredths) : 0;
}

void laptrigger_init(uint16_t lap, uint16_t outing, float laptime) {
    setMaster(lap, outing, laptrigger_laptime(laptime), 0);
}

// A lap is stamped with the due time of the lap model's pass that saw it, however late the host ran
// that pass: the stamp cuts the measurement files where the lap was, not where the host caught up.
void laptrigger_event(uint16_t lap, uint16_t outing, float laptime) {
    laptrigger_eventAt(lap, outing, laptime, raster_passTimestamp());
}

void laptrigger_eventAt(uint16_t lap, uint16_t outing, float laptime, uint32_t timestamp) {
    const uint32_t hundredths = laptrigger_laptime(laptime);
    setMaster(lap, outing, hundredths, timestamp);
    laptrg::sendLapMessage(LAPTRIGGER_EVENT, timestamp, hundredths, lap, outing);
}

void laptrigger_update(uint16_t lap, uint16_t outing, float laptime) {
    const uint32_t now = raster_passTimestamp();
    const uint32_t hundredths = laptrigger_laptime(laptime);
    setMaster(lap, outing, hundredths, now);
    laptrg::sendLapMessage(LAPTRIGGER_UPDATE, now, hundredths, lap, outing);
}

void laptrigger_get_info_req(uint32_t pid) {
    comint_msg m;
    ci_init(&m, 0x1201, app_pid, cfg_system.ltmPid, 0, 0, LAPTRIGGER_MSG_LEN);
    std::memset(m.data, 0, LAPTRIGGER_MSG_LEN);
    ci_put32(m.data, pid);
    comint_put_cmd(&m, 1);
}

void laptrigger_meas_req() {
    comint_msg m;
    ci_init(&m, 0x1203, app_pid, cfg_system.laptrigSlave ? cfg_system.ltmPid : app_pid, 0, 0,
            LAPTRIGGER_MSG_LEN);
    std::memset(m.data, 0, LAPTRIGGER_MSG_LEN);
    comint_put_cmd(&m, 1);
}

void laptrigger_check_outctr() {
    broadcast(0x1204);
}
void laptrigger_resetlap() {
    broadcast(0x1205);
}
void laptrigger_resetout() {
    broadcast(0x1206);
}
void laptrigger_resetlapdist() {
    broadcast(0x1207);
}
void laptrigger_reset_best_laptime() {
    broadcast(0x1208);
}
void laptrigger_incr_outing() {
    broadcast(0x1209);
}
void laptrigger_incr_lap() {
    broadcast(0x120A);
}
void laptrigger_reset_segments() {
    broadcast(0x120B);
}

uint32_t laptrigger_getLapTimeStamp() {
    return laptrg::receiver().timestamp.load();
}

void lapfunc_ctrl_Set(int channel) {
    if (channel >= 0 && channel < LAPFUNC_CHANNELS) lapfunc_ctrl_req_cnt[channel].fetch_add(1);
}

void lapfunc_ctrl_Get(int channel, uint8_t* pending) {
    uint8_t p = 0;
    if (channel >= 0 && channel < LAPFUNC_CHANNELS &&
        lapfunc_ctrl_req_cnt[channel].load() > lapfunc_ctrl_ack_cnt[channel].load()) {
        lapfunc_ctrl_ack_cnt[channel].fetch_add(1);
        p = 1;
    }
    if (pending) *pending = p;
}

void lapfunc_ctrl_Send(int channel) {
    switch (channel) {
    case LAPFUNC_CH_RESET_LAP:
        laptrigger_resetlap();
        break;
    case LAPFUNC_CH_RESET_OUT:
        laptrigger_resetout();
        break;
    case LAPFUNC_CH_RESET_LAPDIST:
        laptrigger_resetlapdist();
        break;
    case LAPFUNC_CH_RESET_BEST:
        laptrigger_reset_best_laptime();
        break;
    case LAPFUNC_CH_RESET_SEGMENTS:
        laptrigger_reset_segments();
        break;
    default:
        syslogx(LOG_PRIO_ERR, "lapfunc_ctrl_Send(): unknown channel (%d)", channel);
        break;
    }
}

void laptrigger_ini() {
    const struct {
        uint16_t code;
        ci_handler_t handler;
    } rows[] = {{0x1200, laptrigger_signal_cmd},
                {0x1201, laptrigger_get_info_cmd},
                {0x1202, laptrigger_get_info_reply_cmd},
                {0x1203, laptrigger_meas},
                {0x1204, laptrigger_check_outctr_cmd},
                {0x1205, laptrigger_reset_lap_cmd},
                {0x1206, laptrigger_reset_out_cmd},
                {0x1207, laptrigger_reset_lapdist_cmd},
                {0x1208, laptrigger_reset_best_laptime_cmd},
                {0x1209, laptrigger_incr_outing_cmd},
                {0x120A, laptrigger_incr_lap_cmd},
                {0x120B, laptrigger_reset_segments_cmd}};
    for (const auto& r : rows) ci_register_handler(r.code, r.handler);
    meas_man_setLapTimestampSource(laptrigger_getLapTimeStamp);
}

void laptrigger_reset() {
    laptrg::Master& m = laptrg::master();
    m.laptime = m.timestamp = 0;
    m.outing = m.lap = 0;
    m.valid = 0;
    laptrg::Receiver& r = laptrg::receiver();
    r.laptimeOld = r.timestamp = 0;
    r.outing = r.lap = 0;
    laptrg::statusReply().sent = false;
    for (int i = 0; i < LAPFUNC_CHANNELS; ++i) lapfunc_ctrl_req_cnt[i] = lapfunc_ctrl_ack_cnt[i] = 0;
}
