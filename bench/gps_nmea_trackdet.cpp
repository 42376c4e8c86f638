// The GPS receiver's and track detection's cost.
// - BM_ParseRecordedLog: the two recorded receiver logs of the test data (repeated to 270 kB) parsed
//   line by line from memory, as "r_gpsTask" does; "us_per_sentence" is the cost of one line, on its
//   own (a split into lines would be no baseline: it parses nothing).
// - BM_TrackDetCycle10000: one detection cycle over 10,000 tracks, six of them within 15 km,
//   against a bare loop of 10,000 gps_distCalc_sqr ("ratio_to_bare_loop"); "budget_share" is the
//   cycle against its 5 ms budget.
// - BM_ErrorClearInactive: the lap trigger's error_mgr_clear(0x1C8) of every 10 ms call while the
//   entry is inactive and 19 other entries are active, against locking and unlocking an
//   uncontended mutex ("ratio_to_mutex").
// Times are the thread's CPU time, so that other load on the machine does not count; the
// comparisons run side by side in alternating blocks and report the median of the blocks' ratios
// (bench_seconds.h).
#include "bench_seconds.h"
#include "framework/errmem.h"
#include "framework/syslog.h"
#include "laptiming/gps_nmea.h"
#include "laptiming/gps_trackdet_cycle.h"
#include "laptiming/gps_trigger.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

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
    size_t lines = 0;
    const double pass =
        msdbench::SideBySide(state,
                             [&] {
                                 lines = 0;
                                 for (size_t start = 0; start < bytes.size();) {
                                     const char* lf = static_cast<const char*>(
                                         std::memchr(bytes.data() + start, '\n', bytes.size() - start));
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
                             },
                             {});
    state.counters["us_per_sentence"] = pass * 1e6 / double(lines);
    state.counters["MB_per_s"] = double(bytes.size()) / pass / 1e6;
}
BENCHMARK(BM_ParseRecordedLog)->Unit(benchmark::kMillisecond);

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
    int c = 0, track = -1;
    float sum = 0;
    const double cycle = msdbench::SideBySide(
        state,
        [&] {
            ++c;
            detector.cycle(lat + 1e-6f * float(c % 200), lon, float(c % 200) * 7.0f, &track);
        },
        {{"bare_loop", [&] {
              for (const tracks_s& t : tracks)
                  sum += gps_distCalc_sqr(t.latitude, t.longitude, lat + 1e-6f * float(c % 200), lon);
              benchmark::ClobberMemory();
          }}});
    gSink = size_t(sum);
    state.counters["budget_share"] = cycle / 5e-3;
}
BENCHMARK(BM_TrackDetCycle10000)->Unit(benchmark::kMillisecond);

void BM_ErrorClearInactive(benchmark::State& state) {
    for (uint16_t p = 1; p < ERROR_MEM_ENTRIES; ++p) error_mgr_set(p, 1, 0);
    std::mutex m;
    const double clear =
        msdbench::SideBySide(state, [] { error_mgr_clear(GPS_ERR_PATH); }, {{"mutex", [&] {
                                                                                 m.lock();
                                                                                 benchmark::ClobberMemory();
                                                                                 m.unlock();
                                                                             }}});
    state.counters["ns_per_clear"] = clear * 1e9;
}
BENCHMARK(BM_ErrorClearInactive)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
