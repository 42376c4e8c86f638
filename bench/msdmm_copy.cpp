// The measurement manager's copy: 50 lists of 50 four-byte values each on the 1 ms raster, one
// meas_man_copy per tick, as a share of the 1 ms tick ("tick_share") and against a plain memcpy
// of the same record bytes ("vs_memcpy": how many such copies one tick's work costs).
#include "framework/appman.h"
#include "framework/syslog.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/measman/meas_man.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLists = 50;
constexpr int kValues = 50;
constexpr size_t kRecord = 4 + 4 * kValues;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, uint16_t(x >> 16));
    put16(v, uint16_t(x));
}

// This device (PID 1) asks itself for the lists; the path answers are served on this task.
bool setUp() {
    syslog_init(0);
    app_pid = 1;
    routing_ini();
    dynkomm_ini();
    comint_queue_ini();
    ci_register_own_handlers();
    seramInit();
    meascalinfo_init();
    meas_man_ini();
    // 4-byte values of the signal page, spread over it.
    std::vector<uint32_t> addresses;
    for (uint32_t i = 0; i < MEASCALINFO_COUNT && addresses.size() < kValues; ++i) {
        const meascalinfo_t& v = allmeascalinfo[i];
        if (getSizeofType(v.dType) == 4 && (v.pAdr & 0xFFFFFF) >= 0x40000)
            addresses.push_back(v.pAdr & 0xFFFFFF);
    }
    while (addresses.size() < kValues) addresses.push_back(addresses[addresses.size() % 8]);
    for (int l = 0; l < kLists; ++l) {
        std::vector<uint8_t> p;
        put16(p, 0);                 // raster 1 ms
        put16(p, 1);                 // divisor
        put16(p, uint16_t(kRecord)); // record size
        put16(p, uint16_t(4 * (kValues + 3)));
        put16(p, 4); // depth
        put16(p, 0); // latest value
        put32(p, 0xFFFFFFFC);
        for (uint32_t a : addresses) put32(p, a);
        put32(p, 0);
        put32(p, 0);
        comint_msg m;
        ci_init(&m, 0x0500, 1, 1, 0, 0, uint16_t(p.size()));
        std::memcpy(m.data, p.data(), p.size());
        ci_serve_command(&m);
        comint_msg q;
        while (comint_receive(&q, 0))
            if (ci_cmd(&q) == 0x0107) ci_serve_command(&q);
    }
    return true;
}

double memcpyNs(size_t bytes, int records, int rounds) {
    std::vector<uint8_t> a(bytes, 0x5A), b(bytes);
    const auto t0 = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        for (int r = 0; r < records; ++r) {
            a[0] = uint8_t(i + r);
            std::memcpy(b.data(), a.data(), bytes);
            benchmark::DoNotOptimize(b.data());
            benchmark::ClobberMemory();
        }
    }
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / rounds;
}

void BM_MeasManCopy50x50(benchmark::State& state) {
    static const bool ready = setUp();
    if (!ready || meas_man_get_stats().chained != kLists) {
        state.SkipWithError("lists not set up");
        return;
    }
    constexpr int kTicks = 20000;
    uint32_t ts = 1;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kTicks; ++i) meas_man_copy(0, ts++);
        const double ns =
            double(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count()) / kTicks;
        const double copy = memcpyNs(kRecord, kLists, 20000);
        state.counters["us_per_tick"] = ns / 1000.0;
        state.counters["tick_share"] = ns / 1e6;
        state.counters["memcpy_ns"] = copy;
        state.counters["vs_memcpy"] = ns / copy;
    }
}
BENCHMARK(BM_MeasManCopy50x50)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
BENCHMARK_MAIN();
