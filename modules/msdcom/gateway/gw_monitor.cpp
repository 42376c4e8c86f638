// Monitoring of the devices (every 10 ms): the state poll of every PID, the restarts after a
// reset, an offline period or a time-stamp error, the removal of killed lists and the statistics.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/gateway/gw_internal.h"
#include "msdcom/network/bc2_net.h"

#include <cstring>
#include <initializer_list>
#include <vector>

using namespace gwi;

namespace {

uint16_t countDown(uint16_t value) {
    return value > TICK_MS ? uint16_t(value - TICK_MS) : 0;
}

// The state request: 0x0516 to devices of version 0x0203 or later, else 0x0505 whose answer
// (0x0103/0x0104) writes the reported state through its identifier.
void sendPoll(uint16_t pid, PidState* ps) {
    comint_msg m;
    if (BC2_getRemoteCapabilty(pid, 1) == 0)
        ci_init(&m, 0x0516, app_pid, pid, 0, app_pid, 0);
    else
        ci_init(&m, 0x0505, app_pid, pid, ci_ident_flag(&ps->reported), app_pid, 0);
    comint_put_cmd(&m, 1);
}

// Step 1: killed lists count down their hold and are freed, or get their stop again; a list with
// a time-stamp error is stopped and requested anew.
void monitorLists(PidState* ps) {
    for (gw_mlist* l = ps->lists; l;) {
        gw_mlist* next = l->nextPid;
        if (l->killed) {
            if (l->state == GW_LS_DEST || l->state == GW_LS_INS_DEST) {
                l->killHold = countDown(l->killHold);
                if (l->killHold < TICK_MS) killListInternal(l);
            } else if (sendStop(l)) {
                l->state = (l->state == GW_LS_CFG || l->state == GW_LS_P_INI) ? GW_LS_INS_DEST : GW_LS_DEST;
                l->killHold = KILL_HOLD_MS;
            }
        } else if (l->tsError && (l->state == GW_LS_MEAS || l->state == GW_LS_MEASPN) && sendStop(l)) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_INFO,
                              "gw_meas_monitoring(): restart block because of timestamp error PID 0x%02X",
                              unsigned(l->pid));
            l->serverId = 0;
            l->state = GW_LS_P_ETRY;
            l->tsError = 0;
        }
        l = next;
    }
}

bool startable(const gw_mlist* l) {
    return !l->killed && (l->state != GW_LS_STERR || l->retryCount < RETRY_LIMIT);
}

void onNoMeas(uint16_t pid, PidState* ps) {
    if (ps->previous == GW_PID_KILLMEAS)
        syslogx(LOG_PRIO_INFO2, "MeasGate: PID 0x%X finished kill all meas, setting up new meas",
                unsigned(pid));
    else if (ps->previous != GW_PID_NOMEAS && ps->previous != GW_PID_MEAS)
        syslogx(LOG_PRIO_INFO2, "MeasGate: PID 0x%X is detected online(PID_NOMEAS)", unsigned(pid));
    int starts = 0;
    bool reset = false;
    for (gw_mlist* l = ps->lists; l; l = l->nextPid) {
        switch (l->state) {
        case GW_LS_CFG:
        case GW_LS_STP:
        case GW_LS_DEST:
        case GW_LS_INS_DEST:
            break;
        case GW_LS_MEAS:
            l->state = GW_LS_MEASPN;
            l->noMeasCount = 0;
            break;
        case GW_LS_MEASPN:
            if (++l->noMeasCount > MEASPN_LIMIT) {
                // The device lost the list (a reset): request it again.
                l->state = GW_LS_P_ETRY;
                l->retryCount = 0;
                reset = true;
                if (starts < STARTS_PER_TICK && !l->killed) {
                    ++starts;
                    startListInternal(l);
                }
            }
            break;
        default:
            if (starts < STARTS_PER_TICK && startable(l)) {
                ++starts;
                startListInternal(l);
            }
            break;
        }
    }
    if (reset) {
        syslogx(LOG_PRIO_INFO2, "MeasGate: PID 0x%X reset detected, restart measurement.", unsigned(pid));
        for (gw_mlist* l = ps->lists; l; l = l->nextPid) l->retryCount = 0;
    }
}

void onMeas(uint16_t pid, PidState* ps) {
    if (ps->previous != GW_PID_NOMEAS && ps->previous != GW_PID_MEAS && ps->previous != GW_PID_KILLMEAS)
        syslogx(LOG_PRIO_INFO2, "MeasGate: PID 0x%X is detected online(PID_MEAS)", unsigned(pid));
    if (ps->runM == 0 && ps->reqM == 0) {
        // The device holds a measurement this device never asked for (from before a restart).
        gw_kill_pid(pid);
        ps->current.store(GW_PID_KILLMEAS);
        ps->pollTimer = TICK_MS;
        syslogx(
            LOG_PRIO_INFO2,
            "MeasGate: PID 0x%X reports a measurement but none is registerd here. Kill all meas on client.",
            unsigned(pid));
        return;
    }
    if (ps->previous != GW_PID_MEAS)
        syslogx(LOG_PRIO_INFO2, "MeasGate: Measurement for PID 0x%X is set up and running", unsigned(pid));
    int starts = 0;
    for (gw_mlist* l = ps->lists; l; l = l->nextPid) {
        switch (l->state) {
        case GW_LS_P_INI:
        case GW_LS_P_ETRY:
        case GW_LS_P_ERR:
        case GW_LS_STERR:
            if (starts < STARTS_PER_TICK && startable(l)) {
                ++starts;
                if (startListInternal(l)) l->tsError = 0;
            }
            break;
        case GW_LS_MEASPN:
            l->state = GW_LS_MEAS;
            [[fallthrough]];
        case GW_LS_MEAS:
            // A name list's change waits for its answer (or its time-out) before it is repeated.
            if (l->stoppable && l->divisorReq != l->divisorCur && !l->speedPending) {
                SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2, "MeasGate: GW_SERVICE_MEAS_SPEED repeated");
                listSpeedInternal(l, l->divisorReq);
            }
            break;
        case GW_LS_OFF_ETRY:
        case GW_LS_OFF_ERR:
            tellAll(l, GW_CB_START, GW_EVT_OK, nullptr);
            l->state = GW_LS_MEAS;
            if (l->stoppable) listSpeedInternal(l, l->divisorReq);
            break;
        case GW_LS_CFG:
        case GW_LS_STP:
        case GW_LS_DEST:
        case GW_LS_INS_DEST:
            break;
        default:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                              "measlist state undefined: state %X, PID %X, FIFO %u, raster %u, type %u",
                              unsigned(l->state), unsigned(l->pid), unsigned(l->fifoIdent),
                              unsigned(l->raster), unsigned(l->byName));
            break;
        }
    }
}

void onOffline(uint16_t pid, PidState* ps) {
    if (ps->previous != GW_PID_OFFLINE)
        syslogx(LOG_PRIO_INFO2, "MeasGate: PID 0x%X is detected offline", unsigned(pid));
    for (gw_mlist* l = ps->lists; l; l = l->nextPid) {
        l->retryCount = 0;
        if (l->state == GW_LS_P_ETRY) {
            tellAll(l, GW_CB_START, GW_EVT_LOST, nullptr);
            l->state = GW_LS_P_ERR;
        } else if (l->state == GW_LS_MEAS || l->state == GW_LS_MEASPN) {
            tellAll(l, GW_CB_START, GW_EVT_LOST, nullptr);
            l->state = GW_LS_OFF_ETRY;
        }
    }
}

void statistics(uint16_t pid, PidState* ps) {
    uint16_t counts[GW_LS_COUNT] = {};
    uint16_t total = 0;
    for (const gw_mlist* l = ps->lists; l; l = l->nextPid) {
        ++total;
        if (l->state < GW_LS_COUNT) ++counts[l->state];
    }
    if (total == ps->mlistCnt && std::memcmp(counts, ps->stateCnt, sizeof(counts)) == 0) return;
    ps->mlistCnt = total;
    std::memcpy(ps->stateCnt, counts, sizeof(counts));
    syslogx(LOG_PRIO_INFO2,
            "MeasGate: PID 0x%02X is %s, ReqM:%3u, RunM:%3u; mlist cnt:%3u, Cfg:%3u, P_Ini:%3u, P_Etry:%3u, "
            "P_Err:%3u, Stp:%3u, Meas:%3u, MeasPN:%3u, Dest:%3u",
            unsigned(pid), pidStateName(ps->current.load()), unsigned(ps->reqM), unsigned(ps->runM),
            unsigned(total), unsigned(counts[0]), unsigned(counts[1]), unsigned(counts[2]),
            unsigned(counts[3]), unsigned(counts[4]), unsigned(counts[5]), unsigned(counts[6]),
            unsigned(counts[7]));
    syslogx(
        LOG_PRIO_INFO2, "   MeasGate(cont): PID 0x%02X: Ins_Dest:%3u, Off_Etry:%3u, Off_Err:%3u, StErr: %3u",
        unsigned(pid), unsigned(counts[8]), unsigned(counts[9]), unsigned(counts[10]), unsigned(counts[11]));
}

} // namespace

namespace gwi {

void killListInternal(gw_mlist* l) {
    // No pending record may keep the list once it is gone: queued ones and those whose time-out
    // callbacks are still to run are all cut loose. An unanswered start by name gives back the FIFO
    // handle reserved for its answer (a late answer then finds it invalid and the device is told to
    // drop its list); a local one is the own measurement manager's once it links it.
    std::vector<uint32_t> reserved;
    if (!lockRequests("gw_kill_list_internal")) return; // tried again on the next tick
    for (Request* lists : {gw().requestHead, gw().expiring}) {
        for (Request* r = lists; r; r = r->next) {
            if (r->list == l) {
                if (r->pair == GW_CB_START && !r->answered && r->fifoHandle && l->pid != app_pid)
                    reserved.push_back(r->fifoHandle);
                r->answered = 1;
                r->list = nullptr;
                r->fifoHandle = 0;
            }
        }
    }
    unlockRequests();
    for (uint32_t handle : reserved) dynkomm_fifo_free(handle);
    PidState* ps = pidState(l->pid);
    if (l->prevPid)
        l->prevPid->nextPid = l->nextPid;
    else
        ps->lists = l->nextPid;
    if (l->nextPid) l->nextPid->prevPid = l->prevPid;
    // Whatever its state, a list that ever ran is in its raster chain: it leaves it before it is
    // freed, so delivery never meets it again.
    unchainRaster(l);
    // The receiving FIFO of a name list from another device goes with the list (its writer, the
    // data-link receiver, finds it by handle). A local one belongs to the own measurement manager,
    // which ends it when it stops the list.
    if (l->byName && l->fifoHandle && l->pid != app_pid) dynkomm_fifo_free(l->fifoHandle);
    freeListMemory(l);
}

} // namespace gwi

void gw_meas_monitoring() {
    State& s = gw();
    if (!s.ready.load() || s.stopping.load()) return;
    if (!lockGateway("gw_meas_monitoring")) return;
    for (uint16_t pid = 0; pid < GW_PIDS; ++pid) {
        PidState* ps = &s.pids[pid];
        if (!BC2_connected(pid) && ps->current.load() == GW_PID_OFFLINE) continue;
        monitorLists(ps);
        ps->answerTimer = countDown(ps->answerTimer);
        ps->pollTimer = countDown(ps->pollTimer);
        const uint16_t reported = ps->reported.load();
        if (reported == GW_PID_OFFLINE && ps->answerTimer != 0) {
            statistics(pid, ps);
            continue; // a poll is under way
        }
        uint16_t current = ps->current.load();
        if (!(current == GW_PID_KILLMEAS && reported == GW_PID_MEAS)) current = reported;
        ps->current.store(current);
        if (ps->pollTimer == 0) {
            ps->answerTimer = ps->answerReload;
            ps->pollTimer = ps->pollReload;
            ps->reported.store(GW_PID_OFFLINE); // before the poll leaves: its answer may come at once
            sendPoll(pid, ps);
        }
        switch (current) {
        case GW_PID_NOMEAS:
            onNoMeas(pid, ps);
            break;
        case GW_PID_MEAS:
            onMeas(pid, ps);
            break;
        case GW_PID_OFFLINE:
            onOffline(pid, ps);
            break;
        case GW_PID_KILLMEAS:
            if (ps->runM == 0 && ps->reqM == 0 && ps->pollTimer < 11) {
                gw_kill_pid(pid);
                syslogx(LOG_PRIO_INFO2,
                        "MeasGate: repeat: PID 0x%X reports a measurement but none is registerd here. Kill "
                        "all meas "
                        "on client.",
                        unsigned(pid));
            }
            break;
        default:
            break;
        }
        statistics(pid, ps);
    }
    unlockGateway("gw_meas_monitoring");
    for (PidState& ps : s.pids) ps.previous = ps.current.load();
}
