// Writer throughput: frames of 4 KiB and of 256 bytes, as the logging hands them over, given to the store of
// m01 until its file is closed on "meas:" and synced ("store_MBps": through the Pretrigger, the Backend and
// the writer task, which flushes with fdatasync once its oldest unflushed byte is 0.5 s old),
// against write(2) of as many bytes in 64 KiB pieces into a file in the same folder, synced by the
// same rule and at the end ("raw_MBps"). A run lasts about 1.5 s, so that the 0.5 s flush happens
// on both sides; the store is fed as fast as it writes (at most 32 MiB ahead of its file). The
// two take turns, the order alternating from iteration to iteration; "vs_raw" is the median of
// the iterations' ratios of the store's throughput to raw's. What each costs per MiB: write calls
// ("store_writes_per_MiB", "raw_writes_per_MiB", the process's write system calls) and processor
// time ("store_cpu_ms_per_MiB", "raw_cpu_ms_per_MiB", user and system time of the whole process,
// the feeding included), medians of the iterations.
// The medium is the folder under $TMPDIR (default /tmp).
#include "bench_seconds.h"
#include "bench_root.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/disk/cfg_meas.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/seram.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_state.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kPiece = 64 * 1024;          // raw write(2) pieces
constexpr double kRunSeconds = 1.5;           // three times the flush age
constexpr double kFlushAge = 0.5;             // the writer's rule, applied to the raw side too
constexpr uint64_t kAhead = 32ull << 20;      // bytes the store may be fed ahead of its file
constexpr uint64_t kMaxBytes = 1024ull << 20; // the most one run writes

double nowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Root {
    Root() {
        path = msdbench::tempFolder("store_bench");
        devroot_set(path);
        std::string error;
        if (!devroot_prepare(&error)) std::abort();
        // The drive writer alone: no stick in the port.
        drive_stateUpdate("usb_meas:", [](DriveState& s) {
            s.inserted = false;
            return true;
        });
    }
    ~Root() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

bool readOnly(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

uint64_t fileSize(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

void syncFile(const std::string& p) {
    const int fd = ::open(p.c_str(), O_RDONLY);
    if (fd < 0) std::abort();
    ::fsync(fd);
    ::close(fd);
}

// What the process has used so far: its write system calls and its processor time in ms.
struct Usage {
    double writes = 0, cpuMs = 0;
};
Usage usageNow() {
    Usage u;
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "syscw:") u.writes = double(value);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    u.cpuMs =
        (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    return u;
}
Usage operator-(const Usage& a, const Usage& b) {
    return {a.writes - b.writes, a.cpuMs - b.cpuMs};
}

// Feeds the store `bytes` of frames, or for kRunSeconds when bytes is 0, and waits until its file is
// closed and synced. Returns the seconds it took; `bytes` becomes what was fed.
double storeRun(Root& root, int run, const std::vector<uint8_t>& frame, uint64_t& bytes) {
    void* h = meas_app_PreTrigInit(0, 0.0f);
    if (!h) std::abort();
    auto* f = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
    std::snprintf(f->name, sizeof f->name, "A01%02x000.001", run % 250 + 1);
    f->initTimestamp = time_getTimestamp();
    f->closeTimestamp = MEAS_TS_NONE;
    f->vfIdx = -1;
    const std::string path = root.path + "/meas/" + f->name;
    const double t0 = nowS();
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    const bool timed = bytes == 0;
    uint64_t fed = 0;
    for (uint32_t i = 0; timed ? (nowS() - t0 < kRunSeconds && fed < kMaxBytes) : fed < bytes; ++i) {
        if (i % 256 == 0)
            while (fed > fileSize(path) + kAhead) std::this_thread::sleep_for(std::chrono::microseconds(200));
        meas_app_PreTrigPutMeasFrameCopy(h, vf, frame.data(), uint32_t(frame.size()), i, i);
        fed += frame.size();
    }
    meas_app_PreTrigCloseFile(h, vf);
    while (!readOnly(path)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    syncFile(path);
    const double t = nowS() - t0;
    meas_app_PreTrigDelete(h);
    std::filesystem::remove(path);
    bytes = fed;
    return t;
}

double rawRun(Root& root, uint64_t bytes) {
    const std::vector<uint8_t> piece(kPiece, 0x5A);
    const std::string path = root.path + "/meas/raw.bin";
    const double t0 = nowS();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    double unsynced = -1; // when the oldest byte not yet synced was written
    for (uint64_t done = 0; done < bytes; done += kPiece) {
        if (::write(fd, piece.data(), kPiece) != ssize_t(kPiece)) std::abort();
        const double now = nowS();
        if (unsynced < 0) unsynced = now;
        if (now - unsynced >= kFlushAge) {
            ::fdatasync(fd);
            unsynced = -1;
        }
    }
    ::fsync(fd);
    ::close(fd);
    const double t = nowS() - t0;
    std::filesystem::remove(path);
    return t;
}

void BM_StoreWriter(benchmark::State& state) {
    syslog_init(0); // records to the queue, not to stderr
    Root root;
    cfg_meas_devHwInfo[1].debounceMs = 0;
    // Frames as the logging hands them over: 4 KiB, and 256 bytes (a 10 ms block of a few values).
    const uint32_t frameBytes = uint32_t(state.range(0));
    std::vector<uint8_t> frame(frameBytes);
    for (uint32_t i = 0; i < frameBytes; ++i) frame[i] = uint8_t(i * 7);
    int run = 0;
    uint64_t bytes = 0;
    storeRun(root, run++, frame, bytes); // how much the store takes in kRunSeconds: every run's size
    bytes = (bytes + kPiece - 1) / kPiece * kPiece;
    std::vector<double> store, raw, ratio, storeWrites, rawWrites, storeCpu, rawCpu;
    const double mib = double(bytes) / (1024.0 * 1024.0);
    auto storeSide = [&](uint64_t& b) {
        const Usage u0 = usageNow();
        const double t = storeRun(root, run, frame, b);
        const Usage u = usageNow() - u0;
        storeWrites.push_back(u.writes / mib);
        storeCpu.push_back(u.cpuMs / mib);
        return t;
    };
    auto rawSide = [&] {
        const Usage u0 = usageNow();
        const double t = rawRun(root, bytes);
        const Usage u = usageNow() - u0;
        rawWrites.push_back(u.writes / mib);
        rawCpu.push_back(u.cpuMs / mib);
        return t;
    };
    for (auto _ : state) {
        double s = 0, r = 0;
        uint64_t b = bytes;
        if (run % 2) {
            s = storeSide(b);
            r = rawSide();
        } else {
            r = rawSide();
            s = storeSide(b);
        }
        ++run;
        store.push_back(s);
        raw.push_back(r);
        ratio.push_back(r / s);
    }
    state.counters["store_writes_per_MiB"] = msdbench::Median(storeWrites);
    state.counters["raw_writes_per_MiB"] = msdbench::Median(rawWrites);
    state.counters["store_cpu_ms_per_MiB"] = msdbench::Median(storeCpu);
    state.counters["raw_cpu_ms_per_MiB"] = msdbench::Median(rawCpu);
    state.counters["MiB_per_run"] = mib;
    state.counters["store_MBps"] = mib / msdbench::Median(store);
    state.counters["raw_MBps"] = mib / msdbench::Median(raw);
    state.counters["vs_raw"] = msdbench::Median(ratio);
}
BENCHMARK(BM_StoreWriter)->Arg(4096)->Arg(256)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
