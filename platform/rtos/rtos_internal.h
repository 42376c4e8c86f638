// Internals shared by the RTOS layer's files: task records and the one timed-wait primitive.
#pragma once

#include "platform/rtos/perturb.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rtos_detail {

// Thrown from a wait of a task whose deletion was requested; caught by the task's trampoline.
// Deliberately not derived from std::exception so that ordinary handlers do not swallow it.
struct TaskDeletedUnwind {};

// Where a task of the tick core stands (see rtos_core.cpp).
enum class CoreState : uint8_t { Waiting, Ready, Running };

struct TaskRec;

// How a call of the RTOS API ended its wait: it had none, or it woke by a give or a time-out, or by
// a semaphore that the clock gives (the base tick).
enum class WokeBy : uint8_t { None, Wait, Clock };

// The tasks of the tick core that wait at one place (a semaphore, one side of a queue, the task
// events), kept by the place's owner under its own mutex, and how many other tasks wait there.
struct WaitPlace {
    std::vector<TaskRec*> members;
    int others = 0;
};

struct TaskRec {
    TASK_ID id = 0;
    std::string name;
    int priority = 0;
    int options = 0;
    size_t stackSize = 0;
    cpuset_t affinity = 0;
    bool foreign = false; // a thread not made by taskSpawn (main thread, test thread)
    std::function<void()> body;
    std::mutex attrMutex; // guards thread, started and affinity (the task itself may set them)
    pthread_t thread{};
    bool started = false;

    std::atomic<bool> deleteRequested{false};
    std::mutex waitLock;                          // guards waitingOn
    std::condition_variable* waitingOn = nullptr; // the wait the task sleeps in: a deletion wakes it
    int mutexesHeld = 0; // only the own thread changes it; deletion waits until it is 0

    std::mutex eventMutex;
    std::condition_variable eventCv;
    uint32_t events = 0;
    WaitPlace eventPlace; // who waits for the task's events: only the task itself

    std::mutex endMutex;
    std::condition_variable endCv;
    bool ended = false;

    pid_t osTid = 0;              // the thread's id in the host kernel (its state is read from /proc)
    std::atomic<int> waitKind{0}; // 0 running, 1 pended on an object, 2 delayed

    // Tick core membership. `coreMember` and `coreBlocked` belong to the task's own thread; the
    // rest is guarded by the core's mutex.
    bool coreMember = false;
    bool coreBlocked = false; // this call of the RTOS API waited: the task needs its turn again
    CoreState coreState = CoreState::Running;
    uint64_t coreSeq = 0;                      // order among equal priorities: when the task became ready
    uint64_t runningSinceNs = 0;               // host monotonic time the task got its turn
    uint64_t sleepSinceNs = 0;                 // first seen asleep in the host kernel (0: not seen so) ...
    uint64_t sleepCpuNs = 0;                   // ... with this much processor time used so far
    bool offCore = false;                      // holds the core, but asleep in the host kernel for a while
    std::condition_variable coreCv;            // its turn has come
    std::condition_variable* waitCv = nullptr; // the wait it sleeps in (for a deferred wake-up)
    bool wakePending = false; // made ready while a better task ran: woken when its turn comes

    // The perturbation (perturb.h), the task's own thread only: how this call of the RTOS API woke
    // from a wait, and the task's draws.
    WokeBy woke = WokeBy::None;
    std::unique_ptr<PerturbStream> perturb;
    uint64_t perturbGeneration = 0;
};

// The tick core (rtos_core.cpp). A member entering a wait gives up the core; a give makes the
// member waiters of a place ready and tells whether the place's condition variable must be
// notified now (false: every waiter is a member whose turn has not come; the core wakes each
// when it has).
void core_join(TaskRec* rec); // at creation, before the thread starts: the new task is ready
void core_start(TaskRec* me); // the task's first turn, before its body runs
void core_leave(TaskRec* me);
void core_block(TaskRec* me, std::condition_variable* cv);
void core_leftWait(TaskRec* me); // its wait has ended (under the object's lock)
void core_rewait(TaskRec* me);
bool core_wake(WaitPlace& place);
// After a call of the RTOS API has left its object's lock: a member that waited takes its turn,
// a member that made a better one ready gives way to it.
void core_turn(TaskRec* me);
void core_nudge(TaskRec* rec); // a waiting member is to be deleted: let it through the gate

// A call of the RTOS API whose task woke from a wait: holds the task late as the perturbation draws
// (perturb.cpp). Called without any lock of the layer, before a member takes its turn.
void perturb_afterWait(TaskRec* me, WokeBy how);

// Declared before the object's lock in every RTOS call that can wait or give, so that its end
// (after the lock is released) is where the calling task is held late by the perturbation and takes
// or yields its turn.
struct CoreTurn {
    TaskRec* me;
    CoreTurn();
    ~CoreTurn();
};

// The record of the calling thread (registered on first use for foreign threads).
TaskRec* self();

// Throws TaskDeletedUnwind when the calling task is to end and holds no mutex semaphore.
void checkDeletion();

// Device time (ns) at which a wait of `timeout` ticks from now ends; UINT64_MAX for WAIT_FOREVER.
uint64_t deadlineForTicks(_Vx_ticks_t timeout);

// Waits on `cv` for one slice of real time: up to the deadline but at most 250 ms (so that a
// deletion request is noticed), or 1 ms while the clock is driven by hand (so that a time-out
// follows the hand-driven time). False when the deadline had already passed.
// `byTime`: only the time can end the wait (a semaphore its clock gives, whose taker alone waits);
// outside the hand-driven clock the task then sleeps without the lock.
bool waitSlice(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadlineNs,
               bool byTime = false);

// A source that gives a semaphore by time (the base tick). With the semaphore's lock held, `poll`
// adds what has come due to the count and returns when the next comes due (device ns of the host
// clock, UINT64_MAX for never by itself), and `taken` hears of every take with the count left.
struct SemClock {
    virtual ~SemClock() = default;
    virtual uint64_t poll(int& count) = 0;
    virtual void taken(int countLeft) = 0;
};
void semAttachClock(SEM_ID sem, SemClock* clock);
// Wakes the waiters of a clock-given semaphore so that they look at its clock again.
void semKick(SEM_ID sem);

// Waits on `cv` (with `lk` held) until `ready()` holds, the time-out in ticks of the host clock
// runs out or the calling task is deleted (throws). Returns ready() at the end.

// Registers the calling task at a wait place for as long as it waits there.
class PlaceGuard {
public:
    PlaceGuard(WaitPlace& place, std::condition_variable& cv, bool delay, bool byClock);
    ~PlaceGuard();
    PlaceGuard(const PlaceGuard&) = delete;
    PlaceGuard& operator=(const PlaceGuard&) = delete;
    // Woken without its condition: a member that was made ready waits again.
    void rewait();

private:
    WaitPlace& place_;
    TaskRec* me_;
    bool byClock_;
};

// `wakeAt` (may be null) is a time, set by `ready`, at which the condition may hold without a
// notification (a semaphore given by the clock).
template <class Ready>
bool waitTicks(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, WaitPlace& place,
               _Vx_ticks_t timeout, Ready ready, bool delay = false, const uint64_t* wakeAt = nullptr,
               bool byTime = false) {
    if (ready()) return true;
    if (timeout == NO_WAIT) return false;
    const uint64_t deadline = deadlineForTicks(timeout);
    PlaceGuard at(place, cv, delay, byTime);
    for (;;) {
        checkDeletion();
        const uint64_t until = wakeAt && *wakeAt < deadline ? *wakeAt : deadline;
        if (!waitSlice(lk, cv, until, byTime) && until == deadline) return ready();
        if (ready()) return true;
        at.rewait();
    }
}

// Wakes the waiters of a place after its condition changed: `all` as notify_all, else one.
inline void wakePlace(WaitPlace& place, std::condition_variable& cv, bool all) {
    if (place.members.empty()) {
        if (all)
            cv.notify_all();
        else
            cv.notify_one();
        return;
    }
    if (core_wake(place) || place.others > 0) cv.notify_all();
}

} // namespace rtos_detail
