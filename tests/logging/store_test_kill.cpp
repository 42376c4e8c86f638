// The driver program writes fast to "meas:" and "usb_meas:" and is killed at random moments: every
// file left is empty or holds the header and the records handed over, in order, up to a record
// possibly cut short at its end; everything handed over more than 1.5 s before the kill is there.
#include "store_driver_records.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFiles = 3;
constexpr int kFrames = 1500;
constexpr int kPayload = 300;

struct RunResult {
    std::string failure; // empty when the run passed
    bool sawOldRecord = false;
};

// One run: start the driver, read its progress, kill it after `killMs`, check the files.
RunResult runOnce(int killMs) {
    RunResult result;
    testsupport::TempDir root;
    int out[2];
    if (pipe(out) != 0) return {"pipe failed"};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const std::string exe = testsupport::buildDir() + "/tests/logging/store_driver";
    const std::string env = "DEVICE_ROOT=" + root.path();
    std::vector<std::string> envs = {env};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("DEVICE_ROOT=", 0) != 0) envs.push_back(*e);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, std::to_string(kFiles), std::to_string(kFrames),
                                     std::to_string(kPayload), "700"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return {"spawn failed"};
    }

    // Progress as read, with the moment each frame was known to be handed over.
    std::map<std::pair<int, int>, Clock::time_point> fed;
    uint32_t headerLength = 0;
    std::atomic<bool> stop{false};
    std::mutex m;
    std::thread reader([&] {
        FILE* in = fdopen(out[0], "r");
        char line[128];
        while (in && std::fgets(line, sizeof line, in)) {
            int f, i;
            unsigned hl;
            std::lock_guard<std::mutex> lk(m);
            if (std::sscanf(line, "fed %d %d", &f, &i) == 2)
                fed[{f, i}] = Clock::now();
            else if (std::sscanf(line, "header %u", &hl) == 1)
                headerLength = hl;
        }
        if (in) std::fclose(in);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(killMs));
    const auto killedAt = Clock::now();
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    reader.join();

    std::vector<size_t> ends;
    const std::vector<uint8_t> records = storedriver::records(kFrames, kPayload, &ends);
    std::lock_guard<std::mutex> lk(m);
    for (int f = 0; f < kFiles; ++f) {
        char name[16];
        std::snprintf(name, sizeof name, "A01%02x000.001", f + 1);
        std::vector<uint8_t> files[2];
        int d = 0;
        for (const char* drive : {"meas/", "usb_meas/"}) {
            const std::string path = root.file(std::string(drive) + name);
            if (access(path.c_str(), F_OK) == 0) files[d] = testsupport::readBinary(path);
            std::vector<uint8_t>& file = files[d++];
            if (file.empty()) continue;
            if (headerLength == 0 || file.size() < headerLength) continue; // header only: checked below
            const size_t n = file.size() - headerLength;
            if (n > records.size() ||
                !std::equal(file.begin() + long(headerLength), file.end(), records.begin()))
                result.failure = std::string(drive) + name + ": bytes that were not handed over";
        }
        // Both drives carry the same header.
        const size_t common = std::min({files[0].size(), files[1].size(), size_t(headerLength)});
        if (!std::equal(files[0].begin(), files[0].begin() + long(common), files[1].begin()))
            result.failure = std::string(name) + ": headers differ";
        for (int i = 0; i < kFrames; ++i) {
            auto it = fed.find({f, i});
            if (it == fed.end() || killedAt - it->second < std::chrono::milliseconds(1500)) continue;
            result.sawOldRecord = true;
            for (int k = 0; k < 2; ++k)
                if (files[k].size() < headerLength + ends[size_t(i)])
                    result.failure = std::string(name) + (k ? " (USB)" : "") + ": frame " +
                                     std::to_string(i) + " handed over 1.5 s before the kill is missing";
        }
    }
    return result;
}

} // namespace

TEST(StoreKill, FilesEndWithCompleteRecordsAndKeepOlderOnes) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> killMs(30, 3000);
    constexpr int kRuns = 50, kParallel = 5;
    int old = 0;
    for (int batch = 0; batch < kRuns / kParallel; ++batch) {
        std::vector<RunResult> results(kParallel);
        std::vector<std::thread> runs;
        for (int r = 0; r < kParallel; ++r) {
            const int ms = killMs(rng);
            runs.emplace_back([&results, r, ms] { results[size_t(r)] = runOnce(ms); });
        }
        for (auto& t : runs) t.join();
        for (const auto& r : results) {
            EXPECT_EQ(r.failure, "");
            old += r.sawOldRecord ? 1 : 0;
        }
    }
    EXPECT_GT(old, 0); // some kills came late enough to check the 1.5 s promise
}
