// The seeded perturbation of the tasks' timing: its values, its draws, and that a task's wake-ups
// really come late by them.
#include "platform/rtos/basetick.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/perturb.h"
#include "platform/rtos/rtos.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// Switches the perturbation on for one test and off at its end.
struct Perturbed {
    explicit Perturbed(const PerturbConfig& c) { perturb_set(&c); }
    ~Perturbed() { perturb_set(nullptr); }
};

PerturbConfig config(uint64_t seed, uint32_t maxMs, std::vector<std::string> tasks = {}) {
    PerturbConfig c;
    c.seed = seed;
    c.maxMs = maxMs;
    c.tasks = std::move(tasks);
    return c;
}

std::vector<uint32_t> draws(const PerturbConfig& c, const std::string& task, int n) {
    PerturbStream s(c, task);
    std::vector<uint32_t> out;
    for (int i = 0; i < n; ++i) out.push_back(s.nextLateMs());
    return out;
}

} // namespace

TEST(Perturb, ValuesOfTheVariable) {
    const struct {
        const char* text;
        bool ok;
        uint64_t seed;
        uint32_t maxMs;
        std::vector<std::string> tasks;
        const char* why; // a word of the reason for a refusal
    } rows[] = {
        {"17", true, 17, kPerturbDefaultMaxMs, {}, ""},
        {"0", true, 0, kPerturbDefaultMaxMs, {}, ""},
        {"18446744073709551615", true, UINT64_MAX, kPerturbDefaultMaxMs, {}, ""},
        {"17:30", true, 17, 30, {}, ""},
        {"17:1", true, 17, 1, {}, ""},
        {"17:1000", true, 17, 1000, {}, ""},
        {"17:30:r_BFSSync*,tLapTrg", true, 17, 30, {"r_BFSSync*", "tLapTrg"}, ""},
        {"", false, 0, 0, {}, "seed"},
        {"abc", false, 0, 0, {}, "seed"},
        {"-1", false, 0, 0, {}, "seed"},
        {" 17", false, 0, 0, {}, "seed"},
        {"17x", false, 0, 0, {}, "seed"},
        {"0x11", false, 0, 0, {}, "seed"},
        {"18446744073709551616", false, 0, 0, {}, "seed"},
        {"17:", false, 0, 0, {}, "held"},
        {"17:0", false, 0, 0, {}, "held"},
        {"17:-5", false, 0, 0, {}, "held"},
        {"17:1001", false, 0, 0, {}, "held"},
        {"17:99999999999999999999999", false, 0, 0, {}, "held"},
        {"17:30:", false, 0, 0, {}, "task"},
        {"17:30:a,,b", false, 0, 0, {}, "task"},
        {"17:30:*", false, 0, 0, {}, "task"},
        {"17:30:a*b", false, 0, 0, {}, "task"},
        {"17:30:a b", false, 0, 0, {}, "task"},
        {"17:30:a:b", false, 0, 0, {}, "not <seed>"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        PerturbConfig c;
        c.seed = 99;
        std::string why;
        ASSERT_EQ(perturb_parse(r.text, &c, &why), r.ok) << why;
        if (r.ok) {
            EXPECT_EQ(c.seed, r.seed);
            EXPECT_EQ(c.maxMs, r.maxMs);
            EXPECT_EQ(c.tasks, r.tasks);
        } else {
            EXPECT_NE(why.find(r.why), std::string::npos) << why;
            EXPECT_EQ(c.seed, 99u) << "a refused value changes nothing";
        }
    }
}

// A task's draws depend on the seed and its name alone; one wake-up in four comes late, each of a
// named task's, never later than the most.
TEST(Perturb, DrawsFollowTheSeedAndTheTaskName) {
    const PerturbConfig c = config(17, 20, {"r_BFSSync*", "r_notifyRasterT"});
    const auto a = draws(c, "tLapTrg", 4000);
    EXPECT_EQ(a, draws(c, "tLapTrg", 4000)) << "the same seed and name draw the same";
    EXPECT_NE(a, draws(config(18, 20), "tLapTrg", 4000)) << "another seed draws otherwise";
    EXPECT_NE(a, draws(c, "tLapTrh", 4000)) << "another task draws otherwise";
    int late = 0;
    for (uint32_t ms : a) {
        EXPECT_LE(ms, 20u);
        late += ms > 0;
    }
    EXPECT_GT(late, 900);
    EXPECT_LT(late, 1100);
    for (const char* named : {"r_BFSSync1", "r_BFSSync", "r_notifyRasterTask", "r_notifyRasterT"}) {
        SCOPED_TRACE(named);
        for (uint32_t ms : draws(c, named, 500)) {
            EXPECT_GE(ms, 1u);
            EXPECT_LE(ms, 20u);
        }
    }
    EXPECT_FALSE(perturb_names(c, "r_BFSSyn"));
    EXPECT_FALSE(perturb_names(c, "r_notifyRaster"));
    EXPECT_FALSE(perturb_names(config(17, 20, {"tLap"}), "tLapTrg")) << "a name without '*' is whole";
}

// Each wake-up of a task from a wait is held by its draw: a named task's delays take each at least
// a tick and its draw, a task whose take has no need to wait draws nothing, and a foreign thread
// (this test's) is never held.
TEST(Perturb, ATaskWakesAsLateAsItDraws) {
    const PerturbConfig c = config(5, 30, {"tLate"});
    constexpr int kLate = 6, kOther = 40;
    const auto lateDraws = draws(c, "tLate", kLate), otherDraws = draws(c, "tOther", kOther);
    Perturbed on(c);
    SEM_ID full = semCCreate(0, 100);
    std::vector<uint64_t> took(kLate);
    const TASK_ID late = taskSpawn("tLate", 100, 0, 8192, [&] {
        for (int i = 0; i < kLate; ++i) {
            const uint64_t t0 = hostclock_nowNs();
            taskDelay(1);
            took[i] = hostclock_nowNs() - t0;
        }
    });
    const TASK_ID other = taskSpawn("tOther", 100, 0, 8192, [&] {
        for (int i = 0; i < kOther; ++i) {
            semTake(full, 1); // no wait: no wake-up
            SEM_ID empty = semBCreate(0, SEM_EMPTY);
            semTake(empty, 1); // a wake-up by its time-out
            semDelete(empty);
        }
    });
    for (int i = 0; i < 5; ++i) taskDelay(2);
    ASSERT_EQ(taskJoin(late, 20000), OK);
    ASSERT_EQ(taskJoin(other, 20000), OK);
    semDelete(full);
    for (int i = 0; i < kLate; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(lateDraws[i], 1u);
        EXPECT_GE(took[i], (1 + lateDraws[i]) * 1000000ULL) << "held " << lateDraws[i] << " ms";
    }
    const auto expect = [](const std::vector<uint32_t>& d) {
        PerturbCounts n;
        for (uint32_t ms : d) {
            ++n.wakeups;
            n.late += ms > 0;
            n.lateMs += ms;
        }
        return n;
    };
    for (const auto& [task, drawn] : {std::pair{"tLate", lateDraws}, std::pair{"tOther", otherDraws}}) {
        SCOPED_TRACE(task);
        const PerturbCounts n = perturb_counts(task), e = expect(drawn);
        EXPECT_EQ(n.wakeups, e.wakeups);
        EXPECT_EQ(n.late, e.late);
        EXPECT_EQ(n.lateMs, e.lateMs);
    }
    EXPECT_EQ(perturb_counts(taskName(0)).wakeups, 0u) << "this test's own thread is never held";
}

// The tick core comes late as a whole: its task that takes the base tick is held at the tick's
// wake-ups, ready, and a worse member whose wait ends meanwhile waits behind it (though the held one
// waits in no RTOS call), as on one processor; a member woken otherwise is not held, named though it
// is.
TEST(Perturb, TheTickCoreComesLateBehindItsTickTaker) {
    PerturbConfig c = config(0, 40, {"tCounter", "tWorse"});
    while (draws(c, "tCounter", 1)[0] < 30) ++c.seed; // held long
    SEM_ID tick = basetick_start();
    ASSERT_NE(tick, SEM_ID_NULL);
    Perturbed on(c);
    std::mutex m;
    std::vector<std::string> order;
    auto note = [&](const char* what) {
        std::lock_guard<std::mutex> lk(m);
        order.push_back(what);
    };
    const TASK_ID counter = taskSpawn("tCounter", 10, TASK_OPT_TICK_CORE, 8192, [&] {
        // Ticks that came due before a take are taken without a wait: no wake-up.
        while (perturb_counts("tCounter").wakeups == 0) basetick_take(tick, WAIT_FOREVER, nullptr);
        note("counter");
    });
    const TASK_ID worse = taskSpawn("tWorse", 20, TASK_OPT_TICK_CORE, 8192, [&] {
        while (perturb_counts("tCounter").wakeups == 0) taskDelay(1);
        taskDelay(1); // ends while the counter is held (or, on a busy host, after it ran)
        note("worse");
    });
    ASSERT_EQ(taskJoin(counter, 10000), OK);
    ASSERT_EQ(taskJoin(worse, 10000), OK);
    EXPECT_EQ(order, (std::vector<std::string>{"counter", "worse"}));
    EXPECT_EQ(perturb_counts("tCounter").lateMs, draws(c, "tCounter", 1)[0]);
    EXPECT_EQ(perturb_counts("tWorse").wakeups, 0u) << "a member woken by its time-out is held";
    basetick_stop();
}
