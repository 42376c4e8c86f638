// The baseline timing of the benchmarks: a function run as often as the benchmark ran.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

namespace msdbench {

using Clock = std::chrono::steady_clock;

// Seconds that n calls of f take.
template <class F> double Seconds(benchmark::IterationCount n, F&& f) {
    const auto t0 = Clock::now();
    for (benchmark::IterationCount i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace msdbench
