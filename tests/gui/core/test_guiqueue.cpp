#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "guiharness.h"
#include "platform/rtos/hostclock.h"

using guitest::Harness;
using guitest::Probe;

namespace {

GuiMessage Msg(uint16_t type, GuiThing* target = nullptr, int16_t param = 0) {
    return GuiMakeMessage(type, target, nullptr, param);
}

// Waits in real time (bounded) until cond holds.
template <class F> bool WaitFor(F cond, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int Count(const std::vector<GuiMessage>& v, uint16_t type, GuiThing* target) {
    int n = 0;
    for (const auto& m : v) n += m.Type == type && m.Target == target;
    return n;
}

} // namespace

TEST(GuiQueue, FortyOneFitTheFortySecondIsLostAndOrderIsKept) {
    tBaseGuiTask = taskIdSelf();
    GuiQueue* q = GuiCreateMessageQueue();
    for (int i = 0; i < GUI_QUEUE_NODES + 1; ++i) {
        GuiMessage m = Msg(GM_USER, nullptr, static_cast<int16_t>(i));
        m.SetDataWord(1, i * 3);
        EXPECT_EQ(EnqueueTaskMessage(&m, q), 1); // a drop is silent
    }
    EXPECT_EQ(GuiQueueCount(q), GUI_QUEUE_NODES);
    EXPECT_EQ(semCount(q->Available), GUI_QUEUE_NODES);
    for (int i = 0; i < GUI_QUEUE_NODES; ++i) {
        GuiMessage out;
        GuiPopMessage(&out, q);
        EXPECT_EQ(out.Param, i);
        EXPECT_EQ(out.DataWord(1), i * 3);
        EXPECT_EQ(out.Next, nullptr);
    }
    EXPECT_EQ(GuiQueueCount(q), 0);
    // The nodes are recycled: the queue takes 41 again.
    for (int i = 0; i < GUI_QUEUE_NODES; ++i) {
        GuiMessage m = Msg(GM_USER);
        EXPECT_TRUE(GuiEnqueue(&m, q));
    }
    GuiMessage m = Msg(GM_USER);
    EXPECT_FALSE(GuiEnqueue(&m, q));
    GuiDeleteMessageQueue(q);
}

TEST(GuiQueue, FoldMergesDataIntoTheFirstEqualMessageAndKeepsItsPlace) {
    Harness h;
    Probe p(MakeGuiRect(0, 0, 9, 9));
    GuiMessage a = Msg(GM_POINTER_MOVE, &p, 1);
    a.SetDataWord(0, 10);
    h.queue().Fold(&a);
    GuiMessage b = Msg(GM_USER, &p);
    h.queue().Push(&b);
    GuiMessage c = a;
    c.SetDataWord(0, 20);
    h.queue().Fold(&c);
    GuiMessage d = a;
    d.Param = 2; // another parameter: not equal
    h.queue().Fold(&d);
    auto got = h.collect();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].Type, GM_POINTER_MOVE);
    EXPECT_EQ(got[0].DataWord(0), 20);
    EXPECT_EQ(got[1].Type, GM_USER);
    EXPECT_EQ(got[2].Param, 2);
}

TEST(GuiQueue, PurgeRemovesExactlyWhatMatches) {
    Harness h;
    Probe* who = new Probe(MakeGuiRect(0, 0, 9, 9), 1);
    Probe* child = new Probe(MakeGuiRect(0, 0, 5, 5), 2);
    Probe* other = new Probe(MakeGuiRect(0, 0, 5, 5), 3);
    h.root().Add(who, 0);
    h.root().Add(other, 0);
    who->Add(child, 0);
    auto post = [&](uint16_t t, GuiThing* target, int16_t param) {
        GuiMessage m = Msg(t, target, param);
        h.queue().Push(&m);
    };
    auto fillQueue = [&] {
        post(GM_TIMER, who, 3);
        post(GM_USER, child, 5);
        post(GM_TIMER, child, 4);
        post(GM_TIMER, other, 3);
        post(GM_USER, nullptr, 0);
        post(GM_DRAW, who, 0);
    };
    fillQueue();
    h.queue().Purge(who, 0, 5); // param without type is not tested: everything of who and child
    EXPECT_EQ(semCount(gpGuiMesgQueue->Available), GuiQueueCount(gpGuiMesgQueue));
    auto got = h.collect();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Target, other);
    EXPECT_EQ(got[1].Target, nullptr);

    fillQueue();
    h.queue().Purge(who, GM_TIMER, 0);
    got = h.collect();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(Count(got, GM_TIMER, who) + Count(got, GM_TIMER, child), 0);
    EXPECT_EQ(Count(got, GM_USER, child), 1);
    EXPECT_EQ(Count(got, GM_DRAW, who), 1);

    fillQueue();
    h.queue().Purge(who, GM_TIMER, 4);
    got = h.collect();
    EXPECT_EQ(got.size(), 5u);
    EXPECT_EQ(Count(got, GM_TIMER, child), 0);
    EXPECT_EQ(Count(got, GM_TIMER, who), 1);
}

TEST(GuiTimers, OneShotAndReloadFireAtTheirTicks) {
    Harness h;
    Probe p(MakeGuiRect(0, 0, 9, 9));
    h.queue().SetTimer(&p, 1, 1, 0); // once, on the next tick
    h.queue().SetTimer(&p, 2, 1, 3); // on the next tick, then every third
    std::vector<int> fired1, fired2;
    for (int t = 1; t <= 10; ++t) {
        for (const auto& m : h.tick()) {
            ASSERT_EQ(m.Type, GM_TIMER);
            ASSERT_EQ(m.Target, &p);
            (m.Param == 1 ? fired1 : fired2).push_back(t);
        }
    }
    EXPECT_EQ(fired1, std::vector<int>({1}));
    EXPECT_EQ(fired2, std::vector<int>({1, 4, 7, 10}));
    EXPECT_EQ(h.queue().TimerCount(), 1);
    // Setting an existing timer again changes it without a second record.
    h.queue().SetTimer(&p, 2, 2, 0);
    EXPECT_EQ(h.queue().TimerCount(), 1);
    EXPECT_TRUE(h.tick().empty());
    EXPECT_EQ(h.tick().size(), 1u);
    EXPECT_EQ(h.queue().TimerCount(), 0);
    // A count of 0 or less never expires.
    h.queue().SetTimer(&p, 3, 0, 1);
    for (int t = 0; t < 5; ++t) EXPECT_TRUE(h.tick().empty());
}

TEST(GuiTimers, TwoExpiriesBeforeTheGuiTaskRunsYieldOneMessageInTheFirstPlace) {
    Harness h;
    Probe p(MakeGuiRect(0, 0, 9, 9));
    h.queue().SetTimer(&p, 7, 1, 1);
    h.queue().TimerTick();
    GuiMessage other = Msg(GM_USER, &p);
    h.queue().Push(&other);
    h.queue().TimerTick();
    auto got = h.collect();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Type, GM_TIMER);
    EXPECT_EQ(got[1].Type, GM_USER);
}

TEST(GuiTimers, KillTimerOfOwnerAndDescendants) {
    Harness h;
    Probe* owner = new Probe(MakeGuiRect(0, 0, 9, 9), 1);
    Probe* child = new Probe(MakeGuiRect(0, 0, 5, 5), 2);
    Probe* other = new Probe(MakeGuiRect(0, 0, 5, 5), 3);
    h.root().Add(owner, 0);
    h.root().Add(other, 0);
    owner->Add(child, 0);
    h.queue().SetTimer(owner, 1, 1, 1);
    h.queue().SetTimer(child, 1, 1, 1);
    h.queue().SetTimer(other, 1, 1, 1);
    h.queue().TimerTick(); // all three expiries queued

    // KillTimer(owner, id) stops the owner's timer and purges only the owner's expiry: the child's
    // timer with the same id keeps its message.
    h.queue().KillTimer(owner, 1);
    EXPECT_EQ(h.queue().TimerCount(), 2);
    auto got = h.collect();
    EXPECT_EQ(Count(got, GM_TIMER, owner), 0);
    EXPECT_EQ(Count(got, GM_TIMER, child), 1);
    EXPECT_EQ(Count(got, GM_TIMER, other), 1);

    h.queue().SetTimer(owner, 2, 1, 1);
    h.queue().TimerTick();
    h.queue().KillTimer(owner, 0); // the owner's and its children's
    EXPECT_EQ(h.queue().TimerCount(), 1);
    got = h.collect();
    EXPECT_EQ(Count(got, GM_TIMER, owner) + Count(got, GM_TIMER, child), 0);
    EXPECT_EQ(Count(got, GM_TIMER, other), 1);
    for (int t = 0; t < 3; ++t)
        for (const auto& m : h.tick()) EXPECT_EQ(m.Target, other);
    h.queue().KillTimer(other, 99); // unknown pair: nothing
    EXPECT_EQ(h.queue().TimerCount(), 1);
}

TEST(GuiTimers, TickPendingFlagNeverStaysSetWithoutAQueuedTick) {
    Harness h;
    // A full queue drops the tick: the flag must be clear again, or timers would stop for good.
    for (int i = 0; i < GUI_QUEUE_NODES; ++i) {
        GuiMessage m = Msg(GM_USER);
        h.queue().Push(&m);
    }
    EXPECT_FALSE(GuiTimerTaskPost());
    EXPECT_EQ(gbGuiTimerEventPending.load(), 0);
    EXPECT_EQ(h.collect().size(), static_cast<size_t>(GUI_QUEUE_NODES));

    Probe p(MakeGuiRect(0, 0, 9, 9));
    h.queue().SetTimer(&p, 1, 1, 1);
    // While a tick is queued, the flag is set and further ticks are not posted.
    EXPECT_TRUE(GuiTimerTaskPost());
    EXPECT_EQ(gbGuiTimerEventPending.load(), 1);
    EXPECT_FALSE(GuiTimerTaskPost());
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 1);
    auto got = h.collect(); // the GUI task processes the tick and clears the flag
    EXPECT_EQ(gbGuiTimerEventPending.load(), 0);
    got = h.collect();
    EXPECT_EQ(Count(got, GM_TIMER, &p), 1);
    EXPECT_TRUE(GuiTimerTaskPost());
}

TEST(GuiTimers, TimerTaskPostsOneTickPerFiftyMillisecondsOfDeviceTime) {
    Harness h;
    hostclock_setManual(true);
    const TASK_ID tid = taskSpawn("r_t_GuiTmr", 120, VX_FP_TASK, 500000, [] { GuiTimerTask(0); });
    ASSERT_NE(tid, TASK_ID_ERROR);
    auto queued = [] { return GuiQueueCount(gpGuiMesgQueue); };
    // Device time stands still; real time lets the task reach its delay before time moves.
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(50)); };
    settle();
    hostclock_advanceMs(49);
    settle();
    EXPECT_EQ(queued(), 0);
    hostclock_advanceMs(1);
    EXPECT_TRUE(WaitFor([&] { return queued() == 1; }));
    settle();
    hostclock_advanceMs(50); // the tick is still pending: no second one
    settle();
    EXPECT_EQ(queued(), 1);
    h.collect();
    hostclock_advanceMs(50);
    EXPECT_TRUE(WaitFor([&] { return queued() == 1; }));
    EXPECT_EQ(taskDeleteForce(tid), OK); // ends at its next wait
    EXPECT_EQ(taskJoin(tid, 3000), OK);
    h.collect();
    hostclock_setManual(false);
}

TEST(GuiQueue, PopFromATaskWithoutARegisteredQueueWaitsOnTheMainQueue) {
    Harness h;
    std::atomic<int> got{-1};
    const TASK_ID tid = taskSpawn("r_popper", 100, 0, 65536, [&] {
        GuiMessage m;
        h.queue().Pop(&m);
        got = m.Param;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(got.load(), -1); // waiting
    GuiMessage m = Msg(GM_USER, nullptr, 42);
    h.queue().Push(&m);
    EXPECT_TRUE(WaitFor([&] { return got.load() == 42; }));
    EXPECT_EQ(taskJoin(tid, 3000), OK);
}

TEST(GuiLock, ThreeNestedTakesNeedThreeReleases) {
    Harness h;
    auto othersCanTake = [] {
        bool ok = false;
        std::thread t([&] {
            ok = semTake(tGuiPresentationMutex, NO_WAIT) == OK;
            if (ok) semGive(tGuiPresentationMutex);
        });
        t.join();
        return ok;
    };
    EnterCriticalSection();
    EnterCriticalSection();
    EnterCriticalSection();
    EXPECT_EQ(giCriticalNesting, 3);
    EXPECT_EQ(tGuiLockTask.load(), taskIdSelf());
    ExitCriticalSection();
    ExitCriticalSection();
    EXPECT_FALSE(othersCanTake());
    ExitCriticalSection();
    EXPECT_EQ(tGuiLockTask.load(), 0);
    EXPECT_TRUE(othersCanTake());
}
