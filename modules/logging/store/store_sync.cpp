#include "logging/store/store_sync.h"

#include "framework/syslog.h"
#include "platform/drives/bfs.h"
#include "platform/rtos/rtos.h"

#include <deque>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>

namespace measure::store {

namespace {

constexpr int kSyncPriority = 146; // as the writers it serves
constexpr size_t kSyncStack = 10000;
constexpr size_t kMaxQueued = 64; // files and drives; more means the disk is far behind anyway

struct Request {
    int fd = -1;      // a file's duplicate descriptor, or -1 for a drive's root
    std::string path; // the file's device path, or the drive: requests for it merge
};

struct Syncer {
    std::mutex m;
    std::deque<Request> queue;
    uint32_t busy = 0;            // taken from the queue and not yet done
    std::set<std::string> failed; // files whose write-through failed
    SEM_ID wake = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
};

Syncer& syncer() {
    static auto* s = new Syncer; // writers may still queue while the process ends
    return *s;
}

void writeThrough(const Request& r) {
    if (r.fd >= 0) {
        const bool failed = bfs_ioctl(r.fd, FIOFLUSH, 0) != 0;
        bfs_close(r.fd);
        if (!failed) return;
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::flush(): FIOFLUSH failed");
        // The file's close asks: what did not reach the disk leaves it unfinished.
        Syncer& s = syncer();
        std::lock_guard<std::mutex> lk(s.m);
        s.failed.insert(r.path);
        return;
    }
    const int fd = bfs_open(r.path.c_str(), O_RDONLY);
    if (fd < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::flushDir() open '%s' failed.", r.path.c_str());
        return;
    }
    const int rc = bfs_ioctl(fd, FIOSYNC, 0);
    bfs_close(fd);
    if (rc != 0)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::flushDir() ioctl '%s' failed - ret %X", r.path.c_str(),
                          unsigned(rc));
}

void syncTask() {
    Syncer& s = syncer();
    for (;;) {
        semTake(s.wake, WAIT_FOREVER);
        for (;;) {
            Request r;
            {
                std::lock_guard<std::mutex> lk(s.m);
                if (s.queue.empty()) break;
                r = std::move(s.queue.front());
                s.queue.pop_front();
                ++s.busy;
            }
            writeThrough(r);
            std::lock_guard<std::mutex> lk(s.m);
            --s.busy;
        }
    }
}

// Queues `r` unless an equal request waits already; the caller's descriptor is closed then.
bool enqueue(Request r) {
    Syncer& s = syncer();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.task == TASK_ID_ERROR) {
        if (!s.wake) s.wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        if (s.wake) s.task = taskSpawn("r_BFSSync", kSyncPriority, VX_FP_TASK, kSyncStack, syncTask);
        if (s.task == TASK_ID_ERROR) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter: the write-through task cannot be started");
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
    Syncer& s = syncer();
    std::lock_guard<std::mutex> lk(s.m);
    return path && s.failed.erase(path) != 0;
}

uint32_t syncPending() {
    Syncer& s = syncer();
    std::lock_guard<std::mutex> lk(s.m);
    return uint32_t(s.queue.size()) + s.busy;
}

} // namespace measure::store
