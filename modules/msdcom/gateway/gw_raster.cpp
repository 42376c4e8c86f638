// Delivery: in the raster task of each raster, every running list of that raster hands its
// records, read in place from its FIFO, to its subscribers' data callbacks.
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/ci/dynkomm_fifo.h"
#include "msdcom/gateway/gw_internal.h"

using namespace gwi;

namespace {

uint32_t stampOf(const uint8_t* record) {
    return uint32_t(record[0]) << 24 | uint32_t(record[1]) << 16 | uint32_t(record[2]) << 8 | record[3];
}

void tellFirst(gw_mlist* l, int pair, uint32_t event, void* data) {
    if (gw_mhandle* first = l->subscribers)
        if (gw_callback_t fn = callbackOf(first, pair)) fn(event, data, first->user);
}

// Hands the record to every subscriber; true when one of them consumed it.
bool offer(gw_mlist* l, uint8_t* record) {
    bool consumed = false;
    for (gw_mhandle* sub = l->subscribers; sub;) {
        gw_mhandle* next = sub->nextList;
        if (gw_callback_t fn = callbackOf(sub, GW_CB_DATA))
            if ((fn(GW_EVT_OK, record, sub->user) & 0xFFFF) != 0) consumed = true;
        sub = next;
    }
    return consumed;
}

// One running list. False when the gateway is stopping (the pass ends).
bool deliver(gw_mlist* l, PidState* ps) {
    State& s = gw();
    dynkomm_fifo* fifo = dynkomm_fifo_byIdent(l->fifoIdent);
    uint8_t* record = dynkomm_read(fifo);
    if (s.stopping.load()) return false;

    if (l->divisorReq != l->divisorCur && !l->speedPending && ps->current.load() != GW_PID_OFFLINE) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2, "gw_raster: PID 0x%X correcting divisor to %d, 0x%08x",
                          unsigned(l->pid), int(l->divisorReq), unsigned(l->serverId));
        listSpeedInternal(l, l->divisorReq);
    }

    if (!record) {
        if (l->timeoutCount == 1) {
            if (!l->timeoutReported) {
                tellFirst(l, GW_CB_TIMEOUT, GW_EVT_NODATA, &l->pid);
                l->timeoutReported = 1;
            }
            tellAll(l, GW_CB_DATA, GW_EVT_NODATA, nullptr);
            ++ps->noDataCnt;
            l->timeoutCount = l->timeoutReload;
        }
        if (l->timeoutCount > 1 && l->divisorReq != 0) --l->timeoutCount;
        return true;
    }

    bool stampError = false;
    while (record) {
        // Stored data must not run ahead of this device's time: such a record is dropped and the
        // list is requested again after the pass.
        if ((l->flags & 0x2) != 0 && int32_t(stampOf(record) - time_getTimestamp()) > FUTURE_STAMP_LIMIT) {
            stampError = true;
            dynkomm_readdone(fifo);
            record = dynkomm_read(fifo);
            continue;
        }
        if (l->timeoutReported) {
            tellFirst(l, GW_CB_TIMEOUT, GW_EVT_OK, &l->pid);
            l->timeoutReported = 0;
        }
        l->timeoutCount = l->timeoutReload;
        l->killHold = l->killHoldReload;
        if (l->killed || !offer(l, record)) break; // stays in the FIFO for the next tick
        if (l->flags & DYNKOMM_FLAG_QUEUE)
            ++ps->dataCntOffline;
        else
            ++ps->dataCntOnline;
        dynkomm_readdone(fifo);
        record = dynkomm_read(fifo);
    }
    if (stampError) l->tsError = 1;
    return true;
}

} // namespace

void gw_raster(int raster) {
    State& s = gw();
    if (raster < 0 || raster >= GW_RASTERS || !s.ready.load() || s.stopping.load()) return;
    if (!lockGateway("gw_raster")) return;
    for (gw_mlist* l = s.rasterLists[raster]; l; l = l->nextRaster) {
        if ((l->state == GW_LS_MEAS || l->state == GW_LS_MEASPN) && !l->tsError) {
            if (!deliver(l, pidState(l->pid))) break;
        } else if (l->state == GW_LS_OFF_ETRY) {
            if (s.stopping.load()) break;
            tellAll(l, GW_CB_DATA, GW_EVT_OFFLINE, nullptr);
            l->state = GW_LS_OFF_ERR;
        }
    }
    if (semGive(s.mhandleSem) != OK) SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_raster: failed to give semaphore.");
}
