// What the lap counters and the lap stack cost in the NV store, in wall time (the cost is I/O). The
// callers queue their writes; the NV store's task makes them.
// - BM_CounterStore: a fragment trigger, whose store queues NV records 0 and 261 ("store_us": its
//   return; "stored_us": until both are written through) against pwrite + fsync of the same 6 and 2
//   bytes into two files ("raw_us", "vs_raw_pwrite" for the written store); "tick_share" is the
//   caller's share of the 1 ms tick.
// - BM_LapStackAppend: one lap-stack entry (its return "append_us", until its slot and counters are
//   written through "stored_us") against pwrite + fsync of the same 6 and 4 bytes ("raw_us",
//   "vs_raw_pwrite" for the written append); "of_10ms" is the caller's share of 10 ms.
// - BM_LapStackReset: the clearing at a new outing after five laps: its return ("returns_us"), then
//   until its counters and the five slots that held laps are written through ("reset_us", each copy
//   with its fsync; the 251 empty ones are left) against the same bytes written raw with pwrite +
//   fsync per copy ("raw_us"; "vs_raw_pwrite" the median of the ratios of the two, run in turn).
// The NV store keeps every element twice and syncs each copy. The medium is the folder under
// $TMPDIR (default /tmp); TMPDIR=/dev/shm measures without a disk.
#include "bench_root.h"
#include "framework/nvram.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/sb_lapstack.h"
#include "platform/drives/devroot.h"
#include "platform/kernel/nvdb.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double nowUs() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Folder {
public:
    Folder() {
        path = msdbench::tempFolder("lapstore_bench");
        devroot_set(path + "/root");
        std::string error;
        if (!devroot_prepare(&error) || !nvdb_open(path + "/nv", &error)) std::abort();
    }
    ~Folder() {
        nvdb_close();
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// pwrite + fsync of each piece into its own file, as one element copy each.
class RawFiles {
public:
    RawFiles(const std::string& folder, int n) {
        for (int i = 0; i < n; ++i)
            fds.push_back(::open((folder + "/raw" + std::to_string(i)).c_str(), O_RDWR | O_CREAT, 0644));
    }
    ~RawFiles() {
        for (int fd : fds) ::close(fd);
    }
    double writeUs(const std::vector<std::vector<uint8_t>>& pieces) {
        const double t0 = nowUs();
        for (size_t i = 0; i < pieces.size(); ++i) {
            const int fd = fds[i % fds.size()];
            if (::pwrite(fd, pieces[i].data(), pieces[i].size(), 0) != ssize_t(pieces[i].size()) ||
                ::fsync(fd) != 0)
                std::abort();
        }
        return nowUs() - t0;
    }
    std::vector<int> fds;
};

void BM_CounterStore(benchmark::State& state) {
    Folder folder;
    LapOutFra_init();
    LapOutFra_initLapOutCnt(1, 1);
    RawFiles raw(folder.path, 2);
    double store = 0, stored = 0, direct = 0;
    for (auto _ : state) {
        const double t0 = nowUs();
        LapOutFra_setFragmentTrig(1);
        store += nowUs() - t0;
        LapOutFra_waitStored(60000);
        stored += nowUs() - t0;
        direct += raw.writeUs({{1, 0, 1, 0, 1, 0}, {1, 0}});
    }
    LapOutFra_exit();
    const double n = double(state.iterations());
    state.counters["store_us"] = store / n;
    state.counters["stored_us"] = stored / n;
    state.counters["raw_us"] = direct / n;
    state.counters["vs_raw_pwrite"] = stored / direct;
    state.counters["tick_share"] = store / n / 1000.0;
}

void BM_LapStackAppend(benchmark::State& state) {
    Folder folder;
    sb_lapstack_reset_history();
    nvram_writeBehindFlush(600000);
    RawFiles raw(folder.path, 2);
    double append = 0, stored = 0, direct = 0;
    int lap = 0;
    for (auto _ : state) {
        const double t0 = nowUs();
        sb_lapstack_add_entry(uint8_t(++lap), 8346, 2.5f);
        append += nowUs() - t0;
        nvram_writeBehindFlush(60000);
        stored += nowUs() - t0;
        direct += raw.writeUs({{5, 1, 23, 46, 250, 0}, {1, 0, 1, 0}});
    }
    const double n = double(state.iterations());
    state.counters["append_us"] = append / n;
    state.counters["stored_us"] = stored / n;
    state.counters["raw_us"] = direct / n;
    state.counters["vs_raw_pwrite"] = stored / direct;
    state.counters["of_10ms"] = append / n / 10000.0;
}

void BM_LapStackReset(benchmark::State& state) {
    Folder folder;
    sb_lapstack_reset_history();
    nvram_writeBehindFlush(600000);
    constexpr int kLaps = 5;
    RawFiles raw(folder.path, 2 + 2 * kLaps);
    const std::vector<uint8_t> counters(4), slot(6);
    std::vector<std::vector<uint8_t>> pieces = {counters, counters};
    for (int i = 0; i < 2 * kLaps; ++i) pieces.push_back(slot);
    double back = 0, reset = 0, direct = 0;
    std::vector<double> ratios;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kLaps; ++i) sb_lapstack_add_entry(uint8_t(i + 1), 8346, 2.5f);
        state.ResumeTiming();
        double t0 = nowUs();
        sb_lapstack_reset_history();
        const double returned = nowUs() - t0;
        nvram_writeBehindFlush(60000);
        const double r = nowUs() - t0;
        back += returned;
        reset += r;
        const double d = raw.writeUs(pieces);
        direct += d;
        ratios.push_back(r / d);
    }
    const double n = double(state.iterations());
    std::nth_element(ratios.begin(), ratios.begin() + ptrdiff_t(ratios.size() / 2), ratios.end());
    state.counters["returns_us"] = back / n;
    state.counters["reset_us"] = reset / n;
    state.counters["raw_us"] = direct / n;
    state.counters["vs_raw_pwrite"] = ratios.empty() ? 0 : ratios[ratios.size() / 2];
}

} // namespace

BENCHMARK(BM_CounterStore)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LapStackAppend)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LapStackReset)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
