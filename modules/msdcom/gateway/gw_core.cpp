// The gateway's shared state: mutexes, handle numbers, PID states, chains and the callbacks.
#include "framework/syslog.h"
#include "msdcom/gateway/gw_internal.h"

#include <cerrno>
#include <cstring>

namespace gwi {

State& gw() {
    // Never destroyed: raster tasks may still run while the process ends.
    static State* s = new State;
    return *s;
}

namespace {

const char* semError() {
    return errno != 0 ? std::strerror(errno) : "semTake failed";
}

} // namespace

bool lockGateway(const char* who) {
    State& s = gw();
    if (s.mhandleSem == SEM_ID_NULL || semTake(s.mhandleSem, WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "%s(): Error acquiring semaphore %s", who, semError());
        return false;
    }
    return true;
}

void unlockGateway(const char* who) {
    if (semGive(gw().mhandleSem) != OK)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "%s: failed to give semaphore %s", who, semError());
}

bool lockRequests(const char* who) {
    State& s = gw();
    if (s.requestSem == SEM_ID_NULL || semTake(s.requestSem, WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "%s(): Error acquiring semaphore %s", who, semError());
        return false;
    }
    return true;
}

void unlockRequests() {
    semGive(gw().requestSem);
}

uint32_t newHandle(SlotKind kind, void* object) {
    State& s = gw();
    const uint32_t handle = magicNumber_getNewMagic(s.magics);
    if (handle == 0) return 0;
    const uint32_t index = magicNumber_magic2index(s.magics, handle);
    if (index == MAGIC_INVALID || index >= s.magicArr.size()) {
        magicNumber_deleteMagic_noTimeout(s.magics, handle);
        return 0;
    }
    s.magicArr[index] = MagicSlot{kind, object};
    return handle;
}

void* handleObject(SlotKind kind, uint32_t handle) {
    State& s = gw();
    if (handle == 0) return nullptr;
    const uint32_t index = magicNumber_magic2index(s.magics, handle);
    if (index == MAGIC_INVALID || index >= s.magicArr.size()) return nullptr;
    const MagicSlot& slot = s.magicArr[index];
    return slot.kind == kind ? slot.object : nullptr;
}

void dropHandle(uint32_t handle, bool hold) {
    State& s = gw();
    const uint32_t index = magicNumber_magic2index(s.magics, handle);
    if (index == MAGIC_INVALID || index >= s.magicArr.size()) return;
    s.magicArr[index] = MagicSlot{};
    if (hold)
        magicNumber_deleteMagic(s.magics, handle);
    else
        magicNumber_deleteMagic_noTimeout(s.magics, handle);
}

PidState* pidState(uint16_t pid) {
    return pid < GW_PIDS ? &gw().pids[pid] : nullptr;
}

const char* pidStateName(uint16_t state) {
    switch (state) {
    case GW_PID_NOMEAS:
        return "NOMEAS";
    case GW_PID_MEAS:
        return "MEAS";
    case GW_PID_OFFLINE:
        return "OFFLINE";
    case GW_PID_STARTUP:
        return "STARTUP";
    case GW_PID_KILLMEAS:
        return "KILLMEAS";
    default:
        return "UNDEF";
    }
}

gw_callback_t callbackOf(const gw_mhandle* sub, int pair) {
    if (!sub || !sub->conn || !sub->conn->callbacks || pair < 0 || pair >= GW_CB_PAIRS) return nullptr;
    return sub->conn->callbacks->pair[pair].fn;
}

void tellAll(gw_mlist* list, int pair, uint32_t event, void* data) {
    // The next subscriber is taken first: a callback that breaks the rule and removes its own
    // subscription must not leave this walk on freed memory.
    for (gw_mhandle* sub = list->subscribers; sub;) {
        gw_mhandle* next = sub->nextList;
        if (gw_callback_t fn = callbackOf(sub, pair)) fn(event, data, sub->user);
        sub = next;
    }
}

void chainRaster(gw_mlist* list) {
    if (list->chained || list->raster >= GW_RASTERS) return;
    gw_mlist*& head = gw().rasterLists[list->raster];
    list->prevRaster = nullptr;
    list->nextRaster = head;
    if (head) head->prevRaster = list;
    head = list;
    list->chained = true;
}

void unchainRaster(gw_mlist* list) {
    if (!list->chained) return;
    gw_mlist*& head = gw().rasterLists[list->raster];
    if (list->prevRaster)
        list->prevRaster->nextRaster = list->nextRaster;
    else
        head = list->nextRaster;
    if (list->nextRaster) list->nextRaster->prevRaster = list->prevRaster;
    list->prevRaster = list->nextRaster = nullptr;
    list->chained = false;
}

} // namespace gwi

int gw_pid_offline(uint16_t pid) {
    const gwi::PidState* p = gwi::pidState(pid);
    return (!p || p->current.load(std::memory_order_relaxed) == GW_PID_OFFLINE) ? 1 : 0;
}
