#include "logging/disk/meas_app_drivecall.h"

#include "framework/per_key.h"
#include "framework/syslog.h"
#include "platform/drives/drive_calls.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kCallPriority = 160; // as the copies: below the writers
constexpr size_t kCallStack = 20480;
constexpr size_t kMaxQueued = 16;
constexpr auto kLook = std::chrono::milliseconds(100); // a waiting caller looks at the drive so often

struct Job {
    std::function<int()> call;
    std::string what;
    int result = -1;
    bool done = false;
    bool dropped = false; // its caller gave up before it began
};

struct DriveTask {
    std::string drive;
    std::mutex m;
    std::condition_variable ended; // a job is done
    std::deque<std::shared_ptr<Job>> queue;
    std::shared_ptr<Job> current;
    bool toldHung = false;
    std::string hungWhat;
    std::atomic<uint32_t> backs{0};
    SEM_ID wake = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
};

PerKey<DriveTask>& tasks() {
    static auto* t = new PerKey<DriveTask>; // calls may hang in their tasks while the process ends
    return *t;
}

DriveTask& recordOf(const char* drive) {
    return tasks().get(drive ? drive : "", [drive](DriveTask& made) { made.drive = drive ? drive : ""; });
}

// Whether the drive hangs now, telling it once when it begins and when it ends.
bool hangs(DriveTask& d, std::string* what) {
    std::string call;
    const bool hung = drivecalls_oldestMs(d.drive.c_str(), &call) >= MEAS_DRIVECALL_BOUND_MS;
    std::unique_lock<std::mutex> lk(d.m);
    if (hung) {
        // The logging's own job is named by what it does.
        if (d.current && call.find(" of r_DrvCall_") != std::string::npos) call = d.current->what;
        if (!d.toldHung) {
            d.toldHung = true;
            d.hungWhat = call;
            lk.unlock();
            syslogx(
                LOG_PRIO_ERR,
                "meas_app_driveCall(): the drive '%s' does not answer: %s has hung for %u s; it counts as "
                "failed until it returns",
                d.drive.c_str(), call.c_str(), unsigned(MEAS_DRIVECALL_BOUND_MS / 1000));
            lk.lock();
        }
        if (what) *what = d.hungWhat;
        return true;
    }
    if (d.toldHung) {
        d.toldHung = false;
        const std::string was = d.hungWhat;
        d.backs.fetch_add(1);
        lk.unlock();
        syslogx(LOG_PRIO_WARNING, "meas_app_driveCall(): the drive '%s' answers again (%s returned)",
                d.drive.c_str(), was.c_str());
    }
    return false;
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
                if (job->dropped) continue;
                d->current = job;
            }
            const int result = job->call();
            {
                std::lock_guard<std::mutex> lk(d->m);
                job->result = result;
                job->done = true;
                d->current.reset();
                d->ended.notify_all();
            }
            hangs(*d, nullptr); // a hang it ended is told now
        }
    }
}

DriveTask* taskOf(const char* drive) {
    DriveTask& d = recordOf(drive);
    std::lock_guard<std::mutex> lk(d.m);
    if (d.task != TASK_ID_ERROR) return &d;
    if (!d.wake) d.wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::string name = "r_DrvCall_" + d.drive;
    if (!name.empty() && name.back() == ':') name.pop_back();
    DriveTask* raw = &d;
    if (d.wake)
        d.task = taskSpawn(name.c_str(), kCallPriority, VX_FP_TASK, kCallStack, [raw] { driveTask(raw); });
    if (d.task == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "meas_app_driveCall(): the task of '%s' cannot be started", d.drive.c_str());
        return nullptr;
    }
    return &d;
}

// Queues the job; null when the drive hangs (unless the job waits for it) or the queue is full.
std::shared_ptr<Job> queue(DriveTask* d, const char* what, std::function<int()> call, bool waits = false) {
    auto job = std::make_shared<Job>();
    job->call = std::move(call);
    job->what = what ? what : "a drive call";
    std::string hung;
    if (hangs(*d, &hung) && !waits) {
        syslogx(LOG_PRIO_ERR,
                "meas_app_driveCall(): %s on '%s' is not made: the drive hangs (%s does not return)",
                job->what.c_str(), d->drive.c_str(), hung.c_str());
        return nullptr;
    }
    std::unique_lock<std::mutex> lk(d->m);
    if (waits)
        for (const std::shared_ptr<Job>& queued : d->queue)
            if (!queued->dropped && queued->what == job->what) return queued; // it runs for both
    if (d->queue.size() >= kMaxQueued) {
        lk.unlock();
        syslogx(LOG_PRIO_ERR,
                "meas_app_driveCall(): %s on '%s' is not made: the drive has too many calls waiting",
                job->what.c_str(), d->drive.c_str());
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

int meas_app_driveCall(const char* drive, const char* what, std::function<int()> call) {
    DriveTask* d = taskOf(drive);
    if (!d) return -1;
    const std::shared_ptr<Job> job = queue(d, what, std::move(call));
    if (!job) return -1;
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(d->m);
            if (d->ended.wait_for(lk, kLook, [&] { return job->done; })) return job->result;
        }
        if (hangs(*d, nullptr)) {
            // The call in hand keeps its task; one not begun yet is not made at all.
            std::lock_guard<std::mutex> lk(d->m);
            if (job->done) return job->result;
            job->dropped = true;
            return -1;
        }
    }
}

bool meas_app_driveCallAsync(const char* drive, const char* what, std::function<int()> call,
                             bool waitsForTheDrive) {
    DriveTask* d = taskOf(drive);
    return d && queue(d, what, std::move(call), waitsForTheDrive) != nullptr;
}

bool meas_app_driveHung(const char* drive, std::string* what) {
    return hangs(recordOf(drive), what);
}

void meas_app_driveWatch() {
    std::vector<DriveTask*> started;
    tasks().forEach([&](DriveTask& d) {
        std::lock_guard<std::mutex> lk(d.m);
        if (d.task != TASK_ID_ERROR) started.push_back(&d);
    });
    for (DriveTask* d : started) hangs(*d, nullptr);
}

uint32_t meas_app_driveBack(const char* drive) {
    return recordOf(drive).backs.load();
}
