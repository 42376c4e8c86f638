// The copy and the 10 ms tick: stored data only while the time is synchronised, one notice for
// time stamps that run backwards, error 482, data losses of full queue FIFOs, the time stamp 0
// rule, and lists stopped while the calculation task copies.
#include "test_mm_fixture.h"

#include "framework/errmem.h"
#include "framework/time_util.h"

#include <atomic>
#include <thread>

using namespace mmtest;

namespace {

bool syncErrorActive() {
    ErrorMemEntry e[ERROR_MEM_ENTRIES];
    const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
    for (size_t i = 0; i < n; ++i)
        if (e[i].path == MEAS_MAN_ERRMEM_SYNC && e[i].active)
            return e[i].type == MEAS_MAN_ERRMEM_SYNC_TYPE && e[i].mil == 1;
    return false;
}

void ticks(int n) {
    for (int i = 0; i < n; ++i) meas_man_10ms();
}

std::vector<comint_msg> queued(uint16_t cmd) {
    std::vector<comint_msg> out;
    for (const comint_msg& m : citest::drainQueue())
        if (ci_cmd(&m) == cmd) out.push_back(m);
    return out;
}

} // namespace

TEST_F(MeasManTest, StoredDataWaitsForSyncAndStopsOnceWhenTimeStampsRunBackwards) {
    const std::vector<uint32_t> one = {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0};
    const comint_msg a = createLocal(3, 1, 8, 16, MEAS_MAN_FLAG_STORED, one);
    uint32_t fifoHandle = 0;
    const comint_msg b = createLocalByName(3, 1, 16, MEAS_MAN_FLAG_STORED, {"RtpIndex"}, &fifoHandle);
    dynkomm_fifo* fa = fifoOf(a);
    dynkomm_fifo* fb = fifoOfHandle(fifoHandle);
    ASSERT_TRUE(fa && fb);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "meas_man_openreply: offline data requested"), 1);

    // Not before 100 ms of full synchronisation; the due tick then writes at once.
    meas_man_copy(3, 10);
    meas_man_copy(3, 20);
    ticks(9);
    EXPECT_FALSE(meas_man_copy_offline_data_enabled());
    meas_man_copy(3, 30);
    EXPECT_TRUE(drain(fa).empty());
    ticks(1);
    EXPECT_TRUE(meas_man_copy_offline_data_enabled());
    meas_man_copy(3, 1000);
    EXPECT_EQ(drain(fa).size(), 1u);
    EXPECT_EQ(drain(fb).size(), 1u);

    // A step back stops both lists with one notice each; later ticks write nothing and tell nothing.
    meas_man_copy(3, 900);
    meas_man_copy(3, 1100);
    meas_man_copy(3, 800);
    EXPECT_TRUE(drain(fa).empty());
    EXPECT_TRUE(drain(fb).empty());
    const auto all = citest::drainQueue();
    ASSERT_EQ(all.size(), 2u);
    for (const comint_msg& m : all) {
        EXPECT_EQ(ci_ctx(&m), 3u);
        EXPECT_EQ(ci_len(&m), 0);
        if (ci_cmd(&m) == 0x0506)
            EXPECT_EQ(ci_rctx(&m), ci_ctx(&a));
        else
            EXPECT_EQ(ci_rctx(&m), get32(b.data)) << std::hex << ci_cmd(&m);
    }
    EXPECT_EQ(meas_man_get_stats().measblock_stopped[3], 2u);
    ticks(300);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "stopped measbocks found:2"), 1);
}

TEST_F(MeasManTest, TimeStampWrapIsNoStepBack) {
    ticks(10);
    const comint_msg a = createLocal(2, 1, 8, 16, MEAS_MAN_FLAG_STORED | MEAS_MAN_FLAG_QUEUE,
                                     {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    meas_man_copy(2, 0xFFFFFF00u);
    meas_man_copy(2, 0x00000010u);
    EXPECT_EQ(drain(fifoOf(a)).size(), 2u);
    EXPECT_TRUE(queued(0x0506).empty());
}

TEST_F(MeasManTest, LostSyncDisablesStoredDataAfterFiveSecondsAndRaisesError482) {
    // Without stored data asked for, a lost sync raises nothing.
    ticks(10);
    time_setSyncState(1);
    ticks(600);
    EXPECT_FALSE(meas_man_copy_offline_data_enabled());
    EXPECT_FALSE(syncErrorActive());
    time_setSyncState(3);
    ticks(10);
    ASSERT_TRUE(meas_man_copy_offline_data_enabled());

    createLocal(3, 1, 8, 16, MEAS_MAN_FLAG_STORED, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    citest::drainLog();
    time_setSyncState(2);
    ticks(500);
    EXPECT_TRUE(meas_man_copy_offline_data_enabled());
    ticks(1);
    EXPECT_FALSE(meas_man_copy_offline_data_enabled());
    EXPECT_TRUE(syncErrorActive());
    ticks(100);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "set ERROR_MGR_ERR_TYPE_SYNC_ERROR"), 1);

    time_setSyncState(3);
    ticks(1);
    EXPECT_FALSE(syncErrorActive());
    ticks(8);
    EXPECT_FALSE(meas_man_copy_offline_data_enabled());
    ticks(1);
    EXPECT_TRUE(meas_man_copy_offline_data_enabled());
    const auto lines = citest::drainLog();
    EXPECT_EQ(citest::countContaining(lines, "clr ERROR_MGR_ERR_TYPE_SYNC_ERROR"), 1);
    EXPECT_EQ(citest::countContaining(lines, "reached TIMESERVER_STATE_FULL_SYNC"), 1);
}

TEST_F(MeasManTest, FullQueueFifoLosesTheRecordAndTheSecondReportsTheTotal) {
    const comint_msg a =
        createLocal(0, 1, 8, 4, MEAS_MAN_FLAG_QUEUE, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    for (uint32_t t = 1; t <= 6; ++t) meas_man_copy(0, t);
    const auto records = drain(fifoOf(a));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(get32(records[3].data()), 4u); // the oldest are kept
    EXPECT_EQ(meas_man_get_stats().data_loss_cnt[0], 2u);
    EXPECT_EQ(meas_man_get_data_loss_cnt(), 0u); // until the next second
    citest::drainLog();
    ticks(100);
    EXPECT_EQ(meas_man_get_data_loss_cnt(), 2u);
    ticks(200);
    EXPECT_EQ(citest::countContaining(citest::drainLog(), "data loss update: loss count :2"), 1);
}

TEST_F(MeasManTest, CallerTimeStampZeroIsNowUnlessTheFirstListKeepsIt) {
    const comint_msg keep =
        createLocal(12, 1, 8, 4, MEAS_MAN_FLAG_ZERO_TS, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    meas_man_copy(12, 0);
    auto r = drain(fifoOf(keep));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(get32(r[0].data()), 0u);

    // A newer list without the flag is now the first of the chain.
    const comint_msg now = createLocal(12, 1, 8, 4, 0, {MEAS_MAN_MARK_4, addressOf("RtpIndex"), 0, 0});
    const uint32_t before = time_getTimestamp();
    meas_man_copy(12, 0);
    r = drain(fifoOf(now));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_GE(get32(r[0].data()), before);
    EXPECT_EQ(drain(fifoOf(keep)).size(), 1u);
}

TEST_F(MeasManTest, StoppingListsWhileTheCopyRunsNeverTouchesFreedLists) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> copies{0};
    std::thread calc([&] {
        for (uint32_t t = 1; !stop.load(); ++t) {
            meas_man_copy(0, t);
            copies.fetch_add(1);
        }
    });
    std::vector<uint32_t> words = {MEAS_MAN_MARK_4};
    for (int i = 0; i < 20; ++i) words.push_back(addressOf("RtpIndex"));
    words.insert(words.end(), {0, 0});
    for (int round = 0; round < 150; ++round) {
        const comint_msg a = createLocal(0, 1, 84, 4, 0, words);
        ASSERT_NE(get32(a.data), 0u);
        const uint64_t seen = copies.load();
        while (copies.load() < seen + 2) std::this_thread::yield();
        EXPECT_TRUE(serveLocal(message(0x0502, OWN_PID, 0, ci_ctx(&a), {})).empty());
    }
    stop = true;
    calc.join();
    EXPECT_EQ(meas_man_get_stats().lists, 0u);
}
