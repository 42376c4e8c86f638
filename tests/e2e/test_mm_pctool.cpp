// A PC tool asks the running device for live values by name. The tool is written from the byte
// layouts of the network alone: it hears the device's presence record, opens the CI and DK links,
// sends a name request (0x0510) at the 10 ms raster, reads the record layout from the answer
// (0x0511) and then the records from the DK link, and stops the list (0x0512). The values are the
// ones the test put into the calibration dataset of the device root and the device's own
// application index.
#include "app_process.h"
#include "bytes.h"
#include "caldataset.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

using testsupport::AppProcess;
using testsupport::TempDir;
using namespace testsupport;
using namespace caldata;

namespace {

constexpr uint16_t TOOL_PID = 40;
constexpr const char* TOOL_ADDR = "127.0.0.40";
constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    return testsupport::waitUntil(pred, timeoutMs);
}

} // namespace

TEST(MeasManE2E, PcToolGetsNamedValuesEvery10msAndStopsThem) {
    testsupport::NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    CalDataset data;

    std::string program, expected, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), DEV_INDEX, &program, &expected, &log)) << log;
    ASSERT_EQ(std::to_string(data.length()), expected) << "data page laid out from the variable list";

    data.set("PCODE", 0, 0x4D21);
    data.set("CAN_BAUDRATES", 1, 500000);
    data.set("CAN_SAMPLEPOINT", 2, 87);
    writeDataset(root.path(), data.file(program));
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(
        waitFor([&] { return dev.logText().find("calibration dataset of") != std::string::npos; }, 5000))
        << dev.logText();

    // Presence, then the links.
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    uint16_t version = 0;
    std::string why;
    ASSERT_TRUE(linkToDevice(
        tool, DEV_PID, [&] { return dev.logText(); }, &version, &why))
        << why;
    EXPECT_GE(version, 0x0203);

    // By name at the 10 ms raster, queue mode; one of the names does not exist.
    constexpr uint32_t kFifo = 0x2A000007, kRequest = 0xAB01;
    ASSERT_TRUE(tool.sendCi(
        0x0510, kRequest, kFifo,
        nameRequest(3, 1, 64, 1,
                    {"PCODE", "RtpIndex", "NoSuchVariable", "CAN_BAUDRATES[1]", "CAN_SAMPLEPOINT[2]"})));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    const uint8_t* p = a.data() + 20;
    EXPECT_EQ(get16(a.data() + 4), DEV_PID);
    EXPECT_EQ(get32(a.data() + 8), kFifo);
    EXPECT_EQ(get32(a.data() + 12), kRequest);
    const uint32_t listHandle = get32(p);
    ASSERT_NE(listHandle, 0u);
    EXPECT_EQ(get16(p + 4), 64);
    EXPECT_EQ(get16(p + 8), 1);
    EXPECT_EQ(get16(p + 10), 3);
    ASSERT_EQ(get32(p + 12), 4u);
    ASSERT_EQ(get16(a.data() + 2), 16 + 4 * 20);
    // 4-byte values, then 2-byte, then 1-byte, each in request order.
    struct Want {
        const char* name;
        uint16_t offset, position;
    };
    const Want want[] = {
        {"RtpIndex", 4, 1}, {"CAN_BAUDRATES", 8, 3}, {"PCODE", 12, 0}, {"CAN_SAMPLEPOINT", 14, 4}};
    EXPECT_EQ(get16(p + 6), 16);
    for (int i = 0; i < 4; ++i) {
        const uint8_t* s = p + 16 + 20 * i;
        const CalVariable& v = data.var(want[i].name);
        EXPECT_EQ(get16(s), want[i].offset) << want[i].name;
        EXPECT_EQ(get16(s + 2), want[i].position) << want[i].name;
        EXPECT_EQ(s[6], v.code) << want[i].name;
        EXPECT_FLOAT_EQ(getFloat(s + 8), 1.0f / v.sens) << want[i].name;
        EXPECT_FLOAT_EQ(getFloat(s + 12), -v.offset / v.sens) << want[i].name;
    }

    // Records every 10 ms with the values set.
    std::vector<uint32_t> stamps;
    const auto start = std::chrono::steady_clock::now();
    while (stamps.size() < 100) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        std::vector<uint8_t> r;
        ASSERT_TRUE(tool.receiveDk(&dst, &handle, &r, 3000)) << dev.logText();
        ASSERT_EQ(dst, TOOL_PID);
        ASSERT_EQ(handle, kFifo);
        ASSERT_EQ(r.size(), 16u);
        ASSERT_EQ(get32(r.data() + 4), 1u); // RtpIndex: application index 1
        ASSERT_EQ(get32(r.data() + 8), 500000u);
        ASSERT_EQ(get16(r.data() + 12), 0x4D21);
        ASSERT_EQ(r[14], 87);
        stamps.push_back(get32(r.data()));
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    std::vector<uint32_t> steps;
    for (size_t i = 1; i < stamps.size(); ++i) {
        steps.push_back(stamps[i] - stamps[i - 1]);
        EXPECT_GT(steps.back(), 0u);
        EXPECT_LT(steps.back(), 1000u);
    }
    std::vector<uint32_t> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NEAR(sorted[sorted.size() / 2], 100, 1); // 100 us units
    // On average one record per 10 ms; an online record the host sent late may be replaced by a newer.
    EXPECT_NEAR(double(stamps.back() - stamps.front()) / double(steps.size()), 100.0, 6.0);

    // The stop ends the stream and gives the tool's FIFO handle back.
    ASSERT_TRUE(tool.sendCi(0x0512, 0xAB02, listHandle, {}));
    ASSERT_TRUE(tool.receiveCi(0x0513, &a, 3000));
    EXPECT_EQ(get32(a.data() + 8), kFifo);
    EXPECT_EQ(get32(a.data() + 12), 0xAB02u);
    EXPECT_EQ(get32(a.data() + 20), 1u);
    {
        uint16_t dst;
        uint32_t handle;
        std::vector<uint8_t> r;
        const auto stopAt = std::chrono::steady_clock::now();
        while (tool.receiveDk(&dst, &handle, &r, 300)) {
            ASSERT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(1000))
                << "stream goes on";
        }
    }

    // A name that does not exist: the refusal, all 12 bytes 0.
    ASSERT_TRUE(tool.sendCi(0x0510, 0xAB03, kFifo + 1, nameRequest(3, 1, 64, 1, {"NoSuchVariable"})));
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000));
    EXPECT_EQ(get32(a.data() + 8), kFifo + 1);
    EXPECT_EQ(get32(a.data() + 12), 0xAB03u);
    ASSERT_EQ(get16(a.data() + 2), 12);
    EXPECT_TRUE(std::all_of(a.begin() + 20, a.end(), [](uint8_t b) { return b == 0; }));

    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

// Stalls of the host's scheduling: a thread of this test that sleeps to absolute 1 ms deadlines and
// wakes more than a millisecond late, or a task of the device that waited more than 2 ms for a
// processor within 5 ms (its run-queue delay in /proc/<pid>/task/<tid>/schedstat).
class StallProbe {
public:
    explicit StallProbe(pid_t device) : device_(device), thread_([this] { run(); }) {}
    ~StallProbe() {
        stop_ = true;
        thread_.join();
    }
    int stalls() const { return stalls_; }

private:
    void run() {
        timespec due;
        clock_gettime(CLOCK_MONOTONIC, &due);
        for (int ms = 0; !stop_; ++ms) {
            due.tv_nsec += 1000000;
            if (due.tv_nsec >= 1000000000) {
                due.tv_nsec -= 1000000000;
                ++due.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - due.tv_sec) * 1000000000 + (now.tv_nsec - due.tv_nsec) > 1000000) {
                ++stalls_;
                due = now;
            }
            if (ms % 5 == 0) lookAtDevice();
        }
    }
    void lookAtDevice() {
        const std::string dir = "/proc/" + std::to_string(device_) + "/task";
        DIR* d = opendir(dir.c_str());
        if (!d) return;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(dir + "/" + e->d_name + "/schedstat");
            uint64_t run = 0, waited = 0;
            if (!(f >> run >> waited)) continue;
            uint64_t& before = waitedNs_[e->d_name];
            if (before != 0 && waited - before > 2000000) ++stalls_;
            before = waited;
        }
        closedir(d);
    }
    const pid_t device_;
    std::map<std::string, uint64_t> waitedNs_;
    std::atomic<bool> stop_{false};
    std::atomic<int> stalls_{0};
    std::thread thread_;
};

// The copy of a raster's records and the send raster that takes them run in one order every tick,
// so a latest-value list, which keeps only the newest record, loses none: two lists of the same
// values at the 10 ms raster, one online (sent over UDP) and one queued (over the TCP data link),
// each deliver every record for 10 s, their time stamps stepping by 100 (10 ms) without a gap.
TEST(MeasManE2E, OnlineAndQueuedListsAt10msLoseNoRecord) {
    testsupport::NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    uint16_t version = 0;
    std::string why;
    ASSERT_TRUE(linkToDevice(
        tool, DEV_PID, [&] { return dev.logText(); }, &version, &why))
        << why;

    constexpr uint32_t kOnline = 0x2A000011, kQueued = 0x2A000012;
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.sendCi(0x0510, 1, kOnline, nameRequest(3, 1, 4, 0, {"RtpIndex", "CAN_BAUDRATES[1]"})));
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    ASSERT_NE(get32(a.data() + 20), 0u);
    ASSERT_TRUE(tool.sendCi(0x0510, 2, kQueued, nameRequest(3, 1, 256, 1, {"RtpIndex", "CAN_BAUDRATES[1]"})));
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    ASSERT_NE(get32(a.data() + 20), 0u);

    // Both streams are read side by side; each record names its list's FIFO.
    StallProbe probe(dev.pid());
    std::map<uint32_t, std::vector<uint32_t>> stamps{{kOnline, {}},
                                                     {kQueued, {}}}; // filled by one reader each
    std::jthread udp([&] {
        uint16_t dst;
        uint32_t handle;
        std::vector<uint8_t> r;
        while (stamps[kOnline].size() < 1000 && tool.receiveDkUdp(&dst, &handle, &r, 3000))
            if (handle == kOnline && r.size() >= 4) stamps[kOnline].push_back(get32(r.data()));
    });
    {
        uint16_t dst;
        uint32_t handle;
        std::vector<uint8_t> r;
        while (stamps[kQueued].size() < 1000 && tool.receiveDk(&dst, &handle, &r, 3000))
            if (handle == kQueued && r.size() >= 4) stamps[kQueued].push_back(get32(r.data()));
    }
    udp.join();
    // Every record is on the 10 ms grid. The queued list loses none. The online list loses none
    // while the host keeps time; a host that stalls threads for whole periods may cost it a few.
    const int stalls = probe.stalls();
    for (uint32_t fifo : {kOnline, kQueued}) {
        const std::vector<uint32_t>& s = stamps[fifo];
        const char* what = fifo == kOnline ? "online" : "queued";
        ASSERT_EQ(s.size(), 1000u) << what;
        int offGrid = 0, lost = 0;
        for (size_t i = 1; i < s.size(); ++i) {
            const uint32_t step = s[i] - s[i - 1];
            if (step == 0 || step % 100 != 0 || step > 100000)
                ++offGrid;
            else
                lost += int(step / 100) - 1;
        }
        EXPECT_EQ(offGrid, 0) << what;
        // A record lost to a stall of the device's send raster goes with stalls of the device's tasks
        // or this test's threads; the loss of copies and sends out of order (one in five, and more)
        // does not. With a sanitizer beside two busy processes per core a tenth may go.
        const int allowed = fifo == kQueued ? 0 : std::min(150, 3 * stalls);
        EXPECT_LE(lost, allowed) << what << " (the host stalled the device or the test " << stalls
                                 << " times)";
    }
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
