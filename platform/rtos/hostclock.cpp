#include "platform/rtos/hostclock.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <time.h>

namespace {

constexpr uint64_t kNsPerMs = 1000000ULL;
// More missed ticks than this (a host suspended for over a second) are dropped; fewer are handed
// out late, so that no tick's work is lost to a busy host.
constexpr uint64_t kMaxBurst = 1000;

uint64_t steadyNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ULL + uint64_t(ts.tv_nsec);
}

int64_t realNs() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + int64_t(ts.tv_nsec);
}

struct ClockState {
    const uint64_t startSteady = 0; // device time is the host's monotonic time, shared by processes
    std::atomic<bool> manual{false};
    std::atomic<uint64_t> manualNs{0};
    std::atomic<int64_t> offsetNs{0};     // real mode: device time = steady - start + offset
    std::atomic<int64_t> realAtSwitch{0}; // manual mode: wall clock at the switch ...
    std::atomic<uint64_t> nsAtSwitch{0};  // ... and device time at the switch

    std::mutex sinkMutex; // guards sink and consumed
    TickSink sink;
    TickConsumed consumed;

    std::mutex tickerMutex; // guards the real-mode tick deadlines
    bool tickerRun = false;
    bool tickerSawManual = false;
    uint64_t deadline = 0; // host monotonic ns of the next real-mode tick
    std::atomic<uint64_t> ticksGiven{0};
    std::atomic<uint64_t> overruns{0};
    std::atomic<uint64_t> maxLateness{0};
};

ClockState& state() {
    static ClockState* s = new ClockState; // never destroyed: tasks may read the clock during exit
    return *s;
}

uint64_t realDeviceNs(ClockState& s) {
    return uint64_t(int64_t(steadyNs() - s.startSteady) + s.offsetNs.load());
}

void giveTick(ClockState& s, uint64_t dueNs) {
    TickSink sink;
    {
        std::lock_guard<std::mutex> lk(s.sinkMutex);
        sink = s.sink;
    }
    s.ticksGiven.fetch_add(1, std::memory_order_relaxed);
    if (sink) sink(dueNs);
}

} // namespace

uint64_t hostclock_nowNs() {
    ClockState& s = state();
    if (s.manual.load(std::memory_order_acquire)) return s.manualNs.load(std::memory_order_acquire);
    return realDeviceNs(s);
}

uint64_t hostclock_ticks() {
    return hostclock_nowNs() / kNsPerMs;
}

int64_t hostclock_realtimeNs() {
    ClockState& s = state();
    if (s.manual.load()) return s.realAtSwitch.load() + int64_t(s.manualNs.load() - s.nsAtSwitch.load());
    return realNs();
}

void hostclock_setManual(bool manual) {
    ClockState& s = state();
    if (manual == s.manual.load()) return;
    if (manual) {
        const uint64_t now = realDeviceNs(s);
        s.manualNs.store(now);
        s.nsAtSwitch.store(now);
        s.realAtSwitch.store(realNs());
        s.manual.store(true, std::memory_order_release);
    } else {
        // Continue from the hand-driven time so that device time never runs backwards.
        const uint64_t target = s.manualNs.load();
        s.offsetNs.store(int64_t(target) - int64_t(steadyNs() - s.startSteady));
        s.manual.store(false, std::memory_order_release);
        std::lock_guard<std::mutex> lk(s.tickerMutex);
        s.tickerSawManual = true; // real ticks start afresh from now
    }
}

bool hostclock_isManual() {
    return state().manual.load();
}

namespace {

// Waits (in real time, bounded so that a consumer that has stopped cannot hang a test) until the
// ticks given so far have been taken and their work is done.
void awaitConsumed(ClockState& s) {
    TickConsumed consumed;
    {
        std::lock_guard<std::mutex> lk(s.sinkMutex);
        consumed = s.consumed;
    }
    if (!consumed) return;
    const uint64_t giveUp = steadyNs() + 2000 * kNsPerMs;
    while (!consumed() && steadyNs() < giveUp) std::this_thread::sleep_for(std::chrono::microseconds(20));
}

} // namespace

void hostclock_advanceMs(uint32_t ms) {
    ClockState& s = state();
    if (!s.manual.load()) return;
    for (uint32_t i = 0; i < ms; ++i) {
        const uint64_t due = s.manualNs.fetch_add(kNsPerMs, std::memory_order_acq_rel) + kNsPerMs;
        giveTick(s, due);
        awaitConsumed(s);
    }
}

void hostclock_advanceBurstMs(uint32_t ms) {
    ClockState& s = state();
    if (!s.manual.load() || ms == 0) return;
    const uint64_t from = s.manualNs.fetch_add(uint64_t(ms) * kNsPerMs, std::memory_order_acq_rel);
    // As the real ticker does, the ticks of more than a second before are dropped.
    const uint32_t dropped = ms > kMaxBurst ? ms - uint32_t(kMaxBurst) : 0;
    for (uint32_t i = dropped + 1; i <= ms; ++i) giveTick(s, from + i * kNsPerMs);
    awaitConsumed(s);
}

void hostclock_setTickSink(TickSink sink, TickConsumed consumed) {
    ClockState& s = state();
    std::lock_guard<std::mutex> lk(s.sinkMutex);
    s.sink = std::move(sink);
    s.consumed = std::move(consumed);
}

void hostclock_startTicker() {
    ClockState& s = state();
    std::lock_guard<std::mutex> lk(s.tickerMutex);
    if (s.tickerRun) return;
    s.tickerRun = true;
    s.deadline = steadyNs() + kNsPerMs;
}

void hostclock_stopTicker() {
    ClockState& s = state();
    std::lock_guard<std::mutex> lk(s.tickerMutex);
    s.tickerRun = false;
}

uint64_t hostclock_takeDueTicks(uint64_t* firstDueNs, uint32_t* count) {
    ClockState& s = state();
    *count = 0;
    std::lock_guard<std::mutex> lk(s.tickerMutex);
    if (!s.tickerRun) return UINT64_MAX;
    const uint64_t now = steadyNs();
    if (s.manual.load()) { // a test drives the ticks by hand; real ticks start afresh after it
        s.tickerSawManual = true;
        return UINT64_MAX;
    }
    if (s.tickerSawManual) {
        s.tickerSawManual = false;
        s.deadline = now + kNsPerMs;
    }
    const int64_t toDevice = s.offsetNs.load() - int64_t(s.startSteady);
    if (now >= s.deadline) {
        const uint64_t late = now - s.deadline;
        if (late > s.maxLateness.load()) s.maxLateness.store(late);
        uint64_t due = 1 + late / kNsPerMs;
        if (due > 1) s.overruns.fetch_add(due - 1);
        if (due > kMaxBurst) { // the host was suspended: the older ticks are dropped
            s.deadline += (due - kMaxBurst) * kNsPerMs;
            due = kMaxBurst;
        }
        *firstDueNs = uint64_t(int64_t(s.deadline) + toDevice);
        *count = uint32_t(due);
        s.ticksGiven.fetch_add(due, std::memory_order_relaxed);
        s.deadline += due * kNsPerMs;
    }
    return uint64_t(int64_t(s.deadline) + toDevice);
}

HostTickStats hostclock_tickStats() {
    ClockState& s = state();
    return HostTickStats{s.ticksGiven.load(), s.overruns.load(), s.maxLateness.load()};
}
