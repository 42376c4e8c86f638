// The real process against faults of its stores: torn NV copies, a full disk, SIGKILL at random.
#include "app_process.h"
#include "platform/kernel/nvdb.h"
#include "smalldisk.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <random>
#include <string>
#include <thread>

#include <unistd.h>

using testsupport::AppProcess;
using testsupport::countOf;
using testsupport::readFile;
using testsupport::TempDir;

namespace {

constexpr uint32_t kBootCounter = 257; // NV record of the boot counter, index = application index
constexpr uint32_t kErrorMemory = 258;

bool startedUp(const AppProcess& app) {
    return app.logText().find("main(): start-up done") != std::string::npos;
}

// The boot counter as stored in an NV folder; -1 when it reads as missing.
long storedBootCounter(const std::string& nvDir) {
    std::string err;
    if (!nvdb_open(nvDir, &err)) return -2;
    uint32_t v = 0;
    const int n = nvdb_read(kBootCounter, 0, &v, sizeof v);
    nvdb_close();
    return n == int(sizeof v) ? long(v) : -1;
}

// How often each "boot counter N" line of a start appears in the log.
std::map<long, int> bootNumbersLogged(const std::string& log) {
    std::map<long, int> seen;
    const std::string key = "boot_count_init(): boot counter ";
    for (size_t p = log.find(key); p != std::string::npos; p = log.find(key, p + 1)) {
        const size_t end = log.find('\n', p);
        const std::string rest = log.substr(p + key.size(), end - p - key.size());
        if (rest.find("not") == std::string::npos) ++seen[std::stol(rest)];
    }
    return seen;
}

} // namespace

// A lap-stack slot lost whole (both copies empty, as a power cut leaves the copies that were not
// written through) is named once and written anew by the next new outing: the next start names
// nothing.
TEST(Faults, TornNvCopiesAreRepairedAndLostRecordsNamedAtStartUp) {
    TempDir root;
    const std::string nv = root.file("nv/");
    const std::string slot = nv + "nv002_000000c8.";
    const auto slotWhole = [&] {
        return readFile(slot + "a").size() == 26 && readFile(slot + "b").size() == 26;
    };
    {
        AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        ASSERT_TRUE(testsupport::waitUntil([&] { return startedUp(app); }));
        app.shell("lof_outtrig");
        ASSERT_TRUE(testsupport::waitUntil(slotWhole)) << "the new outing's clear made the slot";
        app.shell("reset");
        ASSERT_EQ(app.waitExit(), 0);
    }
    ASSERT_EQ(truncate((nv + "nv257_00000000.a").c_str(), 22), 0);
    testsupport::writeFile(nv + "nv258_00000000.a", std::string(60, 'x'));
    testsupport::writeFile(nv + "nv258_00000000.b", "");
    for (const char* copy : {"a", "b"}) ASSERT_EQ(truncate((slot + copy).c_str(), 0), 0);

    std::string log;
    {
        AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return countOf(app.logText(), "main(): start-up done") == 2; }));
        EXPECT_NE(app.shell("errmem").find("0 entries"), std::string::npos);
        app.shell("lof_outtrig");
        ASSERT_TRUE(testsupport::waitUntil(slotWhole)) << "the slot is written anew";
        app.shell("reset");
        ASSERT_EQ(app.waitExit(), 0);
        log = app.logText();
    }
    EXPECT_EQ(
        countOf(log, "nvram: record 258 index 0 lost, both copies damaged: copy a not a copy, copy b torn"),
        1)
        << log;
    EXPECT_EQ(
        countOf(log, "nvram: record 257 index 0: copy a torn, copy b good; rewritten from the good copy"), 1)
        << log;
    EXPECT_EQ(countOf(log, "nvram: record 2 index 200 lost, both copies damaged: copy a torn, copy b torn"),
              1)
        << log;
    EXPECT_NE(log.find("boot_count_init(): boot counter 2"), std::string::npos);
    EXPECT_EQ(testsupport::readBinary(nv + "nv257_00000000.a"),
              testsupport::readBinary(nv + "nv257_00000000.b"));

    AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    ASSERT_TRUE(testsupport::waitUntil([&] { return countOf(app.logText(), "main(): start-up done") == 3; }));
    app.shell("reset");
    ASSERT_EQ(app.waitExit(), 0);
    const std::string again = app.logText().substr(log.size());
    EXPECT_EQ(countOf(again, "nvram: record 2 "), 0) << again;
    EXPECT_EQ(countOf(log + again, "sb_lapstack_check_read"), 0) << again;
}

TEST(Faults, ABootCounterThatCannotBeStoredStopsTheStartAndNoNumberComesTwice) {
    testsupport::SmallDisk disk(256 * 1024);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    TempDir root;
    testsupport::writeFile(root.file("appparam-0.conf"), "nv_dir = " + disk.file("nv") + "\n");

    disk.fill();
    {
        AppProcess app(root.path(), {"0"});
        EXPECT_EQ(app.waitExit(), 1) << "started with a boot counter it could not keep";
        EXPECT_NE(app.stderrText().find("boot counter cannot be stored"), std::string::npos)
            << app.stderrText();
        EXPECT_NE(app.logText().find("boot counter 1 cannot be stored, not starting"), std::string::npos)
            << app.logText();
    }
    disk.free();
    for (int start = 0; start < 2; ++start) {
        AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(app.waitForShell()) << app.stderrText();
        app.shell("reset");
        ASSERT_EQ(app.waitExit(), 0);
        // A counter already kept is rewritten in its place, which a full disk still allows.
        disk.fill();
    }
    disk.free();
    const std::map<long, int> seen = bootNumbersLogged(readFile(root.file("log/syslog-0.log")));
    EXPECT_EQ(seen, (std::map<long, int>{{1, 1}, {2, 1}}));
    EXPECT_EQ(storedBootCounter(disk.file("nv")), 2);
}

TEST(Faults, SigkillAtRandomMomentsNeverLosesOrRepeatsABootNumber) {
    TempDir root;
    const std::string nv = root.file("nv");
    // How long a start takes to store its boot counter sets the window the kills fall into.
    const auto t0 = std::chrono::steady_clock::now();
    {
        AppProcess app(root.path(), {"0"});
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return app.logText().find("boot counter 1") != std::string::npos; }, 15000));
        app.signal(SIGKILL);
        app.waitExit();
    }
    const auto window =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    const unsigned seed = unsigned(std::random_device{}());
    std::mt19937 random(seed);
    std::uniform_int_distribution<long> delay(0, 2 * window.count());
    long stored = storedBootCounter(nv);
    ASSERT_EQ(stored, 1);
    for (int start = 0; start < 50; ++start) {
        {
            AppProcess app(root.path(), {"0"});
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
            app.signal(SIGKILL);
            app.waitExit();
        }
        const long now = storedBootCounter(nv);
        ASSERT_TRUE(now == stored || now == stored + 1)
            << "start " << start << ": " << stored << " then " << now << " (seed " << seed << ")";
        stored = now;
    }
    AppProcess app(root.path(), {"0"});
    ASSERT_TRUE(app.waitForShell()) << app.stderrText();
    app.shell("reset");
    ASSERT_EQ(app.waitExit(), 0);
    const std::string log = app.logText();
    const std::map<long, int> seen = bootNumbersLogged(log);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.rbegin()->first, stored + 1) << "the last start follows the highest number stored";
    for (const auto& [number, times] : seen)
        EXPECT_EQ(times, 1) << "boot number " << number << " (seed " << seed << ")";
    // A record killed in its very first write has no good copy yet and is rightly reported lost
    // (the car id and annotation are first written at start-up); one stored before never is.
    for (const char* record : {"record 257 index 0 lost", "record 258 index 0 lost"})
        EXPECT_EQ(log.find(record), std::string::npos) << log;
}
