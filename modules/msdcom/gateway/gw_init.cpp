// Start-up, shutdown and diagnostics of the gateway.
#include "framework/raster.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/gateway/gw_internal.h"

#include <cstdio>
#include <mutex>

using namespace gwi;

namespace {

constexpr int ORDER_DELIVERY = 200;   // in each raster task
constexpr int ORDER_MONITORING = 201; // 10 ms raster: delivery, monitoring, time-outs, then the
constexpr int ORDER_TIMEOUT = 202;    // measurement manager's 10 ms tick
constexpr int ORDER_LAP = 950;        // lap rasters: after the measurement manager's copy

void registerHandlers() {
    ci_register_handler(0x0501, gw_meascreate_reply);
    ci_register_handler(0x0506, gw_meas_timestamp_err);
    ci_register_handler(0x0511, meas_man_meas2_create_reply);
    ci_register_handler(0x0513, meas_man_break2_reply);
    ci_register_handler(0x0515, meas_man_speed2_reply);
    ci_register_handler(0x0517, meas_man_get_measurement_state2_reply);
    ci_register_handler(0x0518, gw_meas2_timestamp_err);
}

// Registrations of the raster scheduler last for the process: made once, they act on whatever
// gateway state is current.
void hookRasters() {
    for (int r = 0; r < RASTER_INDICES; ++r)
        raster_addPeriodic(RasterTaskId(r), ORDER_DELIVERY, "gw_raster", [r] { gw_raster(r); });
    raster_addPeriodic(RasterTaskId(3), ORDER_MONITORING, "gw_meas_monitoring", gw_meas_monitoring);
    raster_addPeriodic(RasterTaskId(3), ORDER_TIMEOUT, "gw_request_timeout", gw_request_timeout);
    // Lists of the lap rasters (indices 11 and 12) are delivered by the lap tasks that copy them.
    raster_addPeriodic(RASTER_LAP, ORDER_LAP, "gw_raster", [] {
        gw_raster(11);
        gw_raster(12);
    });
    raster_addPeriodic(RASTER_SBLAP, ORDER_LAP, "gw_raster", [] { gw_raster(12); });
    raster_addPeriodic(RASTER_R1000MS, ORDER_DELIVERY, "gw_meas_1s", gw_meas_1s);
}

void resetPids(State& s) {
    for (PidState& p : s.pids) {
        p.answerReload = ANSWER_MS;
        p.answerTimer = 0;
        p.pollReload = POLL_MS;
        p.pollTimer = 0;
        p.reported.store(GW_PID_OFFLINE);
        p.current.store(GW_PID_OFFLINE);
        p.previous = GW_PID_OFFLINE;
        p.runM = p.reqM = 0;
        p.lists = nullptr;
        p.dataCntOffline = p.dataCntOnline = p.noDataCnt = p.mlistCnt = 0;
        for (uint16_t& c : p.stateCnt) c = 0;
    }
}

} // namespace

bool gw_meas_ini() {
    State& s = gw();
    if (s.ready.load()) return true;
    resetPids(s);
    for (gw_mlist*& head : s.rasterLists) head = nullptr;
    s.requestHead = s.expiring = nullptr;
    s.connections = nullptr;
    constexpr int kOptions = SEM_Q_PRIORITY | SEM_INVERSION_SAFE;
    if (s.requestSem == SEM_ID_NULL && (s.requestSem = semMCreate(kOptions)) == SEM_ID_NULL) {
        syslogx(LOG_PRIO_ERR, "gw_meas_ini() semMCreate request failed");
        return false;
    }
    if (s.mhandleSem == SEM_ID_NULL && (s.mhandleSem = semMCreate(kOptions)) == SEM_ID_NULL) {
        syslogx(LOG_PRIO_ERR, "gw_meas_ini() semMCreate mhandle failed");
        return false;
    }
    s.magics = magicNumber_createMem(MAGIC_TABLE_SIZE, MAGIC_HOLD_TICKS);
    if (!s.magics) {
        syslogx(LOG_PRIO_ERR, "gw_meas_ini(): failed to initialize magic number table");
        return false;
    }
    s.magicArr.assign(MAGIC_TABLE_SIZE, MagicSlot{});
    registerHandlers();
    static std::once_flag hooked;
    std::call_once(hooked, hookRasters);
    s.stopping.store(false);
    s.ready.store(true);
    return true;
}

void gw_meas_exit() {
    State& s = gw();
    if (!s.ready.load() || !lockGateway("gw_meas_exit")) return;
    s.ready.store(false);
    for (PidState& p : s.pids) {
        while (gw_mlist* l = p.lists) {
            p.lists = l->nextPid;
            while (gw_mhandle* sub = l->subscribers) {
                l->subscribers = sub->nextList;
                delete sub;
            }
            freeListMemory(l);
        }
    }
    while (gw_connection* c = s.connections) {
        s.connections = c->next;
        delete c;
    }
    if (lockRequests("gw_meas_exit")) {
        for (Request* head : {s.requestHead, s.expiring}) {
            while (Request* r = head) {
                head = r->next;
                delete r;
            }
        }
        s.requestHead = s.expiring = nullptr;
        unlockRequests();
    }
    for (gw_mlist*& head : s.rasterLists) head = nullptr;
    magicNumber_destroyMem(s.magics);
    s.magics = nullptr;
    s.magicArr.clear();
    resetPids(s);
    unlockGateway("gw_meas_exit");
}

void gw_meas_1s() {
    State& s = gw();
    if (!s.ready.load() || !lockGateway("gw_meas_1s")) return;
    magicNumber_garbageCollection(s.magics);
    unlockGateway("gw_meas_1s");
}

void gw_stop() {
    State& s = gw();
    s.stopping.store(true);
    if (!s.ready.load()) return;
    // A raster task stuck under the mutex must not hold the shutdown: a tenth of a second.
    const bool locked = semTake(s.mhandleSem, MUTEX_STOP_TICKS) == OK;
    for (uint16_t pid = 0; pid < GW_PIDS; ++pid) {
        PidState& p = s.pids[pid];
        if (p.current.load() == GW_PID_MEAS && p.reported.load() != GW_PID_OFFLINE) {
            gw_kill_pid(pid);
            p.current.store(GW_PID_KILLMEAS);
        }
    }
    if (locked) semGive(s.mhandleSem);
}

void gw_print_pidstate() {
    State& s = gw();
    for (int pid = 0; pid < GW_PIDS; ++pid) {
        const uint16_t state = s.pids[pid].current.load();
        if (state == GW_PID_OFFLINE) continue;
        std::printf("PID: %i [0x%X] online", pid, unsigned(pid));
        std::printf(state == GW_PID_MEAS ? " -- measure is running\n" : " -- no measure\n");
    }
}

int gw_debugoutPID(uint16_t pid, uint16_t* out) {
    if (!out) return 0;
    for (int i = 0; i < GW_DEBUGOUT_WORDS; ++i) out[i] = 0;
    const PidState* p = pidState(pid);
    if (!p || !gw().ready.load() || !lockGateway("gw_debugoutPID")) return 1;
    out[0] = p->current.load();
    out[1] = p->reqM;
    out[2] = p->runM;
    out[3] = p->mlistCnt;
    out[4] = p->dataCntOnline;
    out[5] = p->dataCntOffline;
    out[6] = p->noDataCnt;
    for (uint32_t i = 0; i < GW_LS_COUNT; ++i) out[7 + i] = p->stateCnt[i];
    unlockGateway("gw_debugoutPID");
    return 1;
}
