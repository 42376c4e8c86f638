// The consumer side of the gateway: connections, subscriptions, list sharing, start, removal and
// divisor change.
#include "framework/syslog.h"
#include "msdcom/gateway/gw_internal.h"
#include "msdcom/network/bc2_net.h"

#include <cstring>
#include <new>
#include <vector>

using namespace gwi;

namespace {

// Under the gateway mutex: whether `c` is a live connection.
bool connectionLive(const gw_connection* c) {
    for (const gw_connection* it = gw().connections; it; it = it->next)
        if (it == c) return true;
    return false;
}

void linkSubscription(gw_mhandle* sub, gw_mlist* list, gw_connection* conn) {
    sub->list = list;
    sub->conn = conn;
    sub->prevList = nullptr;
    sub->nextList = list->subscribers;
    if (list->subscribers) list->subscribers->prevList = sub;
    list->subscribers = sub;
    sub->prevConn = nullptr;
    sub->nextConn = conn->subs;
    if (conn->subs) conn->subs->prevConn = sub;
    conn->subs = sub;
    ++list->refCount;
}

void unlinkSubscription(gw_mhandle* sub) {
    gw_mlist* list = sub->list;
    if (sub->prevList)
        sub->prevList->nextList = sub->nextList;
    else
        list->subscribers = sub->nextList;
    if (sub->nextList) sub->nextList->prevList = sub->prevList;
    gw_connection* conn = sub->conn;
    if (sub->prevConn)
        sub->prevConn->nextConn = sub->nextConn;
    else
        conn->subs = sub->nextConn;
    if (sub->nextConn) sub->nextConn->prevConn = sub->prevConn;
    if (list->refCount > 0) --list->refCount;
}

struct ListSpec {
    const uint8_t* bytes;
    uint16_t len;
    uint16_t raster, pid, stoppable, flags, divisor, depth, recordSize, channelCount;
    uint32_t timeout;
    bool byName;
};

// Under the gateway mutex: a running shareable list equal to `s`, or nullptr. Only single values
// are shared: an address list by its first two words and a record of at most 8 bytes, a name
// list of at most one name.
gw_mlist* findShareable(const ListSpec& s) {
    for (gw_mlist* l = pidState(s.pid)->lists; l; l = l->nextPid) {
        if (l->stoppable || l->killed || !l->subscribers || bool(l->byName) != s.byName) continue;
        if (l->listLen != s.len || l->raster != s.raster || l->flags != s.flags ||
            l->divisorReq != s.divisor || l->depth != s.depth || l->timeoutReload != s.timeout)
            continue;
        if (!s.byName) {
            if (l->recordSize != s.recordSize || s.recordSize > 8 || s.len < 8 ||
                std::memcmp(l->copy, s.bytes, 8) != 0)
                continue;
        } else if (s.channelCount > 1 || l->channelCount > 1 || std::memcmp(l->copy, s.bytes, s.len) != 0) {
            continue;
        }
        return l;
    }
    return nullptr;
}

gw_mlist* newList(const ListSpec& s) {
    auto* l = new (std::nothrow) gw_mlist;
    uint8_t* copy = new (std::nothrow) uint8_t[s.len];
    if (!l || !copy) {
        delete l;
        delete[] copy;
        return nullptr;
    }
    std::memcpy(copy, s.bytes, s.len);
    l->copy = copy;
    l->raster = s.raster;
    l->pid = s.pid;
    l->listLen = s.len;
    l->divisorReq = l->divisorCur = s.divisor;
    l->depth = s.depth;
    l->flags = s.flags;
    l->recordSize = s.recordSize;
    l->channelCount = s.channelCount;
    l->byName = s.byName ? 1 : 0;
    l->timeoutReload = l->timeoutCount = s.timeout;
    l->stoppable = s.stoppable;
    l->state = GW_LS_CFG;
    l->killHoldReload = l->killHold = KILL_HOLD_MS;
    return l;
}

void freeList(gw_mlist* l) {
    delete[] l->copy;
    delete l;
}

uint32_t setupInternal(gw_connection* conn, void* user, const ListSpec& s) {
    if (!s.bytes || s.len == 0 || s.raster >= GW_RASTERS || s.pid >= GW_PIDS ||
        (!s.byName && (s.len % 4 != 0 || s.len < 8))) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "gw_setup_list(): list refused: PID %X, raster %u, length %u, by name %d",
                          unsigned(s.pid), unsigned(s.raster), unsigned(s.len), int(s.byName));
        return 0;
    }
    if (!lockGateway("gw_setup_list")) return 0;
    if (!conn || !connectionLive(conn)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_setup_list(): unknown connection");
        unlockGateway("gw_setup_list");
        return 0;
    }
    auto* sub = new (std::nothrow) gw_mhandle;
    if (!sub) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_setup_list: alloc mhandle_p failed ");
        unlockGateway("gw_setup_list");
        return 0;
    }
    sub->user = user;

    if (s.stoppable == 0) {
        if (gw_mlist* shared = findShareable(s)) {
            sub->handle = newHandle(SlotKind::Subscription, sub);
            if (sub->handle == 0) {
                SYSLOGX_ONCE_SITE(
                    LOG_PRIO_ERR,
                    "gw_setup_list: gw_get_magic failed @ NOT_STOPPABLE PID %X FIFO %u, raster %u, "
                    "type %u",
                    unsigned(s.pid), unsigned(shared->fifoIdent), unsigned(s.raster),
                    unsigned(shared->byName));
                delete sub;
                unlockGateway("gw_setup_list");
                return 0;
            }
            linkSubscription(sub, shared, conn);
            if (shared->state == GW_LS_MEAS || shared->state == GW_LS_MEASPN) {
                if (gw_callback_t fn = callbackOf(sub, GW_CB_START)) fn(GW_EVT_OK, &shared->latency, user);
            }
            const uint32_t handle = sub->handle;
            unlockGateway("gw_setup_list");
            return handle;
        }
    }

    gw_mlist* l = newList(s);
    if (!l) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_setup_list: get mlist_p failed @ STOPPABLE ");
        delete sub;
        unlockGateway("gw_setup_list");
        return 0;
    }
    sub->handle = newHandle(SlotKind::Subscription, sub);
    if (sub->handle == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "gw_setup_list: gw_get_magic failed @ STOPPABLE PID %X FIFO %u, raster %u, type %u",
                          unsigned(s.pid), 0u, unsigned(s.raster), unsigned(l->byName));
        freeList(l);
        delete sub;
        unlockGateway("gw_setup_list");
        return 0;
    }
    PidState* ps = pidState(s.pid);
    l->nextPid = ps->lists;
    if (ps->lists) ps->lists->prevPid = l;
    ps->lists = l;
    linkSubscription(sub, l, conn);
    const uint32_t handle = sub->handle;
    unlockGateway("gw_setup_list");
    return handle;
}

} // namespace

namespace gwi {

// Frees a list's memory; used by the removal and by gw_meas_exit.
void freeListMemory(gw_mlist* l) {
    freeList(l);
}

} // namespace gwi

gw_connection* gw_connect(const callback_list* callbacks) {
    if (!callbacks) {
        syslogx(LOG_PRIO_ERR, "gw_connect() callback_list NULL");
        return nullptr;
    }
    auto* c = new (std::nothrow) gw_connection;
    if (!c) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_connect(): no memory for the connection");
        return nullptr;
    }
    c->callbacks = callbacks;
    if (!lockGateway("gw_connect")) {
        delete c;
        return nullptr;
    }
    c->next = gw().connections;
    gw().connections = c;
    unlockGateway("gw_connect");
    return c;
}

uint32_t gw_setup_list(gw_connection* connection, const uint32_t* list, void* user, uint16_t list_len,
                       uint16_t raster, uint16_t pid, uint16_t stoppable, uint16_t flags, uint16_t divisor,
                       uint16_t depth, uint16_t record_size, uint32_t timeout) {
    const ListSpec s{reinterpret_cast<const uint8_t*>(list),
                     list_len,
                     raster,
                     pid,
                     stoppable,
                     flags,
                     divisor,
                     depth,
                     record_size,
                     0,
                     timeout,
                     false};
    return setupInternal(connection, user, s);
}

uint32_t gw_setup_list_measByName(gw_connection* connection, const char* device_name, const char* names,
                                  void* user, uint16_t list_len, uint16_t channel_count, uint16_t raster,
                                  uint16_t stoppable, uint16_t flags, uint16_t divisor, uint16_t depth,
                                  uint32_t timeout) {
    const uint16_t pid = device_name ? pidByDevicename(device_name) : 0;
    if (pid == 0) return 0;
    const ListSpec s{reinterpret_cast<const uint8_t*>(names),
                     list_len,
                     raster,
                     pid,
                     stoppable,
                     flags,
                     divisor,
                     depth,
                     0,
                     channel_count,
                     timeout,
                     true};
    return setupInternal(connection, user, s);
}

void gw_start_list(uint32_t subscription) {
    if (!lockGateway("gw_start_list")) return;
    auto* sub = static_cast<gw_mhandle*>(handleObject(SlotKind::Subscription, subscription));
    if (sub) {
        gw_mlist* l = sub->list;
        switch (l->state) {
        case GW_LS_P_INI:
        case GW_LS_P_ETRY:
        case GW_LS_P_ERR:
        case GW_LS_STP:
        case GW_LS_MEAS:
        case GW_LS_MEASPN:
            break; // already under way
        case GW_LS_DEST:
        case GW_LS_INS_DEST:
        case GW_LS_STERR:
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gw_start_list: try to use deleted measlist.");
            break;
        default:
            if (!BC2_connected(l->pid)) tellAll(l, GW_CB_START, GW_EVT_OFFLINE, nullptr);
            l->state = GW_LS_P_INI;
            l->tsError = 0;
            break;
        }
    }
    unlockGateway("gw_start_list");
}

int gw_start_all(gw_connection* connection) {
    std::vector<uint32_t> handles;
    if (!lockGateway("gw_start_all")) return 0;
    if (connection && connectionLive(connection))
        for (gw_mhandle* s = connection->subs; s; s = s->nextConn) handles.push_back(s->handle);
    unlockGateway("gw_start_all");
    for (uint32_t h : handles) gw_start_list(h);
    return 0;
}

void gw_kill_list(uint32_t subscription) {
    if (!lockGateway("gw_kill_list")) return;
    if (auto* sub = static_cast<gw_mhandle*>(handleObject(SlotKind::Subscription, subscription))) {
        dropHandle(subscription, true);
        gw_mlist* l = sub->list;
        if (!l->killed) {
            unlinkSubscription(sub);
            if (gw_callback_t fn = callbackOf(sub, GW_CB_STOP)) fn(GW_EVT_OK, nullptr, sub->user);
            delete sub;
            if (!l->subscribers) {
                if (sendStop(l)) {
                    l->state =
                        (l->state == GW_LS_CFG || l->state == GW_LS_P_INI) ? GW_LS_INS_DEST : GW_LS_DEST;
                    l->killHold = KILL_HOLD_MS;
                }
                l->killed = 1;
            }
        }
    }
    unlockGateway("gw_kill_list");
}

void gw_kill_all_lists(gw_connection* connection) {
    std::vector<uint32_t> handles;
    if (!lockGateway("gw_kill_all_lists")) return;
    if (connection && connectionLive(connection))
        for (gw_mhandle* s = connection->subs; s; s = s->nextConn) handles.push_back(s->handle);
    unlockGateway("gw_kill_all_lists");
    for (uint32_t h : handles) gw_kill_list(h);
}

int gw_disconnect(gw_connection* connection) {
    if (!connection) return 0;
    // The gateway mutex is recursive: the removals run under it, so nothing joins the connection
    // between its last removal and its end.
    if (!lockGateway("gw_disconnect")) return 0;
    if (connectionLive(connection)) {
        while (gw_mhandle* first = connection->subs) {
            gw_kill_list(first->handle);
            if (connection->subs == first) break; // not removable: never loop on it
        }
        for (gw_connection** at = &gw().connections; *at; at = &(*at)->next) {
            if (*at == connection) {
                *at = connection->next;
                break;
            }
        }
        delete connection;
    }
    unlockGateway("gw_disconnect");
    return 0;
}

int gw_list_speed(gw_connection* connection, uint32_t subscription, uint16_t divisor) {
    if (!connection) return 0;
    if (!lockGateway("gw_list_speed")) return 0;
    int sent = 0;
    auto* sub = static_cast<gw_mhandle*>(handleObject(SlotKind::Subscription, subscription));
    // A list that does not run yet keeps the divisor as its requested one: its request carries
    // it, or the first delivery corrects the divisor the device was asked for.
    if (sub && sub->conn == connection) sent = listSpeedInternal(sub->list, divisor);
    unlockGateway("gw_list_speed");
    return sent;
}
