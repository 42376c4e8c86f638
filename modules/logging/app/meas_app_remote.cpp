// The remote-control requests on the state machine's flags. The queue listener and the watch task
// both make requests; one lock keeps each test-and-set whole between them (the state machine
// itself only reads and clears the flags it carries out).
//
// A start or an init that comes while logging cannot take it yet (a stop whose blocks still stop,
// a destroy still under way) is kept and carried out once the state machine is free, so that the
// PC's disconnect always brings logging back; a later stop or destroy takes its place. An init
// while a measurement exists (running or stopped) closes its files as a stop does, frees it and
// builds it afresh from the configuration: a live measurement is never initialised twice.
//
// The watch's ask and the PC's commands are decided here, in the order they came into the queue: a
// command of the PC that came before the ask (taken already, waiting behind a slow request, or
// still in the queue) is made or refused first, and one that is made cancels the ask. The watch asks
// for what brings logging back from the state it finds, and no lock refuses it. Once the watch has
// given logging back, its lock refuses the PC's late end of the same stop or destroy, so that
// logging is not started or built a second time; the lock is checked when a request of the PC
// comes, never when a kept one is carried out.
#include "logging/app/meas_app_remote.h"

#include "framework/syslog.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_store.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/cfg_system.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

std::atomic<uint32_t> remotectrl_lost_ip{0};
std::atomic<uint8_t> remotectrl_retry_ctr{0}, remotectrl_remoteinit_lock{0};

namespace {

std::atomic<TASK_ID> remotectrl_lost_task_id{0};
std::mutex gRemoteMutex;
// A destroyed measurement has nothing to start: the remote-start lock stays set until an init
// builds it again (a stop does not clear it then).
bool gDestroyed = false;
// A start or init kept until the state machine is free (under gRemoteMutex; read by the state
// machine's step without it), and whether the watch asked for it.
enum : uint8_t { DEFER_NONE = 0, DEFER_START = 1, DEFER_INIT = 2 };
std::atomic<uint8_t> gDeferred{DEFER_NONE};
bool gDeferredByWatch = false;
// The order of the PC's requests taken (under gRemoteMutex, as all below): each one made moves it.
uint32_t gOrder = 0;
// The queue's messages by their number of arrival: the last one taken, the counted ones taken
// whose request is not made or refused yet (in order), and the one being handled.
uint64_t gTaken = 0, gHandling = 0;
std::deque<uint64_t> gUnsettled;
// The watch's ask that waits for the PC's commands that came before it (numbers up to `bound`).
struct Ask {
    bool pending = false;
    bool cancelled = false; // one of those commands was made: the PC's own command decides
    uint64_t bound = 0;
    const char* what = "";    // "remotestart" or "remoteinit", as the state was when it was asked
    const char* watched = ""; // "stop" or "destroy"
};
Ask gAsk;

bool loggingActive() {
    return cfg_system.loggingActive != 0;
}

// The shutdown's fast stop has begun: nothing is started or built any more.
bool shuttingDown() {
    return powerdown.load() != 0 || meas_app_faststopreq.load() != 0;
}

bool measurementBuilt() {
    for (const meas_instance& m : meas)
        if (m.config) return true;
    return false;
}

// Keeps `what` for later; said once per request kept.
void defer(uint8_t what, const char* who, bool byWatch) {
    const uint8_t was = gDeferred.exchange(what);
    gDeferredByWatch = was == what ? gDeferredByWatch || byWatch : byWatch;
    if (was != what)
        syslogx(LOG_PRIO_INFO, "%s: logging cannot take it now (flags %03X); carried out once it can", who,
                unsigned(meas_app_get_flags()));
}

// A request the state machine has not taken yet, besides start (bits 0, 1, 2, 4 and 6).
bool stopInitDestroyPending() {
    return meas_app_stopreq.load() || meas_app_reinitreq.load() || meas_app_hstinitreq.load() ||
           meas_app_destroyreq.load() || meas_app_blkstopreq.load();
}

// Without its task no event can go out (id 0 would name the sender itself).
STATUS sendWatchEvent(uint32_t event) {
    const TASK_ID tid = remotectrl_lost_task_id.load();
    return tid == 0 ? ERROR : eventSend(tid, event);
}

// A request of the PC is made: it moves the order, and cancels the watch's ask that waits for it.
void moveOrderLocked() {
    ++gOrder;
    if (gAsk.pending && gHandling <= gAsk.bound) gAsk.cancelled = true;
}

// Every message up to this number is taken and, where it bears on the logging, made or refused.
uint64_t settledThroughLocked() {
    return gUnsettled.empty() ? gTaken : gUnsettled.front() - 1;
}

// Nothing to start: a destroy done or under way (or an init kept for later), or no measurement
// built (the flags are looked at first: the state machine builds and frees only while one is set).
bool nothingBuiltLocked() {
    if (gDestroyed || meas_app_destroyreq.load() || gDeferred.load() == DEFER_INIT) return true;
    if (meas_app_reinitreq.load() || meas_app_hstinitreq.load()) return false;
    return !measurementBuilt();
}

} // namespace

namespace {

// The start, gRemoteMutex held: asked by the watch (`byWatch`), and `kept` when it is carried out
// after it was kept.
int startLocked(bool byWatch, bool kept) {
    if (shuttingDown()) {
        syslogx(LOG_PRIO_INFO, "meas_app_remotestart: the process shuts down, nothing is started");
        return 1;
    }
    // A destroy under way leaves nothing to start; the lock: a destroyed measurement, or logging the
    // watch started already. The watch asks a start only where there is one to make.
    if (meas_app_destroyreq.load() || (!kept && !byWatch && meas_app_remotestart_lock.load())) {
        syslogx(LOG_PRIO_WARNING, "meas_app_remotestart: failed %03X", unsigned(meas_app_get_flags()));
        return 0;
    }
    // A start or an init on its way starts logging anyway.
    if (meas_app_startreq.load() || meas_app_reinitreq.load() || meas_app_hstinitreq.load() ||
        gDeferred.load() == DEFER_INIT)
        return 1;
    if (stopInitDestroyPending()) {
        defer(DEFER_START, "meas_app_remotestart", byWatch);
        return 1;
    }
    if (byWatch) meas_app_remotestart_lock = 1;
    if (meas_app_running.load() == 0) {
        meas_app_startreq = 1;
        syslogx(LOG_PRIO_INFO, "meas_app_remotestart: %03X", unsigned(meas_app_get_flags()));
    } else {
        syslogx(LOG_PRIO_INFO, "meas_app_remotestart: already running %03X, clear events ",
                unsigned(meas_app_get_flags()));
    }
    gDeferred = DEFER_NONE;
    if (sendWatchEvent(RCTRL_EV_START) == OK) {
        remotectrl_retry_ctr = 0;
        meas_app_remotestop_active = 0;
        remotectrl_lost_ip = 0;
    } else {
        syslogx(LOG_PRIO_ERR, "meas_app_remotestart: Event Send failed");
    }
    return 1;
}

// The init, gRemoteMutex held; `byWatch` and `kept` as for the start.
int initLocked(bool byWatch, bool kept) {
    if (shuttingDown()) {
        syslogx(LOG_PRIO_INFO, "meas_app_remoteinit: the process shuts down, nothing is built");
        return 1;
    }
    if (!kept && !byWatch && remotectrl_remoteinit_lock.load()) {
        syslogx(LOG_PRIO_WARNING, "meas_app_remoteinit: failed %03X", unsigned(meas_app_get_flags()));
        return 0;
    }
    if (meas_app_reinitreq.load() || meas_app_hstinitreq.load()) return 1; // one is on its way
    if (stopInitDestroyPending()) {
        defer(DEFER_INIT, "meas_app_remoteinit", byWatch);
        return 1;
    }
    if (measurementBuilt()) {
        // Closed as a stop closes it and freed first; the init follows once that is done.
        syslogx(
            LOG_PRIO_INFO,
            "meas_app_remoteinit: the measurement is there (flags %03X): its files are closed, then it is "
            "built afresh",
            unsigned(meas_app_get_flags()));
        meas_app_startreq = 0;
        meas_app_stopreq = 1;
        meas_app_destroyreq = 1;
        gDeferred = DEFER_INIT;
        gDeferredByWatch = byWatch;
        return 1;
    }
    gDeferred = DEFER_NONE;
    meas_app_reinitreq = 1;
    meas_app_remotestart_lock = 0;
    gDestroyed = false;
    if (byWatch) remotectrl_remoteinit_lock = 1;
    if (sendWatchEvent(RCTRL_EV_INIT) == OK) {
        remotectrl_retry_ctr = 0;
        remotectrl_lost_ip = 0;
    } else {
        syslogx(LOG_PRIO_ERR, "meas_app_remoteinit: Event Send failed");
    }
    return 1;
}

} // namespace

int meas_app_remotestart() {
    if (!loggingActive()) return 1;
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    const int r = startLocked(false, false);
    if (r) moveOrderLocked();
    return r;
}

int meas_app_remotestop(uint32_t ip) {
    if (!loggingActive()) return 1;
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    if (shuttingDown()) return 1; // the shutdown closes every file itself
    if (meas_app_startreq_condition() || stopInitDestroyPending()) return 0;
    // The start request goes first, so that no step starts what this one stops.
    gDeferred = DEFER_NONE;
    meas_app_startreq = 0;
    meas_app_stopreq = 1;
    if (!gDestroyed) meas_app_remotestart_lock = 0;
    remotectrl_remoteinit_lock = 0;
    moveOrderLocked();
    remotectrl_lost_ip = ip;
    if (sendWatchEvent(RCTRL_EV_STOP) != OK) syslogx(LOG_PRIO_ERR, "meas_app_remotestop: Event Send failed");
    return 1;
}

int meas_app_remoteinit() {
    if (!loggingActive()) return 1;
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    const int r = initLocked(false, false);
    if (r) moveOrderLocked();
    return r;
}

void meas_app_remoteDeferred() {
    if (gDeferred.load() == DEFER_NONE || stopInitDestroyPending()) return;
    // Carried out under the lock that took it: a stop or destroy that comes meanwhile either takes
    // its place before or finds it done.
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    const uint8_t what = gDeferred.load();
    if (what == DEFER_NONE || stopInitDestroyPending()) return;
    const bool byWatch = gDeferredByWatch;
    gDeferred = DEFER_NONE;
    gDeferredByWatch = false;
    if (what == DEFER_INIT)
        initLocked(byWatch, true);
    else
        startLocked(byWatch, true);
}

int meas_app_remotedestroy(uint32_t ip) {
    if (!loggingActive()) return 1;
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    if (shuttingDown()) return 1; // the shutdown closes every file itself
    if (meas_app_stopreq.load() || meas_app_destroyreq.load() || meas_app_blkstopreq.load()) return 0;
    gDeferred = DEFER_NONE;
    meas_app_reinitreq = 0;
    meas_app_hstinitreq = 0;
    meas_app_startreq = 0;
    meas_app_stopreq = 1;
    meas_app_destroyreq = 1;
    // A destroyed measurement has nothing to start: it comes back with a remote init.
    meas_app_remotestart_lock = 1;
    gDestroyed = true;
    moveOrderLocked();
    // Without an address no PC is watched, and only a stop or an addressed destroy allows an init.
    remotectrl_remoteinit_lock = ip == 0 ? 1 : 0;
    if (ip != 0) {
        remotectrl_lost_ip = ip;
        syslogx(LOG_PRIO_INFO, "meas_app_remotedestroy %03X, ip %u.%u.%u.%u", unsigned(meas_app_get_flags()),
                unsigned(ip & 0xFF), unsigned(ip >> 8 & 0xFF), unsigned(ip >> 16 & 0xFF), unsigned(ip >> 24));
        if (sendWatchEvent(RCTRL_EV_DESTROY) != OK)
            syslogx(LOG_PRIO_ERR, "meas_app_remotedestroy: Event Send failed");
    }
    return 1;
}

int meas_app_remoteTransfer(uint32_t) {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    if (meas_app_startreq_condition() || stopInitDestroyPending()) return 0;
    if (!loggingActive())
        syslogx(LOG_PRIO_INFO, "meas_app_remotedatatransfer: nothing to do bc logging inactive.");
    else if (meas_app_running.load())
        meas_app_remoteread = 1;
    else
        syslogx(LOG_PRIO_INFO, "meas_app_remotedatatransfer: nothing to do bc meas app not running.");
    return 1;
}

bool meas_app_remotestop_busy() {
    return meas_app_stopreq.load() || meas_app_blkstopreq.load();
}

bool meas_app_remoteTransferBusy() {
    return meas_app_stopreq.load() || meas_app_blkstopreq.load();
}

bool meas_app_remotedestroy_busy() {
    return meas_app_destroyreq.load() != 0;
}

uint8_t meas_app_get_remotectrl_remotestart_lock() {
    return meas_app_remotestart_lock.load();
}

uint8_t meas_app_get_remotestop_active() {
    return meas_app_remotestop_active.load();
}

// The watch task's own part of a stop: only while the stop's PC is still watched, so that a start
// that came first is not undone.
void remotectrl_markStopActive() {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    if (remotectrl_lost_ip.load() != 0) meas_app_remotestop_active = 1;
}

namespace {

// The watch's ask, carried out where it stands in the order (gRemoteMutex held).
void carryOutAskLocked() {
    gAsk.pending = false;
    if (gAsk.cancelled) {
        syslogx(LOG_PRIO_INFO, "remote lost, no %s: the PC's own command after the %s decides", gAsk.what,
                gAsk.watched);
        return;
    }
    const bool init = nothingBuiltLocked();
    syslogx(LOG_PRIO_WARNING, "remote lost, do a %s", init ? "remoteinit" : "remotestart");
    ++remotectrl_retry_ctr;
    if (!loggingActive()) return;
    if (init)
        initLocked(true, false);
    else
        startLocked(true, false);
}

void askWhenSettledLocked() {
    if (gAsk.pending && settledThroughLocked() >= gAsk.bound) carryOutAskLocked();
}

// A new watch, or none: an ask still waiting was cancelled by the PC's command that ends it.
void dropAskLocked() {
    if (gAsk.pending && gAsk.cancelled) carryOutAskLocked();
    gAsk = Ask{};
}

} // namespace

void remotectrl_pcMessageTaken(uint64_t number, bool counted) {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    gTaken = std::max(gTaken, number);
    if (counted) gUnsettled.push_back(number);
    askWhenSettledLocked();
}

void remotectrl_pcMessageBegins(uint64_t number) {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    gHandling = number;
}

void remotectrl_pcCommandSettled(uint64_t number) {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    gUnsettled.erase(std::remove(gUnsettled.begin(), gUnsettled.end(), number), gUnsettled.end());
    askWhenSettledLocked();
}

uint32_t remotectrl_watchBegins() {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    dropAskLocked();
    return gOrder;
}

int remotectrl_lostAsk(uint32_t order, const char* watched) {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    gAsk = Ask{};
    // Requests made move the order under this lock: one made before this moment came before it (the
    // state is the PC's command's now, the ask is named by what was watched).
    if (gOrder != order) {
        syslogx(LOG_PRIO_INFO, "remote lost, no %s: the PC's own command after the %s decides",
                std::strcmp(watched, "destroy") == 0 ? "remoteinit" : "remotestart", watched);
        return -1;
    }
    gAsk.what = nothingBuiltLocked() ? "remoteinit" : "remotestart";
    gAsk.watched = watched;
    // Counted under this lock too: a message that came into the queue before this moment is among
    // them, taken or not yet.
    gAsk.bound = std::max(gTaken, remotectrl_arrivals());
    gAsk.pending = true;
    if (settledThroughLocked() >= gAsk.bound) {
        carryOutAskLocked();
        return 1;
    }
    syslogx(LOG_PRIO_INFO, "remote lost, no %s yet: a command of the PC came first and waits", gAsk.what);
    return 0;
}

void remotectrl_endWatch() {
    std::lock_guard<std::mutex> lk(gRemoteMutex);
    dropAskLocked();
    uint32_t pending = 0;
    eventReceive(0, EVENTS_FETCH, NO_WAIT, &pending);
    // A stop or destroy made since the watch ended starts the next one.
    if (remotectrl_lost_ip.load() != 0 && (pending & (RCTRL_EV_STOP | RCTRL_EV_DESTROY))) return;
    remotectrl_lost_ip = 0;
    eventClear();
}

void meas_app_remote_ini() {
    remotectrl_lost_ip = 0;
    meas_app_remotestart_lock = 0;
    remotectrl_remoteinit_lock = 0;
    const TASK_ID lost =
        taskSpawn("r_rCtrlLost", RCTRL_TASK_PRIORITY, 0, RCTRL_TASK_STACK, remotectrl_lost_task);
    if (lost == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "meas_app_ini: taskSpawn error %s", std::strerror(errno));
        return;
    }
    remotectrl_lost_task_id = lost;
    if (taskSpawn("r_rCtrlLisQ", RCTRL_TASK_PRIORITY, 0, RCTRL_TASK_STACK, remotectrl_listenQueue) ==
        TASK_ID_ERROR)
        syslogx(LOG_PRIO_ERR, "meas_app_ini: taskSpawn error %s", std::strerror(errno));
}
