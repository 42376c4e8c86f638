// Calculation channels end to end: vcconfig writes three channels into the device root's
// calibration dataset from their text form, the device runs them at the 10 ms raster, and a PC tool
// asks for their calculation-channel addresses (0x0500) at the 100 ms raster: an evaluation
// counter, a formula that doubles a calibration value, and a condition that turns 1 after its
// 500th evaluation (5 s after set-up, late enough for the tool to see it turn).
#include "app_process.h"
#include "bytes.h"
#include "caldataset.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

constexpr uint16_t TOOL_PID = 41;
constexpr const char* TOOL_ADDR = "127.0.0.41";
constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";

constexpr const char* kChannels = R"(# evaluation counter, twice a calibration value, the condition
channel 1 formula raster 3 program 03 01000000 03 00000000 A6 00000000 FF
channel 2 formula in1 CfgMat_HWTRangeMonUpper[3] program 10 00000000 01 02000000 42 00000000 FF
channel 3 condition program 03 01000000 03 00000000 A6 00000000  01 F4010000 72 00000000  FF  # count > 500
)";

constexpr uint32_t calcAddress(uint32_t channel) {
    return 31u << 18 | channel << 8;
}

double getDouble(const uint8_t* p) {
    const uint64_t bits = uint64_t(get32(p)) << 32 | get32(p + 4);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

} // namespace

TEST(CalcE2E, PcToolReadsFormulaAndConditionChannelsOfTheDataset) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string program, pageLength, log;
    ASSERT_TRUE(learnDatasetIdentity(root.path(), DEV_INDEX, &program, &pageLength, &log)) << log;
    caldata::CalDataset data;
    data.set("CfgMat_HWTRangeMonUpper", 3, 12.375);
    ASSERT_TRUE(caldata::writeDataset(root.path(), data.file(program)));

    // A faulty line writes nothing.
    std::string out;
    EXPECT_EQ(runVcconfig(root.path(), "channel 1 formula program 01 02\nchannel 300 formula\n", &out), 1);
    EXPECT_NE(out.find("line 1: a formula channel needs a program of 5 bytes or more"), std::string::npos)
        << out;
    const std::vector<uint8_t> before = readBinary(caldata::datasetPath(root.path()));
    EXPECT_EQ(before, data.file(program));
    ASSERT_EQ(runVcconfig(root.path(), kChannels, &out), 0) << out;
    EXPECT_NE(out.find("3 channel entries written"), std::string::npos) << out;

    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(waitUntil(
        [&] { return dev.logText().find("3 calculation channels set up, 0 skipped") != std::string::npos; },
        5000))
        << dev.logText();
    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    uint16_t version = 0;
    std::string why;
    ASSERT_TRUE(linkToDevice(
        tool, DEV_PID, [&] { return dev.logText(); }, &version, &why))
        << why;

    // By address at 100 ms, queue mode: the doubled value as a double, counter and condition as
    // singles.
    const std::vector<uint32_t> words = {0xFFFFFFF8,     calcAddress(2), 0, 0xFFFFFFFC,
                                         calcAddress(1), calcAddress(3), 0, 0};
    std::vector<uint8_t> request;
    for (uint16_t v : {6, 1, 20, int(words.size() * 4), 64, 1}) put16(request, v);
    for (uint32_t w : words) put32(request, w);
    constexpr uint32_t kRequest = 0xCA1C, kHandle = 0x2A000011, kFifo = 0x00F1F000;
    ASSERT_TRUE(tool.sendCi(0x0500, kRequest, 0, request));
    // The device asks the tool for the receiving FIFO (0x0300); the tool names it (0x0107).
    std::vector<uint8_t> open;
    ASSERT_TRUE(tool.receiveCi(0x0300, &open, 3000)) << dev.logText();
    EXPECT_EQ(get16(open.data() + 20 + 6), 20) << "record size";
    std::vector<uint8_t> reply;
    put32(reply, get32(open.data() + 20 + 8));
    put32(reply, kHandle);
    put32(reply, kFifo);
    put16(reply, TOOL_PID);
    put16(reply, 0);
    ASSERT_TRUE(tool.sendCi(0x0107, get32(open.data() + 8), get32(open.data() + 12), reply));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0501, &a, 3000)) << dev.logText();
    EXPECT_EQ(get32(a.data() + 12), kRequest);
    ASSERT_EQ(get16(a.data() + 2), 4 + 2 * 3);
    EXPECT_EQ(get32(a.data() + 20), kFifo);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get16(a.data() + 24 + 2 * i), 0) << "latency of value " << i;

    float lastCount = -1;
    int unturned = 0, after = 0; // records before and after the condition turned
    for (int n = 0; n < 120 && after < 5; ++n) {
        uint16_t dst = 0;
        uint32_t handle = 0;
        std::vector<uint8_t> r;
        ASSERT_TRUE(tool.receiveDk(&dst, &handle, &r, 3000)) << dev.logText();
        ASSERT_EQ(handle, kHandle);
        ASSERT_EQ(r.size(), 20u);
        EXPECT_EQ(getDouble(r.data() + 4), 24.75) << "twice 12.375, exactly";
        const float count = getFloat(r.data() + 12);
        const float condition = getFloat(r.data() + 16);
        // The condition counts its evaluations beside the counter: 0 up to the 500th (5 s after
        // set-up), 1 from then on.
        EXPECT_EQ(condition, count > 500 ? 1.0f : 0.0f) << "at evaluation " << count;
        ++(condition == 0.0f ? unturned : after);
        if (lastCount >= 0) {
            EXPECT_EQ(count - lastCount, 10.0f) << "10 evaluations of 10 ms per record";
        }
        lastCount = count;
    }
    EXPECT_GT(unturned, 0) << "the tool linked up after the condition turned";
    EXPECT_EQ(after, 5) << "the condition never turned";

    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    EXPECT_NE(dev.logText().find("postrun: stopping calculation channels"), std::string::npos);
}
