// The host RTOS layer and the scheduler:
// - base tick: period and lateness over 10 s, against the ideal 1 ms grid;
// - the raster scheduler's own CPU share with nothing hooked, against the wall clock;
// - semaphore give-to-take and queue send-to-receive hand-over, against a plain condition
//   variable hand-over (ratio reported as "vs_condvar").
#include "framework/raster.h"
#include "platform/basetick.h"
#include "platform/hostclock.h"
#include "platform/rtos.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_BaseTickJitter(benchmark::State& state) {
    const int seconds = int(state.range(0));
    for (auto _ : state) {
        SEM_ID tick = basetick_start();
        while (semTake(tick, NO_WAIT) == OK) {
        }
        std::vector<int64_t> stamps;
        stamps.reserve(size_t(seconds) * 1100);
        const auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            semTake(tick, 100);
            stamps.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
        }
        basetick_stop();
        std::vector<double> periods, lateness;
        for (size_t i = 1; i < stamps.size(); ++i) periods.push_back(double(stamps[i] - stamps[i - 1]) / 1000.0);
        for (size_t i = 0; i < stamps.size(); ++i)
            lateness.push_back(double(stamps[i] - (stamps[0] + int64_t(i) * 1000000)) / 1000.0);
        std::sort(periods.begin(), periods.end());
        const double maxLate = *std::max_element(lateness.begin(), lateness.end());
        state.counters["ticks"] = double(stamps.size());
        state.counters["period_median_us"] = periods[periods.size() / 2];
        state.counters["period_p99_us"] = periods[periods.size() * 99 / 100];
        state.counters["lateness_max_us"] = maxLate;
        state.counters["overruns"] = double(hostclock_tickStats().overruns);
    }
}
BENCHMARK(BM_BaseTickJitter)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SchedulerIdleCpuShare(benchmark::State& state) {
    for (auto _ : state) {
        basetick_start();
        raster_init();
        raster_start();
        const double cpu0 = cpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = cpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        raster_stop();
        basetick_stop();
        state.counters["cpu_share_percent"] = 100.0 * cpu / wall;
    }
}
BENCHMARK(BM_SchedulerIdleCpuShare)->Iterations(1)->Unit(benchmark::kMillisecond);

// One hand-over = one wake-up of the other thread; measured as half a ping-pong round trip.
template <class Ping>
double pingPongNs(Ping ping, int rounds) {
    const auto t0 = Clock::now();
    ping(rounds);
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / (2.0 * rounds);
}

double condvarHandOverNs(int rounds) {
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i) {
            std::unique_lock<std::mutex> lk(m);
            cv.wait(lk, [&] { return turn == 1; });
            turn = 0;
            cv.notify_all();
        }
    });
    const double ns = pingPongNs(
        [&](int n) {
            for (int i = 0; i < n; ++i) {
                std::unique_lock<std::mutex> lk(m);
                turn = 1;
                cv.notify_all();
                cv.wait(lk, [&] { return turn == 0; });
            }
        },
        rounds);
    other.join();
    return ns;
}

void BM_SemaphoreHandOver(benchmark::State& state) {
    constexpr int kRounds = 20000;
    for (auto _ : state) {
        SEM_ID a = semBCreate(0, SEM_EMPTY), b = semBCreate(0, SEM_EMPTY);
        std::thread other([&] {
            for (int i = 0; i < kRounds; ++i) {
                semTake(a, WAIT_FOREVER);
                semGive(b);
            }
        });
        const double ns = pingPongNs(
            [&](int n) {
                for (int i = 0; i < n; ++i) {
                    semGive(a);
                    semTake(b, WAIT_FOREVER);
                }
            },
            kRounds);
        other.join();
        semDelete(a);
        semDelete(b);
        const double cv = condvarHandOverNs(kRounds);
        state.counters["handover_ns"] = ns;
        state.counters["condvar_ns"] = cv;
        state.counters["vs_condvar"] = ns / cv;
    }
}
BENCHMARK(BM_SemaphoreHandOver)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_QueueHandOver(benchmark::State& state) {
    constexpr int kRounds = 20000;
    for (auto _ : state) {
        MSG_Q_ID a = msgQCreate(4, 64, 0), b = msgQCreate(4, 64, 0);
        std::thread other([&] {
            char buf[64];
            for (int i = 0; i < kRounds; ++i) {
                const ssize_t n = msgQReceive(a, buf, sizeof(buf), WAIT_FOREVER);
                msgQSend(b, buf, size_t(n), WAIT_FOREVER, MSG_PRI_NORMAL);
            }
        });
        char msg[20] = "ci message header";
        const double ns = pingPongNs(
            [&](int n) {
                char buf[64];
                for (int i = 0; i < n; ++i) {
                    msgQSend(a, msg, sizeof(msg), WAIT_FOREVER, MSG_PRI_NORMAL);
                    msgQReceive(b, buf, sizeof(buf), WAIT_FOREVER);
                }
            },
            kRounds);
        other.join();
        msgQDelete(a);
        msgQDelete(b);
        const double cv = condvarHandOverNs(kRounds);
        state.counters["handover_ns"] = ns;
        state.counters["condvar_ns"] = cv;
        state.counters["vs_condvar"] = ns / cv;
    }
}
BENCHMARK(BM_QueueHandOver)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
