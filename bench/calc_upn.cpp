// The calculation channels' cost in the 1 ms tick.
// - BM_Upn1000Evaluations: 1000 evaluations of a 20-instruction RPN program decoded as a channel
//   decodes it at set-up, as a share of the 1 ms tick ("tick_share", goal under 0.05), side by side
//   with the same expression compiled in C++ ("ratio_to_compiled") and with the program walked
//   undecoded ("ratio_to_walk"); medians of per-block ratios (bench_seconds.h).
// - BM_SchedCall500Nodes: one awm_sched_call over 500 queued nodes while another thread queues and
//   unqueues on the same raster, against a bare loop over 500 function pointers ("vs_bare_loop");
//   "us_per_walk_wall" adds the time the walk waited for the other thread.
// Times are the thread's CPU time, so that other load on the machine does not count.
#include "bench_seconds.h"
#include "calc/awm_sched.h"
#include "calc/awm_upn.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>
#include <vector>

namespace {

struct Clock {
    static double now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
    }
};

double nsSince(double t0) {
    return Clock::now() - t0;
}

// min(max((in1 * 2.5 + in2 * 0.5 - in3) / 4 + sqrt(|in4|), 0), 100): 19 instructions and the end.
const uint8_t kProgram[] = {
    0x10, 0, 0, 0,    0,    0x00, 0, 0, 0x20, 0x40, 0x42, 0, 0, 0, 0, // in1 2.5f *
    0x11, 0, 0, 0,    0,    0x00, 0, 0, 0,    0x3F, 0x42, 0, 0, 0, 0, // in2 0.5f *
    0x40, 0, 0, 0,    0,    0x12, 0, 0, 0,    0,    0x41, 0, 0, 0, 0, // + in3 -
    0x00, 0, 0, 0x80, 0x40, 0x43, 0, 0, 0,    0,                      // 4.0f /
    0x13, 0, 0, 0,    0,    0x80, 0, 0, 0,    0,    0x8B, 0, 0, 0, 0, // in4 abs sqrt
    0x40, 0, 0, 0,    0,    0x01, 0, 0, 0,    0,    0x87, 0, 0, 0, 0, // + 0 max
    0x00, 0, 0, 0xC8, 0x42, 0x88, 0, 0, 0,    0,                      // 100.0f min
    0xFF, 0, 0, 0,    0,
};
static_assert(sizeof(kProgram) == 100);

double compiled(double in1, double in2, double in3, double in4) {
    const double v = (in1 * 2.5 + in2 * 0.5 - in3) / 4.0 + std::sqrt(std::fabs(in4));
    return std::min(std::max(v, 0.0), 100.0);
}

constexpr int kEvaluations = 1000;

// Results go here so that neither loop is optimised away. (benchmark::DoNotOptimize on a double
// makes g++ 12 at -O3 lose the value for a later comparison.)
volatile double gSink;

// 1000 evaluations of the program as a channel runs it (decoded at set-up), side by side with the
// same 1000 evaluations of the expression compiled and of the program walked undecoded.
void BM_Upn1000Evaluations(benchmark::State& state) {
    awm_man_upn_prog decoded;
    awm_man_upn_decode(kProgram, sizeof kProgram, &decoded);
    double upnSum = 0, walkSum = 0, compiledSum = 0;
    auto upn = [&] {
        double sum = 0;
        for (int i = 0; i < kEvaluations; ++i)
            sum += awm_man_upn_run(decoded, nullptr, 0, uint32_t(i), i * 0.25, 3.0, i * 0.5, -i, 0);
        upnSum = sum;
    };
    auto walk = [&] {
        double sum = 0;
        for (int i = 0; i < kEvaluations; ++i)
            sum += awm_man_upn_calc(kProgram, sizeof kProgram, 0, nullptr, 0, uint32_t(i), i * 0.25, 3.0,
                                    i * 0.5, -i, 0);
        walkSum = sum;
    };
    auto native = [&] {
        // Inputs through volatile, so that the compiler evaluates the expression every time.
        volatile double in1 = 0, in3 = 0, in4 = 0;
        double sum = 0;
        for (int i = 0; i < kEvaluations; ++i) {
            in1 = i * 0.25;
            in3 = i * 0.5;
            in4 = -i;
            sum += compiled(in1, 3.0, in3, in4);
        }
        compiledSum = sum;
    };
    const double seconds = msdbench::SideBySide(state, upn, {{"compiled", native}, {"walk", walk}});
    gSink = upnSum + walkSum + compiledSum;
    if (upnSum != compiledSum || walkSum != compiledSum)
        state.SkipWithError("the program and the compiled expression differ");
    state.counters["tick_share"] = seconds / 1e-3;
}
BENCHMARK(BM_Upn1000Evaluations)->Unit(benchmark::kMillisecond);

std::atomic<uint64_t> gCalls{0};
void node(void*, uint32_t) {
    gCalls.fetch_add(1, std::memory_order_relaxed);
}

void BM_SchedCall500Nodes(benchmark::State& state) {
    constexpr int kNodes = 500, kWalks = 2000;
    awm_sched_common_ini();
    std::vector<awm_sched_node*> nodes;
    for (int i = 0; i < kNodes; ++i) nodes.push_back(awm_sched_queue_tail(node, nullptr, uintptr_t(i), 3));
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop) {
            awm_sched_node* h = awm_sched_queue_head(nullptr, nullptr, 3); // null functions are skipped
            awm_sched_node* t = awm_sched_queue_tail(nullptr, nullptr, 0, 3);
            awm_sched_unqueue(h);
            awm_sched_unqueue(t);
        }
    });
    std::vector<awm_sched_fn> bare(kNodes, node);
    for (auto _ : state) {
        const auto wall0 = std::chrono::steady_clock::now();
        auto t0 = Clock::now();
        for (int w = 0; w < kWalks; ++w) awm_sched_call(3, uint32_t(w));
        const double walk = nsSince(t0) / kWalks;
        // With the time spent waiting for the other thread's queueing.
        const double wall = double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now() - wall0)
                                       .count()) /
                            kWalks;
        t0 = Clock::now();
        for (int w = 0; w < kWalks; ++w) {
            for (awm_sched_fn f : bare) f(nullptr, uint32_t(w));
            benchmark::ClobberMemory();
        }
        const double loop = nsSince(t0) / kWalks;
        state.counters["us_per_walk"] = walk / 1000.0;
        state.counters["us_per_walk_wall"] = wall / 1000.0;
        state.counters["bare_loop_us"] = loop / 1000.0;
        state.counters["vs_bare_loop"] = walk / loop;
    }
    stop = true;
    other.join();
    for (awm_sched_node* n : nodes) awm_sched_unqueue(n);
}
BENCHMARK(BM_SchedCall500Nodes)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
