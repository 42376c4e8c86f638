// The measurement raster of the logging with a full load: m01 and m03 with 50 blocks of 1 ms each
// (five 4-byte values), and m02's 50 telemetry blocks (their records only replace the latest one),
// on the hand-driven clock, records delivered as the gateway delivers them.
// - BM_RMeasureTick: the thread CPU time of one rMeasure tick, as percentiles over 10,000 ticks
//   ("p50_us", "p90_us", "p99_us", "max_us"; "worst_1s_phase_us": the ticks that run the
//   once-a-second work), and the median against the 1 ms budget ("median_of_tick"). The feeding of
//   the blocks between the ticks and the writers' work in their own tasks are not in it.
#include "bench_seconds.h"
#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/store/meas_app_pretrig.h"
#include "platform/drives/devroot.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/sysmq.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int BLOCKS = 50;
constexpr int VALUES = 5;

MEASConfiguration* makeConfig(bool tele) {
    auto* c = static_cast<MEASConfiguration*>(std::calloc(1, sizeof(MEASConfiguration)));
    c->BlkInfo = static_cast<MeasBlkInfo*>(std::calloc(BLOCKS, sizeof(MeasBlkInfo)));
    c->num_blocks = BLOCKS;
    c->protocol = tele ? 1 : 0;
    for (int i = 0; i < BLOCKS; ++i) {
        MeasBlkInfo& b = c->BlkInfo[i];
        b.measList[0] = uint32_t(-4);
        for (int v = 0; v < VALUES; ++v) b.measList[1 + v] = 0x040000u + uint32_t(4 * v);
        b.measListLen = 4 * (VALUES + 3);
        b.numAddr = VALUES;
        for (int v = 0; v < VALUES; ++v) b.addrSize[v] = 4;
        b.recordSize = 4 + 4 * VALUES;
        b.raster = 0;
        b.pid = 16;
        b.blockNo = uint16_t(i + 1);
        b.tele_blk = tele ? 0 : 0xFFFF;
        b.true_div = b.false_div = 1;
        b.cnt4 = VALUES;
        b.samplesPerRecord = 1;
    }
    return c;
}

void BM_RMeasureTick(benchmark::State& state) {
    char tmpl[] = "/tmp/msdbench.XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("DEVICE_ROOT", root.c_str(), 1);
    std::string error;
    devroot_prepare(&error);
    syslog_init(0);
    appman_init(0, &error);
    cfg_meas_iniPartitions(0);
    hostclock_setManual(true);
    LapOutFra_init();
    LapOutFra_initLapOutCnt(1, 1);
    sysmq_configure(root, 0); // the remote control's queues, removed at the end
    meas_app_ini();
    meas_app_reinitreq = 0;
    for (int index : {0, 1, 2}) {
        meas_app_meascreate(index, makeConfig(index == 1), 0);
        for (int k = 0; k < BLOCKS; ++k) meas_app_gw_cbStart(0, nullptr, &meas[index].blocks[k]);
        meas[index].started = MEAS_STARTED;
    }
    meas_app_running = 1;

    std::vector<double> ticks;
    std::vector<double> phases;
    uint8_t rec[4 + 4 * VALUES] = {};
    for (auto _ : state) {
        for (int t = 0; t < 10000; ++t) {
            hostclock_advanceMs(1);
            const uint32_t ts = time_getTimestamp();
            rec[0] = uint8_t(ts >> 24);
            rec[1] = uint8_t(ts >> 16);
            rec[2] = uint8_t(ts >> 8);
            rec[3] = uint8_t(ts);
            for (int v = 0; v < VALUES; ++v) rec[4 + 4 * v + 3] = uint8_t(t >> v);
            for (int index : {0, 1, 2})
                for (int k = 0; k < BLOCKS; ++k) meas_app_gw_cbData(0, rec, &meas[index].blocks[k]);
            const double t0 = msdbench::ThreadSeconds();
            rMeasure();
            const double us = (msdbench::ThreadSeconds() - t0) * 1e6;
            ticks.push_back(us);
            if (t % 1000 == 187) phases.push_back(us);
        }
    }
    // Every file closed and written out.
    meas_app_remotefaststop();
    while (!meas_app_faststop_done()) {
        hostclock_advanceMs(1);
        rMeasure();
    }
    for (int i = 0; i < 5000 && !meas_app_PreTrigIsOfflineDataFlushed(); ++i) {
        hostclock_advanceMs(1);
        usleep(1000);
    }
    sysmq_unlinkPublished();

    std::sort(ticks.begin(), ticks.end());
    auto at = [&](double q) { return ticks[std::min(ticks.size() - 1, size_t(q * double(ticks.size())))]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p90_us"] = at(0.90);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = ticks.back();
    state.counters["worst_1s_phase_us"] =
        phases.empty() ? 0 : *std::max_element(phases.begin(), phases.end());
    state.counters["median_of_tick"] = at(0.50) / 1000.0;
    std::filesystem::remove_all(root);
}

} // namespace

BENCHMARK(BM_RMeasureTick)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
