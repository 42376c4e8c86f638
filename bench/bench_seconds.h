// The baseline timing of the benchmarks.
// - Seconds: a function run as often as the benchmark ran, in wall time.
// - SideBySide: the program and its baselines alternating in short blocks, each block timed by the
//   thread's CPU time, reported as the median of the per-block ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace msdbench {

using Clock = std::chrono::steady_clock;

// Seconds that n calls of f take.
template <class F> double Seconds(benchmark::IterationCount n, F&& f) {
    const auto t0 = Clock::now();
    for (benchmark::IterationCount i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of the calling thread: what other work on the machine does is not counted.
inline double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(mid), v.end());
    return v[mid];
}

struct Baseline {
    std::string name;
    std::function<void()> run;
};

// Seconds of CPU time that n calls of f take on this thread.
template <class F> double CpuSeconds(int n, F&& f) {
    const double t0 = ThreadSeconds();
    for (int i = 0; i < n; ++i) f();
    return ThreadSeconds() - t0;
}

// The program and its baselines side by side. Every iteration of the benchmark's loop is one block
// in which the program and each baseline run `reps` times (by default as many as fill about half a
// millisecond), in an order that rotates from block to block; each run is timed by the thread's
// CPU time. Counters: ratio_to_<name> the median of the blocks' ratios program / baseline,
// us_per_call and <name>_us the median times of one call. Returns the median time of one call of
// the program in seconds.
inline double SideBySide(benchmark::State& state, const std::function<void()>& ours,
                         const std::vector<Baseline>& baselines, int reps = 0) {
    ours(); // warm caches, and the first call's one-time work
    for (const Baseline& b : baselines) b.run();
    if (reps <= 0) {
        const double one = std::max(CpuSeconds(1, ours), 1e-7);
        reps = int(std::clamp(0.5e-3 / one, 1.0, 100000.0));
    }
    const size_t kinds = baselines.size() + 1;
    std::vector<std::vector<double>> per(kinds), ratios(baselines.size());
    size_t block = 0;
    for (auto _ : state) {
        std::vector<double> t(kinds);
        for (size_t k = 0; k < kinds; ++k) {
            const size_t which = (block + k) % kinds;
            t[which] = CpuSeconds(reps, which == 0 ? ours : baselines[which - 1].run);
        }
        ++block;
        for (size_t k = 0; k < kinds; ++k) per[k].push_back(t[k] / reps);
        for (size_t b = 0; b < baselines.size(); ++b)
            if (t[b + 1] > 0) ratios[b].push_back(t[0] / t[b + 1]);
    }
    const double oursSeconds = Median(per[0]);
    state.counters["us_per_call"] = oursSeconds * 1e6;
    for (size_t b = 0; b < baselines.size(); ++b) {
        state.counters[baselines[b].name + "_us"] = Median(per[b + 1]) * 1e6;
        state.counters["ratio_to_" + baselines[b].name] = Median(ratios[b]);
    }
    state.counters["blocks"] = double(block);
    return oursSeconds;
}

} // namespace msdbench
