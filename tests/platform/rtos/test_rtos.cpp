// The RTOS layer: time-outs on both clocks, semaphore kinds, queues, events, deletion, lists, pools.
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

bool eventually(const std::function<bool()>& f) {
    return testsupport::waitUntil(f, 5000);
}

struct ManualClock {
    ManualClock() { hostclock_setManual(true); }
    ~ManualClock() { hostclock_setManual(false); }
};

} // namespace

TEST(RtosSemaphore, BinaryTakeTimesOutOnRealClock) {
    SEM_ID s = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(semTake(s, 30), ERROR);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 29);
    EXPECT_LT(ms.count(), 1000);
    EXPECT_EQ(semTake(s, NO_WAIT), ERROR);
    EXPECT_EQ(semGive(s), OK);
    EXPECT_EQ(semGive(s), OK); // a binary semaphore stays full, it does not count
    EXPECT_EQ(semTake(s, NO_WAIT), OK);
    EXPECT_EQ(semTake(s, NO_WAIT), ERROR);
    semDelete(s);
}

TEST(RtosSemaphore, TimeOutFollowsHandDrivenClock) {
    ManualClock manual;
    SEM_ID s = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::atomic<int> result{1};
    std::atomic<bool> done{false};
    TASK_ID t = taskSpawn("tWaiter", 100, 0, 4096, [&] {
        result = semTake(s, 100);
        done = true;
    });
    ASSERT_NE(t, TASK_ID_ERROR);
    ASSERT_TRUE(eventually([&] { return taskIsPended(t); }));
    hostclock_advanceMs(99);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load()) << "real time passing must not end a hand-driven time-out";
    // A join that runs out is remembered: the exit must not free what the task may still use.
    EXPECT_EQ(taskJoin(t, 10), ERROR);
    EXPECT_TRUE(taskJoinTimedOut());
    hostclock_advanceMs(2);
    EXPECT_TRUE(eventually([&] { return done.load(); }));
    EXPECT_EQ(result.load(), ERROR);
    EXPECT_EQ(taskJoin(t, 2000), OK);
    semDelete(s);
}

TEST(RtosSemaphore, CountingKeepsEveryGive) {
    SEM_ID s = semCCreate(SEM_Q_PRIORITY, 2);
    for (int i = 0; i < 3; ++i) semGive(s);
    EXPECT_EQ(semCount(s), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(semTake(s, NO_WAIT), OK);
    EXPECT_EQ(semTake(s, NO_WAIT), ERROR);
    EXPECT_EQ(semCCreate(0, -1), SEM_ID_NULL);
    semDelete(s);
}

TEST(RtosSemaphore, MutexIsRecursiveAndOwned) {
    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    ASSERT_EQ(semTake(m, WAIT_FOREVER), OK);
    ASSERT_EQ(semTake(m, WAIT_FOREVER), OK);
    ASSERT_EQ(semTake(m, WAIT_FOREVER), OK);

    std::atomic<int> otherTake{99};
    std::atomic<int> otherGive{99};
    std::thread other([&] {
        otherGive = semGive(m); // not the owner
        otherTake = semTake(m, 20);
    });
    other.join();
    EXPECT_EQ(otherGive.load(), ERROR);
    EXPECT_EQ(otherTake.load(), ERROR);

    // Three takes need three gives before another task gets it.
    EXPECT_EQ(semGive(m), OK);
    EXPECT_EQ(semGive(m), OK);
    std::thread stillHeld([&] { otherTake = semTake(m, NO_WAIT); });
    stillHeld.join();
    EXPECT_EQ(otherTake.load(), ERROR);
    EXPECT_EQ(semGive(m), OK);
    EXPECT_EQ(semGive(m), ERROR); // no longer owned
    std::thread free([&] {
        otherTake = semTake(m, NO_WAIT);
        semGive(m);
    });
    free.join();
    EXPECT_EQ(otherTake.load(), OK);
    semDelete(m);
}

TEST(RtosSemaphore, DeleteReleasesWaitersAndRefusesStaleIds) {
    SEM_ID s = semBCreate(0, SEM_EMPTY);
    std::atomic<int> result{1};
    std::thread waiter([&] { result = semTake(s, WAIT_FOREVER); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(semDelete(s), OK);
    waiter.join();
    EXPECT_EQ(result.load(), ERROR);
    EXPECT_EQ(semGive(s), ERROR);
    EXPECT_EQ(semTake(s, NO_WAIT), ERROR);
    EXPECT_EQ(semDelete(s), ERROR);
}

TEST(RtosSemaphore, FlushWakesAllWaiters) {
    SEM_ID s = semBCreate(0, SEM_EMPTY);
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; ++i)
        ts.emplace_back([&] {
            if (semTake(s, 5000) == OK) ++woken;
        });
    EXPECT_TRUE(eventually([&] { return semWaiting(s) == 3; }));
    semFlush(s);
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), 3);
    semDelete(s);
}

TEST(RtosNamed, OpenFindsTheSameObjectAndHonoursModes) {
    SEM_ID a = semOpen("/testSemNamed", SEM_TYPE_BINARY, 0, 0, OM_CREATE, nullptr);
    ASSERT_NE(a, SEM_ID_NULL);
    EXPECT_EQ(semOpen("/testSemNamed", SEM_TYPE_BINARY, 0, 0, 0, nullptr), a);
    EXPECT_EQ(semOpen("/testSemNamed", SEM_TYPE_BINARY, 0, 0, OM_CREATE | OM_EXCL, nullptr), SEM_ID_NULL);
    EXPECT_EQ(semOpen("/testSemMissing", SEM_TYPE_BINARY, 0, 0, 0, nullptr), SEM_ID_NULL);
    // One registry for both kinds: a queue cannot take a semaphore's name.
    EXPECT_EQ(msgQOpen("/testSemNamed", 4, 4, 0, OM_CREATE, nullptr), MSG_Q_ID_NULL);

    MSG_Q_ID q = msgQOpen("/testQNamed", 4, 8, 0, OM_CREATE, nullptr);
    ASSERT_NE(q, MSG_Q_ID_NULL);
    EXPECT_EQ(msgQOpen("/testQNamed", 0, 0, 0, 0, nullptr), q);

    semDelete(a);
    EXPECT_EQ(semOpen("/testSemNamed", SEM_TYPE_BINARY, 0, 0, 0, nullptr), SEM_ID_NULL);
    msgQDelete(q);
}

TEST(RtosMsgQ, FifoOrderWithUrgentAhead) {
    MSG_Q_ID q = msgQCreate(5, 16, MSG_Q_FIFO);
    auto send = [&](int v, int prio) { return msgQSend(q, &v, sizeof(v), NO_WAIT, prio); };
    EXPECT_EQ(send(1, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(send(2, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(send(10, MSG_PRI_URGENT), OK);
    EXPECT_EQ(send(3, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(send(11, MSG_PRI_URGENT), OK);
    EXPECT_EQ(send(4, MSG_PRI_NORMAL), ERROR) << "full queue refuses without waiting";
    EXPECT_EQ(msgQNumMsgs(q), 5);
    std::vector<int> got;
    int v;
    while (msgQReceive(q, &v, sizeof(v), NO_WAIT) == ssize_t(sizeof(v))) got.push_back(v);
    EXPECT_EQ(got, (std::vector<int>{11, 10, 1, 2, 3}));
    msgQDelete(q);
}

TEST(RtosMsgQ, SizesAndTimeOuts) {
    MSG_Q_ID q = msgQCreate(2, 8, 0);
    char big[9] = {};
    EXPECT_EQ(msgQSend(q, big, 9, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    EXPECT_EQ(msgQSend(q, "abcdefgh", 8, NO_WAIT, MSG_PRI_NORMAL), OK);
    char small[4];
    EXPECT_EQ(msgQReceive(q, small, sizeof(small), NO_WAIT), 4) << "a long message is cut to the buffer";
    EXPECT_EQ(std::memcmp(small, "abcd", 4), 0);
    EXPECT_EQ(msgQReceive(q, small, sizeof(small), 20), ERROR);
    EXPECT_EQ(msgQCreate(0, 8, 0), MSG_Q_ID_NULL);

    // A sender blocked on a full queue gets in as soon as there is room.
    msgQSend(q, "1", 1, NO_WAIT, 0);
    msgQSend(q, "2", 1, NO_WAIT, 0);
    std::atomic<int> rc{99};
    std::thread sender([&] { rc = msgQSend(q, "3", 1, 5000, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char c;
    EXPECT_EQ(msgQReceive(q, &c, 1, NO_WAIT), 1);
    sender.join();
    EXPECT_EQ(rc.load(), OK);
    EXPECT_EQ(msgQNumMsgs(q), 2);
    msgQDelete(q);
    EXPECT_EQ(msgQNumMsgs(q), ERROR);
}

TEST(RtosTask, SpawnNamesPrioritiesAndSelf) {
    std::atomic<TASK_ID> seen{0};
    SEM_ID go = semBCreate(0, SEM_EMPTY);
    TASK_ID t = taskSpawn("r_testTask", 77, VX_FP_TASK, 5000, [&] {
        seen = taskIdSelf();
        semTake(go, WAIT_FOREVER);
    });
    ASSERT_NE(t, TASK_ID_ERROR);
    EXPECT_TRUE(eventually([&] { return seen.load() == t; }));
    EXPECT_EQ(taskNameToId("r_testTask"), t);
    int prio = 0;
    EXPECT_EQ(taskPriorityGet(t, &prio), OK);
    EXPECT_EQ(prio, 77);
    EXPECT_STREQ(taskName(t), "r_testTask");
    EXPECT_EQ(taskCpuAffinitySet(t, 0x2), OK);
    cpuset_t cpus = 0;
    EXPECT_EQ(taskCpuAffinityGet(t, &cpus), OK);
    EXPECT_EQ(cpus, 0x2u);
    semGive(go);
    EXPECT_EQ(taskJoin(t, 10000), OK); // on its one processor, which a busy host may crowd
    EXPECT_EQ(taskNameToId("r_testTask"), TASK_ID_ERROR) << "an ended task leaves the registry";
    semDelete(go);
}

// Tasks and named host threads carry their names at the OS level, where a name keeps its first 15
// characters.
TEST(RtosTask, ThreadsCarryTheirNamesAtTheOsLevel) {
    const auto comm = [] { return testsupport::readFile("/proc/thread-self/comm"); };
    std::string named, spawned;
    std::thread([&] {
        taskNameThread("tSignal");
        named = comm();
    }).join();
    const TASK_ID t = taskSpawn("r_BFSSync1_usb_meas", 100, 0, 5000, [&] { spawned = comm(); });
    ASSERT_NE(t, TASK_ID_ERROR);
    ASSERT_EQ(taskJoin(t, 10000), OK);
    EXPECT_EQ(named, "tSignal\n");
    EXPECT_EQ(spawned, "r_BFSSync1_usb_\n");
}

TEST(RtosTask, DeleteWakesABlockedTaskAndUnwindsIt) {
    MSG_Q_ID q = msgQCreate(1, 4, 0);
    std::atomic<bool> unwound{false};
    std::atomic<bool> returned{false};
    struct Guard {
        std::atomic<bool>& flag;
        ~Guard() { flag = true; }
    };
    TASK_ID t = taskSpawn("tBlocked", 100, 0, 4096, [&] {
        Guard g{unwound};
        char buf[4];
        msgQReceive(q, buf, sizeof(buf), WAIT_FOREVER);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(taskDeleteForce(t), OK);
    EXPECT_EQ(taskJoin(t, 2000), OK);
    EXPECT_TRUE(unwound.load());
    EXPECT_FALSE(returned.load());
    msgQDelete(q);
}

TEST(RtosTask, DeleteWaitsUntilMutexIsReleased) {
    SEM_ID m = semMCreate(SEM_DELETE_SAFE);
    SEM_ID inside = semBCreate(0, SEM_EMPTY);
    SEM_ID proceed = semBCreate(0, SEM_EMPTY);
    std::atomic<bool> finishedCritical{false};
    TASK_ID t = taskSpawn("tHolder", 100, 0, 4096, [&] {
        semTake(m, WAIT_FOREVER);
        semGive(inside);
        semTake(proceed, WAIT_FOREVER); // deletion requested here must wait for the mutex
        finishedCritical = true;
        semGive(m);
        taskDelay(WAIT_FOREVER);
    });
    semTake(inside, WAIT_FOREVER);
    taskDelete(t);
    semGive(proceed);
    EXPECT_EQ(taskJoin(t, 2000), OK);
    EXPECT_TRUE(finishedCritical.load());
    EXPECT_EQ(semTake(m, NO_WAIT), OK);
    semGive(m);
    for (SEM_ID s : {m, inside, proceed}) semDelete(s);
}

TEST(RtosTask, DelayRunsOnHandDrivenTicks) {
    ManualClock manual;
    std::atomic<bool> done{false};
    const uint64_t start = tickGet64();
    TASK_ID t = taskSpawn("tDelay", 100, 0, 4096, [&] {
        taskDelay(50);
        done = true;
    });
    ASSERT_TRUE(eventually([&] { return taskIsDelayed(t); }));
    hostclock_advanceMs(49);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(done.load());
    hostclock_advanceMs(1);
    EXPECT_TRUE(eventually([&] { return done.load(); }));
    EXPECT_EQ(tickGet64() - start, 50u);
    taskJoin(t, 2000);
    EXPECT_EQ(sysClkRateGet(), 1000);
}

TEST(RtosEvents, WaitAnyAllAndKeepUnwanted) {
    std::atomic<uint32_t> got{0};
    std::atomic<int> rc{99};
    SEM_ID ready = semBCreate(0, SEM_EMPTY);
    TASK_ID t = taskSpawn("tEvents", 100, 0, 4096, [&] {
        uint32_t ev = 0;
        semGive(ready);
        rc = eventReceive(0x3, EVENTS_WAIT_ALL, 5000, &ev);
        got = ev;
        // 0x4 arrived with the wanted ones and was cleared; 0x8 comes later.
        uint32_t more = 0;
        eventReceive(0x8, EVENTS_WAIT_ANY | EVENTS_KEEP_UNWANTED, 5000, &more);
        uint32_t left = 0;
        eventReceive(0, EVENTS_FETCH, NO_WAIT, &left);
        got = got | (left << 16);
    });
    semTake(ready, WAIT_FOREVER);
    eventSend(t, 0x1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(rc.load(), 99) << "WAIT_ALL needs both events";
    eventSend(t, 0x6);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    eventSend(t, 0x18);
    EXPECT_EQ(taskJoin(t, 2000), OK);
    EXPECT_EQ(rc.load(), OK);
    EXPECT_EQ(got.load() & 0xFFFF, 0x3u);
    EXPECT_EQ(got.load() >> 16, 0x10u) << "the unwanted 0x10 is kept";
    semDelete(ready);
}

TEST(RtosEvents, ReceiveTimesOut) {
    eventClear();
    uint32_t ev = 0xFF;
    EXPECT_EQ(eventReceive(0x1, EVENTS_WAIT_ANY, 10, &ev), ERROR);
    EXPECT_EQ(ev, 0u);
}

TEST(RtosLists, AddGetAndDelete) {
    struct Item {
        NODE node;
        int v;
    };
    LIST l;
    lstInit(&l);
    EXPECT_EQ(lstFirst(&l), nullptr);
    EXPECT_EQ(lstGet(&l), nullptr);
    Item items[4];
    for (int i = 0; i < 4; ++i) {
        items[i].v = i;
        lstAdd(&l, &items[i].node);
    }
    EXPECT_EQ(lstCount(&l), 4);
    lstDelete(&l, &items[2].node);
    std::vector<int> order;
    for (NODE* n = lstFirst(&l); n; n = lstNext(n)) order.push_back(reinterpret_cast<Item*>(n)->v);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(reinterpret_cast<Item*>(lstGet(&l))->v, 0);
    EXPECT_EQ(reinterpret_cast<Item*>(lstLast(&l))->v, 3);
    EXPECT_EQ(lstCount(&l), 2);
}

TEST(RtosPools, FixedPoolRunsOutAndRefusesForeignItems) {
    POOL_ID p = poolCreate("eventLogPool", 116, 8, 4, 0, nullptr, POOL_THREAD_SAFE);
    ASSERT_NE(p, nullptr);
    std::vector<void*> items;
    for (int i = 0; i < 4; ++i) {
        void* it = poolItemGet(p);
        ASSERT_NE(it, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(it) % 8, 0u);
        items.push_back(it);
    }
    EXPECT_EQ(poolItemGet(p), nullptr) << "a fixed pool does not grow";
    int foreign;
    EXPECT_EQ(poolItemReturn(p, &foreign), ERROR);
    EXPECT_EQ(poolItemReturn(p, items[0]), OK);
    EXPECT_EQ(poolItemReturn(p, items[0]), ERROR) << "returned twice";
    EXPECT_EQ(poolFreeCount(p), 1u);
    EXPECT_EQ(poolDelete(p, false), ERROR) << "items still out";
    EXPECT_EQ(poolDelete(p, true), OK);

    POOL_ID g = poolCreate("grow", 10, 0, 1, 2, nullptr, 0);
    poolItemGet(g);
    EXPECT_NE(poolItemGet(g), nullptr);
    EXPECT_EQ(poolTotalCount(g), 3u);
    poolDelete(g, true);
}

// Tasks of the tick core run as on one processor: a worse task made ready waits while a better one
// runs on (however the host schedules the two), but not while the better one sleeps in the host
// kernel outside the RTOS calls, as a blocked task on the device would not hold it back.
TEST(RtosTickCore, AWorseTaskWaitsWhileABetterOneRunsButNotWhileItSleepsInTheHost) {
    SEM_ID goBetter = semBCreate(0, SEM_EMPTY), goWorse = semBCreate(0, SEM_EMPTY);
    std::mutex outside;
    std::atomic<int> phase{0}, worseSaw{-1};
    outside.lock();
    const TASK_ID better = taskSpawn("tBetter", 10, TASK_OPT_TICK_CORE, 8192, [&] {
        semTake(goBetter, WAIT_FOREVER);
        phase = 1;
        semGive(goWorse); // ready, but worse: waits for this task's next wait
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        while (std::chrono::steady_clock::now() < until) {
        }
        phase = 2;
        std::lock_guard<std::mutex> lk(outside); // asleep in the host kernel, not in an RTOS wait
    });
    const TASK_ID worse = taskSpawn("tWorse", 20, TASK_OPT_TICK_CORE, 8192, [&] {
        semTake(goWorse, WAIT_FOREVER);
        worseSaw = phase.load();
    });
    ASSERT_TRUE(eventually([&] { return taskIsPended(better) && taskIsPended(worse); }));
    semGive(goBetter);
    EXPECT_TRUE(eventually([&] { return worseSaw.load() >= 0; }));
    EXPECT_EQ(worseSaw.load(), 2) << "ran beside a better task that was running";
    outside.unlock();
    EXPECT_EQ(taskJoin(better, 10000), OK);
    EXPECT_EQ(taskJoin(worse, 10000), OK);
    semDelete(goBetter);
    semDelete(goWorse);
}

// A member that holds a mutex semaphore never waits for its turn: here a worse member gives way to
// a better one that runs on, while a task outside the core waits for the worse one's mutex. The
// better one runs until that task has the mutex (10 s at most).
TEST(RtosTickCore, AMutexHeldByAMemberIsNeverHeldBackByTheOrder) {
    SEM_ID goWorse = semBCreate(0, SEM_EMPTY), goBetter = semBCreate(0, SEM_EMPTY);
    SEM_ID mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    std::atomic<bool> outsideHasIt{false}, betterTimedOut{false}, worseHolds{false};
    const TASK_ID better = taskSpawn("tBetter", 10, TASK_OPT_TICK_CORE, 8192, [&] {
        semTake(goBetter, WAIT_FOREVER);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!outsideHasIt.load()) {
            if (std::chrono::steady_clock::now() > until) {
                betterTimedOut = true;
                break;
            }
        }
    });
    const TASK_ID worse = taskSpawn("tWorse", 20, TASK_OPT_TICK_CORE, 8192, [&] {
        semTake(goWorse, WAIT_FOREVER);
        semTake(mutex, WAIT_FOREVER);
        worseHolds = true;
        semGive(goBetter); // gives way to the better task, the mutex in hand
        semGive(mutex);
    });
    ASSERT_TRUE(eventually([&] { return taskIsPended(better) && taskIsPended(worse); }));
    std::thread outside([&] {
        EXPECT_TRUE(eventually([&] { return worseHolds.load(); }));
        EXPECT_EQ(semTake(mutex, WAIT_FOREVER), OK);
        outsideHasIt = true;
        semGive(mutex);
    });
    semGive(goWorse);
    outside.join();
    EXPECT_EQ(taskJoin(better, 15000), OK);
    EXPECT_EQ(taskJoin(worse, 15000), OK);
    EXPECT_FALSE(betterTimedOut.load()) << "the mutex came free only once the better task stopped";
    semDelete(goBetter);
    semDelete(goWorse);
    semDelete(mutex);
}
