// Tasks on POSIX threads: registry, spawn, delay, cooperative deletion, events.
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos_internal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

namespace rtos_detail {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<TASK_ID, std::shared_ptr<TaskRec>> tasks;
    TASK_ID nextId = 0x1000;
};

Registry& registry() {
    static Registry* r = new Registry; // outlives every thread
    return *r;
}

// Set once the thread's own record has gone (thread exit, and for the main thread the process
// exit, where destructors of static objects may still log or take a semaphore).
thread_local bool tlSelfGone = false;

// Keeps the record of the calling thread alive and unregisters a foreign thread at its end.
struct SelfHolder {
    std::shared_ptr<TaskRec> rec;
    ~SelfHolder() {
        tlSelfGone = true;
        if (rec && rec->foreign) {
            Registry& r = registry();
            std::lock_guard<std::mutex> lk(r.mutex);
            r.tasks.erase(rec->id);
        }
    }
};
thread_local SelfHolder tlSelf;

// The record that stands for a thread whose own record has gone.
TaskRec* exitRecord() {
    static TaskRec* rec = [] {
        auto* r = new TaskRec;
        r->foreign = true;
        r->name = "tExit";
        r->id = 1;
        return r;
    }();
    return rec;
}

std::shared_ptr<TaskRec> find(TASK_ID tid) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    if (tid == 0) return tlSelfGone ? nullptr : tlSelf.rec;
    auto it = r.tasks.find(tid);
    return it == r.tasks.end() ? nullptr : it->second;
}

void finish(TaskRec* rec) {
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lk(r.mutex);
        r.tasks.erase(rec->id);
    }
    std::lock_guard<std::mutex> lk(rec->endMutex);
    rec->ended = true;
    rec->endCv.notify_all();
}

// The thread's name at the OS level (ps -L, top -H, /proc/<pid>/task/<tid>/comm), so that a thread
// can be found, and a signal aimed at it, by the task's name. Linux keeps 15 characters: a longer
// name keeps its first 15, the form the drive fault seam's task names take too.
void nameOsThread(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

void* trampoline(void* arg) {
    tlSelf.rec = *static_cast<std::shared_ptr<TaskRec>*>(arg);
    delete static_cast<std::shared_ptr<TaskRec>*>(arg);
    TaskRec* rec = tlSelf.rec.get();
    rec->osTid = gettid();
    if (rec->coreMember) core_start(rec);
    nameOsThread(rec->name);
    try {
        rec->body();
    } catch (const TaskDeletedUnwind&) {
        // deleted by taskDelete: the stack has been unwound
    } catch (const std::exception& e) {
        std::fprintf(stderr, "task %s ended by exception: %s\n", rec->name.c_str(), e.what());
    } catch (...) {
        std::fprintf(stderr, "task %s ended by an unknown exception\n", rec->name.c_str());
    }
    rec->body = nullptr; // release captured state on the task's own thread
    core_leave(rec);
    finish(rec);
    return nullptr;
}

void applyAffinity(TaskRec* rec) {
    const long ncpu = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t set;
    CPU_ZERO(&set);
    int usable = 0;
    for (int cpu = 0; cpu < 32 && cpu < ncpu; ++cpu) {
        if (rec->affinity & (1u << cpu)) {
            CPU_SET(cpu, &set);
            ++usable;
        }
    }
    if (usable > 0) pthread_setaffinity_np(rec->thread, sizeof(set), &set); // recorded only if refused
}

bool startThread(const std::shared_ptr<TaskRec>& rec) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // The device's stack sizes are tight; host code (and the sanitizers) need more room.
    size_t stack = std::max<size_t>(rec->stackSize * 2, 512 * 1024);
    stack = (stack + 4095) & ~size_t(4095);
    pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* arg = new std::shared_ptr<TaskRec>(rec);
    // Held until the record is complete: the new task may already ask for its own affinity.
    std::lock_guard<std::mutex> lk(rec->attrMutex);
    if (rec->started) {
        pthread_attr_destroy(&attr);
        delete arg;
        return false;
    }
    if (rec->options & TASK_OPT_TICK_CORE) core_join(rec.get()); // ready from now on
    const int rc = pthread_create(&rec->thread, &attr, trampoline, arg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        core_leave(rec.get());
        delete arg;
        return false;
    }
    rec->started = true;
    if (rec->affinity) applyAffinity(rec.get());
    return true;
}

TASK_ID create(const char* name, int priority, int options, size_t stackSize, std::function<void()> body,
               bool activate) {
    if (!body) return TASK_ID_ERROR;
    auto rec = std::make_shared<TaskRec>();
    rec->name = name ? name : "";
    rec->priority = priority;
    rec->options = options;
    rec->stackSize = stackSize;
    rec->body = std::move(body);
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lk(r.mutex);
        rec->id = r.nextId++;
        if (rec->name.empty()) rec->name = "t" + std::to_string(rec->id);
        r.tasks[rec->id] = rec;
    }
    if (activate && !startThread(rec)) {
        finish(rec.get());
        return TASK_ID_ERROR;
    }
    return rec->id;
}

} // namespace

namespace {
// A thread not made by taskSpawn is registered at its first call: under the name it gave itself
// (taskNameThread), else as "tHost<id>".
void registerForeign(const char* name) {
    auto rec = std::make_shared<TaskRec>();
    rec->foreign = true;
    rec->thread = pthread_self();
    rec->started = true;
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    rec->id = r.nextId++;
    rec->name = name ? name : "tHost" + std::to_string(rec->id);
    r.tasks[rec->id] = rec;
    tlSelf.rec = rec;
}
} // namespace

TaskRec* self() {
    if (tlSelfGone) return exitRecord();
    if (!tlSelf.rec) registerForeign(nullptr);
    return tlSelf.rec.get();
}

void checkDeletion() {
    if (tlSelfGone) return;
    TaskRec* rec = tlSelf.rec.get();
    if (rec && !rec->foreign && rec->deleteRequested.load(std::memory_order_relaxed) && rec->mutexesHeld == 0)
        throw TaskDeletedUnwind{};
}

uint64_t deadlineForTicks(_Vx_ticks_t timeout) {
    if (timeout < 0) return UINT64_MAX;
    return hostclock_nowNs() + uint64_t(timeout) * 1000000ULL;
}

bool waitSlice(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadlineNs,
               bool byTime) {
    const uint64_t now = hostclock_nowNs();
    if (now >= deadlineNs) return false;
    if (hostclock_isManual()) {
        cv.wait_for(lk, std::chrono::milliseconds(1));
        return true;
    }
    // A deletion wakes the wait (taskDelete); the slice only catches one that came just before it.
    const uint64_t slice = std::min<uint64_t>(deadlineNs - now, 250000000ULL);
    if (byTime) {
        // Nothing but the time can end this wait: a plain sleep, one system call where a condition
        // variable takes two.
        lk.unlock();
        const timespec ts{time_t(slice / 1000000000ULL), long(slice % 1000000000ULL)};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
        lk.lock();
        return true;
    }
    cv.wait_for(lk, std::chrono::nanoseconds(slice));
    return true;
}

} // namespace rtos_detail

using namespace rtos_detail;

TASK_ID taskSpawn(const char* name, int priority, int options, size_t stackSize, std::function<void()> body) {
    return create(name, priority, options, stackSize, std::move(body), true);
}

TASK_ID taskCreate(const char* name, int priority, int options, size_t stackSize,
                   std::function<void()> body) {
    return create(name, priority, options, stackSize, std::move(body), false);
}

STATUS taskActivate(TASK_ID tid) {
    auto rec = find(tid);
    if (!rec || rec->foreign) return ERROR;
    return startThread(rec) ? OK : ERROR;
}

STATUS taskDelay(_Vx_ticks_t ticks) {
    CoreTurn turn;
    std::mutex m;
    std::condition_variable cv;
    WaitPlace place;
    std::unique_lock<std::mutex> lk(m);
    checkDeletion();
    if (ticks <= 0) {
        lk.unlock();
        sched_yield();
        return OK;
    }
    waitTicks(
        lk, cv, place, ticks, [] { return false; }, true);
    return OK;
}

STATUS taskNameThread(const char* name) {
    if (!name || !*name || tlSelfGone || tlSelf.rec) return ERROR;
    registerForeign(name);
    nameOsThread(name);
    return OK;
}

TASK_ID taskIdSelf() {
    return self()->id;
}

TASK_ID taskNameToId(const char* name) {
    if (!name) return TASK_ID_ERROR;
    Registry& r = registry();
    std::lock_guard<std::mutex> lk(r.mutex);
    for (auto& [id, rec] : r.tasks)
        if (rec->name == name) return id;
    return TASK_ID_ERROR;
}

const char* taskName(TASK_ID tid) {
    if (tid == 0) return self()->name.c_str();
    auto rec = find(tid);
    return rec ? rec->name.c_str() : nullptr;
}

STATUS taskPriorityGet(TASK_ID tid, int* priority) {
    auto rec = find(tid == 0 ? self()->id : tid);
    if (!rec || !priority) return ERROR;
    *priority = rec->priority;
    return OK;
}

STATUS taskIdVerify(TASK_ID tid) {
    return find(tid) ? OK : ERROR;
}

bool taskIsPended(TASK_ID tid) {
    auto rec = find(tid);
    return rec && rec->waitKind.load(std::memory_order_acquire) == 1;
}

bool taskIsDelayed(TASK_ID tid) {
    auto rec = find(tid);
    return rec && rec->waitKind.load(std::memory_order_acquire) == 2;
}

STATUS taskCpuAffinitySet(TASK_ID tid, cpuset_t cpus) {
    auto rec = tid == 0 ? find(self()->id) : find(tid);
    if (!rec) return ERROR;
    std::lock_guard<std::mutex> lk(rec->attrMutex);
    rec->affinity = cpus;
    if (rec->started) applyAffinity(rec.get());
    return OK;
}

STATUS taskCpuAffinityGet(TASK_ID tid, cpuset_t* cpus) {
    auto rec = tid == 0 ? find(self()->id) : find(tid);
    if (!rec || !cpus) return ERROR;
    std::lock_guard<std::mutex> lk(rec->attrMutex);
    *cpus = rec->affinity;
    return OK;
}

STATUS taskDelete(TASK_ID tid) {
    TaskRec* me = self();
    if (tid == 0 || tid == me->id) {
        if (me->foreign) return ERROR;
        me->deleteRequested.store(true);
        checkDeletion(); // ends here unless a mutex is held
        return OK;
    }
    auto rec = find(tid);
    if (!rec || rec->foreign) return ERROR;
    rec->deleteRequested.store(true);
    {
        std::lock_guard<std::mutex> lk(rec->eventMutex);
        rec->eventCv.notify_all();
    }
    {
        std::lock_guard<std::mutex> lk(rec->waitLock);
        if (rec->waitingOn) rec->waitingOn->notify_all();
    }
    core_nudge(rec.get());
    bool neverRan = false;
    {
        std::lock_guard<std::mutex> lk(rec->attrMutex);
        if (!rec->started) neverRan = rec->started = true; // and can no longer be activated
    }
    if (neverRan) {
        rec->body = nullptr;
        finish(rec.get());
    }
    return OK;
}

STATUS taskDeleteForce(TASK_ID tid) {
    return taskDelete(tid);
}

namespace {
std::atomic<bool> joinTimedOut{false};
}

STATUS taskJoin(TASK_ID tid, int timeoutMs) {
    auto rec = find(tid);
    if (!rec) return OK; // already gone
    if (rec.get() == self() || rec->foreign) return ERROR;
    std::unique_lock<std::mutex> lk(rec->endMutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (rec->endCv.wait_until(lk, until, [&] { return rec->ended; })) return OK;
    joinTimedOut.store(true);
    return ERROR;
}

bool taskJoinTimedOut() {
    return joinTimedOut.load();
}

int sysClkRateGet() {
    return 1000;
}
uint64_t tickGet64() {
    return hostclock_ticks();
}
uint32_t tickGet() {
    return uint32_t(hostclock_ticks());
}

// ---------------------------------------------------------------------------------------------
// Events

STATUS eventSend(TASK_ID tid, uint32_t events) {
    auto rec = tid == 0 ? find(self()->id) : find(tid);
    if (!rec) return ERROR;
    CoreTurn turn;
    std::lock_guard<std::mutex> lk(rec->eventMutex);
    rec->events |= events;
    wakePlace(rec->eventPlace, rec->eventCv, true);
    return OK;
}

STATUS eventReceive(uint32_t wanted, int options, _Vx_ticks_t timeout, uint32_t* received) {
    CoreTurn turn;
    TaskRec* me = turn.me;
    std::unique_lock<std::mutex> lk(me->eventMutex);
    if (options & EVENTS_FETCH) {
        if (received) *received = me->events;
        return OK;
    }
    auto ready = [&] {
        const uint32_t got = me->events & wanted;
        return (options & EVENTS_WAIT_ANY) ? got != 0 : got == wanted;
    };
    if (!waitTicks(lk, me->eventCv, me->eventPlace, timeout, ready)) {
        if (received) *received = me->events & wanted;
        return ERROR;
    }
    const uint32_t all = me->events;
    if (received) *received = (options & EVENTS_RETURN_ALL) ? all : (all & wanted);
    if (options & EVENTS_KEEP_UNWANTED)
        me->events &= ~wanted;
    else
        me->events = 0;
    return OK;
}

STATUS eventClear() {
    TaskRec* me = self();
    std::lock_guard<std::mutex> lk(me->eventMutex);
    me->events = 0;
    return OK;
}
