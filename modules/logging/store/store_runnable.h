// The task wrapper of the store: a platform task that calls taskStartCallback once, taskMain while
// it returns true and the run flag stands, then taskStopCallback.
//
// A derived class must stop its task (taskStop) in its own destructor: the task calls its virtual
// operations, which are gone by the time this base's destructor runs.
#pragma once

#include "logging/store/store_lock.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstddef>

namespace measure::store {

class Runnable {
public:
    Runnable() = default;
    virtual ~Runnable();
    Runnable(const Runnable&) = delete;
    Runnable& operator=(const Runnable&) = delete;

    virtual void taskStartCallback() {}
    virtual bool taskMain() = 0; // whether to go on
    virtual void taskStopCallback() {}

    // Spawns the task (bound to `processor` when >= 0). False (logged) when it exists or fails.
    bool taskStart(const char* name, int priority, size_t stackSize, int options, int processor);
    // Clears the run flag and waits up to `timeoutTicks` (WAIT_FOREVER: no limit) for the task to
    // end. A task still running then is deleted (it ends at its next wait) and joined, unless
    // `force` is false (a task that hangs in a drive call is left to it). True when no task is left.
    bool taskStop(int timeoutTicks, bool force = true);
    void taskStopAsync() { run_.store(false); }
    bool isRunning() const { return run_.load(); }
    bool hasTask() const { return tid_.load() != TASK_ID_ERROR; }

protected:
    // Waits `ticks` in steps of at most 100 ms; false when the task was told to stop meanwhile.
    bool sleepTicks(int ticks);

private:
    void launcher(int processor);

    std::atomic<bool> run_{false};
    Lock lock_;
    std::atomic<TASK_ID> tid_{TASK_ID_ERROR};
};

} // namespace measure::store
