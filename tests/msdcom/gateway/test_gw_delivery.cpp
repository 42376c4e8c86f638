// Delivery in the raster: records read in place and handed to every subscriber, the data
// time-out, stored data from the future, and lists that go while delivery goes on.
#include "test_gw_fixture.h"

#include "framework/time_util.h"

#include <atomic>
#include <thread>

using namespace gwtest;

namespace {

uint32_t stampOf(const Heard& h) {
    return ci_get32(h.bytes.data());
}

} // namespace

TEST_F(GwTest, QueueRecordsArriveInOrderAndAnUnconsumedOneIsOfferedAgain) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo, 0x5E000001, 1, 5, DYNKOMM_FLAG_QUEUE);
    for (uint32_t i = 1; i <= 3; ++i) feed(fifo, 100 * i, 0x1000 + i);
    gw_raster(3);
    auto data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(stampOf(data[i]), 100 * (i + 1));
        EXPECT_EQ(ci_get32(data[i].bytes.data() + 4), 0x1001 + i);
    }
    EXPECT_EQ(debugout()[5], 3) << "counted as queue-mode records";

    // A consumer that takes nothing leaves the record where it is, and sees it again.
    consumer.clear();
    consumer.consume = 0;
    feed(fifo, 400, 4);
    feed(fifo, 500, 5);
    gw_raster(3);
    gw_raster(3);
    data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(stampOf(data[0]), 400u);
    EXPECT_EQ(stampOf(data[1]), 400u);
    consumer.consume = 0x10000; // only the low 16 bits count
    gw_raster(3);
    consumer.consume = 1;
    gw_raster(3);
    data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 5u);
    EXPECT_EQ(stampOf(data[3]), 400u);
    EXPECT_EQ(stampOf(data[4]), 500u);
}

TEST_F(GwTest, LatestValueListGetsTheNewestRecordOnly) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo);
    for (uint32_t i = 1; i <= 3; ++i) feed(fifo, i, i);
    gw_raster(3);
    const auto data = consumer.events(GW_CB_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(stampOf(data[0]), 3u);
    EXPECT_EQ(debugout()[4], 1);
}

TEST_F(GwTest, DataTimeOutOnTheFifthEmptyTickThenEveryFourth) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo, 0x5E000001, 0, 5);
    consumer.clear();
    std::vector<int> fired;
    for (int t = 1; t <= 13; ++t) {
        const int before = consumer.count(GW_CB_DATA, GW_EVT_NODATA);
        gw_raster(3);
        if (consumer.count(GW_CB_DATA, GW_EVT_NODATA) > before) fired.push_back(t);
    }
    EXPECT_EQ(fired, (std::vector<int>{5, 9, 13}));
    const auto timeouts = consumer.events(GW_CB_TIMEOUT);
    ASSERT_EQ(timeouts.size(), 1u) << "the time-out callback hears once that data stopped";
    EXPECT_EQ(timeouts[0].event, GW_EVT_NODATA);
    EXPECT_EQ(*static_cast<uint16_t*>(timeouts[0].data), DEV);
    EXPECT_EQ(debugout()[6], 3);

    feed(fifo, 1, 1);
    gw_raster(3);
    ASSERT_EQ(consumer.events(GW_CB_TIMEOUT).size(), 2u);
    EXPECT_EQ(consumer.events(GW_CB_TIMEOUT)[1].event, GW_EVT_OK) << "data flows again";
}

TEST_F(GwTest, StoredRecordFromTheFutureIsDroppedAndTheListRequestedAgain) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo, 0x5E000001, 1, 5, 0x2);
    consumer.clear();
    const uint32_t now = time_getTimestamp();
    feed(fifo, now + 2000, 1); // 0.2 s ahead
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 0);
    tick();
    const auto stops = takeGot(0x0502);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(ci_rctx(&stops[0]), 0x5E000001u);
    const auto again = takeGot(0x0500);
    ASSERT_EQ(again.size(), 1u) << "restarted";
    EXPECT_EQ(ci_get16(again[0].data + 10), 0x2) << "with its flags";
    accept(again[0], fifo, 0x5E000002);
    feed(fifo, time_getTimestamp(), 2);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 1);
}

TEST_F(GwTest, FifoReleasedUnderARunningListIsFoundEmpty) {
    dynkomm_fifo* fifo = nullptr;
    running(&fifo, 0x5E000001, 0, 2);
    feed(fifo, 1, 1);
    dynkomm_fifo_release(fifo); // the device closed the path
    dynkomm_fifo_collect();
    dynkomm_fifo_collect(); // and its memory is gone
    fifos.clear();
    consumer.clear();
    gw_raster(3);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 0);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_NODATA), 1);
}

// A list that ran, went offline and was marked for start again before its removal must leave the
// raster chain when it is freed (else delivery walks freed memory).
TEST_F(GwTest, ListRestartedAfterOfflineAndRemovedLeavesTheRasterChain) {
    dynkomm_fifo* fifo = nullptr;
    const uint32_t sub = running(&fifo);
    reportedState = -1; // the device falls silent
    tick(170);
    EXPECT_EQ(gw_pid_offline(DEV), 1);
    EXPECT_EQ(consumer.count(GW_CB_START, GW_EVT_LOST), 1);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OFFLINE), 1);
    EXPECT_EQ(listsIn(GW_LS_OFF_ERR), 1);
    gw_start_list(sub);
    gw_kill_list(sub);
    report(0);
    tick(20);
    EXPECT_EQ(debugout()[3], 0);
    feed(fifo, 1, 1);
    gw_raster(3);
    gw_raster(3);
    EXPECT_EQ(consumer.count(GW_CB_DATA, GW_EVT_OK), 0);
}

// Delivery keeps running in its own task while lists come and go.
TEST_F(GwTest, RemovalNeverFreesAListUnderDelivery) {
    std::atomic<bool> stop{false};
    std::thread raster([&] {
        while (!stop.load()) gw_raster(3);
    });
    for (int round = 0; round < 30; ++round) {
        dynkomm_fifo* fifo = nullptr;
        const uint32_t sub = running(&fifo, 0x5E000100 + uint32_t(round));
        feed(fifo, uint32_t(round), 1);
        tick();
        gw_kill_list(sub);
        tick(11);
        takeGot(0x0502);
    }
    stop = true;
    raster.join();
    EXPECT_EQ(debugout()[3], 0);
    EXPECT_GE(consumer.count(GW_CB_DATA, GW_EVT_OK), 1);
}
