// Writer throughput: 32 MiB of 4 KiB frames handed to the store of m01 until its file is closed on
// "meas:" ("store_MBps": through the Pretrigger, the Backend and the writer task, flushed with
// fdatasync once its oldest unflushed byte is 0.5 s old, closed without a sync), against write(2) of
// the same frames into a file in the same folder ("raw_MBps"); "vs_raw" is their ratio.
// The medium is the folder under $TMPDIR (default /tmp).
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/cfg_meas.h"
#include "logging/meas_app_cfg.h"
#include "logging/meas_app_pretrig.h"
#include "measdata/seram.h"
#include "platform/devroot.h"
#include "platform/drive_state.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kFrame = 4096;
constexpr int kFrames = 32 * 256; // 32 MiB

double nowS() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Root {
    Root() {
        const char* t = std::getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/store_bench.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) std::abort();
        path = buf.data();
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

double storeRun(Root& root, int run, const std::vector<uint8_t>& frame) {
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
    for (int i = 0; i < kFrames; ++i)
        meas_app_PreTrigPutMeasFrameCopy(h, vf, frame.data(), kFrame, uint32_t(i), uint32_t(i));
    meas_app_PreTrigCloseFile(h, vf);
    while (!readOnly(path)) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const double t = nowS() - t0;
    meas_app_PreTrigDelete(h);
    std::filesystem::remove(path);
    return t;
}

double rawRun(Root& root, const std::vector<uint8_t>& frame) {
    const std::string path = root.path + "/meas/raw.bin";
    const double t0 = nowS();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; i < kFrames; ++i)
        if (::write(fd, frame.data(), kFrame) != ssize_t(kFrame)) std::abort();
    ::close(fd);
    const double t = nowS() - t0;
    std::filesystem::remove(path);
    return t;
}

void BM_StoreWriter(benchmark::State& state) {
    syslog_init(0); // records to the queue, not to stderr
    Root root;
    cfg_meas_devHwInfo[1].debounceMs = 0;
    std::vector<uint8_t> frame(kFrame);
    for (uint32_t i = 0; i < kFrame; ++i) frame[i] = uint8_t(i * 7);
    double store = 0, raw = 0;
    int run = 0;
    for (auto _ : state) {
        store += storeRun(root, run++, frame);
        raw += rawRun(root, frame);
    }
    const double mib = double(kFrames) * kFrame / (1024.0 * 1024.0) * run;
    state.counters["store_MBps"] = mib / store;
    state.counters["raw_MBps"] = mib / raw;
    state.counters["vs_raw"] = raw / store;
}
BENCHMARK(BM_StoreWriter)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
