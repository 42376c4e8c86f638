// The whole application walks the close path with one drive operation failed: start with the stick
// in, a lap, a fragment, the stick pulled and put back (its arrival cuts the file and copies it),
// a stop (0xE1), its end (0xEE), a destroy (0xE0), its end (0xED) and the shutdown. A run without a
// fault counts the operations of each drive; then a seeded sample of them fails, one per run, with
// each kind of fault. After every run:
// - every file on either drive is whole, or writable and named not finished in the log;
// - a stop or destroy answers 00 only when every file it closed is whole on its drives;
// - every answer comes within 12 s, and the process ends within 12 s of SIGTERM (exit 3 when a
//   file was left unfinished, 0 else);
// - the drive without the fault has every file whole;
// - no file name is used twice, and each file the logging made is on the logging drive or named.
// CI runs a few runs; MSD_FAULT_CAMPAIGN=all runs 64, MSD_FAULT_CAMPAIGN_FAULTS="meas:open:26:EIO|..."
// the runs of those faults (see the README).
#include "app_process.h"
#include "caldataset.h"
#include "campaign.h"
#include "measfile.h"
#include "pcservice.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace testsupport;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t COUNTERS = 2; // 10 ms block of the sample configuration
const std::vector<uint8_t> DONE = {0, 0, 0, 0, 0};
constexpr double kAnswerBound = 12.0;

struct Fault {
    std::string text; // MSD_DRIVE_FAULT, empty for none
    std::string drive;
};

struct Result {
    std::vector<std::string> broken;
    std::map<std::string, uint32_t> counts; // "<drive> <operation>" -> calls
    std::string log;
    bool allDone = false; // both answers 00, exit 0
};

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void prepare(const TempDir& root) {
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), "0", &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));
    std::filesystem::remove_all(root.file("nv"));
    std::filesystem::remove_all(root.file("meas"));
    makeDirs(root.file("meas"));
    makeDirs(root.file("usb_meas"));
    std::filesystem::copy_file(sourceDir() + "/sample-root/cfg/m01.xml", root.file("cfg/m01.xml"),
                               std::filesystem::copy_options::overwrite_existing);
    writeFile(root.file("usb_meas.drive"), "inserted 1\n");
}

// Runs the close path once, with `fault` given to the process; what broke the rules.
Result runScenario(const Fault& fault) {
    Result r;
    TempDir root;
    prepare(root);
    const std::string counts = root.file("fault-counts.txt");
    std::vector<std::string> env = {"MSD_DRIVE_FAULT_COUNTS=" + counts};
    if (!fault.text.empty()) env.push_back("MSD_DRIVE_FAULT=" + fault.text);
    AppProcess dev(root.path(), {"0"}, env);
    if (!dev.waitForShell(30000)) {
        r.broken.push_back("no shell: " + dev.stderrText());
        return r;
    }
    dev.shell("board ping answer");
    PcConnectionService pcs(root.path());
    if (!pcs.ok()) {
        r.broken.push_back("no remote-control queues");
        return r;
    }
    const std::string meas = root.file("meas"), stick = root.file("usb_meas");
    auto logged = [&](const std::string& what, size_t above, int ms) {
        return waitUntil([&] { return countOf(dev.logText(), what) > above; }, ms);
    };
    auto newFile = [&](int ms) {
        const size_t made = countOf(dev.logText(), "VirtualFile::VirtualFile() created");
        return logged("VirtualFile::VirtualFile() created", made, ms);
    };
    auto stickState = [&](int inserted) {
        writeFile(root.file("usb_meas.drive.new"), "inserted " + std::to_string(inserted) + "\n");
        std::filesystem::rename(root.file("usb_meas.drive.new"), root.file("usb_meas.drive"));
    };
    // The steps wait for their state at most a while: under a fault it may never come, and the run
    // goes on to the next step all the same.
    logged("a stick arrived", 0, 15000);
    waitUntil(
        [&] {
            const auto files = campaign::measurementFiles(meas);
            return !files.empty() &&
                   measfile::readFile(meas + "/" + files.back()).recordsOf(COUNTERS).size() >= 30;
        },
        10000);
    dev.shell("lof_laptrig");
    newFile(8000);
    dev.shell("lof_fratrig");
    newFile(8000);
    // The stick is pulled while it writes one file only: the one its return cuts and copies.
    waitUntil(
        [&] {
            const std::string log = dev.logText();
            const size_t made = log.rfind("VirtualFile::VirtualFile() created");
            const std::string newest = log.substr(made, log.find('\n', made) - made);
            const auto files = campaign::measurementFiles(stick);
            if (files.empty() || newest.find(files.back()) == std::string::npos ||
                files != campaign::measurementFiles(meas))
                return false;
            for (size_t i = 0; i + 1 < files.size(); ++i)
                if (!readOnly(stick + "/" + files[i])) return false;
            return true;
        },
        8000);
    stickState(0);
    logged("the stick is gone", 0, 8000);
    stickState(1);
    logged("a stick arrived", 1, 8000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // A stop, then a destroy: each answer within its bound, and 00 only with every file whole. While
    // the stop waits the PC stops answering pings: the watch gives logging back (a new file of the
    // next run, which the stop's answer does not wait for).
    int done = 0;
    bool unanswered = false;
    auto request = [&](uint8_t code, const char* what) {
        const std::string before = dev.logText();
        const auto sent = Clock::now();
        pcs.command(code);
        if (code == 0xE1) dev.shell("board ping silent");
        const std::vector<uint8_t> answer = pcs.reply(int(kAnswerBound * 1000) + 3000);
        dev.shell("board ping answer");
        const double took = since(sent);
        if (answer.empty()) {
            r.broken.push_back(std::string(what) + " got no answer in " +
                               std::to_string(int(kAnswerBound) + 3) + " s");
            unanswered = true;
            return;
        }
        if (took > kAnswerBound) {
            char text[96];
            std::snprintf(text, sizeof text, "%s answered after %.1f s", what, took);
            r.broken.push_back(text);
        }
        if (answer != DONE) return;
        ++done;
        // The files of the logging started again while it waited (by the watch) are not the
        // request's: they are still open.
        const std::string log = dev.logText();
        const size_t restart = log.find("New measurement started", before.size());
        std::set<std::string> later;
        for (size_t at = log.find("VirtualFile::VirtualFile() created", restart);
             restart != std::string::npos && at != std::string::npos;
             at = log.find("VirtualFile::VirtualFile() created", at + 1)) {
            const size_t end = log.find('\n', at);
            const std::string line = log.substr(at, end - at);
            later.insert(line.substr(line.rfind(' ') + 1));
        }
        for (const std::string* dir : {&meas, &stick})
            for (const std::string& name : campaign::measurementFiles(*dir)) {
                const campaign::FileState s = campaign::fileState(*dir, name);
                if (!s.whole && !later.count(name) && !campaign::namedUnfinished(before, name))
                    r.broken.push_back(std::string(what) + " answered 00 while " + *dir + "/" + name + " " +
                                       s.why);
            }
    };
    const size_t starts = countOf(dev.logText(), "New measurement started");
    request(0xE1, "the stop");
    if (!unanswered) {
        pcs.command(0xEE);
        logged("New measurement started", starts, 8000);
        request(0xE0, "the destroy");
    }
    if (!unanswered) {
        pcs.command(0xED);
        newFile(8000);
    }

    const auto term = Clock::now();
    dev.signal(SIGTERM);
    const int exitCode = dev.waitExit(30000);
    const double ended = since(term);
    r.log = dev.logText();
    if (ended > kAnswerBound)
        r.broken.push_back("the process ended " + std::to_string(ended) + " s after SIGTERM");
    // A request still waiting at the shutdown is answered before the process ends.
    if (unanswered && pcs.reply(100).empty())
        r.broken.push_back("the waiting request got no answer at the shutdown");
    r.allDone = done == 2 && exitCode == 0;
    for (const std::string& b : campaign::checkDrives(meas, stick, r.log)) r.broken.push_back(b);
    // Exit 0 only with every file whole; 3 when one was left unfinished.
    if (exitCode != 0 && exitCode != 3) r.broken.push_back("exit code " + std::to_string(exitCode));
    // The drive without the fault misses nothing. (The stick gets the file it was pulled from as a
    // copy from the logging drive: with a fault there, it is held to the rule above only.)
    for (const char* drive : {"meas:", "usb_meas:"}) {
        const bool faultFree =
            fault.drive != drive && !(fault.drive == "meas:" && std::string(drive) == "usb_meas:");
        const std::string& dir = std::string(drive) == "meas:" ? meas : stick;
        for (const std::string& name : campaign::measurementFiles(dir)) {
            const campaign::FileState s = campaign::fileState(dir, name);
            if (s.whole) continue;
            if (faultFree) r.broken.push_back(dir + "/" + name + " on the drive without the fault " + s.why);
            if (exitCode == 0) r.broken.push_back("exit 0 while " + dir + "/" + name + " " + s.why);
        }
    }
    // Each file name once.
    std::set<std::string> names;
    std::istringstream lines(r.log);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("VirtualFile::VirtualFile() created");
        if (at == std::string::npos) continue;
        const std::string name = line.substr(line.rfind(' ') + 1);
        if (!names.insert(name).second) r.broken.push_back("the name " + name + " is used twice");
        // A file the logging made is on the logging drive, or named not finished there.
        if (!std::filesystem::exists(meas + "/" + name) && !campaign::namedUnfinished(r.log, name))
            r.broken.push_back(name + " is not on the logging drive and no line names it not finished");
    }
    std::ifstream in(counts);
    std::string drive, op;
    uint32_t calls = 0;
    while (in >> drive >> op >> calls) r.counts[drive + " " + op] = calls;
    return r;
}

} // namespace

TEST(FaultCampaignE2E, EveryRuleHoldsWithAFailedDriveOperation) {
    const auto started = Clock::now();
    const Result base = runScenario({});
    for (const std::string& b : base.broken) ADD_FAILURE() << "without a fault: " << b;
    EXPECT_TRUE(base.allDone && base.broken.empty()) << base.log;
    // Closed files leave the file queue while logging runs: the lap's and the fragment's before the
    // stop.
    EXPECT_GE(countOf(base.log.substr(0, base.log.find("Trevanox connected")), "from gFileQueue"), 2u);
    ASSERT_FALSE(base.counts.empty());

    // The faults: each call of each operation of the run without a fault, with each kind.
    const char* kinds[] = {"ENOSPC", "ENOSPC:0", "EIO",     "ENOENT",   "EROFS",
                           "EACCES", "pull",     "hold500", "hold15000"};
    std::vector<Fault> faults;
    for (const auto& [key, calls] : base.counts) {
        const std::string drive = key.substr(0, key.find(' '));
        const std::string op = key.substr(key.find(' ') + 1);
        for (uint32_t nth = 1; nth <= calls; ++nth)
            for (const char* kind : kinds) {
                if (std::string(kind) == "pull" && drive != "usb_meas:") continue;
                std::string k = kind;
                const size_t colon = k.find(':');
                const std::string what = colon == std::string::npos ? k : k.substr(0, colon);
                const std::string times = colon == std::string::npos ? "" : ":" + k.substr(colon + 1);
                faults.push_back({drive.substr(0, drive.size() - 1) + ":" + op + ":" + std::to_string(nth) +
                                      ":" + what + times,
                                  drive});
            }
    }
    // A few runs side by side: each process has a device root of its own.
#if defined(__SANITIZE_THREAD__)
    const size_t runs = campaign::whole() ? 64 : 1;
#else
    const size_t runs = campaign::whole() ? 64 : 4;
#endif
    std::vector<size_t> picked;
    if (const char* again = std::getenv("MSD_FAULT_CAMPAIGN_FAULTS")) {
        // A run again by its fault, as the campaign printed it: "meas:open:26:EIO|...".
        std::istringstream in(again);
        for (std::string text; std::getline(in, text, '|');) {
            faults.push_back({text, text.substr(0, text.find(':') + 1)});
            picked.push_back(faults.size() - 1);
        }
    } else {
        std::mt19937 rng(20261208);
        std::uniform_int_distribution<size_t> pick(0, faults.size() - 1);
        for (size_t i = 0; i < runs; ++i) picked.push_back(pick(rng));
    }
    std::mutex m;
    std::vector<std::string> broken;
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < picked.size();) {
            const Fault& f = faults[picked[i]];
            const Result r = runScenario(f);
            std::lock_guard<std::mutex> lk(m);
            std::printf("fault %s: %s\n", f.text.c_str(),
                        r.broken.empty() ? "every rule holds" : "RULES BROKEN");
            for (const std::string& b : r.broken) broken.push_back(f.text + ": " + b);
            if (!r.broken.empty() && std::getenv("MSD_FAULT_CAMPAIGN_LOG"))
                std::printf("%s\n", r.log.c_str());
            std::fflush(stdout);
        }
    };
    std::vector<std::thread> workers;
    for (int w = 0; w < (campaign::whole() ? 3 : 2); ++w) workers.emplace_back(worker);
    for (std::thread& t : workers) t.join();
    for (const std::string& b : broken) ADD_FAILURE() << b;
    std::printf("fault campaign of the application: %zu runs of %zu faults, %.0f s\n", picked.size(),
                faults.size(), since(started));
}
