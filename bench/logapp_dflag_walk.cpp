// The PC's delete walk: MeasAppStore_driveCheckDirectoryFlags with the D flag set on "meas:", over
// 10,000 downloaded files (each with its attribute line in meas.drive), against deleting the same
// files in the same folder with unlink(2) in a loop ("unlink") and with `rm -f` ("rm", the program,
// its start included). Each block makes the files anew and writes the folder through (not timed),
// then times one walk and each baseline on it in wall time (the walk's write-throughs are part of
// what it costs), in an order that rotates from block to block. Counters: ratio_to_<name> the
// median of the blocks' ratios walk / baseline, walk_ms and <name>_ms the median times,
// walk_cpu_ms and unlink_cpu_ms their thread CPU time (system time included). The medium is the
// folder under $TMPDIR (default /tmp).
#include "bench_seconds.h"
#include "bench_root.h"
#include "framework/syslog.h"
#include "logging/app/meas_app_store.h"
#include "platform/drives/devroot.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kFiles = 10000;

struct Root {
    Root() {
        path = msdbench::tempFolder("dflag_bench");
        devroot_set(path);
        std::string error;
        if (!devroot_prepare(&error)) std::abort();
        for (int i = 0; i < kFiles; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "A%07d.001", i);
            names.push_back(path + "/meas/" + name);
            state += std::string("attr ") + name + (i % 2 ? " 0x01\n" : " 0x00\n");
        }
    }
    ~Root() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    // The downloaded files and the D flag, written through.
    void make() const {
        for (const std::string& n : names) std::ofstream(n) << "data";
        std::ofstream(path + "/meas.drive") << "dirattr 1\n" << state;
        ::sync();
    }
    bool empty() const { return std::filesystem::is_empty(path + "/meas"); }
    std::string path;
    std::vector<std::string> names;
    std::string state;
};

double wallSeconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void rmF(const Root& root) {
    std::vector<char*> argv{const_cast<char*>("rm"), const_cast<char*>("-f"), const_cast<char*>("--")};
    for (const std::string& n : root.names) argv.push_back(const_cast<char*>(n.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "rm", nullptr, nullptr, argv.data(), environ) != 0) std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
}

void BM_DeleteWalk(benchmark::State& state) {
    syslog_init(0); // the walk's lines to the log queue, not to the terminal
    Root root;
    struct Side {
        const char* name;
        std::function<void()> run;
        std::vector<double> seconds;
    };
    double walkCpu = 0, unlinkCpu = 0;
    std::vector<double> walkCpus, unlinkCpus;
    std::vector<Side> sides = {
        {"walk",
         [&] {
             const double c0 = msdbench::ThreadSeconds();
             if (MeasAppStore_driveCheckDirectoryFlags("meas:") != 1) std::abort();
             walkCpu = msdbench::ThreadSeconds() - c0;
         },
         {}},
        {"unlink",
         [&] {
             const double c0 = msdbench::ThreadSeconds();
             for (const std::string& n : root.names) ::unlink(n.c_str());
             unlinkCpu = msdbench::ThreadSeconds() - c0;
         },
         {}},
        {"rm", [&] { rmF(root); }, {}},
    };
    std::vector<std::vector<double>> ratios(sides.size() - 1);
    size_t block = 0;
    for (auto _ : state) {
        std::vector<double> t(sides.size());
        for (size_t k = 0; k < sides.size(); ++k) {
            const size_t which = (block + k) % sides.size();
            state.PauseTiming();
            root.make();
            state.ResumeTiming();
            t[which] = wallSeconds(sides[which].run);
            if (!root.empty()) state.SkipWithError("the files were not all deleted");
            if (which == 0) walkCpus.push_back(walkCpu);
            if (which == 1) unlinkCpus.push_back(unlinkCpu);
        }
        ++block;
        for (size_t k = 0; k < sides.size(); ++k) sides[k].seconds.push_back(t[k]);
        for (size_t b = 1; b < sides.size(); ++b) ratios[b - 1].push_back(t[0] / t[b]);
    }
    for (size_t k = 0; k < sides.size(); ++k)
        state.counters[std::string(sides[k].name) + "_ms"] = msdbench::Median(sides[k].seconds) * 1e3;
    for (size_t b = 1; b < sides.size(); ++b)
        state.counters[std::string("ratio_to_") + sides[b].name] = msdbench::Median(ratios[b - 1]);
    state.counters["walk_cpu_ms"] = msdbench::Median(walkCpus) * 1e3;
    state.counters["unlink_cpu_ms"] = msdbench::Median(unlinkCpus) * 1e3;
    state.counters["files"] = kFiles;
}
BENCHMARK(BM_DeleteWalk)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
