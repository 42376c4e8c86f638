#include "logging/disk/meas_app_drivecall.h"

#include "framework/per_key.h"
#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCallPriority = 160; // as the copies: below the writers
constexpr size_t kCallStack = 20480;
constexpr size_t kMaxQueued = 16;

struct Job {
    std::function<int()> call;
    std::string what;
    int result = -1;
    bool done = false;
};

struct DriveTask {
    std::string drive;
    std::mutex m;
    std::condition_variable ended; // a job is done
    std::deque<std::shared_ptr<Job>> queue;
    std::shared_ptr<Job> current;
    Clock::time_point startedAt;
    bool toldHung = false;
    SEM_ID wake = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
};

PerKey<DriveTask>& tasks() {
    static auto* t = new PerKey<DriveTask>; // calls may hang in their tasks while the process ends
    return *t;
}

// The current call has run past its bound (the drive's lock held).
bool hangsLocked(DriveTask& d) {
    return d.current && Clock::now() - d.startedAt >= std::chrono::milliseconds(MEAS_DRIVECALL_BOUND_MS);
}

void tellHung(DriveTask& d, const std::string& what) {
    syslogx(LOG_PRIO_ERR,
            "meas_app_driveCall(): the drive '%s' does not answer: %s has hung for %d s; it counts as failed "
            "until it returns",
            d.drive.c_str(), what.c_str(), MEAS_DRIVECALL_BOUND_MS / 1000);
}

void driveTask(DriveTask* d) {
    for (;;) {
        semTake(d->wake, WAIT_FOREVER);
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::lock_guard<std::mutex> lk(d->m);
                if (d->queue.empty()) break;
                job = d->queue.front();
                d->queue.pop_front();
                d->current = job;
                d->startedAt = Clock::now();
            }
            const int result = job->call();
            bool wasHung = false;
            {
                std::lock_guard<std::mutex> lk(d->m);
                job->result = result;
                job->done = true;
                d->current.reset();
                wasHung = d->toldHung;
                d->toldHung = false;
                d->ended.notify_all();
            }
            if (wasHung)
                syslogx(LOG_PRIO_WARNING, "meas_app_driveCall(): the drive '%s' answers again (%s returned)",
                        d->drive.c_str(), job->what.c_str());
        }
    }
}

DriveTask* taskOf(const char* drive) {
    DriveTask& d = tasks().get(drive ? drive : "", [drive](DriveTask& made) {
        made.drive = drive ? drive : "";
        made.wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        std::string name = "r_DrvCall_" + made.drive;
        if (!name.empty() && name.back() == ':') name.pop_back();
        DriveTask* raw = &made;
        if (made.wake)
            made.task =
                taskSpawn(name.c_str(), kCallPriority, VX_FP_TASK, kCallStack, [raw] { driveTask(raw); });
        if (made.task == TASK_ID_ERROR)
            syslogx(LOG_PRIO_ERR, "meas_app_driveCall(): the task of '%s' cannot be started", made.drive.c_str());
    });
    return d.task == TASK_ID_ERROR ? nullptr : &d;
}

// Queues the job; null when the drive hangs or the queue is full.
std::shared_ptr<Job> queue(DriveTask* d, const char* what, std::function<int()> call) {
    auto job = std::make_shared<Job>();
    job->call = std::move(call);
    job->what = what ? what : "a drive call";
    std::unique_lock<std::mutex> lk(d->m);
    // A caller that gave up on the call in hand has told the drive hung: nothing queues behind it.
    if (d->toldHung || hangsLocked(*d) || d->queue.size() >= kMaxQueued) {
        const bool tell = hangsLocked(*d) && !d->toldHung;
        d->toldHung = d->toldHung || tell;
        const std::string hung = d->current ? d->current->what : std::string();
        lk.unlock();
        if (tell) tellHung(*d, hung);
        syslogx(LOG_PRIO_ERR, "meas_app_driveCall(): %s on '%s' is not made: the drive %s", job->what.c_str(),
                d->drive.c_str(), hung.empty() ? "has too many calls waiting" : "hangs");
        return nullptr;
    }
    d->queue.push_back(job);
    lk.unlock();
    semGive(d->wake);
    return job;
}

} // namespace

bool meas_app_driveCallStart(const char* drive) {
    return taskOf(drive) != nullptr;
}

int meas_app_driveCall(const char* drive, const char* what, std::function<int()> call, int boundMs) {
    DriveTask* d = taskOf(drive);
    if (!d) return -1;
    const std::shared_ptr<Job> job = queue(d, what, std::move(call));
    if (!job) return -1;
    std::unique_lock<std::mutex> lk(d->m);
    if (d->ended.wait_for(lk, std::chrono::milliseconds(boundMs), [&] { return job->done; }))
        return job->result;
    // The call (or one before it) hangs: it keeps its task, the caller goes on.
    const std::string hung = d->current ? d->current->what : job->what;
    const bool tell = !d->toldHung;
    d->toldHung = true;
    lk.unlock();
    if (tell) tellHung(*d, hung);
    return -1;
}

bool meas_app_driveCallAsync(const char* drive, const char* what, std::function<int()> call) {
    DriveTask* d = taskOf(drive);
    return d && queue(d, what, std::move(call)) != nullptr;
}

bool meas_app_driveHung(const char* drive, std::string* what) {
    DriveTask* d = tasks().find(drive ? drive : "");
    if (!d) return false;
    std::unique_lock<std::mutex> lk(d->m);
    if (!d->current || (!d->toldHung && !hangsLocked(*d))) return false;
    if (what) *what = d->current->what;
    if (!d->toldHung) {
        d->toldHung = true;
        const std::string hung = d->current->what;
        lk.unlock();
        tellHung(*d, hung);
    }
    return true;
}
