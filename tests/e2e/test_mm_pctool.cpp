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
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
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
