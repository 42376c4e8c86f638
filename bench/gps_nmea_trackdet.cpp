// The GPS receiver's and track detection's cost.
// - BM_ParseRecordedLog: the two recorded receiver logs of the test data (repeated to 270 kB) parsed
//   line by line from memory, as "r_gpsTask" does, against splitting the same bytes into lines with
//   memchr ("vs_memchr"); "us_per_sentence" is the cost of one line.
// - BM_TrackDetCycle10000: one detection cycle over 10,000 tracks, six of them within 15 km,
//   against a bare loop of 10,000 gps_distCalc_sqr ("vs_bare_loop"); "budget_share" is the cycle
//   against its 5 ms budget.
// - BM_ErrorClearInactive: the lap trigger's error_mgr_clear(0x1C8) of every 10 ms call while the
//   entry is inactive and 19 other entries are active, against locking and unlocking an
//   uncontended mutex ("vs_mutex").
// Times are the thread's CPU time, so that other load on the machine does not count.
#include "framework/errmem.h"
#include "framework/syslog.h"
#include "laptiming/gps_nmea.h"
#include "laptiming/gps_trackdet_cycle.h"
#include "laptiming/gps_trigger.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

double cpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

std::string readText(const std::string& rel) {
    const char* src = std::getenv("MSD_SOURCE_DIR");
    std::ifstream in(std::string(src ? src : MSD_SOURCE_DIR_DEFAULT) + "/tests/data/gps/" + rel,
                     std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

volatile size_t gSink;

void BM_ParseRecordedLog(benchmark::State& state) {
    syslog_init(0); // the parser's messages go to the log queue, not to the terminal
    const std::string one = readText("bt451.log") + readText("haicom-305N.log");
    if (one.size() < 20000) {
        state.SkipWithError("recorded logs not found");
        return;
    }
    std::string bytes;
    while (bytes.size() < 270000) bytes += one;
    static nmeaINFO info;
    gps_nmea_data_reset(&info);
    for (auto _ : state) {
        size_t lines = 0;
        double t0 = cpuNs();
        for (size_t start = 0; start < bytes.size();) {
            const char* lf =
                static_cast<const char*>(std::memchr(bytes.data() + start, '\n', bytes.size() - start));
            const size_t end = lf ? size_t(lf - bytes.data()) : bytes.size();
            char line[GPS_LINE_MAX + 2];
            size_t n = std::min<size_t>(end - start, GPS_LINE_MAX);
            if (n > 0 && bytes[start + n - 1] == '\r') --n;
            std::memcpy(line, bytes.data() + start, n);
            line[n] = '\0';
            if (n > 0) gps_parse(line, int(n) + 1, &info);
            ++lines;
            start = end + 1;
        }
        const double parse = cpuNs() - t0;
        size_t split = 0;
        t0 = cpuNs();
        for (size_t start = 0; start < bytes.size();) {
            const char* lf =
                static_cast<const char*>(std::memchr(bytes.data() + start, '\n', bytes.size() - start));
            const size_t end = lf ? size_t(lf - bytes.data()) : bytes.size();
            split += end - start;
            start = end + 1;
        }
        const double bare = cpuNs() - t0;
        gSink = split;
        state.counters["us_per_pass"] = parse / 1000.0;
        state.counters["us_per_sentence"] = parse / 1000.0 / double(lines);
        state.counters["MB_per_s"] = double(bytes.size()) / parse * 1000.0;
        state.counters["memchr_us"] = bare / 1000.0;
        state.counters["vs_memchr"] = parse / bare;
    }
}
BENCHMARK(BM_ParseRecordedLog)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_TrackDetCycle10000(benchmark::State& state) {
    constexpr int kTracks = 10000;
    // A grid over Europe, and six layouts of one facility around the position.
    std::vector<tracks_s> tracks;
    for (int i = 0; tracks.size() < kTracks - 6; ++i)
        tracks.push_back({-5.0f + 0.25f * float(i % 100), 40.0f + 0.15f * float(i / 100), 4000.0f, i, 0.0f});
    const float lat = 47.2199f, lon = 14.7649f;
    for (int k = 0; k < 6; ++k)
        tracks.push_back(
            {lon + 0.01f * float(k), lat + 0.005f * float(k), 3000.0f + 500.0f * float(k), 20000 + k, 0.0f});
    TrackDetector detector(tracks.data(), kTracks, -1);
    for (auto _ : state) {
        constexpr int kCycles = 200;
        int track = -1;
        double t0 = cpuNs();
        for (int c = 0; c < kCycles; ++c)
            detector.cycle(lat + 1e-6f * float(c), lon, float(c) * 7.0f, &track);
        const double cycle = (cpuNs() - t0) / kCycles;
        float sum = 0;
        t0 = cpuNs();
        for (int c = 0; c < kCycles; ++c) {
            for (const tracks_s& t : tracks)
                sum += gps_distCalc_sqr(t.latitude, t.longitude, lat + 1e-6f * float(c), lon);
            benchmark::ClobberMemory();
        }
        const double bare = (cpuNs() - t0) / kCycles;
        gSink = size_t(sum);
        state.counters["us_per_cycle"] = cycle / 1000.0;
        state.counters["budget_share"] = cycle / 5e6;
        state.counters["bare_loop_us"] = bare / 1000.0;
        state.counters["vs_bare_loop"] = cycle / bare;
    }
}
BENCHMARK(BM_TrackDetCycle10000)->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ErrorClearInactive(benchmark::State& state) {
    for (uint16_t p = 1; p < ERROR_MEM_ENTRIES; ++p) error_mgr_set(p, 1, 0);
    std::mutex m;
    for (auto _ : state) {
        constexpr int kCalls = 100000;
        double t0 = cpuNs();
        for (int i = 0; i < kCalls; ++i) error_mgr_clear(GPS_ERR_PATH);
        const double clear = (cpuNs() - t0) / kCalls;
        t0 = cpuNs();
        for (int i = 0; i < kCalls; ++i) {
            m.lock();
            benchmark::ClobberMemory();
            m.unlock();
        }
        const double lock = (cpuNs() - t0) / kCalls;
        state.counters["ns_per_clear"] = clear;
        state.counters["mutex_ns"] = lock;
        state.counters["vs_mutex"] = clear / lock;
    }
}
BENCHMARK(BM_ErrorClearInactive)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
