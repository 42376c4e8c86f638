// The lap, outing and fragment counters on the real executable: file names across starts, NV loss
// and files already on "meas:", the shell commands and the counters read by name; a logging slave
// that takes its counters from the lap-trigger master (a PC tool) and follows its lap events; and
// the lap stack after the process is killed in a burst of lap events.
#include "app_process.h"
#include "bytes.h"
#include "logging_root.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include "framework/nvram.h"
#include "logging/app/sb_lapstack.h"
#include "platform/kernel/nvdb.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

constexpr uint16_t TOOL_PID = 42;
constexpr const char* TOOL_ADDR = "127.0.0.42";
constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";
constexpr int kSlowNvMs = 30000; // clearing the lap stack writes 257 NV records, each synced twice

bool logShows(AppProcess& dev, const std::string& what, int times = 1, int timeoutMs = kSlowNvMs) {
    return waitUntil([&] { return countOf(dev.logText(), what) >= times; }, timeoutMs);
}

// Starts the device; returns once its start-up is done, so that every shell command is there.
std::unique_ptr<AppProcess> start(const TempDir& root) {
    const int before = countOf(readFile(root.file("log/syslog-1.log")), "main(): start-up done");
    auto dev = std::make_unique<AppProcess>(root.path(), std::vector<std::string>{DEV_INDEX});
    EXPECT_TRUE(dev->waitForShell()) << dev->stderrText();
    EXPECT_TRUE(logShows(*dev, "main(): start-up done", before + 1, 15000)) << dev->logText();
    return dev;
}

// Writes the dataset with DEVICE_CONFIG; the program identifier goes to `program`.
void configure(const TempDir& root, uint32_t deviceConfig, std::string* program) {
    ASSERT_TRUE(writeRootDataset(root, {.index = DEV_INDEX, .deviceConfig = deviceConfig}, program));
    std::filesystem::remove_all(root.file("nv1")); // the counters of the identity run
}

std::vector<uint8_t> lapEvent(uint32_t timestamp, uint32_t laptime, uint16_t lap, uint16_t outing) {
    std::vector<uint8_t> p;
    put32(p, 0xFFFFFFFF);
    put32(p, timestamp);
    put32(p, laptime);
    put16(p, lap);
    put16(p, outing);
    return p;
}

// The shell command's output contains `text`.
void expectShell(AppProcess& dev, const std::string& command, const std::string& text,
                 int timeoutMs = 10000) {
    const std::string out = dev.shell(command, timeoutMs);
    EXPECT_NE(out.find(text), std::string::npos) << command << ":\n" << out;
}

void link(PcTool& tool, AppProcess& dev) {
    uint16_t version = 0;
    std::string why;
    ASSERT_TRUE(linkToDevice(
        tool, DEV_PID, [&] { return dev.logText(); }, &version, &why))
        << why;
}

// Asks for named values (queue mode) and checks the layout answer.
void requestByName(PcTool& tool, AppProcess& dev, uint16_t raster, const std::vector<std::string>& names) {
    ASSERT_TRUE(tool.sendCi(0x0510, 0xAB01, 0x2A000007, nameRequest(raster, 1, 64, 1, names)));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 5000)) << dev.logText();
    ASSERT_EQ(get16(a.data() + 2), 16 + 20 * names.size()) << "every name resolved";
}

// The device's ask for the master's counters (`ask`), answered as the master (the tool) with lap 3 of
// outing 2.
void answerAsMaster(PcTool& tool, AppProcess& dev, std::vector<uint8_t>* ask) {
    ASSERT_TRUE(tool.receiveCi(0x1201, ask, 5000)) << dev.logText();
    ASSERT_GE(ask->size(), 24u);
    std::vector<uint8_t> counters;
    put32(counters, get32(ask->data() + 20));
    for (uint32_t v : {0u, 0u}) put32(counters, v);
    put16(counters, 3);
    put16(counters, 2);
    ASSERT_TRUE(tool.sendCi(0x1202, get32(ask->data() + 12), get32(ask->data() + 8), counters));
}

} // namespace

TEST(CountersE2E, FileNamesFollowNvAndMeasAndTheShellAgreesWithTheValuesByName) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    {
        auto app = start(root);
        AppProcess& dev = *app;
        EXPECT_TRUE(logShows(dev, "LapOutFra_initLapOutCnt(): Starting with file: A0101000.001"))
            << dev.logText();
        dev.signal(SIGTERM);
        ASSERT_EQ(dev.waitExit(), 0) << dev.stderrText();
    }
    // NV lost: the start goes on after the absolute lap of the file on "meas:", which stays as it was.
    std::filesystem::remove_all(root.file("nv1"));
    writeFile(root.file("meas-1/A0101000.001"), "measurement"); // application 1's "meas:"
    writeFile(root.file("meas-1.drive"), "dirsize 500\n");
    {
        auto app = start(root);
        AppProcess& dev = *app;
        EXPECT_TRUE(logShows(dev, "Starting with file: A0101000.101")) << dev.logText();
        dev.signal(SIGTERM);
        ASSERT_EQ(dev.waitExit(), 0) << dev.stderrText();
        EXPECT_EQ(readFile(root.file("meas-1/A0101000.001")), "measurement");
    }
    auto app = start(root);
    AppProcess& dev = *app;
    EXPECT_TRUE(logShows(dev, "Starting with file: A0101000.201")) << "one absolute lap more per start";
    expectShell(dev, "lof_get",
                "Valid: \t\t\t1\nLap counter: \t\t1\nOuting counter: \t1\nFragment counter: "
                "\t1\nTimestamp: \t\t0\nAbsolute lap counter: \t2 (0x2)\n");
    expectShell(dev, "lof_set 5", "usage: lof_set lapcnt outcnt\nvalue = 0");
    expectShell(dev, "lof_set 7 3", "Lap counter: \t\t7\nOuting counter: \t3\n", kSlowNvMs);
    expectShell(dev, "lof_laptrig", "Lap counter: \t\t8\n");
    expectShell(dev, "lof_outtrig", "Outing counter: \t4\n", kSlowNvMs);
    const std::string state = dev.shell("lof_fratrig");
    EXPECT_NE(state.find("Fragment counter: \t2\n"), std::string::npos) << state;
    EXPECT_NE(state.find("Absolute lap counter: \t5 (0x5)\n"), std::string::npos) << state;

    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    link(tool, dev);
    requestByName(tool, dev, 3,
                  {"lapctr", "outctr", "fractr", "abslap", "meas_fileCnt_part1", "meas_maxFileCnt_part1"});
    // 4-byte values first: the file counts are refreshed once a second.
    std::vector<uint8_t> r;
    for (int n = 0; n < 300; ++n) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        ASSERT_TRUE(tool.receiveDk(&dst, &handle, &r, 3000)) << dev.logText();
        ASSERT_EQ(r.size(), 4u + 8 + 8);
        if (get32(r.data() + 8) == 500) break;
    }
    EXPECT_EQ(get32(r.data() + 4), 1u) << "meas_fileCnt_part1";
    EXPECT_EQ(get32(r.data() + 8), 500u) << "meas_maxFileCnt_part1";
    EXPECT_EQ((std::vector<int>{get16(r.data() + 12), get16(r.data() + 14), get16(r.data() + 16),
                                get16(r.data() + 18)}),
              (std::vector<int>{8, 4, 2, 5}));
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(CountersE2E, ALoggingSlaveTakesTheMastersCountersAndFollowsItsLapEvents) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string program;
    configure(root, TOOL_PID << 8 | 1, &program); // logging active, the tool is the master
    auto app = start(root);
    AppProcess& dev = *app;
    expectShell(dev, "lof_get", "Valid: \t\t\t0\n");
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    link(tool, dev);

    // The device asks until the master answers with its counters.
    std::vector<uint8_t> ask;
    ASSERT_NO_FATAL_FAILURE(answerAsMaster(tool, dev, &ask));
    EXPECT_EQ(get16(ask.data() + 6), TOOL_PID);
    EXPECT_EQ(get32(ask.data() + 20), uint32_t(TOOL_PID));
    ASSERT_TRUE(logShows(dev, "Starting with file: A0203000.101")) << dev.logText();
    expectShell(dev, "lof_get", "Valid: \t\t\t1\nLap counter: \t\t3\nOuting counter: \t2\n");

    // A list at the lap raster: one record per lap event of the master, under its time stamp.
    requestByName(tool, dev, 11, {"lapctr", "outctr", "fractr", "abslap"});
    auto lapRecord = [&](uint32_t* ts) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        std::vector<uint8_t> r;
        EXPECT_TRUE(tool.receiveDk(&dst, &handle, &r, 5000)) << dev.logText();
        if (r.size() != 12u) return std::vector<int>{};
        *ts = get32(r.data());
        return std::vector<int>{get16(r.data() + 4), get16(r.data() + 6), get16(r.data() + 8),
                                get16(r.data() + 10)};
    };
    ASSERT_TRUE(tool.sendCi(0x1200, 0, 0, lapEvent(0x01020304, 8346, 5, 2)));
    EXPECT_TRUE(logShows(dev, "Received Laptrigger Event. Outing 2, Lap 5, Laptime 83,46, fuelcons  0.00"))
        << dev.logText();
    // (A new list's first tick only loads its divisor: the records start with the next lap.)
    ASSERT_TRUE(tool.sendCi(0x1200, 0, 0, lapEvent(0x01020305, 8000, 6, 2)));
    uint32_t ts = 0;
    EXPECT_EQ(lapRecord(&ts), (std::vector<int>{6, 2, 1, 3}));
    EXPECT_EQ(ts, 0x01020305u);

    ASSERT_TRUE(tool.sendCiAs(43, 0x1200, 0, 0, lapEvent(0x01020306, 9000, 7, 2)));
    EXPECT_TRUE(logShows(
        dev, "Ignoring received Laptrigger Event from non-LTM (43). Outing: 2, Lap: 7, Laptime 90,00"))
        << dev.logText();
    expectShell(dev, "lof_get", "Lap counter: \t\t6\nOuting counter: \t2\nFragment counter: \t1\n");
    ASSERT_TRUE(tool.sendCi(0x1200, 0, 0, lapEvent(0x01020307, 7000, 8, 2)));
    EXPECT_EQ(lapRecord(&ts), (std::vector<int>{8, 2, 1, 4})) << "no record for the ignored event";
    EXPECT_EQ(ts, 0x01020307u);

    ASSERT_TRUE(tool.sendCi(0x0F00, 0, 0, {0, 0, 0, 0}));
    std::vector<uint8_t> version;
    ASSERT_TRUE(tool.receiveCi(0x0F01, &version, 5000)) << dev.logText();
    ASSERT_EQ(version.size(), 20u + 32);
    std::vector<uint8_t> text(32, 0);
    std::memcpy(text.data(), program.data(), program.size());
    EXPECT_EQ(std::vector<uint8_t>(version.begin() + 20, version.end()), text);

    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

// A logging slave guards its names as a master does: its first file, named by the master's counters
// and its own absolute lap, takes the absolute lap after those its drives hold. A file already under
// the name the counters first give (read-only on meas:) and one of a further absolute lap on the
// stick stay as they are, and the slave logs from its start on both drives.
TEST(CountersE2E, ALoggingSlaveNamesItsFilesAfterTheAbsoluteLapsItsDrivesHold) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string program;
    configure(root, TOOL_PID << 8 | 1, &program); // logging active, the tool is the master
    // The sample's logging of the device's own values, for this device (PID 0x11).
    std::string config = readFile(testsupport::sourceDir() + "/sample-root/cfg/m01.xml");
    for (size_t at = config.find("adr=\"0x10"); at != std::string::npos; at = config.find("adr=\"0x10", at))
        config.replace(at + 7, 2, "11");
    writeFile(root.file("cfg/m01.xml"), config);
    const std::string onMeas = "an earlier run's file\n", onStick = "an earlier run's file on the stick\n";
    writeFile(root.file("meas-1/A0203000.101"), onMeas);
    writeFile(root.file("meas-1.drive"), "attr A0203000.101 0x21\n");
    writeFile(root.file("usb_meas-1/A0203000.501"), onStick);
    writeFile(root.file("usb_meas-1.drive"), "inserted 1\n");
    auto app = start(root);
    AppProcess& dev = *app;
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    link(tool, dev);
    std::vector<uint8_t> ask;
    ASSERT_NO_FATAL_FAILURE(answerAsMaster(tool, dev, &ask));
    // Absolute lap 1 is the start's; the stick holds 5: the slave goes on at 6.
    EXPECT_TRUE(logShows(dev, "LapOutFra_initLapOutCnt(): usb_meas: holds files of absolute lap 5, the lap "
                              "counters were at 1: the absolute lap goes on at 6"))
        << dev.logText();
    EXPECT_TRUE(logShows(dev, "Starting with file: A0203000.601")) << dev.logText();
    for (const char* drive : {"meas-1", "usb_meas-1"})
        EXPECT_TRUE(testsupport::waitUntil(
            [&] { return readFile(root.file(std::string(drive) + "/A0203000.601")).size() > 1000; }, 20000))
            << drive << "\n"
            << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.logText();
    EXPECT_EQ(readFile(root.file("meas-1/A0203000.101")), onMeas);
    EXPECT_EQ(readFile(root.file("usb_meas-1/A0203000.501")), onStick);
    EXPECT_EQ(countOf(dev.logText(), "a file of that name"), 0) << "no name was met on a drive\n"
                                                                << dev.logText();
}

TEST(CountersE2E, KilledInABurstOfLapEventsTheLapStackHoldsNoWrongEntry) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string program;
    configure(root, TOOL_PID << 8, &program); // the tool is the master, logging inactive
    auto app = start(root);
    AppProcess& dev = *app;
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    link(tool, dev);
    constexpr int kEvents = 60;
    for (int lap = 1; lap <= kEvents; ++lap)
        ASSERT_TRUE(
            tool.sendCi(0x1200, 0, 0, lapEvent(uint32_t(lap), uint32_t(6000 + lap), uint16_t(lap), 1)));
    // The log writes a few of them, then counts the rest.
    ASSERT_TRUE(logShows(dev, "Received Laptrigger Event. Outing 1", 5)) << dev.logText();
    dev.signal(SIGKILL);
    ASSERT_EQ(dev.waitExit(), 128 + SIGKILL);
    const int logged = int(countLogged(dev.logText(), "Received Laptrigger Event. Outing 1"));

    // Entry n belongs to event n + 1: the lap before it and that event's lap time.
    std::string error;
    ASSERT_TRUE(nvdb_open(root.file("nv1"), &error)) << error;
    std::vector<uint8_t> buf(2 + 6 * LAPSTACK_SLOTS + 2);
    const size_t n = sb_lapstack_get(buf.data(), buf.size());
    nvram_writeBehindEnd(5000); // the repairs the read queued, into this store
    nvdb_close();
    ASSERT_GE(n, 2u);
    // The kill takes what the NV store's task had not written yet: the stack may hold fewer laps than
    // were logged, each of them right.
    const int count = get16(buf.data());
    EXPECT_LE(count, kEvents);
    std::printf("killed after %d lap events were logged: %d entries in NV\n", logged, count);
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = buf.data() + 2 + 6 * i;
        EXPECT_EQ((std::vector<int>{e[0], e[1], e[2], e[3], get16(e + 4)}),
                  (std::vector<int>{i, 1, 0, i + 1, 0}))
            << "entry " << i;
    }
}
