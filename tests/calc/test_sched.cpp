// The raster queues: call order, the stop flag, refused rasters, the filter search, and queueing
// from another task while the calculation task walks.
#include "calc/awm_fir.h"
#include "calc/awm_sched.h"

#include "framework/syslog.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string>* gCalls = nullptr;

void record(void* instance, uint32_t) {
    gCalls->push_back(static_cast<const char*>(instance));
}

void otherFilterFn(void*, uint32_t) {}

class SchedTest : public ::testing::Test {
protected:
    std::vector<std::string> calls;
    void SetUp() override {
        static const bool log = syslog_init(0);
        (void)log;
        awm_sched_common_ini();
        AWM_sched_STOP = 0;
        gCalls = &calls;
        testsupport::drainSyslog();
    }
    void TearDown() override {
        for (uint16_t r = 0; r < AWM_SCHED_QUEUES; ++r)
            while (awm_cyclic_head[r] != nullptr) awm_sched_unqueue(awm_cyclic_head[r]);
        AWM_sched_STOP = 0;
    }
};

} // namespace

TEST_F(SchedTest, CyclicFunctionsRunBeforeMeasureFunctionsInTheirOrder) {
    char a[] = "A", b[] = "B", c[] = "C", d[] = "D";
    awm_sched_node* na = awm_sched_queue_head(record, a, 3);
    awm_sched_queue_head(record, b, 3);
    awm_sched_node* nc = awm_sched_queue_tail(record, c, 7, 3);
    awm_sched_queue_tail(record, d, 8, 3);
    ASSERT_NE(na, nullptr);
    EXPECT_EQ(na->user, 0u);
    EXPECT_EQ(nc->user, 7u);
    awm_sched_call(3, 100);
    EXPECT_EQ(calls, (std::vector<std::string>{"B", "A", "C", "D"}));

    // Other rasters, and a raster without nodes, call nothing.
    calls.clear();
    awm_sched_call(4, 100);
    awm_sched_call(19, 100);
    EXPECT_TRUE(calls.empty());

    // Unqueueing from the middle and the ends keeps the chain; the last one empties the queue.
    awm_sched_unqueue(nc);
    awm_sched_unqueue(awm_cyclic_head[3]);
    awm_sched_call(3, 100);
    EXPECT_EQ(calls, (std::vector<std::string>{"A", "D"}));
    awm_sched_unqueue(awm_cyclic_tail[3]);
    awm_sched_unqueue(na);
    EXPECT_EQ(awm_cyclic_head[3], nullptr);
    EXPECT_EQ(awm_cyclic_tail[3], nullptr);
    awm_sched_unqueue(nullptr);
    EXPECT_EQ(semCount(awm_sched_semaphore), 1);
}

TEST_F(SchedTest, WithTheStopFlagNothingIsCalledAndTheLockIsNotTaken) {
    char a[] = "A";
    awm_sched_queue_head(record, a, 3);
    ASSERT_EQ(semTake(awm_sched_semaphore, NO_WAIT), OK); // the lock is held elsewhere
    AWM_sched_STOP = 1;
    std::atomic<bool> done{false};
    std::thread walker([&] {
        awm_sched_call(3, 1);
        done = true;
    });
    const bool returned = testsupport::waitUntil([&] { return done.load(); }, 5000);
    semGive(awm_sched_semaphore); // frees a walker that waited on the lock
    walker.join();
    EXPECT_TRUE(returned) << "the walk waited for the lock";
    EXPECT_TRUE(calls.empty());
}

TEST_F(SchedTest, RasterIndicesBeyondTheQueuesAreRefused) {
    char a[] = "A";
    EXPECT_EQ(awm_sched_queue_head(record, a, 20), nullptr);
    EXPECT_EQ(awm_sched_queue_tail(record, a, 1, 0xFFFF), nullptr);
    EXPECT_EQ(awm_sched_check_filter_in_queue(0x05000700, 20, awm_fir_filter_measure), 0u);
    awm_sched_call(20, 1);
    const auto log = testsupport::drainSyslog();
    EXPECT_EQ(testsupport::countContaining(log, "raster index 20 refused"), 1);
    EXPECT_EQ(testsupport::countContaining(log, "raster index 65535 refused"), 1);
}

TEST_F(SchedTest, FilterSearchMatchesFunctionPidChannelAndRaster) {
    awm_fir_filter f{5, 7, 3, nullptr};
    awm_fir_filter g{5, 8, 3, nullptr};
    // The user word is a handle's address: it keeps all its bits.
    const uintptr_t handle =
        uintptr_t(&f) | (sizeof(uintptr_t) > 4 ? uintptr_t(1) << (8 * sizeof(uintptr_t) - 2) : 0);
    awm_sched_queue_tail(awm_fir_filter_measure, &g, 0x99, 3);
    awm_sched_queue_tail(awm_fir_filter_measure, &f, handle, 3);
    awm_sched_queue_tail(otherFilterFn, &f, 0x55, 4);

    struct Ask {
        uint32_t id;
        uint16_t raster;
        awm_sched_fn fn;
        uintptr_t expect;
    };
    const Ask asks[] = {
        {0x05000700, 3, awm_fir_filter_measure, handle},
        {0x050007FF, 3, awm_fir_filter_measure, handle}, // sub-channel bits do not count
        {0x05000800, 3, awm_fir_filter_measure, 0x99},
        {0x06000700, 3, awm_fir_filter_measure, 0}, // other PID
        {0x05000700, 4, awm_fir_filter_measure, 0}, // other raster
        {0x05000700, 3, otherFilterFn, 0},          // equal filter, other function
        {0x05000700, 4, otherFilterFn, 0},          // the node's filter is of raster 3
    };
    for (const Ask& a : asks)
        EXPECT_EQ(awm_sched_check_filter_in_queue(a.id, a.raster, a.fn), a.expect) << std::hex << a.id;

    EXPECT_EQ(awm_sched_check_filter_in_queue(0, 3, awm_fir_filter_measure), 0u);
    EXPECT_EQ(testsupport::countContaining(testsupport::drainSyslog(),
                                           "awm_sched_check_in_queue: invalid instance handle for AWM sched"),
              1);
}

namespace {
std::atomic<uint64_t> gSteady{0}, gTransient{0};
void steady(void*, uint32_t) {
    gSteady.fetch_add(1, std::memory_order_relaxed);
}
void transient(void*, uint32_t) {
    gTransient.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

TEST_F(SchedTest, QueueingFromAnotherTaskWhileTheQueueIsWalked) {
    awm_sched_queue_head(steady, nullptr, 3);
    gSteady = 0;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> walks{0};
    std::thread walker([&] {
        for (uint32_t ts = 1; !stop; ++ts) {
            awm_sched_call(3, ts);
            walks.fetch_add(1);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        awm_sched_node* h = awm_sched_queue_head(transient, nullptr, 3);
        awm_sched_node* t = awm_sched_queue_tail(transient, nullptr, uintptr_t(i), 3);
        awm_sched_unqueue(i % 2 ? h : t);
        awm_sched_unqueue(i % 2 ? t : h);
    }
    // Let the walker see the final queue at least once.
    const uint64_t after = walks.load();
    ASSERT_TRUE(testsupport::waitUntil([&] { return walks.load() > after + 1; }, 5000));
    stop = true;
    walker.join();
    EXPECT_EQ(gSteady.load(), walks.load()) << "the steady node is called once in every walk";
    ASSERT_NE(awm_cyclic_head[3], nullptr);
    EXPECT_EQ(awm_cyclic_head[3], awm_cyclic_tail[3]);
    EXPECT_EQ(awm_cyclic_head[3]->next, nullptr);
}
