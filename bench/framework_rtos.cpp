// The host RTOS layer and the raster scheduler, each beside the plain Linux mechanism it stands on:
// - lateness of the base tick ("/BASETICK0" taken by a task) and of a 1 ms raster function, each
//   beside a bare 1 ms loop of clock_nanosleep on absolute deadlines running at the same time;
//   ratios are ours / bare loop;
// - the scheduler's CPU share with nothing registered, beside the bare loop's, both running at the
//   same time;
// - semaphore and queue hand-over beside a condition variable hand-over, in alternating blocks,
//   with the absolute time of each (the threads are not pinned: the CPUs are shared).
// Every benchmark runs once per repetition and reports that repetition's own figures.
#include "framework/raster.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include <benchmark/benchmark.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kPeriodNs = 1000000;
constexpr int kLatenessSeconds = 10;
constexpr int kIdleSeconds = 3;

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The reference: one wake-up per millisecond on absolute deadlines, nothing else. Returns the
// wake-up times; a late wake-up is followed by the missed ones at once, as the base tick does.
std::vector<int64_t> bareLoop(int ms) {
    std::vector<int64_t> wakes;
    wakes.reserve(size_t(ms));
    int64_t deadline = nowNs();
    for (int i = 0; i < ms; ++i) {
        deadline += kPeriodNs;
        const timespec ts{time_t(deadline / 1000000000), long(deadline % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
        }
        wakes.push_back(nowNs());
    }
    return wakes;
}

struct Lateness {
    double p50, p99, max; // µs
    uint64_t overruns;    // wake-ups more than one period late
};

// Lateness of each wake-up against a 1 ms grid laid through the earliest of it and the wake-ups
// after it. The base tick's own deadlines are not visible outside the clock, so every series, the
// bare loop's too, is measured this way: the figures are how much later than its best a wake-up
// comes. Taking only later wake-ups follows the grid on where the clock drops ticks after a long
// stall.
Lateness lateness(const std::vector<int64_t>& wakes) {
    if (wakes.empty()) return {};
    std::vector<int64_t> late(wakes.size());
    int64_t grid = INT64_MAX;
    for (size_t i = wakes.size(); i-- > 0;) {
        const int64_t offset = wakes[i] - int64_t(i) * kPeriodNs;
        grid = std::min(grid, offset);
        late[i] = offset - grid;
    }
    std::sort(late.begin(), late.end());
    const auto overruns = uint64_t(late.end() - std::upper_bound(late.begin(), late.end(), kPeriodNs));
    return {double(late[late.size() / 2]) / 1e3, double(late[late.size() * 99 / 100]) / 1e3,
            double(late.back()) / 1e3, overruns};
}

// Runs the bare loop for the measuring time while `ours` collects its own wake-ups, then reports
// both and the ratios.
template <class Start, class Stop>
void latenessBeside(benchmark::State& state, const char* what, Start start, Stop stop) {
    const uint64_t tickOverruns0 = hostclock_tickStats().overruns;
    start();
    const Lateness bare = lateness(bareLoop(kLatenessSeconds * 1000));
    const Lateness ours = lateness(stop());
    const std::string w = what;
    state.counters[w + "_p50_us"] = ours.p50;
    state.counters[w + "_p99_us"] = ours.p99;
    state.counters[w + "_max_us"] = ours.max;
    state.counters["bare_p50_us"] = bare.p50;
    state.counters["bare_p99_us"] = bare.p99;
    state.counters["bare_max_us"] = bare.max;
    state.counters["p50_ratio"] = bare.p50 > 0 ? ours.p50 / bare.p50 : 0;
    state.counters["p99_ratio"] = bare.p99 > 0 ? ours.p99 / bare.p99 : 0;
    state.counters["max_ratio"] = bare.max > 0 ? ours.max / bare.max : 0;
    state.counters["tick_overruns"] = double(hostclock_tickStats().overruns - tickOverruns0);
    state.counters[w + "_overruns"] = double(ours.overruns);
    state.counters["bare_overruns"] = double(bare.overruns);
}

bool g_rasterFunctionRegistered = false;

// CPU seconds of a thread, read from another thread.
double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The scheduler with nothing registered and the bare loop run at the same time, so that the load
// of the machine falls on both alike. The bare loop's thread is measured by its own CPU clock, the
// scheduler as the process less the bare loop and the measuring thread.
void BM_SchedulerIdleCpuShare(benchmark::State& state) {
    if (g_rasterFunctionRegistered) {
        state.SkipWithError("a raster function is registered already; run this benchmark first");
        return;
    }
    for (auto _ : state) {
        basetick_start();
        raster_init();
        raster_start();
        std::atomic<bool> stop{false};
        std::thread bare([&] {
            int64_t deadline = nowNs();
            while (!stop.load()) {
                deadline += kPeriodNs;
                const timespec ts{time_t(deadline / 1000000000), long(deadline % 1000000000)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // both settled
        const pthread_t self = pthread_self();
        const double cpu0 = cpuSeconds(), bare0 = threadCpuSeconds(bare.native_handle()),
                     self0 = threadCpuSeconds(self);
        const int64_t t0 = nowNs();
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        const double cpu1 = cpuSeconds(), bare1 = threadCpuSeconds(bare.native_handle()),
                     self1 = threadCpuSeconds(self);
        const double wall = double(nowNs() - t0) * 1e-9;
        stop.store(true);
        bare.join();
        raster_stop();
        basetick_stop();
        const double bareCpu = bare1 - bare0;
        const double sched = 100.0 * ((cpu1 - cpu0) - bareCpu - (self1 - self0)) / wall;
        const double barePct = 100.0 * bareCpu / wall;
        state.counters["scheduler_cpu_percent"] = sched;
        state.counters["bare_cpu_percent"] = barePct;
        state.counters["ratio"] = barePct > 0 ? sched / barePct : 0;
    }
}
BENCHMARK(BM_SchedulerIdleCpuShare)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_BaseTickLateness(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<int64_t> wakes;
        std::atomic<bool> run{true};
        TASK_ID task = TASK_ID_ERROR;
        latenessBeside(
            state, "tick",
            [&] {
                wakes.reserve(kLatenessSeconds * 1100);
                SEM_ID tick = basetick_start();
                task = taskSpawn("tTickLateness", 21, 0, 16384, [&, tick] {
                    while (semTake(tick, NO_WAIT) == OK) {
                    }
                    while (run.load())
                        if (semTake(tick, 100) == OK) wakes.push_back(nowNs());
                });
            },
            [&] {
                run.store(false);
                taskJoin(task, 2000);
                basetick_stop();
                return wakes;
            });
    }
}
BENCHMARK(BM_BaseTickLateness)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// The raster function records into a fixed buffer; raster functions cannot be removed, so it
// stays registered and records only while a run is on.
struct RasterProbe {
    std::vector<int64_t> wakes = std::vector<int64_t>(kLatenessSeconds * 1100);
    std::atomic<size_t> count{0};
    std::atomic<bool> on{false};
};
RasterProbe g_probe;

void BM_RasterFunctionLateness(benchmark::State& state) {
    if (!g_rasterFunctionRegistered) {
        raster_addPeriodic(RASTER_R1MS, 0, "latencyProbe", [] {
            if (!g_probe.on.load()) return;
            const size_t i = g_probe.count.load();
            if (i < g_probe.wakes.size()) {
                g_probe.wakes[i] = nowNs();
                g_probe.count.store(i + 1);
            }
        });
        g_rasterFunctionRegistered = true;
    }
    for (auto _ : state) {
        latenessBeside(
            state, "raster",
            [] {
                g_probe.count.store(0);
                basetick_start();
                raster_init();
                raster_start();
                g_probe.on.store(true);
            },
            [] {
                g_probe.on.store(false);
                raster_stop();
                basetick_stop();
                return std::vector<int64_t>(g_probe.wakes.begin(),
                                            g_probe.wakes.begin() + long(g_probe.count.load()));
            });
    }
}
BENCHMARK(BM_RasterFunctionLateness)->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------------------------
// Hand-over: one hand-over is one wake-up of the other thread, measured as half a ping-pong
// round trip.

// `pong` runs in a thread of its own, the calling thread runs `ping`; neither is pinned, as the
// CPUs are shared with other work. One untimed round first, so that the other thread's start is not
// measured.
template <class Ping, class Pong> double handOverNs(int rounds, Ping ping, Pong pong) {
    std::thread other([&] { pong(rounds + 1); });
    ping(1);
    const int64_t t0 = nowNs();
    ping(rounds);
    const int64_t ns = nowNs() - t0;
    other.join();
    return double(ns) / (2.0 * rounds);
}

double semaphoreNs(int rounds) {
    SEM_ID a = semBCreate(0, SEM_EMPTY), b = semBCreate(0, SEM_EMPTY);
    const double ns = handOverNs(
        rounds,
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                semGive(a);
                semTake(b, WAIT_FOREVER);
            }
        },
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                semTake(a, WAIT_FOREVER);
                semGive(b);
            }
        });
    semDelete(a);
    semDelete(b);
    return ns;
}

double queueNs(int rounds) {
    MSG_Q_ID a = msgQCreate(4, 64, 0), b = msgQCreate(4, 64, 0);
    const double ns = handOverNs(
        rounds,
        [&](int n) {
            char msg[20] = "ci message header", buf[64];
            for (int i = 0; i < n; ++i) {
                msgQSend(a, msg, sizeof(msg), WAIT_FOREVER, MSG_PRI_NORMAL);
                msgQReceive(b, buf, sizeof(buf), WAIT_FOREVER);
            }
        },
        [&](int n) {
            char buf[64];
            for (int i = 0; i < n; ++i) {
                const ssize_t got = msgQReceive(a, buf, sizeof(buf), WAIT_FOREVER);
                msgQSend(b, buf, size_t(got), WAIT_FOREVER, MSG_PRI_NORMAL);
            }
        });
    msgQDelete(a);
    msgQDelete(b);
    return ns;
}

double condvarNs(int rounds) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    return handOverNs(
        rounds,
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                std::unique_lock<std::mutex> lk(m);
                turn = 1;
                cv.notify_all();
                cv.wait(lk, [&] { return turn == 0; });
            }
        },
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                std::unique_lock<std::mutex> lk(m);
                cv.wait(lk, [&] { return turn == 1; });
                turn = 0;
                cv.notify_all();
            }
        });
}

// The three kinds take turns in blocks, the order rotating from block to block, so that a change
// of the machine's load over the run falls on all of them alike. Reported: the median time of a
// hand-over of each kind and the medians of the blocks' ratios to the condition variable.
void BM_HandOver(benchmark::State& state) {
    constexpr int kBlocks = 12, kRounds = 2000;
    double (*const kinds[3])(int) = {semaphoreNs, queueNs, condvarNs};
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    for (auto _ : state) {
        std::vector<double> ns[3], semaphoreRatio, queueRatio;
        for (int block = 0; block < kBlocks; ++block) {
            double t[3];
            for (int k = 0; k < 3; ++k) {
                const int kind = (block + k) % 3;
                t[kind] = kinds[kind](kRounds);
            }
            for (int k = 0; k < 3; ++k) ns[k].push_back(t[k]);
            semaphoreRatio.push_back(t[0] / t[2]);
            queueRatio.push_back(t[1] / t[2]);
        }
        state.counters["semaphore_ns"] = median(ns[0]);
        state.counters["queue_ns"] = median(ns[1]);
        state.counters["condvar_ns"] = median(ns[2]);
        state.counters["semaphore_vs_condvar"] = median(semaphoreRatio);
        state.counters["queue_vs_condvar"] = median(queueRatio);
    }
}
BENCHMARK(BM_HandOver)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
