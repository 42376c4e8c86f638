// The measurement raster of the logging with a full load: m01 and m03 with 50 blocks of 1 ms each
// (five 4-byte values), and m02's 50 telemetry blocks (their records only replace the latest one),
// on the hand-driven clock, records delivered as the gateway delivers them.
// - BM_RMeasureTick: time of one rMeasure tick against the 1 ms tick ("median_us", "p99_us",
//   "worst_1s_phase_us": the tick that runs the once-a-second work, "median_of_tick" the median
//   against the 1 ms budget).
// - the same run's files: "mb_per_s" bytes the writers put into the files per second of wall
//   time, against write(2) of as many bytes in 4 KiB pieces into the same folder ("vs_write").
#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/cfg_meas.h"
#include "logging/meas_app.h"
#include "logging/meas_app_blk.h"
#include "logging/meas_app_pretrig.h"
#include "logging/meas_app_store.h"
#include "platform/devroot.h"
#include "platform/hostclock.h"
#include "platform/sysmq.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

uint64_t folderBytes(const std::string& dir) {
    uint64_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.file_size();
    return n;
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
    const auto wall0 = std::chrono::steady_clock::now();
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
            const auto t0 = std::chrono::steady_clock::now();
            rMeasure();
            const double us =
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
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
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    sysmq_unlinkPublished();
    const uint64_t bytes = folderBytes(root + "/meas");

    // write(2) of as many bytes into the same folder.
    std::vector<char> piece(4096, 'x');
    const auto w0 = std::chrono::steady_clock::now();
    const int fd = open((root + "/meas/raw.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (uint64_t done = 0; done < bytes; done += piece.size())
        if (write(fd, piece.data(), piece.size()) < 0) break;
    fsync(fd);
    close(fd);
    const double raw = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();

    std::sort(ticks.begin(), ticks.end());
    state.counters["median_us"] = ticks[ticks.size() / 2];
    state.counters["p99_us"] = ticks[ticks.size() * 99 / 100];
    state.counters["worst_1s_phase_us"] =
        phases.empty() ? 0 : *std::max_element(phases.begin(), phases.end());
    state.counters["median_of_tick"] = ticks[ticks.size() / 2] / 1000.0;
    state.counters["mb_per_s"] = double(bytes) / wall / 1e6;
    state.counters["vs_write"] = raw > 0 ? (double(bytes) / wall) / (double(bytes) / raw) : 0;
    std::filesystem::remove_all(root);
}

} // namespace

BENCHMARK(BM_RMeasureTick)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
