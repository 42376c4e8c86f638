#include "logging/store/store_sync.h"

#include "framework/per_key.h"
#include "framework/syslog.h"
#include "logging/disk/meas_app_dirsync.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/rtos/rtos.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace measure::store {

namespace {

constexpr int kSyncPriority = 146; // as the writers it serves
constexpr int kSyncProcessor = 0;  // beside the writers it serves
constexpr size_t kSyncStack = 10000;
constexpr size_t kMaxQueued = 64; // files and the drive; more means the disk is far behind anyway
// Tasks of a drive: the write-throughs of different files and of the folder go on side by side, so
// that a closed file's last ones never hold back the next file's (nor its entry's). Four start with
// the drive's first request; one more starts whenever a request could go on and every task is in
// hand (closes that wait seconds for a slow drive must not hold back an open file's write-through),
// up to a bound that only a drive whose calls do not return reaches.
constexpr int kSyncTasks = 4;
constexpr int kSyncTasksMost = 16;

struct Request {
    int fd = -1;                // a file's duplicate descriptor, or -1 for the drive's root
    std::string path;           // the file's device path (for the log), or the drive
    bfs_fileId id;              // the file: requests for it merge (the root's is {0, 0})
    std::function<void()> work; // a job for the file, after its write-throughs queued before it
};

// The write-throughs of one drive, on tasks of its own: a drive that hangs in one holds back only
// its own. The requests of one file (or of the folder) run one at a time, in their order.
struct Syncer {
    std::string drive;
    std::mutex m;
    std::condition_variable done; // a request ended
    std::condition_variable work; // a request came or ended
    std::deque<Request> queue;
    uint32_t busy = 0;                   // taken from the queue and not yet done
    std::multiset<bfs_fileId> taken;     // the files (the folder) of the requests under way
    std::multiset<bfs_fileId> writing;   // the files whose write-through is under way
    std::map<bfs_fileId, int> failed;    // files whose write-through failed, with the error
    std::map<bfs_fileId, uint64_t> good; // the length each file's last good write-through covered
    bool started = false;
    bool startFailed = false;
    int tasks = 0; // started
    int ready = 0; // started and not in a request: waiting for one, or on their way to it
    // The device root it serves: its tasks resolve the folder's path there. A syncer of an earlier
    // root (tests change it) lets its tasks end once its queue is empty.
    uint64_t generation = 0;
    bool retired = false;
};

PerKey<Syncer>& syncers() {
    static auto* s = new PerKey<Syncer>; // writers may still queue while the process ends
    return *s;
}

Syncer& syncerOf(const std::string& path) {
    const std::string drive = devpath_drive(path);
    const uint64_t generation = devroot_generation();
    bool made = false;
    Syncer& syncer = syncers().get(drive + "@" + std::to_string(generation), [&](Syncer& s) {
        s.drive = drive;
        s.generation = generation;
        made = true;
    });
    if (made)
        syncers().forEach([&](Syncer& s) {
            if (s.drive != drive || s.generation == generation) return;
            std::lock_guard<std::mutex> lk(s.m);
            s.retired = true;
            s.work.notify_all();
        });
    return syncer;
}

void writeThrough(Syncer& s, const Request& r) {
    if (r.fd < 0) {
        // A failure is recorded and told there: the files it covered are not finished.
        meas_app_dirSync(r.path.c_str());
        return;
    }
    // What the file holds before the write-through is what a good one covers: its writer hands
    // over whole records only.
    bfs_stat st{};
    const bool sized = bfs_ioctl(r.fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) == 0;
    if (bfs_ioctl(r.fd, FIOFLUSH, 0) != 0) {
        const int error = errno;
        // Recorded before the descriptor goes: a close that looks after it never sees success. What
        // did not reach the disk leaves the file unfinished; a later write-through that succeeds
        // proves nothing.
        {
            std::lock_guard<std::mutex> lk(s.m);
            s.failed.emplace(r.id, error);
        }
        syslogx(LOG_PRIO_ERR, "BFSWriter::flush(): %s could not be written through (%s)", r.path.c_str(),
                std::strerror(error));
    } else if (sized) {
        std::lock_guard<std::mutex> lk(s.m);
        if (!s.failed.count(r.id)) s.good[r.id] = st.st_size;
    }
    bfs_close(r.fd);
}

// The first request whose file (or folder) no other task has in hand and that none queued before
// it waits for; end() when there is none (the lock held).
std::deque<Request>::iterator nextFree(Syncer& s) {
    std::set<bfs_fileId> before;
    for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
        if (!s.taken.count(it->id) && !before.count(it->id)) return it;
        before.insert(it->id);
    }
    return s.queue.end();
}

bool startTask(Syncer& s);

// Every task in hand (a slow drive's closes, its folder) while a queued request could go on: one more.
void growIfAllInHand(Syncer& s) {
    if (s.ready == 0 && s.tasks < kSyncTasksMost && nextFree(s) != s.queue.end()) startTask(s);
}

void syncTask(Syncer* s) {
    for (;;) {
        Request r;
        {
            std::unique_lock<std::mutex> lk(s->m);
            s->work.wait(lk,
                         [&] { return nextFree(*s) != s->queue.end() || (s->retired && s->queue.empty()); });
            const auto it = nextFree(*s);
            if (it == s->queue.end()) {
                --s->ready; // retired
                --s->tasks;
                return;
            }
            r = std::move(*it);
            s->queue.erase(it);
            ++s->busy;
            --s->ready;
            s->taken.insert(r.id);
            if (r.fd >= 0 && !r.work) s->writing.insert(r.id);
            growIfAllInHand(*s); // what is left in the queue must not wait for this one
        }
        if (r.work)
            r.work();
        else
            writeThrough(*s, r);
        std::lock_guard<std::mutex> lk(s->m);
        --s->busy;
        ++s->ready;
        s->taken.erase(s->taken.find(r.id));
        if (r.fd >= 0 && !r.work) s->writing.erase(s->writing.find(r.id));
        s->done.notify_all();
        s->work.notify_all();
    }
}

// Starts one more task of the drive (the lock held); false when it cannot.
bool startTask(Syncer& s) {
    std::string drive = s.drive;
    if (!drive.empty() && drive.back() == ':') drive.pop_back();
    // "r_BFSSync_meas", then "r_BFSSync1_meas" and so on.
    const std::string name = "r_BFSSync" + (s.tasks ? std::to_string(s.tasks) : std::string()) + "_" + drive;
    Syncer* raw = &s;
    const TASK_ID task =
        taskSpawn(name.c_str(), kSyncPriority, VX_FP_TASK, kSyncStack, [raw] { syncTask(raw); });
    if (task == TASK_ID_ERROR) return false;
    taskCpuAffinitySet(task, cpuset_t(1u << kSyncProcessor));
    ++s.tasks;
    ++s.ready;
    return true;
}

// Queues `r` unless an equal request waits already; the caller's descriptor is closed then.
bool enqueue(Request r) {
    Syncer& s = syncerOf(r.path);
    std::unique_lock<std::mutex> lk(s.m);
    auto refuse = [&] {
        if (r.fd >= 0 && !r.work) bfs_close(r.fd);
        return false;
    };
    if (!s.started) {
        for (int i = 0; i < kSyncTasks; ++i)
            if (!startTask(s)) {
                s.startFailed = i == 0;
                break;
            }
        s.started = true;
    }
    if (s.startFailed) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter: the write-through task cannot be started");
        return refuse();
    }
    if (!r.work)
        for (const Request& q : s.queue) {
            if (!q.work && (q.fd >= 0) == (r.fd >= 0) && (r.fd >= 0 ? q.id == r.id : q.path == r.path)) {
                if (r.fd >= 0) bfs_close(r.fd);
                return true;
            }
        }
    if (s.queue.size() >= kMaxQueued) return refuse();
    s.queue.push_back(std::move(r));
    growIfAllInHand(s);
    lk.unlock();
    s.work.notify_all();
    return true;
}

} // namespace

bool syncFileLater(int fd) {
    char path[BFS_PATH_MAX] = "";
    Request r;
    if (fd < 0 || bfs_ioctl(fd, FIOGETNAME, reinterpret_cast<intptr_t>(path)) != 0 ||
        bfs_identity(fd, &r.id) != 0)
        return false;
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

bool syncFileThen(const std::string& path, const bfs_fileId& file, std::function<void()> work) {
    if (path.empty() || !work) return false;
    Request r;
    r.path = path;
    r.id = file;
    r.work = std::move(work);
    return enqueue(std::move(r));
}

namespace {

// The write-throughs of each drive are apart; a file is looked for in all of them (there are few).
template <typename F> auto withSyncerOf(const bfs_fileId& id, F f) {
    Syncer* found = nullptr;
    syncers().forEach([&](Syncer& s) {
        std::lock_guard<std::mutex> lk(s.m);
        if (found) return;
        if (s.failed.count(id) || s.good.count(id) || s.writing.count(id)) {
            found = &s;
            return;
        }
        for (const Request& q : s.queue)
            if (q.fd >= 0 && !q.work && q.id == id) found = &s;
    });
    return f(found);
}

} // namespace

int syncFailed(const bfs_fileId& id) {
    return withSyncerOf(id, [&](Syncer* s) {
        if (!s) return 0;
        std::unique_lock<std::mutex> lk(s->m);
        auto queued = [&] {
            if (s->writing.count(id)) return true;
            for (const Request& q : s->queue)
                if (q.fd >= 0 && !q.work && q.id == id) return true;
            return false;
        };
        // Its descriptors share one error state: the first write-through to look takes the error. A
        // close that wrote through while a queued one was still to come would see success.
        const DriveWaitMark wait(s->drive);
        s->done.wait(lk, [&] { return !queued(); });
        const auto it = s->failed.find(id);
        if (it == s->failed.end()) return 0;
        const int error = it->second;
        s->failed.erase(it);
        return error;
    });
}

bool syncBusy(const bfs_fileId& id) {
    return withSyncerOf(id, [&](Syncer* s) {
        if (!s) return false;
        std::lock_guard<std::mutex> lk(s->m);
        if (s->writing.count(id)) return true;
        for (const Request& q : s->queue)
            if (q.fd >= 0 && !q.work && q.id == id) return true;
        return false;
    });
}

int syncFailedYet(const bfs_fileId& id) {
    return withSyncerOf(id, [&](Syncer* s) {
        if (!s) return 0;
        std::lock_guard<std::mutex> lk(s->m);
        const auto it = s->failed.find(id);
        return it == s->failed.end() ? 0 : it->second;
    });
}

void syncForget(const bfs_fileId& id) {
    syncers().forEach([&](Syncer& s) {
        std::lock_guard<std::mutex> lk(s.m);
        s.failed.erase(id);
        s.good.erase(id);
    });
}

uint64_t syncGoodLength(const bfs_fileId& id) {
    return withSyncerOf(id, [&](Syncer* s) -> uint64_t {
        if (!s) return 0;
        std::lock_guard<std::mutex> lk(s->m);
        const auto it = s->good.find(id);
        return it == s->good.end() ? 0 : it->second;
    });
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
