// The raster scheduler on the hand-driven clock.
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

bool eventually(const std::function<bool()>& f) {
    return testsupport::waitUntil(f, 10000);
}

class RasterTest : public ::testing::Test {
protected:
    void SetUp() override {
        hostclock_setManual(true);
        ASSERT_NE(basetick_start(), SEM_ID_NULL);
    }
    void TearDown() override {
        raster_stop();
        basetick_stop();
        hostclock_setManual(false);
    }
};

} // namespace

// Registrations stay for the life of the process, so what they touch must outlive the test.
struct Counters {
    std::atomic<int> r1{0}, r20{0}, r1000{0}, meas{0}, calc4{0}, calc9{0};
};

TEST_F(RasterTest, OneSimulatedSecondRunsEachRasterByItsPeriod) {
    auto c = std::make_shared<Counters>();
    auto& [r1, r20, r1000, meas, calc4, calc9] = *c;
    ASSERT_TRUE(raster_addPeriodic(RASTER_R1MS, 0, "count", [c] { ++c->r1; }));
    ASSERT_TRUE(raster_addPeriodic(RasterTaskId(4), 0, "count", [c] { ++c->r20; }));
    ASSERT_TRUE(raster_addPeriodic(RASTER_R1000MS, 0, "count", [c] { ++c->r1000; }));
    ASSERT_TRUE(raster_addPeriodic(RASTER_RMEAS, 0, "count", [c] { ++c->meas; }));
    ASSERT_TRUE(raster_addCalcStep(0, "count", [c](int r, uint32_t) {
        if (r == 4) ++c->calc4;
        if (r == 9) ++c->calc9;
    }));
    ASSERT_TRUE(raster_init());
    ASSERT_TRUE(raster_start());

    hostclock_advanceMs(1000);
    ASSERT_TRUE(eventually([&] { return raster_tickCount() == 1000; }));
    EXPECT_TRUE(eventually([&] { return r1 == 1000 && r20 == 50 && r1000 == 1 && meas == 1000; }))
        << r1 << " " << r20 << " " << r1000 << " " << meas;
    EXPECT_TRUE(eventually([&] { return calc4 == 50 && calc9 == 1; })) << calc4 << " " << calc9;
    EXPECT_EQ(raster_calcVisits(4), 50u);
    EXPECT_EQ(raster_runCount(RasterTaskId(4)), 50u);

    // Nothing runs while the clock stands.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(r1.load(), 1000);
    EXPECT_EQ(calc4.load(), 50);
}

TEST_F(RasterTest, FunctionsOfOneRasterRunInTheirOrder) {
    struct Seen {
        std::mutex m;
        std::vector<int> tags;
    };
    auto shared = std::make_shared<Seen>();
    std::mutex& m = shared->m;
    std::vector<int>& seen = shared->tags;
    auto add = [&](int order, int tag) {
        raster_addPeriodic(RasterTaskId(3), order, "ordered", [shared, tag] {
            std::lock_guard<std::mutex> lk(shared->m);
            shared->tags.push_back(tag);
        });
    };
    add(20, 3);
    add(10, 1);
    add(10, 2); // same order: after the one registered first
    ASSERT_TRUE(raster_start());
    hostclock_advanceMs(10);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lk(m);
        return seen.size() == 3;
    }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST_F(RasterTest, TriggeredAndHookedRasters) {
    auto c = std::make_shared<Counters>();
    std::atomic<int>& lap = c->r1;
    std::atomic<int>& hooked = c->r20;
    raster_addPeriodic(RASTER_LAP, 0, "lap", [c] { ++c->r1; });
    EXPECT_EQ(raster_triggerTask(-4), 0) << "before the rasters run";
    ASSERT_TRUE(raster_hookFunction(
        "EventService", 67, 10, [c] { ++c->r20; }, 4096, -1, -1));
    EXPECT_FALSE(raster_hookFunction(
        "EventService", 67, 10, [c] { ++c->r20; }, 4096, -1, -1));
    ASSERT_TRUE(raster_start());
    EXPECT_NE(taskNameToId("r_EventService"), TASK_ID_ERROR);
    EXPECT_NE(taskNameToId("r_notifyRasterTask"), TASK_ID_ERROR);
    EXPECT_NE(taskNameToId("r_tAWM_SS"), TASK_ID_ERROR);
    EXPECT_EQ(raster_triggerTask(-4), 1);
    EXPECT_EQ(raster_triggerTask(-5), 0) << "not in the list";
    EXPECT_TRUE(eventually([&] { return lap == 1; }));
    hostclock_advanceMs(100);
    EXPECT_TRUE(eventually([&] { return hooked == 10; })) << hooked;
    EXPECT_EQ(lap.load(), 1) << "an event-driven raster does not run on ticks";
}

TEST_F(RasterTest, HookedRasterOnAProcessorTheBoardLacksRunsUnbound) {
    auto c = std::make_shared<Counters>();
    ASSERT_TRUE(raster_start());
    ASSERT_TRUE(raster_hookFunction(
        "FarAway", 90, 5, [c] { ++c->r1; }, 4096, 40, -1));
    ASSERT_TRUE(raster_hookFunction(
        "Second", 90, 5, [c] { ++c->r20; }, 4096, 1, -1));
    cpuset_t cpus = 0;
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("r_FarAway"), &cpus), OK);
    EXPECT_EQ(cpus, 0u);
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("r_Second"), &cpus), OK);
    EXPECT_EQ(cpus, 2u);
    hostclock_advanceMs(10);
    EXPECT_TRUE(eventually([&] { return c->r1 == 2 && c->r20 == 2; })) << c->r1 << " " << c->r20;
}

TEST_F(RasterTest, TaskDelayCountsBaseTicks) {
    ASSERT_TRUE(raster_start());
    SEM_ID own = semCCreate(SEM_Q_PRIORITY, 0);
    std::atomic<bool> woke{false};
    TASK_ID t = taskSpawn("tSleeper", 100, 0, 4096, [&] {
        raster_taskDelay(own, 30);
        woke = true;
    });
    ASSERT_TRUE(eventually([&] { return taskIsPended(t); }));
    hostclock_advanceMs(29);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());
    hostclock_advanceMs(1);
    EXPECT_TRUE(eventually([&] { return woke.load(); }));
    taskJoin(t, 2000);
    semDelete(own);
}

// The tasks one tick releases run as on the device's single core: the calculation task (25), then
// the 1 ms raster (29), the online send raster (60) and the measurement raster (132), each seeing
// the writes of those before it and none of those after it; every tick's work carries the tick's
// own time stamp, also when the host gives late ticks in a burst.
TEST_F(RasterTest, TasksOfOneTickRunInPriorityOrderWithTheTicksOwnStamp) {
    struct Seen {
        std::atomic<uint64_t> calc{0}, r1{0}, meas{0};
        std::atomic<int> wrongOrder{0}, sends{0};
        std::mutex m;
        std::vector<uint32_t> stamps;
    };
    auto v = std::make_shared<Seen>();
    v->stamps.reserve(2000); // nothing in the steps waits for the host's memory management
    ASSERT_TRUE(raster_addCalcStep(0, "order", [v](int r, uint32_t ts) {
        if (r != 0) return;
        const uint64_t t = ++v->calc;
        if (v->r1 != t - 1 || v->meas != t - 1) ++v->wrongOrder;
        std::lock_guard<std::mutex> lk(v->m);
        v->stamps.push_back(ts);
    }));
    ASSERT_TRUE(raster_addPeriodic(RASTER_R1MS, 0, "order", [v] {
        const uint64_t t = ++v->r1;
        if (v->calc != t || v->meas != t - 1) ++v->wrongOrder;
    }));
    ASSERT_TRUE(raster_addPeriodic(RASTER_ETH_ONLINE, 0, "order", [v] {
        ++v->sends;
        if (v->calc != v->r1 || v->meas != v->r1 - 1) ++v->wrongOrder;
    }));
    ASSERT_TRUE(raster_addPeriodic(RASTER_RMEAS, 0, "order", [v] {
        const uint64_t t = ++v->meas;
        if (v->calc != t || v->r1 != t) ++v->wrongOrder;
    }));
    ASSERT_TRUE(raster_start());

    const uint32_t start = time_getTimestamp();
    hostclock_advanceMs(1000);
    ASSERT_TRUE(eventually([&] { return v->meas == 1000; })) << v->meas;
    EXPECT_EQ(v->wrongOrder.load(), 0);
    EXPECT_EQ(v->sends.load(), 100);

    hostclock_advanceBurstMs(3);
    ASSERT_TRUE(eventually([&] { return v->meas == 1003; })) << v->meas;
    std::lock_guard<std::mutex> lk(v->m);
    ASSERT_EQ(v->stamps.size(), 1003u);
    for (size_t i = 0; i < v->stamps.size(); ++i)
        ASSERT_EQ(v->stamps[i], start + 10 * (i + 1))
            << "tick " << i + 1 << " of 1003, the last three in a burst";
}

TEST(RasterRates, IndexToPeriod) {
    const int expected[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(raster2rate(i), expected[i]);
    EXPECT_EQ(raster2rate(10), 0);
    EXPECT_EQ(raster2rate(-1), 0);
}
