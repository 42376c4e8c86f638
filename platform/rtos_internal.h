// Internals shared by the RTOS layer's files: task records and the one timed-wait primitive.
#pragma once

#include "platform/rtos.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace rtos_detail {

// Thrown from a wait of a task whose deletion was requested; caught by the task's trampoline.
// Deliberately not derived from std::exception so that ordinary handlers do not swallow it.
struct TaskDeletedUnwind {};

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
    int mutexesHeld = 0; // only the own thread changes it; deletion waits until it is 0

    std::mutex eventMutex;
    std::condition_variable eventCv;
    uint32_t events = 0;

    std::mutex endMutex;
    std::condition_variable endCv;
    bool ended = false;
};

// The record of the calling thread (registered on first use for foreign threads).
TaskRec* self();

// Throws TaskDeletedUnwind when the calling task is to end and holds no mutex semaphore.
void checkDeletion();

// Device time (ns) at which a wait of `timeout` ticks from now ends; UINT64_MAX for WAIT_FOREVER.
uint64_t deadlineForTicks(_Vx_ticks_t timeout);

// Waits on `cv` for one slice of real time: up to the deadline but at most 50 ms (so that a
// deletion request is noticed), or 1 ms while the clock is driven by hand (so that a time-out
// follows the hand-driven time). False when the deadline had already passed.
bool waitSlice(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, uint64_t deadlineNs);

// Waits on `cv` (with `lk` held) until `ready()` holds, the time-out in ticks of the host clock
// runs out or the calling task is deleted (throws). Returns ready() at the end.

template <class Ready>
bool waitTicks(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, _Vx_ticks_t timeout, Ready ready) {
    if (ready()) return true;
    if (timeout == NO_WAIT) return false;
    const uint64_t deadline = deadlineForTicks(timeout);
    for (;;) {
        checkDeletion();
        if (!waitSlice(lk, cv, deadline)) return ready();
        if (ready()) return true;
    }
}

} // namespace rtos_detail
