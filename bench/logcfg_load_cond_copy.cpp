// What the logging configuration, the condition FIFOs and the file copy cost.
// - BM_XmlLoad255Blocks: "cfg:/m01.xml" of 255 blocks (two sequences of 20 addresses each) loaded
//   into its record, against reading the same file into memory ("vs_read").
// - BM_CondCheckFullRing: fifo_condition_check at times spread over a full ring of 6768 entries,
//   against std::upper_bound over a plain array of the same time stamps ("vs_binary_search").
// - BM_CopyToUsb100MiB: a closed 100 MiB file copied from "meas:" to "usb_meas:" as the copy task
//   does, against cp of the same file ("vs_cp"); "MiB_per_s" of the copy. The copy writes its data
//   through to the medium before it reports success (a stick may be pulled); cp does not.
// The medium is the folder under $TMPDIR (default /tmp).
#include "bench_root.h"
#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "logging/config/meas_app_cfg.h"
#include "logging/disk/meas_app_disk.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/rtos/hostclock.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

double nowNs() {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

class Root {
public:
    Root() {
        path = msdbench::tempFolder("logcfg_bench");
        devroot_set(path);
        std::string error;
        if (!devroot_prepare(&error)) std::abort();
        syslog_init(0); // messages go to the log queue, not to the terminal
    }
    ~Root() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

std::string xml255() {
    std::string x =
        "<AcqInfo ident=\"bench\" num_blocks=\"255\" num_conditions=\"0\" version=\"3\" protocol=\"0\">\n";
    char line[160];
    for (int b = 0; b < 255; ++b) {
        std::snprintf(line, sizeof line,
                      "<Block name=\"block %d\" idx=\"%d\" num_seqs=\"2\" true_div=\"1\" false_div=\"1\" "
                      "Raster=\"R10ms\">\n",
                      b, b);
        x += line;
        for (int s = 0; s < 2; ++s) {
            std::snprintf(line, sizeof line, " <CopySeq align=\"4\" size=\"4\" num=\"20\" idx=\"%d\">\n", s);
            x += line;
            for (int a = 0; a < 20; ++a) {
                std::snprintf(line, sizeof line, "  <adr adr=\"0x05%06X\" idx=\"%d\"/>\n",
                              0x1000 + 4 * (a + 20 * s), a);
                x += line;
            }
            x += " </CopySeq>\n";
        }
        x += "</Block>\n";
    }
    return x + "</AcqInfo>\n";
}

void BM_XmlLoad255Blocks(benchmark::State& state) {
    Root root;
    const std::string text = xml255();
    FILE* f = std::fopen((root.path + "/cfg/m01.xml").c_str(), "w");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    double load = 0, read = 0;
    for (auto _ : state) {
        double t0 = nowNs();
        size_t length = 0;
        MEASConfiguration* m = meas_app_get_MEASConfiguration(0, &length);
        load += nowNs() - t0;
        if (!m || m->num_blocks != 255) {
            state.SkipWithError("configuration not loaded");
            return;
        }
        meas_app_free_MEASConfiguration(m);
        t0 = nowNs();
        char* bytes = fload("cfg:/m01.xml", &length);
        read += nowNs() - t0;
        benchmark::DoNotOptimize(bytes);
        std::free(bytes);
    }
    const double n = double(state.iterations());
    state.counters["load_ms"] = load / n / 1e6;
    state.counters["read_ms"] = read / n / 1e6;
    state.counters["vs_read"] = load / read;
}

void BM_CondCheckFullRing(benchmark::State& state) {
    fifo_condition_release_all();
    const fifo_cond_request_t r{0, 1, 0, 2, 16, 1, 0};
    if (fifo_condition_request(&r) != 0) std::abort();
    std::vector<uint32_t> stamps;
    const uint32_t first = 1000000;
    fifo_cond_set_curr_ts(first + 50 * COND_FIFO_DEPTH);
    for (uint32_t i = 0; i < COND_FIFO_DEPTH; ++i) {
        const uint32_t t = first + 50 * i;
        const uint8_t rec[5] = {uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t),
                                uint8_t(i / 40 % 2)};
        fifo_condition_put(0, rec);
        stamps.push_back(t);
    }
    std::vector<uint32_t> probes;
    for (uint32_t i = 0; i < 4096; ++i) probes.push_back(first + (i * 2654435761u) % (50 * COND_FIFO_DEPTH));
    double check = 0, search = 0;
    long sum = 0;
    for (auto _ : state) {
        double t0 = nowNs();
        for (uint32_t p : probes) sum += fifo_condition_check(0, p);
        check += nowNs() - t0;
        t0 = nowNs();
        for (uint32_t p : probes) sum += std::upper_bound(stamps.begin(), stamps.end(), p) - stamps.begin();
        search += nowNs() - t0;
    }
    benchmark::DoNotOptimize(sum);
    fifo_condition_release_all();
    const double n = double(state.iterations()) * double(probes.size());
    state.counters["check_ns"] = check / n;
    state.counters["search_ns"] = search / n;
    state.counters["vs_binary_search"] = check / search;
}

void BM_CopyToUsb100MiB(benchmark::State& state) {
    Root root;
    const size_t size = size_t(100) << 20;
    {
        const int fd = bfs_open("meas:/A0101000.001", O_WRONLY | O_CREAT, 0777);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 + i / 977);
        for (size_t done = 0; done < size; done += block.size())
            if (::write(fd, block.data(), block.size()) != ssize_t(block.size())) std::abort();
        bfs_ioctl(fd, FIOATTRIBSET, 0x21);
        bfs_close(fd);
    }
    // The stick has been in for its debounce time.
    hostclock_setManual(true);
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false);
    const std::string src = root.path + "/meas/A0101000.001", dst = root.path + "/usb_meas/cp.001";
    double copy = 0, cp = 0;
    for (auto _ : state) {
        bfs_unlink("usb_meas:/A0101000.001");
        double t0 = nowNs();
        if (meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001") != 0) {
            state.SkipWithError("copy failed");
            return;
        }
        copy += nowNs() - t0;
        std::remove(dst.c_str());
        t0 = nowNs();
        pid_t pid = 0;
        const char* argv[] = {"cp", src.c_str(), dst.c_str(), nullptr};
        int status = 0;
        if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || status != 0) {
            state.SkipWithError("cp failed");
            return;
        }
        cp += nowNs() - t0;
    }
    const double n = double(state.iterations());
    state.counters["copy_ms"] = copy / n / 1e6;
    state.counters["cp_ms"] = cp / n / 1e6;
    state.counters["MiB_per_s"] = 100.0 / (copy / n / 1e9);
    state.counters["vs_cp"] = copy / cp;
}

} // namespace

BENCHMARK(BM_XmlLoad255Blocks)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CondCheckFullRing)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyToUsb100MiB)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
