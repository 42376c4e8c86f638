// DK records reach a FIFO only from the peer that feeds it. A PC tool runs a list on the device; a
// stranger, a second tool at another address with links of its own, sends well-formed DK frames
// naming the handles the device hands out, as datagrams and over its own data link. None of them
// reaches the tool, the list's records keep coming, and the device counts and logs the drops. A
// stranger that only opens and closes connections to the CI and DK ports, 2000 in 20 s, is logged
// under the flood rule, and the list keeps every record meanwhile.
#include "app_process.h"
#include "bytes.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

constexpr uint16_t DEV_PID = 17; // application index 1
constexpr uint32_t kFifo = 0x2A000007;

bool linkedTo(AppProcess& dev, const char* pidHex) {
    return waitUntil(
        [&] {
            const std::string log = dev.logText();
            return log.find(std::string("CI channel to PID ") + pidHex + " established") !=
                       std::string::npos &&
                   log.find(std::string("DK channel to PID ") + pidHex + " established") != std::string::npos;
        },
        5000);
}

// The next record of the list: its time stamp, after checking that it is the device's (RtpIndex 1).
bool nextRecord(PcTool& tool, uint32_t* stamp) {
    uint16_t dst = 0;
    uint32_t handle = 0;
    std::vector<uint8_t> r;
    if (!tool.receiveDk(&dst, &handle, &r, 3000)) return false;
    EXPECT_EQ(dst, tool.pid());
    EXPECT_EQ(handle, kFifo);
    EXPECT_EQ(r.size(), 8u);
    if (r.size() != 8) return false;
    EXPECT_EQ(get32(r.data() + 4), 1u) << "a record that is not the device's";
    *stamp = get32(r.data());
    return true;
}

} // namespace

TEST(DkStrangerE2E, RecordsFromAnyoneButTheFeedingPeerNeverReachAList) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    AppProcess dev(root.path(), {"1"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();

    PcTool tool(40, "127.0.0.40", DEV_PID), stranger(50, "127.0.0.50", DEV_PID);
    std::string devAddr;
    uint16_t version = 0, offset = 0;
    ASSERT_TRUE(tool.hear(DEV_PID, &devAddr, &version, &offset, 3000));
    tool.announce();
    stranger.announce();
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string log = dev.logText();
            return log.find("add remote_pid 28") != std::string::npos &&
                   log.find("add remote_pid 32") != std::string::npos;
        },
        3000));
    ASSERT_TRUE(tool.link(devAddr, offset));
    ASSERT_TRUE(stranger.link(devAddr, offset));
    ASSERT_TRUE(linkedTo(dev, "0x28")) << dev.logText();
    ASSERT_TRUE(linkedTo(dev, "0x32")) << dev.logText();

    // RtpIndex at the 10 ms raster, queue mode.
    ASSERT_TRUE(tool.sendCi(0x0510, 0xAB01, kFifo, nameRequest(3, 1, 64, 1, {"RtpIndex"})));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    const uint32_t listHandle = get32(a.data() + 20);
    ASSERT_NE(listHandle, 0u);
    uint32_t stamp = 0, last = 0;
    ASSERT_TRUE(nextRecord(tool, &last));

    // Frames for every handle the device can have handed out in this boot (the boot byte tops
    // them all), records that are plainly not the device's.
    std::vector<uint8_t> frames;
    for (uint32_t counter = 1; counter <= 64; ++counter) {
        put16(frames, DEV_PID);
        put16(frames, 8);
        put32(frames, (listHandle & 0xFF000000u) | counter);
        put32(frames, 0xEEEEEEEE);
        put32(frames, 0xEEEEEEEE);
    }
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(stranger.sendDkUdp(devAddr, offset, frames));
        ASSERT_TRUE(stranger.sendDk(frames));
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(nextRecord(tool, &stamp)) << dev.logText();
            EXPECT_LT(stamp - last, 1000u);
            last = stamp;
        }
    }
    // The list goes on after the last of them.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(nextRecord(tool, &stamp)) << dev.logText();
        EXPECT_LT(stamp - last, 1000u);
        last = stamp;
    }
    if (HasFailure()) return;

    // At least the list's own FIFO is among the handles: each round at least twice.
    const std::string drops = dev.shell("dk_drops");
    const size_t at = drops.find("value = ");
    ASSERT_NE(at, std::string::npos) << drops;
    EXPECT_GE(std::atoi(drops.c_str() + at + 8), 2 * kRounds) << drops;
    const std::string log = dev.logText();
    EXPECT_NE(log.find("from 127.0.0.50:9853 dropped, its FIFO is fed by PID 0x11"), std::string::npos)
        << log;
    EXPECT_NE(log.find("from the DK link of PID 0x32 dropped, its FIFO is fed by PID 0x11"),
              std::string::npos)
        << log;

    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(DkStrangerE2E, ConnectionsOpenedAndClosedByAStrangerAreLoggedUnderTheFloodRule) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    AppProcess dev(root.path(), {"1"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    PcTool tool(40, "127.0.0.40", DEV_PID);
    std::string devAddr;
    uint16_t version = 0, offset = 0;
    ASSERT_TRUE(tool.hear(DEV_PID, &devAddr, &version, &offset, 3000));
    tool.announce();
    ASSERT_TRUE(
        waitUntil([&] { return dev.logText().find("add remote_pid 28") != std::string::npos; }, 3000));
    ASSERT_TRUE(tool.link(devAddr, offset));
    ASSERT_TRUE(linkedTo(dev, "0x28")) << dev.logText();
    ASSERT_TRUE(tool.sendCi(0x0510, 0xAB01, kFifo, nameRequest(3, 1, 256, 1, {"RtpIndex"})));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    uint32_t stamp = 0, last = 0;
    ASSERT_TRUE(nextRecord(tool, &last));

    const std::string logFile = root.file("log/syslog-1.log");
    const auto before = std::filesystem::file_size(logFile);
    // 2000 connections in about 20 s, from an address that is no peer, to the CI and the DK port in
    // turn (one the busy host refuses is tried again).
    std::atomic<bool> done{false};
    std::atomic<int> connected{0};
    std::jthread stranger([&] {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; connected.load() < 2000 && i < 2500; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in from{}, to{};
            from.sin_family = to.sin_family = AF_INET;
            inet_pton(AF_INET, "127.0.0.60", &from.sin_addr);
            inet_pton(AF_INET, devAddr.c_str(), &to.sin_addr);
            to.sin_port = htons(uint16_t((i % 2 ? 9861 : 9860) + offset));
            if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                ++connected;
            if (fd >= 0) close(fd);
            std::this_thread::sleep_until(t0 + std::chrono::milliseconds(10 * (i + 1)));
        }
        done = true;
    });
    int records = 0, lost = 0;
    while (!done) {
        if (!nextRecord(tool, &stamp)) break;
        ++records;
        if (stamp - last != 100) lost += int((stamp - last) / 100) - 1;
        last = stamp;
    }
    stranger.join();
    const auto after = std::filesystem::file_size(logFile);
    EXPECT_EQ(connected.load(), 2000);
    EXPECT_LT(after - before, 64u * 1024u) << "the log grew by " << (after - before) << " bytes";
    EXPECT_GT(records, 1000);
    EXPECT_EQ(lost, 0) << "of " << records << " records";
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
