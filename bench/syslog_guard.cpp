// The log reader's cost of a record in its flood guard (SyslogFloodGuard::admit and the look for
// due counts), beside what the reader does for every line it writes: formatting the record as a
// line ("ratio_to_format") and that line's write(2), here to /dev/null ("ratio_to_write").
// The records come from 64 texts of 8 tasks, with changing numbers; half of them repeat so often
// that the guard counts them. Times are the thread's CPU time, medians of per-block ratios
// (bench_seconds.h).
#include "platform/kernel/syslog_guard.h"
#include "bench_seconds.h"
#include "platform/kernel/syslogq.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void BM_FloodGuardPerRecord(benchmark::State& state) {
    std::vector<SyslogRecord> recs(4096);
    for (size_t i = 0; i < recs.size(); ++i) {
        SyslogRecord& r = recs[i];
        r.priority = 148;
        r.timeSec = 1700000000u;
        std::snprintf(r.tag, sizeof r.tag, "%zu r_Task%zu", 100000 + i, i % 8);
        std::snprintf(r.origin, sizeof r.origin, "app0");
        // Texts 0-31 in every other record (they flood), 32-63 in the rest.
        const size_t text = i % 2 == 0 ? (i / 2) % 32 : 32 + (i / 2) % 32;
        std::snprintf(r.message, sizeof r.message,
                      "meas_app_remoteinit: text %c%c, logging cannot take it now (flags 0x%zx), try %zu",
                      char('a' + text / 8), char('a' + text % 8), i % 13, i);
    }
    SyslogFloodGuard guard;
    std::vector<SyslogFloodGuard::Count> counts;
    size_t at = 0;
    uint64_t nowUs = 0;
    const auto guarded = [&] {
        nowUs += 10; // 100,000 records a second
        benchmark::DoNotOptimize(guard.admit(recs[at], nowUs / 1000));
        counts.clear();
        guard.due(nowUs / 1000, &counts);
        at = (at + 1) % recs.size();
    };
    std::string line;
    const auto format = [&] {
        line = syslogreader_format(recs[at]) + "\n";
        benchmark::DoNotOptimize(line.data());
        at = (at + 1) % recs.size();
    };
    const int devnull = ::open("/dev/null", O_WRONLY);
    line = syslogreader_format(recs[0]) + "\n";
    const std::string written = line;
    const auto write = [&] { benchmark::DoNotOptimize(::write(devnull, written.data(), written.size())); };
    msdbench::SideBySide(state, guarded, {{"format", format}, {"write", write}});
    ::close(devnull);
}

} // namespace

BENCHMARK(BM_FloodGuardPerRecord)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
