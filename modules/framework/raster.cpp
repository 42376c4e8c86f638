#include "framework/raster.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kRates[RASTER_INDICES] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
constexpr int kPrioNotify = 21;
constexpr int kPrioCalc = 25;
constexpr size_t kRasterStack = 20000;
constexpr uint64_t kNsPerMs = 1000000;

struct Entry {
    int order;
    uint64_t seq;
    std::string name;
    RasterFunction fn;
};
using EntryList = std::vector<Entry>;

struct Raster {
    std::string name; // without "r_"
    int period = 0;   // ms; negative: event-driven base rate
    int priority = 0;
    size_t stack = kRasterStack;
    int processor = -1;
    int watchdogLimit = -1;
    SEM_ID sem = SEM_ID_NULL;
    TASK_ID tid = TASK_ID_ERROR;
    std::mutex m;
    std::shared_ptr<const EntryList> entries = std::make_shared<EntryList>();
    std::atomic<bool> active{false}; // has functions: a raster with none is not woken
    std::atomic<uint64_t> runs{0};
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> given{0};  // passes the tick counter gave ...
    std::atomic<bool> inPass{false}; // ... and whether one of them runs now
    // Due time (device ns) of each pass given, by pass number: the passes run in the order given.
    static constexpr uint64_t kDueSlots = 256;
    std::atomic<uint64_t> passDue[kDueSlots] = {};
};

struct CalcEntry {
    int order;
    uint64_t seq;
    std::string name;
    CalcStep step;
};

struct Scheduler {
    std::mutex m;                                 // guards the raster list and the delay list
    std::vector<std::unique_ptr<Raster>> rasters; // built-ins first, then hooked ones
    std::atomic<uint64_t> seq{0};

    std::mutex calcMutex;
    std::shared_ptr<const std::vector<CalcEntry>> calcSteps = std::make_shared<std::vector<CalcEntry>>();
    SEM_ID calcSem = SEM_ID_NULL;
    TASK_ID calcTid = TASK_ID_ERROR;
    std::atomic<bool> calcActive{false};    // has steps: without any the task is not woken
    std::atomic<uint64_t> calcFirstTick{0}; // the first tick it is woken for in this run (0: none yet)
    std::atomic<uint64_t> calcVisits[RASTER_INDICES] = {};
    std::atomic<uint64_t> calcGiven{0}, calcDone{0};
    std::atomic<bool> calcInPass{false};

    // Late ticks are counted out one after the other's work (see notifyLoop).
    SEM_ID paced = SEM_ID_NULL;
    std::atomic<bool> pacing{false};

    struct Delay {
        SEM_ID sem;
        uint64_t dueTick;
    };
    std::vector<Delay> delays;

    TASK_ID notifyTid = TASK_ID_ERROR;
    std::atomic<uint64_t> ticks{0};
    // Due time (device ns) of each tick counted, by tick number, for the calculation task.
    static constexpr uint64_t kDueSlots = 4096;
    std::atomic<uint64_t> tickDue[kDueSlots] = {};
    std::atomic<bool> initialised{false};
    std::atomic<bool> running{false};
};

Scheduler& sched() {
    static auto* s = new Scheduler;
    return *s;
}

Raster* makeRaster(const std::string& name, int period, int priority, size_t stack) {
    auto r = std::make_unique<Raster>();
    r->name = name;
    r->period = period;
    r->priority = priority;
    r->stack = stack;
    Raster* raw = r.get();
    sched().rasters.push_back(std::move(r));
    return raw;
}

// The built-in rasters, indexed by RasterTaskId. Priorities of the index rasters run from 29
// (1 ms) to 89 (1000 ms).
void defineBuiltins() {
    static const char* const kNames[RASTER_INDICES] = {"r1ms",  "r2ms",   "r5ms",   "r10ms",  "r20ms",
                                                       "r50ms", "r100ms", "r200ms", "r500ms", "r1000ms"};
    static const int kPrio[RASTER_INDICES] = {29, 35, 42, 49, 55, 62, 69, 75, 82, 89};
    for (int i = 0; i < RASTER_INDICES; ++i) makeRaster(kNames[i], kRates[i], kPrio[i], kRasterStack);
    makeRaster("rMeas", 1, 132, kRasterStack);
    makeRaster("rEthSend_online", 10, 60, kRasterStack);
    makeRaster("rEthSend_offline", 10, 61, kRasterStack);
    makeRaster("Lap", -4, 28, kRasterStack);
    makeRaster("sbLapPer", -7, 28, kRasterStack);
}

Raster* builtin(RasterTaskId id) {
    Scheduler& s = sched();
    std::lock_guard<std::mutex> lk(s.m);
    if (s.rasters.empty()) defineBuiltins();
    if (id < 0 || id >= RASTER_BUILTIN_COUNT) return nullptr;
    return s.rasters[size_t(id)].get();
}

// The due time of the pass that the calling raster task runs; 0 outside a periodic pass.
thread_local uint64_t tPassDue = 0;

// A pass has ended: the tick counter may wait for it to hand out a late tick.
void passEnded() {
    Scheduler& s = sched();
    if (s.pacing.load(std::memory_order_acquire)) semGive(s.paced);
}

void rasterLoop(Raster* r) {
    for (;;) {
        if (semTake(r->sem, WAIT_FOREVER) != OK) return;
        r->inPass.store(true, std::memory_order_release);
        const uint64_t pass = r->runs.load(std::memory_order_relaxed);
        tPassDue = r->period > 0 ? r->passDue[pass % Raster::kDueSlots].load(std::memory_order_acquire) : 0;
        std::shared_ptr<const EntryList> list;
        {
            std::lock_guard<std::mutex> lk(r->m);
            list = r->entries;
        }
        for (const Entry& e : *list) e.fn();
        tPassDue = 0;
        r->runs.fetch_add(1, std::memory_order_release);
        r->inPass.store(false, std::memory_order_release);
        passEnded();
    }
}

// The rasters due at a tick follow from its due time in whole milliseconds of device time, so that
// their phase stays with the time even where the host dropped ticks.
uint64_t dueMs(uint64_t dueNs) {
    return dueNs / 1000000ULL;
}

// Each pass stamps its work with the due time of its tick, however late the host runs it.
void calcLoop() {
    Scheduler& s = sched();
    uint64_t tick = 0;
    for (;;) {
        if (semTake(s.calcSem, WAIT_FOREVER) != OK) return;
        s.calcInPass.store(true, std::memory_order_release);
        tick = tick == 0 ? s.calcFirstTick.load() : tick + 1; // woken once per tick from the first on
        const uint64_t counted = s.ticks.load(std::memory_order_acquire);
        const uint64_t due = counted - tick < Scheduler::kDueSlots
                                 ? s.tickDue[tick % Scheduler::kDueSlots].load(std::memory_order_relaxed)
                                 : hostclock_nowNs(); // so far behind that the slot is reused
        const uint32_t ts = time_timestampOf(due);
        std::shared_ptr<const std::vector<CalcEntry>> steps;
        {
            std::lock_guard<std::mutex> lk(s.calcMutex);
            steps = s.calcSteps;
        }
        for (int r = 0; r < RASTER_INDICES; ++r) {
            if (dueMs(due) % uint64_t(kRates[r]) != 0) continue;
            for (const CalcEntry& c : *steps) c.step(r, ts);
            s.calcVisits[r].fetch_add(1, std::memory_order_relaxed);
        }
        s.calcDone.fetch_add(1, std::memory_order_release);
        s.calcInPass.store(false, std::memory_order_release);
        passEnded();
    }
}

void give(Raster* r, uint64_t dueNs) {
    if (semCount(r->sem) > 0) r->overruns.fetch_add(1, std::memory_order_relaxed);
    const uint64_t pass = r->given.fetch_add(1, std::memory_order_relaxed);
    r->passDue[pass % Raster::kDueSlots].store(dueNs, std::memory_order_release);
    semGive(r->sem);
}

// A pass given earlier that has not begun: its task waits for its turn or for the processor. The
// list of rasters is read under its lock (a hooked raster may be added meanwhile).
bool passWaiting() {
    Scheduler& s = sched();
    std::lock_guard<std::mutex> lk(s.m);
    const auto waits = [](uint64_t given, uint64_t done, bool inPass) {
        return given > done + (inPass ? 1 : 0);
    };
    if (waits(s.calcGiven.load(), s.calcDone.load(std::memory_order_acquire), s.calcInPass.load()))
        return true;
    for (auto& r : s.rasters)
        if (waits(r->given.load(), r->runs.load(std::memory_order_acquire), r->inPass.load())) return true;
    return false;
}

// A tick that comes late (the host held the process back) is counted only once every pass given
// before it has begun: on the device the ticks come 1 ms apart with each tick's work in between.
// Counted out at once, the late ticks would let the calculation task copy a second of records
// before the rasters that deliver them ran once, and their FIFOs would overflow. A pass that runs
// long holds back nothing; one that cannot begin holds a tick back at most kPaceLimitMs.
void pace(uint64_t dueNs) {
    constexpr uint64_t kLateNs = 2000000;
    constexpr int kPaceLimitMs = 20;
    Scheduler& s = sched();
    if (!s.paced || !passWaiting() || dueNs + kLateNs > hostclock_nowNs()) return;
    s.pacing.store(true, std::memory_order_release);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPaceLimitMs);
    while (passWaiting() && std::chrono::steady_clock::now() < until) semTake(s.paced, 1);
    s.pacing.store(false, std::memory_order_release);
}

void notifyLoop(SEM_ID baseTick) {
    Scheduler& s = sched();
    uint64_t lastDueNs = 0;
    for (;;) {
        uint64_t dueNs = 0;
        if (basetick_take(baseTick, WAIT_FOREVER, &dueNs) != OK) return;
        // The clock hands out at most a second of late ticks; those before were dropped, and no
        // raster runs for them: every record of that time is lost.
        if (lastDueNs != 0 && dueNs > lastDueNs + kNsPerMs + kNsPerMs / 2)
            syslogx(LOG_PRIO_ERR2,
                    "raster: the host held the process back: %llu ms of base ticks were dropped "
                    "before %llu, no raster ran for them",
                    (unsigned long long)((dueNs - lastDueNs) / kNsPerMs - 1),
                    (unsigned long long)(dueNs / kNsPerMs));
        lastDueNs = dueNs;
        pace(dueNs);
        const uint64_t tick = s.ticks.load(std::memory_order_relaxed) + 1;
        s.tickDue[tick % Scheduler::kDueSlots].store(dueNs, std::memory_order_relaxed);
        s.ticks.store(tick, std::memory_order_release);
        std::lock_guard<std::mutex> lk(s.m);
        const uint64_t ms = dueMs(dueNs);
        for (auto& r : s.rasters)
            if (r->period > 0 && ms % uint64_t(r->period) == 0 && r->active.load(std::memory_order_relaxed))
                give(r.get(), dueNs);
        if (s.calcActive.load(std::memory_order_relaxed)) {
            if (s.calcFirstTick.load(std::memory_order_relaxed) == 0) s.calcFirstTick.store(tick);
            s.calcGiven.fetch_add(1, std::memory_order_relaxed);
            semGive(s.calcSem);
        }
        for (size_t i = 0; i < s.delays.size();) {
            if (s.delays[i].dueTick <= tick) {
                semGive(s.delays[i].sem);
                s.delays[i] = s.delays.back();
                s.delays.pop_back();
            } else {
                ++i;
            }
        }
    }
}

bool spawnRaster(Raster* r) {
    if (r->tid != TASK_ID_ERROR) return true;
    r->sem = semCCreate(SEM_Q_PRIORITY, 0);
    if (!r->sem) return false;
    const std::string task = "r_" + r->name;
    r->tid = taskSpawn(task.c_str(), r->priority, VX_FP_TASK | TASK_OPT_TICK_CORE, r->stack,
                       [r] { rasterLoop(r); });
    if (r->tid == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_CRIT, "raster: task %s could not be spawned", task.c_str());
        return false;
    }
    if (r->processor >= int(sizeof(cpuset_t) * 8))
        syslogx(LOG_PRIO_ERR, "raster_hookFunction(): no processor %d, task %s left unbound", r->processor,
                task.c_str());
    else if (r->processor >= 0)
        taskCpuAffinitySet(r->tid, cpuset_t(1u << r->processor));
    return true;
}

template <class List, class Item>
std::shared_ptr<const List> withInserted(const std::shared_ptr<const List>& old, Item item) {
    auto next = std::make_shared<List>(*old);
    auto pos = std::upper_bound(next->begin(), next->end(), item, [](const Item& a, const Item& b) {
        return a.order < b.order || (a.order == b.order && a.seq < b.seq);
    });
    next->insert(pos, std::move(item));
    return next;
}

} // namespace

int raster2rate(int code) {
    return code >= 0 && code < RASTER_INDICES ? kRates[code] : 0;
}

bool raster_addPeriodic(RasterTaskId id, int order, const char* name, RasterFunction fn) {
    Raster* r = builtin(id);
    if (!r || !fn) return false;
    std::lock_guard<std::mutex> lk(r->m);
    r->entries = withInserted(r->entries, Entry{order, sched().seq++, name ? name : "", std::move(fn)});
    r->active.store(true);
    return true;
}

bool raster_addCalcStep(int order, const char* name, CalcStep step) {
    if (!step) return false;
    Scheduler& s = sched();
    std::lock_guard<std::mutex> lk(s.calcMutex);
    s.calcSteps = withInserted(s.calcSteps, CalcEntry{order, s.seq++, name ? name : "", std::move(step)});
    s.calcActive.store(true);
    return true;
}

bool raster_hookFunction(const char* name, int priority, int period, RasterFunction function, int stack,
                         int processor, int watchdogLimit) {
    if (!name || !*name || !function || period == 0) return false;
    builtin(RASTER_R1MS); // the built-ins keep their places in front
    Scheduler& s = sched();
    Raster* r;
    {
        std::lock_guard<std::mutex> lk(s.m);
        for (auto& existing : s.rasters) {
            if (existing->name == name) {
                syslogx(LOG_PRIO_ERR, "raster_hookFunction(): raster '%s' exists already", name);
                return false;
            }
        }
        r = makeRaster(name, period, priority, stack > 0 ? size_t(stack) : kRasterStack);
        r->processor = processor;
        r->watchdogLimit = watchdogLimit;
        r->entries = std::make_shared<EntryList>(EntryList{Entry{0, s.seq++, name, std::move(function)}});
        r->active.store(true);
        if (s.initialised.load() && !spawnRaster(r)) return false;
    }
    return true;
}

bool raster_hookFunction(const char* name, int priority, int period, void (*function)(), int stack,
                         int processor, int watchdogLimit) {
    if (!function) return false;
    return raster_hookFunction(name, priority, period, RasterFunction(function), stack, processor,
                               watchdogLimit);
}

int raster_triggerTask(int baseRate) {
    Scheduler& s = sched();
    if (!s.running.load()) return 0;
    SEM_ID sem = SEM_ID_NULL;
    {
        std::lock_guard<std::mutex> lk(s.m);
        for (auto& r : s.rasters)
            if (r->period < 0 && r->period == baseRate) sem = r->sem;
    }
    if (!sem) {
        syslogx(LOG_PRIO_ERR, "triggerAsyncTask(): Base rate not found in list (%d)", baseRate);
        return 0;
    }
    semGive(sem); // outside the lock: the woken raster may take its turn before this task goes on
    return 1;
}

void raster_taskDelay(SEM_ID semaphore, int ms) {
    Scheduler& s = sched();
    if (!semaphore) return;
    bool queued = false;
    if (ms > 0) {
        std::lock_guard<std::mutex> lk(s.m);
        // Checked under the lock: raster_stop clears `running` first and then wakes every sleeper
        // queued here, so none is left waiting for a tick that never comes.
        if (s.running.load()) {
            s.delays.push_back({semaphore, s.ticks.load() + uint64_t(ms)});
            queued = true;
        }
    }
    if (queued)
        semTake(semaphore, WAIT_FOREVER);
    else
        taskDelay(ms > 0 ? ms : 0); // without the base tick the task sleeps on the clock instead
}

bool raster_init() {
    Scheduler& s = sched();
    builtin(RASTER_R1MS);
    std::lock_guard<std::mutex> lk(s.m);
    if (s.initialised.load()) return true;
    bool ok = true;
    for (auto& r : s.rasters) ok = spawnRaster(r.get()) && ok;
    if (s.calcTid == TASK_ID_ERROR) s.calcSem = semCCreate(SEM_Q_PRIORITY, 0);
    s.calcFirstTick.store(0);
    s.calcGiven.store(0);
    s.calcDone.store(0);
    for (auto& r : s.rasters) r->given.store(r->runs.load());
    if (!s.paced) s.paced = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (s.calcTid == TASK_ID_ERROR)
        s.calcTid =
            taskSpawn("r_tAWM_SS", kPrioCalc, VX_FP_TASK | TASK_OPT_TICK_CORE, kRasterStack, calcLoop);
    ok = ok && s.calcTid != TASK_ID_ERROR;
    s.initialised.store(true);
    return ok;
}

bool raster_start() {
    Scheduler& s = sched();
    if (!s.initialised.load() && !raster_init()) return false;
    if (s.running.load()) return true;
    SEM_ID baseTick = semOpen(BASETICK_NAME, SEM_TYPE_COUNTING, 0, SEM_Q_PRIORITY, 0, nullptr);
    if (!baseTick) {
        syslogx(LOG_PRIO_CRIT, "raster_start(): base tick %s not available", BASETICK_NAME);
        return false;
    }
    // Ticks given before the rasters started are not owed to anybody.
    while (basetick_take(baseTick, NO_WAIT, nullptr) == OK) {
    }
    s.notifyTid = taskSpawn("r_notifyRasterTask", kPrioNotify, VX_FP_TASK | TASK_OPT_TICK_CORE, 10000,
                            [baseTick] { notifyLoop(baseTick); });
    if (s.notifyTid == TASK_ID_ERROR) return false;
    s.running.store(true);
    return true;
}

void raster_stop() {
    Scheduler& s = sched();
    s.running.store(false);
    std::vector<TASK_ID> tasks;
    {
        std::lock_guard<std::mutex> lk(s.m);
        tasks.push_back(s.notifyTid);
        tasks.push_back(s.calcTid);
        for (auto& r : s.rasters) tasks.push_back(r->tid);
        // Tasks asleep in raster_taskDelay wake up once more and go on with their own work.
        for (auto& d : s.delays) semGive(d.sem);
        s.delays.clear();
    }
    for (TASK_ID t : tasks)
        if (t != TASK_ID_ERROR) taskDelete(t);
    // A task that did not end (a pass held in a call that does not return) keeps its semaphore: it
    // waits on it again once the call returns.
    std::vector<TASK_ID> left;
    for (TASK_ID t : tasks)
        if (t != TASK_ID_ERROR && taskJoin(t, 2000) != OK) {
            syslogx(LOG_PRIO_ERR, "raster_stop(): task %s did not end", taskName(t) ? taskName(t) : "?");
            left.push_back(t);
        }
    auto ended = [&](TASK_ID t) { return std::find(left.begin(), left.end(), t) == left.end(); };
    std::lock_guard<std::mutex> lk(s.m);
    s.notifyTid = TASK_ID_ERROR;
    if (ended(s.calcTid)) {
        s.calcTid = TASK_ID_ERROR;
        semDelete(s.calcSem);
        s.calcSem = SEM_ID_NULL;
    }
    for (auto& r : s.rasters) {
        if (!ended(r->tid)) continue;
        r->tid = TASK_ID_ERROR;
        semDelete(r->sem);
        r->sem = SEM_ID_NULL;
    }
    s.initialised.store(false);
}

bool raster_running() {
    return sched().running.load();
}

uint64_t raster_runCount(RasterTaskId id) {
    Raster* r = builtin(id);
    return r ? r->runs.load() : 0;
}

uint64_t raster_calcVisits(int rasterIndex) {
    return rasterIndex >= 0 && rasterIndex < RASTER_INDICES ? sched().calcVisits[rasterIndex].load() : 0;
}

uint64_t raster_passDueNs() {
    return tPassDue;
}

uint32_t raster_passTimestamp() {
    return tPassDue != 0 ? time_timestampOf(tPassDue) : time_getTimestamp();
}

uint64_t raster_tickCount() {
    return sched().ticks.load();
}
