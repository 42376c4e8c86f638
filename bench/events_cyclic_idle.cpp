// What the events cost.
// - BM_EventsCyclic50: one 10 ms cycle of the event channels: a gateway record of a full list (113
//   float inputs and one 16-bit input, 458 bytes) put into its inputs, then the check of 50 events;
//   "raster_share_pct" is its share of the 10 ms raster (goal under 0.5 %), "ratio_to_memcpy" its
//   time against a memcpy of the record, side by side in alternating blocks by thread CPU time.
// - BM_LoggerIdle3: three event loggers without events polling every tick for one second, in CPU
//   milliseconds, against three threads sleeping 1 ms at a time that run at the same time
//   ("vs_sleep_loop_ms", goal within 2x).
#include "bench_seconds.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "logging/events/eventchannels.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "msdcom/ci/comint.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/drives/devroot.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string input(const char* type, uint32_t adr) {
    char buf[200];
    std::snprintf(
        buf, sizeof buf,
        "<triggerInput type=\"%s\" adr=\"%X\" mask=\"0\" a=\"0\" b=\"1\" c=\"0\" d=\"0\" e=\"0\" f=\"1\"/>",
        type, adr);
    return buf;
}

// A device root with "cfg:/eventcfg.xml" of 50 events over 114 inputs of device 3.
struct Setup {
    Setup() {
        char dir[] = "/tmp/events_bench.XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        path = dir;
        devroot_set(path);
        std::filesystem::create_directories(path + "/cfg");
        syslog_init(0);
        app_pid = 1;
        gw_meas_ini();
        comint_queue_ini();
        eventlogging_service_init();
        std::string events;
        int n = 0;
        for (int e = 0; e < 50; ++e) {
            std::string inputs;
            for (int k = 0; k < 3 && n < 113; ++k, ++n) inputs += input("FLOAT", 0x03000100u + n);
            if (e == 49) inputs += input("UINT16", 0x03002000u);
            events += "<Event name=\"E\" text=\"t\" evMeasChDelayTime=\"100\" severity=\"Info\" "
                      "triggerEdge=\"both\" "
                      "eventId=\"1\" idx=\"" +
                      std::to_string(e) + "\">" + inputs + "</Event>";
        }
        FILE* f = std::fopen((path + "/cfg/eventcfg.xml").c_str(), "w");
        std::fprintf(f, "<EventList>%s</EventList>", events.c_str());
        std::fclose(f);
    }
    ~Setup() { std::filesystem::remove_all(path); }
    std::string path;
};

Setup& setup() {
    static Setup s;
    return s;
}

double cpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void BM_EventsCyclic50(benchmark::State& state) {
    setup();
    eventchannels set("cfg:/eventcfg.xml");
    CEvDataList* list = set.manager()->lists();
    if (!list || list->next) {
        state.SkipWithError("not one list");
        return;
    }
    evch::c2cpp_startMeas(0, nullptr, list);
    std::vector<uint8_t> record(list->recordSize, 0);
    for (size_t i = 4; i + 4 <= record.size(); i += 4) record[i] = 0x3F; // 0.5 and more: all true
    std::vector<uint8_t> copy(record.size());
    const double cycle = msdbench::SideBySide(state,
                                              [&] {
                                                  evch::c2cpp_readCyclic(0, record.data(), list);
                                                  set.cyclic();
                                              },
                                              {{"memcpy", [&] {
                                                    std::memcpy(copy.data(), record.data(), record.size());
                                                    benchmark::DoNotOptimize(copy.data());
                                                    benchmark::ClobberMemory();
                                                }}});
    state.counters["record_bytes"] = double(record.size());
    state.counters["raster_share_pct"] = cycle / 0.010 * 100.0;
}
BENCHMARK(BM_EventsCyclic50);

double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    timespec t{};
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The loggers and the sleepers run at the same time, so that the load of the machine falls on both
// alike: the sleepers are measured by their threads' CPU clocks, the loggers as the process less
// the sleepers and the measuring thread.
void BM_LoggerIdle3(benchmark::State& state) {
    setup();
    for (auto _ : state) {
        eventlogger* loggers[3] = {};
        for (int i = 0; i < 3; ++i) loggers[i] = eventLoggerCreate(i, nullptr);
        std::atomic<bool> stop{false};
        std::vector<std::thread> sleepers;
        for (int i = 0; i < 3; ++i)
            sleepers.emplace_back([&] {
                while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // all settled
        auto sleeping = [&] {
            double s = 0;
            for (std::thread& t : sleepers) s += threadCpuSeconds(t.native_handle());
            return s;
        };
        const pthread_t self = pthread_self();
        const double c0 = cpuSeconds(), s0 = sleeping(), m0 = threadCpuSeconds(self);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double c1 = cpuSeconds(), s1 = sleeping(), m1 = threadCpuSeconds(self);
        stop.store(true);
        for (std::thread& t : sleepers) t.join();
        for (eventlogger* l : loggers) eventLoggerDelete(l);
        const double bare = s1 - s0;
        const double used = (c1 - c0) - bare - (m1 - m0);
        state.counters["cpu_ms"] = used * 1e3;
        state.counters["vs_sleep_loop_ms"] = bare * 1e3;
        state.counters["ratio"] = bare > 0 ? used / bare : 0;
    }
}
BENCHMARK(BM_LoggerIdle3)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
