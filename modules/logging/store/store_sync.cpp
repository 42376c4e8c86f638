#include "logging/store/store_sync.h"

#include "framework/per_key.h"
#include "framework/syslog.h"
#include "logging/disk/meas_app_dirsync.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/rtos/rtos.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>

namespace measure::store {

namespace {

constexpr int kSyncPriority = 146; // as the writers it serves
constexpr size_t kSyncStack = 10000;
constexpr size_t kMaxQueued = 64; // files and the drive; more means the disk is far behind anyway

struct Request {
    int fd = -1;      // a file's duplicate descriptor, or -1 for the drive's root
    std::string path; // the file's device path, or the drive: requests for it merge
};

// The write-throughs of one drive, on a task of its own: a drive that hangs in one holds back
// only its own.
struct Syncer {
    std::string drive;
    std::mutex m;
    std::condition_variable done; // a request ended
    std::deque<Request> queue;
    uint32_t busy = 0;            // taken from the queue and not yet done
    std::string current;          // the file being written through ("" none)
    std::set<std::string> failed; // files whose write-through failed
    SEM_ID wake = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
};

PerKey<Syncer>& syncers() {
    static auto* s = new PerKey<Syncer>; // writers may still queue while the process ends
    return *s;
}

Syncer& syncerOf(const std::string& path) {
    const std::string drive = devpath_drive(path);
    return syncers().get(drive, [&](Syncer& s) { s.drive = drive; });
}

void writeThrough(Syncer& s, const Request& r) {
    if (r.fd < 0) {
        // A failure is recorded and told there: the files it covered are not finished.
        meas_app_dirSync(r.path.c_str());
        return;
    }
    if (bfs_ioctl(r.fd, FIOFLUSH, 0) != 0) {
        const int error = errno;
        // Recorded before the descriptor goes: a close that looks after it never sees success. What
        // did not reach the disk leaves the file unfinished; a later write-through that succeeds
        // proves nothing.
        {
            std::lock_guard<std::mutex> lk(s.m);
            s.failed.insert(r.path);
        }
        syslogx(LOG_PRIO_ERR, "BFSWriter::flush(): %s could not be written through (%s)", r.path.c_str(),
                std::strerror(error));
    }
    bfs_close(r.fd);
}

void syncTask(Syncer* s) {
    for (;;) {
        semTake(s->wake, WAIT_FOREVER);
        for (;;) {
            Request r;
            {
                std::lock_guard<std::mutex> lk(s->m);
                if (s->queue.empty()) break;
                r = std::move(s->queue.front());
                s->queue.pop_front();
                ++s->busy;
                if (r.fd >= 0) s->current = r.path;
            }
            writeThrough(*s, r);
            std::lock_guard<std::mutex> lk(s->m);
            --s->busy;
            s->current.clear();
            s->done.notify_all();
        }
    }
}

// Queues `r` unless an equal request waits already; the caller's descriptor is closed then.
bool enqueue(Request r) {
    Syncer& s = syncerOf(r.path);
    std::unique_lock<std::mutex> lk(s.m);
    if (s.task == TASK_ID_ERROR) {
        if (!s.wake) s.wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        std::string name = "r_BFSSync_" + s.drive;
        if (name.back() == ':') name.pop_back();
        Syncer* raw = &s;
        if (s.wake)
            s.task = taskSpawn(name.c_str(), kSyncPriority, VX_FP_TASK, kSyncStack, [raw] { syncTask(raw); });
        if (s.task == TASK_ID_ERROR) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter: the write-through task cannot be started");
            if (r.fd >= 0) bfs_close(r.fd);
            return false;
        }
    }
    for (const Request& q : s.queue) {
        if ((q.fd >= 0) == (r.fd >= 0) && q.path == r.path) {
            if (r.fd >= 0) bfs_close(r.fd);
            return true;
        }
    }
    if (s.queue.size() >= kMaxQueued) {
        if (r.fd >= 0) bfs_close(r.fd);
        return false;
    }
    s.queue.push_back(std::move(r));
    lk.unlock();
    semGive(s.wake);
    return true;
}

} // namespace

bool syncFileLater(int fd) {
    char path[BFS_PATH_MAX] = "";
    if (fd < 0 || bfs_ioctl(fd, FIOGETNAME, reinterpret_cast<intptr_t>(path)) != 0) return false;
    Request r;
    r.fd = bfs_dup(fd);
    if (r.fd < 0) return false;
    r.path = path;
    return enqueue(std::move(r));
}

bool syncDirLater(const char* drive) {
    if (!drive || !*drive) return false;
    Request r;
    r.path = drive;
    return enqueue(std::move(r));
}

bool syncFailed(const char* path) {
    if (!path) return false;
    Syncer& s = syncerOf(path);
    std::unique_lock<std::mutex> lk(s.m);
    auto queued = [&] {
        if (s.current == path) return true;
        for (const Request& q : s.queue)
            if (q.fd >= 0 && q.path == path) return true;
        return false;
    };
    // Its descriptors share one error state: the first write-through to look takes the error. A
    // close that wrote through while a queued one was still to come would see success.
    s.done.wait(lk, [&] { return !queued(); });
    return s.failed.erase(path) != 0;
}

bool syncFailedYet(const char* path) {
    if (!path) return false;
    Syncer& s = syncerOf(path);
    std::lock_guard<std::mutex> lk(s.m);
    return s.failed.count(path) != 0;
}

void syncForget(const char* path) {
    if (!path) return;
    Syncer& s = syncerOf(path);
    std::lock_guard<std::mutex> lk(s.m);
    s.failed.erase(path);
}

uint32_t syncPending() {
    uint32_t n = 0;
    syncers().forEach([&](Syncer& s) {
        std::lock_guard<std::mutex> lk(s.m);
        n += uint32_t(s.queue.size()) + s.busy;
    });
    return n;
}

} // namespace measure::store
