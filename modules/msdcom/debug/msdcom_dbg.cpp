// Network diagnostics: DivoVur2 and gateway counters into measurement variables every 100 ms, and
// the ping sender every 10 ms with the answers' response times.
#include "msdcom/debug/msdcom_dbg.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/time_util.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/comint.h"
#include "msdcom/gateway/gw_meas.h"
#include "msdcom/measman/meas_man.h"
#include "msdcom/network/bc2_net.h"

#include <algorithm>

msdcom_ping_t pings[MSDCOM_PING_ENTRIES];
std::atomic<uint32_t> pingLoop{0};

namespace {

// The sender's own state, used by the 10 ms raster only.
struct Sender {
    bool ready = false;
    uint32_t calls = 0;
    int next = 0;
};
Sender gSender;

template <typename T> void countUp(T& counter) {
    __atomic_fetch_add(&counter, T(1), __ATOMIC_RELAXED);
}

template <typename T> void put(T& variable, T value) {
    __atomic_store_n(&variable, value, __ATOMIC_RELAXED);
}

// Age from `then` to `now` in 100 us; 0 for a stamp in the future (by signed difference, so a
// wrap of the time stamp is no future).
uint32_t age(uint32_t now, uint32_t then) {
    const int32_t d = int32_t(now - then);
    return d < 0 ? 0u : uint32_t(d);
}

uint16_t saturate16(uint32_t v) {
    return uint16_t(std::min<uint32_t>(v, 0xFFFF));
}

// The variables of one diagnostic slot.
struct Slot {
    uint32_t& remSeqCnt;
    uint8_t &cmdState, &dataState;
    uint16_t &cmdTxCnt, &cmdTxErr, &cmdRxCnt, &cmdRxErr;
    uint32_t &dataTxCntOnline, &dataTxCntOffline;
    uint16_t& dataTxErr;
    uint32_t &dataRxCntOnline, &dataRxCntOffline;
    uint16_t &dataRxErr, &remoteVer;
    uint8_t &gwState, &gwStateReq, &gwStateRun;
    uint16_t* gwCounts[GW_DEBUGOUT_WORDS - 3];
};

#define MSDCOM_SLOT(s, n)                                                                                    \
    Slot {                                                                                                   \
        s.msdcom_dbg_bcRemSeqCnt_##n, s.msdcom_dbg_cmdState_##n, s.msdcom_dbg_dataState_##n,                 \
            s.msdcom_cmdTxCnt_##n, s.msdcom_cmdTxErr_##n, s.msdcom_cmdRxCnt_##n, s.msdcom_cmdRxErr_##n,      \
            s.msdcom_dataTxCntOnline_##n, s.msdcom_dataTxCntOffline_##n, s.msdcom_dataTxerr_##n,             \
            s.msdcom_dataRxCntOnline_##n, s.msdcom_dataRxCntOffline_##n, s.msdcom_dataRxErr_##n,             \
            s.msdcom_remote_ver_##n, s.msdcom_gw_pid_state_##n, s.msdcom_gw_pid_state_req_##n,               \
            s.msdcom_gw_pid_state_run_##n, {                                                                 \
            &s.msdcom_gw_mlistCnt_##n, &s.msdcom_gw_dataCntOnline_##n, &s.msdcom_gw_dataCntOffline_##n,      \
                &s.msdcom_gw_noDataCnt_##n, &s.msdcom_gw_mlistCnt_cfg_##n, &s.msdcom_gw_mlistCnt_init_##n,   \
                &s.msdcom_gw_mlistCnt_entry_##n, &s.msdcom_gw_mlistCnt_cbstart_err_##n,                      \
                &s.msdcom_gw_mlistCnt_setup_##n, &s.msdcom_gw_mlistCnt_meas_##n,                             \
                &s.msdcom_gw_mlistCnt_meas_PID_NOMEAS_##n, &s.msdcom_gw_mlistCnt_destroy_##n,                \
                &s.msdcom_gw_mlistCnt_instant_destroy_##n, &s.msdcom_gw_mlistCnt_offline_entry_##n,          \
                &s.msdcom_gw_mlistCnt_offline_cbdata_err_##n, &s.msdcom_gw_mlistCnt_mlist_err_##n            \
        }                                                                                                    \
    }

// PID 0 switches the slot off: every variable 0.
void fillSlot(const Slot& s, uint8_t pid) {
    BC2_debugPID_t b{};
    uint16_t gw[GW_DEBUGOUT_WORDS] = {};
    if (pid != 0) {
        BC2_debugoutPID(pid, &b);
        gw_debugoutPID(pid, gw);
    }
    put(s.remSeqCnt, b.remSeqCnt);
    put(s.cmdState, b.cmdState);
    put(s.dataState, b.dataState);
    put(s.cmdTxCnt, b.cmdTxCnt);
    put(s.cmdTxErr, b.cmdTxErr);
    put(s.cmdRxCnt, b.cmdRxCnt);
    put(s.cmdRxErr, b.cmdRxErr);
    put(s.dataTxCntOnline, uint32_t(b.dataTxCntOnline));
    put(s.dataTxCntOffline, uint32_t(b.dataTxCntOffline));
    put(s.dataTxErr, b.dataTxErr);
    put(s.dataRxCntOnline, uint32_t(b.dataRxCntOnline));
    put(s.dataRxCntOffline, uint32_t(b.dataRxCntOffline));
    put(s.dataRxErr, b.dataRxErr);
    put(s.remoteVer, b.remoteVersion);
    put(s.gwState, uint8_t(gw[0]));
    put(s.gwStateReq, uint8_t(gw[1]));
    put(s.gwStateRun, uint8_t(gw[2]));
    for (int i = 3; i < GW_DEBUGOUT_WORDS; ++i) put(*s.gwCounts[i - 3], gw[i]);
}

} // namespace

void msdcom_dbg() {
    SeramSigPage& s = seramSig();
    put(s.msdcom_dataloss_offline, meas_man_get_data_loss_cnt());
    BC2_debugGlob_t g{};
    BC2_debugoutGlob(&g);
    put(s.msdcom_dbg_bcSeqCnt, g.seqCnt);
    put(s.msdcom_dbg_bcRxCnt, uint32_t(g.bcRxCnt));
    put(s.msdcom_dbg_mcRxCnt, uint32_t(g.mcRxCnt));
    put(s.msdcom_dbg_mcRxErr, g.mcRxErr);
    const SeramCalData& cal = seramCal();
    fillSlot(MSDCOM_SLOT(s, 1), cal.MSDCOM_DBG_PID_1);
    fillSlot(MSDCOM_SLOT(s, 2), cal.MSDCOM_DBG_PID_2);
}

void msdcom_dbg_10ms() {
    const SeramCalData& cal = seramCal();
    const uint8_t pid = cal.MSDCOM_DBG_PING_PID;
    if (pid == 0) return;
    Sender& t = gSender;
    if (!t.ready) {
        for (msdcom_ping_t& p : pings) p.state.store(PING_FREE);
        t.ready = true;
    }
    const uint8_t freq = cal.MSDCOM_DBG_PING_FREQ;
    if (freq == 1) {
        if (++t.calls % 10 != 0) return;
    } else if (freq != 2) {
        return;
    }
    SeramSigPage& s = seramSig();
    const uint32_t now = time_getTimestamp();
    uint32_t worst = 0;
    for (msdcom_ping_t& p : pings) {
        const uint32_t state = p.state.load();
        if (state == PING_SENT) {
            worst = std::max(worst, age(now, p.sendTime.load()));
        } else if (state == PING_ANSWERED) {
            worst = std::max<uint32_t>(worst, p.response.load());
            p.state.store(PING_FREE);
        }
    }
    put(s.msdcom_dbg_ping_max, saturate16(worst));

    msdcom_ping_t& e = pings[t.next];
    if (e.state.load() != PING_FREE) { // never answered in time
        countUp(s.msdcom_dbg_ping_error);
        e.state.store(PING_FREE);
    }
    e.sendTime.store(now);
    if (BC2_connected(pid)) {
        const uint32_t loop = pingLoop.load();
        comint_msg m;
        ci_init(&m, MSDCOM_PING_CMD, app_pid, pid, ci_ident_payloadFn(pingCallBack), 0, MSDCOM_PING_PAYLOAD);
        ci_put32(m.data, now);
        ci_put16(m.data + 4, uint16_t(t.next));
        ci_put16(m.data + 6, uint16_t(loop));
        e.loop.store(uint16_t(loop));
        e.state.store(PING_SENT);
        comint_put_cmd(&m, 0);
    }
    if (++t.next >= MSDCOM_PING_ENTRIES) {
        t.next = 0;
        pingLoop.fetch_add(1);
    }
}

void pingCallBack(const uint8_t* payload, uint16_t length) {
    SeramSigPage& s = seramSig();
    const uint16_t index = length >= MSDCOM_PING_PAYLOAD ? ci_get16(payload + 4) : 0xFFFF;
    if (index >= MSDCOM_PING_ENTRIES) {
        countUp(s.msdcom_dbg_ping_error);
        return;
    }
    countUp(s.msdcom_dbg_ping_cnt);
    msdcom_ping_t& e = pings[index];
    if (e.loop.load() != ci_get16(payload + 6)) countUp(s.msdcom_dbg_ping_over); // from an earlier pass
    const int32_t d = int32_t(time_getTimestamp() - e.sendTime.load());
    if (d < 0) {
        countUp(s.msdcom_dbg_ping_error);
        e.state.store(PING_FREE);
        return;
    }
    e.response.store(saturate16(uint32_t(d)));
    e.state.store(PING_ANSWERED);
}

void msdcom_dbg_ini() {
    raster_addPeriodic(static_cast<RasterTaskId>(6), 800, "msdcom_dbg", msdcom_dbg);
    raster_addPeriodic(static_cast<RasterTaskId>(3), 800, "msdcom_dbg_10ms", msdcom_dbg_10ms);
}

void msdcom_dbg_reset() {
    gSender = Sender{};
    pingLoop.store(0);
    for (msdcom_ping_t& p : pings) {
        p.state.store(PING_FREE);
        p.sendTime.store(0);
        p.loop.store(0);
        p.response.store(0);
    }
}
