// The lap function in beacon mode on the real executable: the shell sets digital input 0 high, twice
// (the second time while the host holds the process); a peer on the vehicle network hears each lap
// message, the device takes it as every device does, each lap is stamped no earlier than its beacon
// came, and the first lap (since the start) never becomes the best lap.
#include "app_process.h"
#include "lap_peer.h"
#include "netns.h"
#include "testsupport.h"

#include "calc/awm_model_cfg.h"
#include "platform/kernel/nvdb.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

using namespace testsupport;
using lape2e::HeardLap;

namespace {

constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";
constexpr const char* DEV_ADDR = "127.0.0.2";

// The device's time stamps (100 us, wrapping): the host's monotonic clock, which every application
// process on the machine shares.
uint32_t deviceStamp() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint32_t((uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec)) / 100000ull);
}

bool logShows(AppProcess& dev, const std::string& what) {
    return waitUntil([&] { return dev.logText().find(what) != std::string::npos; }, 15000);
}

} // namespace

TEST(LapE2E, BeaconPulsesOnDigitalInputZeroAreLapsOfEveryDevice) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string why;
    ASSERT_TRUE(lape2e::configureMaster(
        root.path(), DEV_INDEX, DEV_PID,
        "channel 10 lapfunc mode beacon main_trig_time_min 20 main_retrig_lock 1\n", &why))
        << why;
    lape2e::LapPeer peer(DEV_ADDR);
    ASSERT_TRUE(peer.ok());
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(logShows(dev, "main(): start-up done")) << dev.logText();
    ASSERT_TRUE(logShows(dev, "awm_0x08_lapfunc_ini(): lap function at channel 10, beacon trigger"))
        << dev.logText();

    // The device stamps a lap with its pass's time on its clock, the host's monotonic clock (in
    // 100 us): a beacon is never stamped before it came, however late the host runs the passes.
    const auto beaconEnds = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the beacon's length
        dev.shell("board din 0 0");
    };
    const uint32_t sent1 = deviceStamp();
    dev.shell("board din 0 1");
    beaconEnds();
    HeardLap first{};
    ASSERT_TRUE(peer.nextEvent(&first, 30000)) << dev.logText();
    EXPECT_EQ(first.src, DEV_PID);
    EXPECT_EQ((std::vector<int>{first.lap, first.outing}), (std::vector<int>{2, 2}))
        << "a new outing at start";
    EXPECT_GE(int32_t(first.timestamp - sent1), 0) << "stamped before the beacon came";
    EXPECT_TRUE(logShows(dev, "Received Laptrigger Event. Outing 2, Lap 2, Laptime")) << dev.logText();
    EXPECT_TRUE(waitUntil([&] {
        return dev.shell("lof_get").find("Lap counter: \t\t2\nOuting counter: \t2\n") != std::string::npos;
    })) << dev.logText();

    // The second lap is longer than the first by more than a second, so that only a first lap
    // counted as valid could have become the best one. Its beacon comes while the host holds the
    // process (1.5 s): the passes of the held second run late, after the pin has risen, and must
    // not take the beacon before their time.
    ASSERT_TRUE(waitUntil(
        [&] { return int32_t(deviceStamp() - first.timestamp) > int32_t(first.laptime) * 100 + 10000; },
        30000));
    kill(dev.pid(), SIGSTOP);
    std::jthread held([&] { dev.shell("board din 0 1"); }); // answered once the process goes on
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const uint32_t sent2 = deviceStamp();
    kill(dev.pid(), SIGCONT);
    held.join();
    beaconEnds();
    HeardLap second{};
    ASSERT_TRUE(peer.nextEvent(&second, 30000)) << dev.logText();
    EXPECT_EQ((std::vector<int>{second.lap, second.outing}), (std::vector<int>{3, 2}));
    EXPECT_GE(int32_t(second.timestamp - sent2), 0)
        << "stamped " << int32_t(sent2 - second.timestamp) / 10 << " ms before the beacon came";
    // The lap time is the time between the lap's stamps (hundredths, rounded down or to nearest).
    EXPECT_NEAR(double(second.laptime), (second.timestamp - first.timestamp) / 100.0, 1.0);
    EXPECT_GT(second.laptime, first.laptime + 100);
    // The device takes its own lap message as every device does: its counters follow a moment after
    // the peer heard it.
    EXPECT_TRUE(waitUntil([&] {
        return dev.shell("lof_get").find("Lap counter: \t\t3\n") != std::string::npos;
    })) << dev.logText();
    dev.signal(SIGTERM);
    ASSERT_EQ(dev.waitExit(), 0) << dev.stderrText();

    std::string error;
    ASSERT_TRUE(nvdb_open(root.file("nv1"), &error)) << error;
    float best = 0;
    EXPECT_EQ(nvdb_read(NV_REC_LAPMODEL, NV_LAPMODEL_BEST, &best, sizeof best), int(sizeof best));
    nvdb_close();
    EXPECT_NEAR(best * 100.0f, float(second.laptime), 1.0f) << "the best lap is the second";
}

// A beacon channel in place of digital input 0: a value of the signal page (the outing counter,
// set from the shell) against the beacon threshold, received through the measurement gateway.
TEST(LapE2E, ABeaconChannelAboveItsThresholdIsALapAndDigitalInputZeroIsNot) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string why;
    ASSERT_TRUE(lape2e::configureMaster(root.path(), DEV_INDEX, DEV_PID,
                                        "channel 10 lapfunc mode beacon main_trig_time_min 20 "
                                        "main_retrig_lock 1 beacon outctr beacon_threshold 5\n",
                                        &why))
        << why;
    lape2e::LapPeer peer(DEV_ADDR);
    ASSERT_TRUE(peer.ok());
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(logShows(dev, "awm_0x08_lapfunc_ini(): lap function at channel 10, beacon trigger"))
        << dev.logText();

    auto hold = [&](const char* high, const char* low) {
        dev.shell(high);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        dev.shell(low);
    };
    hold("board din 0 1", "board din 0 0");
    HeardLap lap{};
    EXPECT_FALSE(peer.nextEvent(&lap, 1500)) << "digital input 0 is not the beacon";
    // The beacon channel counts from its first record through the gateway, which may still be on
    // its way: the pass is repeated until the lap comes.
    bool heard = false;
    for (int pass = 0; pass < 5 && !heard; ++pass) {
        hold("lof_set 1 9", "lof_set 1 1");
        heard = peer.nextEvent(&lap, 3000);
    }
    ASSERT_TRUE(heard) << dev.logText();
    EXPECT_EQ(lap.src, DEV_PID);
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
