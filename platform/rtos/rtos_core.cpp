// The tick core: the tasks that the base tick drives run as on the device's single core.
//
// A member holds the core from the moment its turn comes until it waits in a call of this RTOS
// layer. A member made ready (by a give, a send, an event or the end of its time-out) gets its turn
// when no better member is ready or holds the core; better means a higher priority (a lower
// number), or the same priority and ready earlier. A member that makes a better one ready gives way
// to it at the end of that call, as a preempted task does, and keeps its place among its equals.
//
// Threads cannot be stopped from outside, so a few things differ from a real core:
// - A better member that becomes ready while a worse one holds the core runs at once, beside it
//   (an overrunning low-priority raster never delays the next tick's high-priority ones).
// - A member that holds a mutex semaphore never waits for its turn: other tasks (the file writers,
//   the GUI) may wait for that mutex, and a busy host could keep the turn from coming for long.
// - A member that sleeps in the host kernel outside this layer (a socket, a file, a plain mutex)
//   still holds the core. Once it has held it for a patience, its state is read from /proc; while
//   asleep there it no longer holds back the others, as a blocked task would not.
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace rtos_detail {
namespace {

constexpr uint64_t kPatienceNs = 2000000; // how long a member may hold the core before it is looked at

uint64_t steadyNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ULL + uint64_t(ts.tv_nsec);
}

struct Core {
    std::mutex m;
    std::vector<TaskRec*> members;
    uint64_t seq = 0;
};

Core& core() {
    static auto* c = new Core; // tasks may end during exit
    return *c;
}

thread_local bool tlYield = false; // this call made a better member ready

bool better(const TaskRec* a, const TaskRec* b) {
    return a->priority < b->priority || (a->priority == b->priority && a->coreSeq < b->coreSeq);
}

// Reads a small file of the host kernel into `buf`; false when it cannot be read.
bool readProc(const char* path, char* buf, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    return true;
}

// Where the thread stands in the host kernel: asleep (not running or runnable) and the time it has
// spent on a processor so far. False when that cannot be read; the thread then counts as running.
bool hostState(const TaskRec* t, bool* asleep, uint64_t* cpuNs) {
    if (t->osTid == 0) return false;
    char path[64], buf[512];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(t->osTid));
    if (!readProc(path, buf, sizeof buf)) return false;
    const char* paren = std::strrchr(buf, ')'); // the name may hold spaces and parentheses
    if (!paren || paren[1] != ' ') return false;
    *asleep = paren[2] == 'S' || paren[2] == 'D';
    std::snprintf(path, sizeof path, "/proc/self/task/%d/schedstat", int(t->osTid));
    if (!readProc(path, buf, sizeof buf)) return false;
    *cpuNs = std::strtoull(buf, nullptr, 10);
    return true;
}

// Members that hold the core but have slept in the host kernel since the last look, a patience
// ago, without running at all, let go of it. One glimpse of a sleeping thread is not enough: a
// thread that runs can be caught in a short sleep (a contended allocator lock, a page fault).
// Returns true when one let go.
bool releaseSleepers(Core& c) {
    if (hostclock_isManual()) return false; // a hand-driven test keeps the order strictly
    const uint64_t now = steadyNs();
    bool released = false;
    for (TaskRec* t : c.members) {
        if (t->coreState != CoreState::Running || t->offCore || now - t->runningSinceNs < kPatienceNs)
            continue;
        bool asleep = false;
        uint64_t cpuNs = 0;
        if (!hostState(t, &asleep, &cpuNs) || !asleep) {
            t->sleepSinceNs = 0;
            continue;
        }
        if (t->sleepSinceNs == 0 || cpuNs != t->sleepCpuNs) {
            t->sleepSinceNs = now; // first seen asleep, or it ran in between
            t->sleepCpuNs = cpuNs;
        } else if (now - t->sleepSinceNs >= kPatienceNs) {
            released = t->offCore = true;
        }
    }
    return released;
}

// The member whose turn it is: the best of those ready or holding the core; null when none is
// ready ahead of every holder.
TaskRec* nextTurn(Core& c) {
    TaskRec* best = nullptr;
    for (TaskRec* t : c.members) {
        const bool contends =
            t->coreState == CoreState::Ready || (t->coreState == CoreState::Running && !t->offCore);
        if (contends && (!best || better(t, best))) best = t;
    }
    return best && best->coreState == CoreState::Ready ? best : nullptr;
}

void dispatch(Core& c) {
    TaskRec* t = nextTurn(c);
    if (!t) return;
    if (t->wakePending) {
        t->wakePending = false;
        if (t->waitCv) t->waitCv->notify_all();
    }
    t->coreCv.notify_all();
}

void makeReady(Core& c, TaskRec* t) {
    if (t->coreState != CoreState::Waiting) return;
    t->coreState = CoreState::Ready;
    t->coreSeq = ++c.seq;
}

// Waits until it is the task's turn; a task to be deleted goes through at once so that it reaches
// its next wait and ends there, and so does a task that holds a mutex semaphore.
void awaitTurn(Core& c, std::unique_lock<std::mutex>& lk, TaskRec* me) {
    while (nextTurn(c) != me && me->mutexesHeld == 0 &&
           !me->deleteRequested.load(std::memory_order_relaxed)) {
        me->coreCv.wait_for(lk, std::chrono::nanoseconds(kPatienceNs));
        if (releaseSleepers(c)) dispatch(c); // the turn may be another's that sleeps in its wait
    }
    me->coreState = CoreState::Running;
    me->runningSinceNs = steadyNs();
    me->sleepSinceNs = 0;
    me->offCore = false;
    me->wakePending = false;
}

} // namespace

void core_join(TaskRec* rec) {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    rec->coreMember = true;
    rec->coreState = CoreState::Ready;
    rec->coreSeq = ++c.seq;
    c.members.push_back(rec);
}

void core_start(TaskRec* me) {
    Core& c = core();
    std::unique_lock<std::mutex> lk(c.m);
    awaitTurn(c, lk, me);
}

void core_leave(TaskRec* me) {
    if (!me->coreMember) return;
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    c.members.erase(std::remove(c.members.begin(), c.members.end(), me), c.members.end());
    me->coreMember = false;
    dispatch(c);
}

void core_block(TaskRec* me, std::condition_variable* cv) {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    me->coreState = CoreState::Waiting;
    me->waitCv = cv;
    me->wakePending = false;
    me->coreBlocked = true;
    dispatch(c);
}

void core_leftWait(TaskRec* me) {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    makeReady(c, me);
}

void core_rewait(TaskRec* me) {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    if (me->coreState == CoreState::Ready) {
        me->coreState = CoreState::Waiting;
        me->wakePending = false;
        dispatch(c);
    }
}

bool core_wake(WaitPlace& place) {
    Core& c = core();
    TaskRec* me = self();
    std::lock_guard<std::mutex> lk(c.m);
    bool now = false;
    for (TaskRec* t : place.members) {
        makeReady(c, t);
        if (me->coreMember && me->coreState == CoreState::Running && better(t, me)) tlYield = true;
        if (nextTurn(c) == t)
            now = true;
        else
            t->wakePending = true;
    }
    return now;
}

void core_turn(TaskRec* me) {
    const bool waited = me->coreBlocked;
    const bool yield = tlYield;
    me->coreBlocked = false;
    tlYield = false;
    if (!waited && !yield) return;
    Core& c = core();
    std::unique_lock<std::mutex> lk(c.m);
    if (!waited) { // a task that waited is ready since it left its wait
        if (me->coreState != CoreState::Running) return;
        me->coreState = CoreState::Ready; // preempted: keeps its place among its equals
        dispatch(c);
    }
    awaitTurn(c, lk, me);
}

void core_nudge(TaskRec* rec) {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    rec->coreCv.notify_all();
}

CoreTurn::CoreTurn() : me(self()) {}

CoreTurn::~CoreTurn() {
    const WokeBy woke = me->foreign ? WokeBy::None : me->woke;
    if (woke != WokeBy::None) me->woke = WokeBy::None;
    if (std::uncaught_exceptions() != 0) return;
    if (woke != WokeBy::None) perturb_afterWait(me, woke); // a member is ready meanwhile: worse ones wait
    if (me->coreMember) core_turn(me);
}

PlaceGuard::PlaceGuard(WaitPlace& place, std::condition_variable& cv, bool delay, bool byClock)
    : place_(place), me_(self()), byClock_(byClock) {
    me_->waitKind.store(delay ? 2 : 1, std::memory_order_release);
    {
        std::lock_guard<std::mutex> g(me_->waitLock);
        me_->waitingOn = &cv;
    }
    if (me_->coreMember) {
        place_.members.push_back(me_);
        core_block(me_, &cv);
    } else {
        ++place_.others;
    }
}

// A member leaving its wait is ready from here on, under the object's lock: a wait ended by time
// or by a clock-given semaphore has no give that made it ready, and in between it would count as
// waiting with what it took already taken (a hand-driven tick could be seen done before its work
// began).
PlaceGuard::~PlaceGuard() {
    me_->waitKind.store(0, std::memory_order_release);
    {
        std::lock_guard<std::mutex> g(me_->waitLock);
        me_->waitingOn = nullptr;
    }
    if (me_->coreMember) {
        place_.members.erase(std::find(place_.members.begin(), place_.members.end(), me_));
        if (std::uncaught_exceptions() == 0) core_leftWait(me_); // a deleted task ends instead
    } else {
        --place_.others;
    }
    if (!me_->foreign) me_->woke = byClock_ ? WokeBy::Clock : WokeBy::Wait; // not the exit's shared record
}

void PlaceGuard::rewait() {
    if (me_->coreMember) core_rewait(me_);
}

} // namespace rtos_detail

using namespace rtos_detail;

// A member asleep in the host kernel still counts here: a hand-driven tick is done only when every
// member is back in an RTOS wait, so that the next one never overtakes it.
bool taskTickCoreIdle() {
    Core& c = core();
    std::lock_guard<std::mutex> lk(c.m);
    for (TaskRec* t : c.members)
        if (t->coreState != CoreState::Waiting) return false;
    return true;
}
