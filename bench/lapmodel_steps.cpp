// The lap model's cost.
// - BM_ModelSecond: one simulated second of the 1 ms, 10 ms and 100 ms rasters' model work (the data
//   glue, the lap function's requests and publication, the three steps, the fuel store) called as
//   the rasters call their functions, against the same calls of empty functions ("vs_empty");
//   "core_share" is the second's CPU time as a share of one core, "us_step0" and "us_step1" the
//   mean cost of one 1 ms and one 10 ms step. The model runs with distance segments and a lap
//   request every 90 s; the lap function is not configured, so its inputs give their defaults.
// Times are the thread's CPU time, so that other load on the machine does not count.
#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_0x0A_fuelcons.h"
#include "calc/awm_model.h"
#include "calc/dor_data.h"
#include "calc/model/application_dor.h"
#include "framework/syslog.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <functional>
#include <vector>

namespace {

double cpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

using Calls = std::vector<std::function<void()>>;

struct Rasters {
    Calls r1, r10, r100;
};

// One simulated second: per tick the 1 ms raster, every tenth the 10 ms raster, every hundredth
// the 100 ms raster.
void second(const Rasters& r) {
    for (int tick = 1; tick <= 1000; ++tick) {
        for (const auto& f : r.r1) f();
        if (tick % 10 == 0)
            for (const auto& f : r.r10) f();
        if (tick % 100 == 0)
            for (const auto& f : r.r100) f();
    }
}

void BM_ModelSecond(benchmark::State& state) {
    syslog_init(0);
    SEGTIME_MODE = 2;
    TRACK_LEN = 4000;
    for (int i = 0; i < 10; ++i) LAPSEG[i] = 400.0f * float(i + 1);
    MAIN_TRIG_TIME_MIN = 20;
    MAIN_RETRIG_LOCK = 1;
    awm_model_connect();
    application_dor_initialize(1);
    int tenths = 0;
    const Rasters model{
        {dor_data_1ms, application_dor_step0},
        {dor_data_10ms, awm_0x08_lapfunc_requests, application_dor_step1, awm_0x08_lapfunc_cyclicCall},
        {dor_data_100ms, dor_ftest_100ms, application_dor_step2, awm_0x0A_fuelcons_store,
         [&] { MACRO_LAPTRG_SET = ++tenths % 900 == 0; }}};
    const auto none = [] {};
    const Rasters empty{{none, none}, {none, none, none, none}, {none, none, none, none, none}};
    second(model); // the first call of the glue reads NV
    double modelNs = 0, emptyNs = 0, step0Ns = 0, step1Ns = 0;
    int n = 0;
    for (auto _ : state) {
        double t = cpuNs();
        second(model);
        modelNs += cpuNs() - t;
        t = cpuNs();
        second(empty);
        emptyNs += cpuNs() - t;
        t = cpuNs();
        for (int i = 0; i < 1000; ++i) application_dor_step0();
        step0Ns += cpuNs() - t;
        t = cpuNs();
        for (int i = 0; i < 100; ++i) application_dor_step1();
        step1Ns += cpuNs() - t;
        ++n;
    }
    state.counters["core_share"] = modelNs / n / 1e9;
    state.counters["us_per_second"] = modelNs / n / 1000.0;
    state.counters["empty_us"] = emptyNs / n / 1000.0;
    state.counters["vs_empty"] = modelNs / emptyNs;
    state.counters["us_step0"] = step0Ns / n / 1000.0 / 1000.0;
    state.counters["us_step1"] = step1Ns / n / 100.0 / 1000.0;
}
BENCHMARK(BM_ModelSecond)->Iterations(200)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
