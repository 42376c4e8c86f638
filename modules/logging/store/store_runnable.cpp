#include "logging/store/store_runnable.h"

#include "framework/syslog.h"

#include <cerrno>
#include <climits>

namespace measure::store {

namespace {
// A deleted task ends at its next wait; one stuck outside every wait is given this long.
constexpr int kForcedJoinMs = 5000;
} // namespace

Runnable::~Runnable() {
    taskStop(WAIT_FOREVER);
}

bool Runnable::taskStart(const char* name, int priority, size_t stackSize, int options, int processor) {
    ScopeLock guard(lock_, "Runnable::taskStart");
    if (tid_.load() != TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "Runnable(): tried starting task (%s) twice!", name);
        return false;
    }
    run_.store(true);
    const TASK_ID tid =
        taskSpawn(name, priority, options, stackSize, [this, processor] { launcher(processor); });
    if (tid == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "Runnable(): start of task (%s) failed! errno %d", name, errno);
        run_.store(false);
        return false;
    }
    tid_.store(tid);
    return true;
}

void Runnable::launcher(int processor) {
    if (processor >= 0) taskCpuAffinitySet(taskIdSelf(), cpuset_t(1u << processor));
    taskStartCallback();
    while (run_.load() && taskMain()) {
    }
    syslogx(LOG_PRIO_INFO2, "Runnable task is going to shutdown!");
    taskStopCallback();
    tid_.store(TASK_ID_ERROR); // the last touch of this object by the task
}

bool Runnable::taskStop(int timeoutTicks, bool force) {
    ScopeLock guard(lock_, "Runnable::taskStop");
    const TASK_ID tid = tid_.load();
    if (tid == TASK_ID_ERROR) return true;
    run_.store(false);
    if (tid == taskIdSelf()) return false; // the task ends when it returns to its loop
    const int ms = timeoutTicks == WAIT_FOREVER ? INT_MAX : timeoutTicks * 1000 / sysClkRateGet();
    if (taskJoin(tid, ms) != OK) {
        if (!force) return false;
        syslogx(LOG_PRIO_WARNING, "Runnable::taskStop(): task %ld did not end in time, deleting it",
                long(tid));
        taskDeleteForce(tid);
        if (taskJoin(tid, kForcedJoinMs) != OK) return false;
    }
    tid_.store(TASK_ID_ERROR);
    return true;
}

bool Runnable::sleepTicks(int ticks) {
    const int step = sysClkRateGet() / 10;
    while (ticks > 0 && run_.load()) {
        const int now = ticks < step ? ticks : step;
        taskDelay(now);
        ticks -= now;
    }
    return run_.load();
}

} // namespace measure::store
