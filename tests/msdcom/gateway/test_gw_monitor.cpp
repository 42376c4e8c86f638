// Monitoring of the devices: the state poll every 150 ms, offline after 1500 ms without an
// answer, the retry of an unanswered start (on the hand-driven clock, through the raster tasks),
// and the restarts after a device reset or an offline period.
#include "test_gw_fixture.h"

#include "framework/raster.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"

#include <chrono>
#include <thread>

using namespace gwtest;

namespace {

class GwClockTest : public GwTest {
protected:
    void SetUp() override {
        GwTest::SetUp();
        if (HasFatalFailure()) return;
        hostclock_setManual(true);
        ASSERT_NE(basetick_start(), SEM_ID_NULL);
        ASSERT_TRUE(raster_init());
        ASSERT_TRUE(raster_start());
    }
    void TearDown() override {
        raster_stop();
        basetick_stop();
        hostclock_setManual(false);
        GwTest::TearDown();
    }
    // 10 ms of device time: the 10 ms raster task runs delivery, monitoring and time-outs once,
    // then the device answers what it got.
    void step() {
        const uint64_t runs = raster_runCount(RasterTaskId(3));
        hostclock_advanceMs(10);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (raster_runCount(RasterTaskId(3)) == runs && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_GT(raster_runCount(RasterTaskId(3)), runs);
        pumpAndPlay();
    }
};

} // namespace

TEST_F(GwClockTest, OnlineDeviceIsPolledEvery150Ms) {
    std::vector<int> at;
    for (int s = 1; s <= 150; ++s) {
        const int before = polls;
        step();
        if (polls > before) at.push_back(s);
    }
    ASSERT_EQ(at.size(), 10u);
    for (size_t i = 1; i < at.size(); ++i) EXPECT_EQ(at[i] - at[i - 1], 15) << i;
    EXPECT_EQ(gw_pid_offline(DEV), 0);
}

TEST_F(GwClockTest, SilentDeviceIsOfflineAfter1500Ms) {
    reportedState = -1;
    int pollStep = 0;
    int offlineStep = 0;
    for (int s = 1; s <= 200 && offlineStep == 0; ++s) {
        const int before = polls;
        step();
        if (polls > before && pollStep == 0) pollStep = s;
        if (gw_pid_offline(DEV)) offlineStep = s;
    }
    ASSERT_GT(pollStep, 0);
    EXPECT_EQ(offlineStep - pollStep, 150) << "the answer time of the last poll ran out";
    EXPECT_TRUE(citest::countContaining(citest::drainLog(), "MeasGate: PID 0x3 is detected offline") == 1);
}

TEST_F(GwClockTest, UnansweredStartGivesEvent3After1500MsAndANewRequest) {
    gw_start_list(gw_setup_list(conn, kSingle, &consumer, 16, 3, DEV, 0, 0, 1, 4, 8, 5));
    step();
    ASSERT_EQ(takeGot(0x0500).size(), 1u);
    for (int s = 1; s < 149; ++s) step();
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_NOREPLY), 0);
    step(); // the 150th pass since the request was queued
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_NOREPLY), 1);
    EXPECT_TRUE(takeGot(0x0500).empty());
    step();
    EXPECT_EQ(takeGot(0x0500).size(), 1u) << "requested again on the next tick";
}

TEST_F(GwTest, DeviceResetRestartsRunningListsAfter165Ticks) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo);
    report(1);
    tick(2);
    EXPECT_EQ(listsIn(GW_LS_MEAS), 1);

    // A short spell of "no measurement" is forgiven.
    report(0);
    tick(50);
    EXPECT_EQ(listsIn(GW_LS_MEASPN), 1);
    report(1);
    tick();
    EXPECT_EQ(listsIn(GW_LS_MEAS), 1);
    EXPECT_TRUE(takeGot(0x0500).empty());

    // A device that keeps reporting none has lost the list: it is requested again.
    report(0);
    tick(165);
    EXPECT_TRUE(takeGot(0x0500).empty());
    tick();
    EXPECT_EQ(takeGot(0x0500).size(), 1u);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "MeasGate: PID 0x3 reset detected"), 1);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 1) << "no new subscription, no new start yet";
}

TEST_F(GwTest, DeviceBackFromOfflineGetsItsListsAgainWithoutNewSubscription) {
    dynkomm_fifo* fifo = nullptr;
    const uint32_t sub = running(&fifo);
    report(1);
    feed(fifo, 10, 1);
    tick();
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 1);

    reportedState = -1;
    tick(170);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_LOST), 1);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OFFLINE), 1);
    EXPECT_TRUE(takeGot(0x0500).empty());

    // The device restarted: it reports no measurement, and the list is requested anew.
    report(0);
    tick(20);
    const auto req = takeGot(0x0500);
    ASSERT_EQ(req.size(), 1u);
    dynkomm_fifo* fresh = makeFifo();
    accept(req[0], fresh, 0x5E000077);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_OK), 2);
    feed(fresh, 20, 2);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 2);
    EXPECT_NE(sub, 0u);
}

TEST_F(GwTest, DeviceHoldingUnaskedMeasurementsIsToldToDropThem) {
    link(7, true);
    routing_set_table_entries({ROUTE_ETH, 0x7F000007}, 7, 7);
    report(1);
    tick(3);
    bool killed = false;
    for (const comint_msg& m : takeGot(0x0504)) killed |= ci_dst(&m) == 7 || ci_dst(&m) == DEV;
    EXPECT_TRUE(killed);
    EXPECT_GE(citest::countContaining(citest::drainLog(), "reports a measurement but none is registerd here"),
              1);
    uint16_t out[GW_DEBUGOUT_WORDS];
    gw_debugoutPID(7, out);
    EXPECT_EQ(out[0], GW_PID_KILLMEAS);
    link(7, false);
}

TEST_F(GwTest, ShutdownTellsRunningDevicesToDropTheirLists) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo);
    report(1);
    tick(2);
    gw_stop();
    auto kills = only(takeSent(), 0x0504);
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(ci_dst(&kills[0]), DEV);
    consumer.clear();
    feed(fifo, 1, 1);
    gw_raster(3);
    tick(200);
    EXPECT_TRUE(consumer.events(GW_CB_DATA).empty()) << "delivery has ceased";
    EXPECT_TRUE(takeGot(0x0500).empty());
}
