// Requests of the gateway: the pending-request queue with its 1500 ms time-out, the start
// requests by address (0x0500) and by name (0x0510), stop, divisor change and kill.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/gateway/gw_internal.h"
#include "msdcom/network/bc2_net.h"

#include <cstring>
#include <new>

using namespace gwi;

namespace {

constexpr uint16_t NAME_LIST_LIMIT = 1468;

void pushHead(Request*& head, Request* r) {
    r->prev = nullptr;
    r->next = head;
    if (head) head->prev = r;
    head = r;
}

void unlink(Request*& head, Request* r) {
    if (r->prev)
        r->prev->next = r->next;
    else
        head = r->next;
    if (r->next) r->next->prev = r->prev;
    r->next = r->prev = nullptr;
}

// gw_ci_put_cmd with the FIFO handle the record keeps for a name list.
int putCmd(comint_msg* message, int flag, int pair, gw_mlist* list, uint32_t fifoHandle) {
    const PidState* ps = pidState(ci_dst(message));
    if (ps && ps->current.load(std::memory_order_relaxed) == GW_PID_OFFLINE) {
        ci_set_ctx(message, 0);
        return 0;
    }
    auto* r = new (std::nothrow) Request;
    if (!r) {
        ci_set_ctx(message, 0);
        return 0;
    }
    r->list = list;
    r->pair = uint16_t(pair);
    r->fifoHandle = fifoHandle;
    if (!lockRequests("gw_ci_put_cmd")) {
        delete r;
        ci_set_ctx(message, 0);
        return 0;
    }
    r->handle = newHandle(SlotKind::Request, r);
    if (r->handle == 0) {
        unlockRequests();
        delete r;
        ci_set_ctx(message, 0);
        return 0;
    }
    ci_set_ctx(message, r->handle);
    if (comint_put_cmd(message, flag) != 1) {
        dropHandle(r->handle, false);
        unlockRequests();
        delete r;
        ci_set_ctx(message, 0);
        return 0;
    }
    pushHead(gw().requestHead, r);
    unlockRequests();
    return 1;
}

// 0x0500: raster, divisor, record size, list length, depth, flags, then the list words.
void buildAddressRequest(const gw_mlist* l, comint_msg* m) {
    ci_init(m, 0x0500, app_pid, l->pid, 0, 0, uint16_t(l->listLen + 12));
    uint8_t* d = m->data;
    ci_put16(d, l->raster);
    ci_put16(d + 2, l->divisorReq);
    ci_put16(d + 4, l->recordSize);
    ci_put16(d + 6, l->listLen);
    ci_put16(d + 8, l->depth != 0 ? l->depth : gw_getslotnum(l->raster));
    ci_put16(d + 10, l->flags);
    for (uint16_t at = 0; at + 4 <= l->listLen; at += 4) {
        uint32_t word = 0;
        std::memcpy(&word, l->copy + at, 4);
        ci_put32(d + 12 + at, word);
    }
}

int startByName(gw_mlist* l, PidState* ps) {
    Request* r = newRequest(l, GW_CB_START);
    if (!r) {
        l->state = GW_LS_P_ETRY;
        return 0;
    }
    uint16_t channels = l->channelCount;
    uint16_t length = l->listLen;
    const bool sendable = BC2_getRemoteCapabilty(l->pid, 1) == 0;
    if (BC2_getRemoteCapabilty(l->pid, 2) == 1 && channels > 1) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_WARNING2,
            "gw_start_list_internal: measByName with more than one channel not supported, ignoring "
            "%d channels",
            int(channels - 1));
        channels = 1;
        length = uint16_t(strnlen(reinterpret_cast<const char*>(l->copy), l->listLen) + 1);
        if (length > l->listLen) length = l->listLen;
    }
    if (sendable && ps->current.load(std::memory_order_relaxed) != GW_PID_OFFLINE) {
        uint32_t fifoHandle = 0;
        if (!meas_man_create2(r->handle, reinterpret_cast<const char*>(l->copy), l->pid, l->raster,
                              l->divisorReq, length, channels,
                              l->depth != 0 ? l->depth : gw_getslotnum(l->raster), l->flags, &fifoHandle)) {
            l->state = GW_LS_P_ETRY;
            dropRequest(r);
            return 0;
        }
        r->fifoHandle = fifoHandle;
    }
    // A request that could not go out ends by its time-out, like an unanswered one.
    l->state = GW_LS_STP;
    ++ps->reqM;
    queueRequest(r);
    return 1;
}

} // namespace

namespace gwi {

Request* newRequest(gw_mlist* list, int pair) {
    auto* r = new (std::nothrow) Request;
    if (!r) return nullptr;
    r->list = list;
    r->pair = uint16_t(pair);
    if (!lockRequests("gw_start_list_internal")) {
        delete r;
        return nullptr;
    }
    r->handle = newHandle(SlotKind::Request, r);
    unlockRequests();
    if (r->handle == 0) {
        delete r;
        return nullptr;
    }
    return r;
}

void queueRequest(Request* r) {
    if (!lockRequests("gw_start_list_internal")) {
        // Not in the queue, nobody could ever end it: give it back at once.
        dropRequest(r);
        return;
    }
    pushHead(gw().requestHead, r);
    unlockRequests();
}

void dropRequest(Request* r) {
    if (lockRequests("gw_start_list_internal")) {
        dropHandle(r->handle, false);
        unlockRequests();
    }
    delete r;
}

Request* findRequest(uint32_t handle) {
    return static_cast<Request*>(handleObject(SlotKind::Request, handle));
}

int startListInternal(gw_mlist* l) {
    switch (l->state) {
    case GW_LS_STP:
    case GW_LS_MEAS:
    case GW_LS_MEASPN:
    case GW_LS_DEST:
    case GW_LS_INS_DEST:
        return 0;
    default:
        break;
    }
    if (l->listLen > GW_LIST_MAX_BYTES) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_ERR2,
            "gw_start_list_internal: Measlist exceeds length %d > %d: PID 0x%X, Raster %d, Fifoslots "
            "%d, Blocksize %d",
            int(l->listLen), int(GW_LIST_MAX_BYTES), unsigned(l->pid), int(l->raster), int(l->depth),
            int(l->recordSize));
        tellAll(l, GW_CB_START, GW_EVT_TOO_LONG, nullptr);
        l->state = GW_LS_STERR;
        l->retryCount = RETRY_LIMIT;
        return 0;
    }
    PidState* ps = pidState(l->pid);
    if (l->byName) return startByName(l, ps);
    comint_msg m;
    buildAddressRequest(l, &m);
    l->state = GW_LS_STP;
    if (!putCmd(&m, 1, GW_CB_START, l, 0)) {
        l->state = GW_LS_P_ETRY;
        return 0;
    }
    ++ps->reqM;
    return 1;
}

bool sendStop(gw_mlist* l) {
    // The device has not named this list (its request is unanswered): a stop naming 0 finds no
    // list there and comes back as the tidy-up message, which reports a lost FIFO that is not
    // lost. A list the request still makes is stopped by the identity its answer names: during the
    // kill hold by the monitoring, after it by the answer's handler.
    if (l->serverId == 0) return true;
    comint_msg m;
    if (l->byName) {
        ci_init(&m, 0x0512, app_pid, l->pid, 0, l->serverId, 0);
        return putCmd(&m, 1, GW_CB_STOP, l, l->fifoHandle) == 1;
    }
    ci_init(&m, 0x0502, app_pid, l->pid, 0, l->serverId, 0);
    return comint_put_cmd(&m, 1) == 1;
}

int listSpeedInternal(gw_mlist* l, uint16_t divisor) {
    if (!l->stoppable) return 0;
    l->divisorReq = divisor;
    l->timeoutCount = l->timeoutReload;
    if (l->state != GW_LS_MEAS && l->state != GW_LS_MEASPN) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_DEBUG2,
            "gw_list_speed_internal: not sending speed cmd state %X, PID %X, FIFO %u, raster %u, type %u",
            unsigned(l->state), unsigned(l->pid), unsigned(l->fifoIdent), unsigned(l->raster),
            unsigned(l->byName));
        return 0;
    }
    comint_msg m;
    if (l->byName) {
        ci_init(&m, 0x0514, app_pid, l->pid, 0, l->serverId, 2);
        ci_put16(m.data, divisor);
        if (putCmd(&m, 1, GW_CB_SPEED, l, 0) != 1) return 0;
        l->speedPending = 1;
        return 1;
    }
    // The device never answers 0x0503: sent directly, like the stop, so that no pending record
    // can end in a time-out event.
    ci_init(&m, 0x0503, app_pid, l->pid, 0, l->serverId, 2);
    ci_put16(m.data, divisor);
    if (comint_put_cmd(&m, 1) != 1) return 0;
    l->divisorCur = divisor;
    return 1;
}

} // namespace gwi

int gw_ci_put_cmd(comint_msg* message, int flag, int pair, gw_mlist* list) {
    if (!message) return 0;
    return putCmd(message, flag, pair, list, (list && list->byName) ? list->fifoHandle : 0);
}

int meas_man_create2(uint32_t request_handle, const char* names, uint16_t pid, uint16_t raster,
                     uint16_t divisor, uint16_t length, uint16_t channel_count, uint16_t depth,
                     uint16_t flags, uint32_t* fifo_handle) {
    if (!names || length >= NAME_LIST_LIMIT || length + 12u > CI_PAYLOAD_MAX_QUEUE) return 0;
    const uint32_t fifo = dynkomm_fifo_reserve(pid);
    if (fifo == 0) return 0;
    comint_msg m;
    ci_init(&m, 0x0510, app_pid, pid, request_handle, fifo, uint16_t(length + 12));
    uint8_t* d = m.data;
    ci_put16(d, raster);
    ci_put16(d + 2, divisor);
    ci_put16(d + 4, length);
    ci_put16(d + 6, channel_count);
    ci_put16(d + 8, depth);
    ci_put16(d + 10, flags);
    std::memcpy(d + 12, names, length);
    if (comint_put_cmd(&m, 1) != 1) {
        dynkomm_fifo_free(fifo);
        return 0;
    }
    if (fifo_handle) *fifo_handle = fifo;
    return 1;
}

void gw_kill_pid(uint16_t pid) {
    comint_msg m;
    ci_init(&m, 0x0504, app_pid, pid, 0, 0, 0);
    comint_put_cmd(&m, 1);
}

void gw_request_timeout() {
    State& s = gw();
    if (!s.ready.load() || s.stopping.load()) return;
    bool expired = false;
    if (!lockRequests("gw_request_timeout")) return;
    for (Request* r = s.requestHead; r;) {
        Request* next = r->next;
        if (r->answered) {
            unlink(s.requestHead, r);
            dropHandle(r->handle, true);
            delete r;
        } else if (r->msLeft > TICK_MS) {
            r->msLeft = uint16_t(r->msLeft - TICK_MS);
        } else if (!r->list) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2, "gw_request_timeout: Mlist is NULL request serv 0x%X ",
                              unsigned(r->pair));
        } else {
            // Out of the queue now; the list removal may still clear its list until step 2 runs.
            unlink(s.requestHead, r);
            dropHandle(r->handle, true);
            pushHead(s.expiring, r);
            expired = true;
        }
        r = next;
    }
    unlockRequests();
    if (!expired) return;

    if (!lockGateway("gw_request_timeout")) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_request_timeout(): Error acquiring semaphore2 %s",
                          "semTake failed");
        return;
    }
    Request* batch = nullptr;
    if (lockRequests("gw_request_timeout")) {
        batch = s.expiring;
        s.expiring = nullptr;
        unlockRequests();
    }
    while (Request* r = batch) {
        batch = r->next;
        if (gw_mlist* l = r->list) {
            if (r->pair == GW_CB_START) {
                if (!l->killed && l->state == GW_LS_STP) l->state = GW_LS_P_ETRY;
                SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2,
                                  "MeasGate: Request for measurement on PID 0x%X timed out, retry...",
                                  unsigned(l->pid));
                // The FIFO handle reserved for a name request goes back; a late answer then finds
                // it invalid and the device is told to drop its list.
                if (r->fifoHandle) dynkomm_fifo_free(r->fifoHandle);
            } else if (r->pair == GW_CB_SPEED) {
                l->speedPending = 0; // the divisor is corrected again on a later pass
            }
            if (r->pair != GW_CB_STOP || l->byName)
                tellAll(l, r->pair,
                        r->timeoutEvent != 0 ? uint32_t(r->timeoutEvent) : uint32_t(GW_EVT_NOREPLY), nullptr);
        }
        delete r;
    }
    unlockGateway("gw_request_timeout");
}
