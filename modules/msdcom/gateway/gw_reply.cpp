// Answers to the gateway's requests, served in "r_Comint": start by address (0x0501) and by name
// (0x0511), stop and speed by name (0x0513, 0x0515), the state poll (0x0517) and the time-stamp
// error notices (0x0506, 0x0518). Every identity an answer carries is looked up before it is
// used; an answer that names nothing pending is not trusted with anything of this device.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/gateway/gw_internal.h"

#include <algorithm>
#include <cstring>

using namespace gwi;

namespace {

void sendStopTo(uint16_t pid, uint16_t cmd, uint32_t serverId) {
    comint_msg m;
    ci_init(&m, cmd, app_pid, pid, 0, serverId, 0);
    comint_put_cmd(&m, 1);
}

struct Pending {
    gw_mlist* list = nullptr;
    int pair = 0;
    uint32_t fifoHandle = 0;
};

// Under the gateway mutex: the unanswered record `handle` whose list passes `accept`, marked
// answered when `take` is set.
template <class Accept> Pending pending(uint32_t handle, bool take, const char* who, Accept accept) {
    Pending p;
    if (!lockRequests(who)) return p;
    Request* r = findRequest(handle);
    if (r && !r->answered && r->list && accept(*r)) {
        if (take) r->answered = 1;
        p = Pending{r->list, r->pair, r->fifoHandle};
    }
    unlockRequests();
    return p;
}

// A receiving FIFO of a remote source left from before the list was requested again (its device
// restarted and never closed the path) goes back. Local FIFOs are never touched here: their
// writer is the own measurement manager, which keeps them until it stops the list.
void releaseStaleSink(gw_mlist* l, uint32_t oldHandle, uint32_t newHandle) {
    if (l->pid == app_pid || oldHandle == 0 || oldHandle == newHandle) return;
    dynkomm_fifo_free(oldHandle);
}

void refuseByName(uint32_t requestHandle) {
    if (!lockGateway("gw_meascreate_reply_measByName")) return;
    const Pending p = pending(requestHandle, true, "gw_meascreate_reply_measByName",
                              [](const Request& r) { return r.list->byName && r.pair == GW_CB_START; });
    if (gw_mlist* l = p.list) {
        ++l->retryCount;
        l->state = GW_LS_STERR;
        tellAll(l, GW_CB_START, GW_EVT_REFUSED, nullptr);
        if (l->retryCount == RETRY_LIMIT) {
            char names[20] = {};
            std::memcpy(names, l->copy, std::min<size_t>(l->listLen, sizeof(names) - 1));
            syslogx(LOG_PRIO_ERR2,
                    "gw_meascreate_reply_measByName(): got 3 negative answers for measlist, giving up (pid "
                    "0x%02X, "
                    "req 0x%08X, List %s...",
                    unsigned(l->pid), unsigned(requestHandle), names);
        }
    }
    unlockGateway("gw_meascreate_reply_measByName");
}

void timestampError(comint_msg* m, const char* who) {
    const uint32_t raster = ci_ctx(m);
    if (raster >= GW_RASTERS) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2, "%s(): raster %u of PID %X out of range, ignored", who,
                          unsigned(raster), unsigned(ci_src(m)));
        return;
    }
    if (!lockGateway(who)) return;
    for (gw_mlist* l = gw().rasterLists[raster]; l; l = l->nextRaster) {
        if (l->pid != ci_src(m) || l->serverId != ci_rctx(m) || l->serverId == 0) continue;
        if (l->state == GW_LS_MEAS || l->state == GW_LS_MEASPN)
            l->tsError = 1;
        else
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2, "%s(): got timestamp error while in state %d, ignored", who,
                              int(l->state));
        break;
    }
    unlockGateway(who);
}

} // namespace

void gw_meascreate_reply(comint_msg* m) {
    const uint16_t len = ci_len(m);
    const uint16_t src = ci_src(m);
    if (len < 4) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2, "gw_meascreate_reply(): answer of PID %X with %u bytes ignored",
                          unsigned(src), unsigned(len));
        return;
    }
    const uint32_t fifoWord = ci_get32(m->data);
    const uint32_t serverId = ci_ctx(m);
    if (!lockGateway("gw_meascreate_reply")) return;
    const Pending p = pending(ci_rctx(m), true, "gw_meascreate_reply", [src](const Request& r) {
        return !r.list->byName && r.pair == GW_CB_START && r.list->pid == src;
    });
    gw_mlist* l = p.list;
    if (!l) {
        unlockGateway("gw_meascreate_reply");
        // A late answer (its request timed out, or its list is gone): the device would feed a
        // FIFO nobody reads, so it is told to drop the list.
        if (fifoWord != 0 && serverId != 0) {
            SYSLOGX_ONCE_SITE(
                LOG_PRIO_WARNING2,
                "gw_meascreate_reply(): answer 0x%08X of PID %X matches no request, list 0x%08X stopped",
                unsigned(ci_rctx(m)), unsigned(src), unsigned(serverId));
            sendStopTo(src, 0x0502, serverId);
        }
        return;
    }
    // The FIFO word must name a live FIFO of this device that receives from the answering device
    // and whose slots hold a whole record.
    bool accepted = false;
    if (fifoWord != 0) {
        const dynkomm_fifo* fifo = dynkomm_fifo_byIdent(fifoWord);
        accepted =
            fifo && fifo->dst_pid == app_pid && fifo->src_pid == src && fifo->slot_size >= l->recordSize;
        if (!accepted) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2,
                              "gw_meascreate_reply(): FIFO 0x%08X of PID %X not valid, refused",
                              unsigned(fifoWord), unsigned(src));
            if (serverId != 0) sendStopTo(src, 0x0502, serverId);
        } else if (const dynkomm_fifo* old = dynkomm_fifo_byIdent(l->fifoIdent); old && old != fifo) {
            releaseStaleSink(l, old->handle, fifo->handle);
        }
    }
    if (accepted) {
        l->fifoIdent = fifoWord;
        l->serverId = serverId;
        chainRaster(l);
        l->state = GW_LS_MEAS;
        ++pidState(l->pid)->runM;
        // One latency per value follows the FIFO word; an answer without them carries none.
        const bool hasLatency = len >= 6;
        l->latency = hasLatency ? ci_get16(m->data + 4) : 0;
        tellAll(l, p.pair, GW_EVT_OK, hasLatency ? m->data + 4 : nullptr);
    } else {
        l->state = GW_LS_P_ETRY;
        tellAll(l, p.pair, GW_EVT_REFUSED, nullptr);
    }
    unlockGateway("gw_meascreate_reply");
}

int gw_meascreate_reply_measByName(uint32_t request_handle, uint32_t server_handle, dynkomm_fifo* fifo,
                                   uint8_t* answer_data) {
    if (!fifo || !answer_data) return 0;
    if (!lockGateway("gw_meascreate_reply_measByName")) return 0;
    const Pending p = pending(request_handle, true, "gw_meascreate_reply_measByName",
                              [](const Request& r) { return r.list->byName && r.pair == GW_CB_START; });
    gw_mlist* l = p.list;
    if (l) {
        releaseStaleSink(l, l->fifoHandle, fifo->handle);
        l->fifoHandle = fifo->handle;
        l->fifoIdent = dynkomm_fifo_ident(fifo);
        l->serverId = server_handle;
        chainRaster(l);
        l->state = GW_LS_MEAS;
        ++pidState(l->pid)->runM;
        l->latency = ci_get32(answer_data) > 0 ? ci_get16(answer_data + 4 + 4) : 0;
        tellAll(l, GW_CB_START, GW_EVT_OK, answer_data);
    }
    unlockGateway("gw_meascreate_reply_measByName");
    return l ? 1 : 0;
}

void meas_man_meas2_create_reply(comint_msg* m) {
    const uint16_t len = ci_len(m);
    const uint16_t src = ci_src(m);
    const uint32_t fifoHandle = ci_ctx(m);
    const uint32_t requestHandle = ci_rctx(m);
    const uint32_t serverHandle = len >= 4 ? ci_get32(m->data) : 0;
    if (fifoHandle == 0)
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2,
                          "meas_man_meas2_create_reply(): got magic 0 as target fifo, no chance to tidy up");

    // Only the FIFO handle that this device reserved for that very request is activated or freed.
    bool matched = false;
    if (fifoHandle != 0 && lockGateway("meas_man_meas2_create_reply")) {
        matched = pending(requestHandle, false, "meas_man_meas2_create_reply", [&](const Request& r) {
                      return r.list->byName && r.pair == GW_CB_START && r.fifoHandle == fifoHandle &&
                             r.list->pid == src;
                  }).list != nullptr;
        unlockGateway("meas_man_meas2_create_reply");
    }

    int running = 0;
    if (matched && serverHandle != 0 && len >= 16) {
        uint8_t* d = m->data;
        // The signal count handed to the consumer never exceeds the records the answer holds.
        const uint32_t held = uint32_t(len - 16) / 20;
        if (ci_get32(d + 12) > held) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2,
                              "meas_man_meas2_create_reply(): PID %X announces %u signals, %u present",
                              unsigned(src), unsigned(ci_get32(d + 12)), unsigned(held));
            ci_put32(d + 12, held);
        }
        const uint16_t depth = ci_get16(d + 4);
        const uint16_t recordSize = ci_get16(d + 6);
        const uint16_t flags = ci_get16(d + 8);
        const uint16_t raster = ci_get16(d + 10);
        if (dynkomm_fifo_activate(fifoHandle, src, raster, depth, recordSize, flags & DYNKOMM_FLAG_QUEUE) !=
            0) {
            dynkomm_fifo* fifo = nullptr;
            if (dynkomm_get_fifo(fifoHandle, &fifo) == 1)
                running = gw_meascreate_reply_measByName(requestHandle, serverHandle, fifo, d + 12);
        }
    }
    if (running) return;
    // The device holds a list that will not be read: it drops it.
    if (serverHandle != 0) sendStopTo(src, 0x0512, serverHandle);
    if (matched) {
        dynkomm_fifo_free(fifoHandle);
        refuseByName(requestHandle);
    }
}

void gw_service_reply_meas2(uint32_t request_handle, uint32_t result) {
    if (!lockGateway("gw_service_reply_meas2")) return;
    const Pending p =
        pending(request_handle, true, "gw_service_reply_meas2", [](const Request&) { return true; });
    if (gw_mlist* l = p.list) {
        if (p.pair == GW_CB_STOP) {
            if (result != 1)
                SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2,
                                  "gw_service_reply_meas2(): stopping measlist return FALSE, PID: 0x%02X",
                                  unsigned(l->pid));
        } else if (p.pair == GW_CB_SPEED) {
            if (result == 1)
                l->divisorCur = l->divisorReq;
            else
                SYSLOGX_ONCE_SITE(
                    LOG_PRIO_WARNING2,
                    "gw_service_reply_meas2(): setting meas speed return FALSE, PID: 0x%02X, divisor %d",
                    unsigned(l->pid), int(l->divisorReq));
            l->speedPending = 0;
        }
    }
    unlockGateway("gw_service_reply_meas2");
}

void meas_man_break2_reply(comint_msg* m) {
    const uint32_t fifoHandle = ci_ctx(m);
    const uint32_t requestHandle = ci_rctx(m);
    uint32_t result = ci_len(m) >= 4 ? ci_get32(m->data) : 0;
    if (fifoHandle != 0) {
        // The handle must be the one the stopped list used: an answer naming another FIFO of this
        // device is not this device's answer.
        bool matched = false;
        if (lockGateway("meas_man_break2_reply")) {
            matched = pending(requestHandle, false, "meas_man_break2_reply", [&](const Request& r) {
                          return r.pair == GW_CB_STOP && r.fifoHandle == fifoHandle;
                      }).list != nullptr;
            unlockGateway("meas_man_break2_reply");
        }
        if (!matched) {
            SYSLOGX_ONCE_SITE(
                LOG_PRIO_WARNING2,
                "meas_man_break2_reply(): FIFO 0x%08X of PID %X belongs to no stop request, ignored",
                unsigned(fifoHandle), unsigned(ci_src(m)));
            return;
        }
        result = uint32_t(dynkomm_fifo_free(fifoHandle));
    }
    if (requestHandle != 0) gw_service_reply_meas2(requestHandle, result);
}

void meas_man_speed2_reply(comint_msg* m) {
    if (ci_rctx(m) != 0) gw_service_reply_meas2(ci_rctx(m), ci_len(m) >= 4 ? ci_get32(m->data) : 0);
}

void meas_man_get_measurement_state2_reply(comint_msg* m) {
    if (ci_len(m) < 4) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING2,
                          "meas_man_get_measurement_state2_reply(): answer of PID %X too short",
                          unsigned(ci_src(m)));
        return;
    }
    gw_meas_state_reply(ci_src(m), ci_get32(m->data));
}

void gw_meas_state_reply(uint16_t pid, uint32_t value) {
    if (PidState* ps = pidState(pid)) ps->reported.store(value != 0 ? GW_PID_MEAS : GW_PID_NOMEAS);
}

void gw_meas_timestamp_err(comint_msg* m) {
    timestampError(m, "gw_meas_timestamp_err");
}

void gw_meas2_timestamp_err(comint_msg* m) {
    timestampError(m, "gw_meas2_timestamp_err");
}
