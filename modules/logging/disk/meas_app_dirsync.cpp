#include "logging/disk/meas_app_dirsync.h"

#include "framework/per_key.h"
#include "framework/syslog.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_calls.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>

namespace {

// The failed write-throughs kept: runs of consecutive numbers (a drive that fails for hours is
// one), the newest this many. An entry asked after an older run was let go counts as lost:
// that holds a file for unfinished that may be whole, never the other way round.
constexpr size_t kLostRuns = 256;

struct DriveRecord {
    std::mutex turn;    // one folder write-through of the drive at a time
    std::mutex m;       // the counts below
    uint32_t begun = 0; // write-throughs begun
    uint32_t done = 0;  // ... ended (they end in the order they began)
    // Those that failed, as runs [first, last] of one error each in the order they ended; all
    // before `known` count as failed.
    struct Run {
        uint32_t first, last;
        int error;
    };
    std::deque<Run> lost;
    uint32_t known = 1;
};

DriveRecord& recordOf(const char* drive) {
    static auto* records = new PerKey<DriveRecord>; // writers may still ask while the process ends
    return records->get(drive ? drive : "");
}

// Numbers are compared by their distance back from the last one ended: they wrap.
uint32_t age(const DriveRecord& d, uint32_t number) {
    return d.done - number;
}

void addLost(DriveRecord& d, uint32_t number, int error) {
    if (!d.lost.empty() && d.lost.back().last + 1 == number && d.lost.back().error == error)
        d.lost.back().last = number;
    else
        d.lost.push_back({number, number, error});
    if (d.lost.size() > kLostRuns) {
        d.known = d.lost.front().last + 1;
        d.lost.pop_front();
    }
}

// `*error` gets the error of the write-through that lost the entry (0: too long ago to tell).
int entryOf(DriveRecord& d, uint32_t mark, int* error) {
    const uint32_t first = mark + 1;
    if (error) *error = 0;
    if (int32_t(d.done - first) < 0) return 0;
    if (age(d, first) > age(d, d.known)) return -1;
    for (const DriveRecord::Run& r : d.lost)
        if (age(d, first) <= age(d, r.first) && age(d, first) >= age(d, r.last)) {
            if (error) *error = r.error;
            return -1;
        }
    return 1;
}

// One folder write-through, the drive's turn held.
bool writeThrough(const char* drive, DriveRecord& d, bool tell = true) {
    std::unique_lock<std::mutex> lk(d.m);
    const uint32_t number = ++d.begun;
    lk.unlock();
    int error = 0;
    const int fd = bfs_open(drive, O_RDONLY);
    if (fd < 0) {
        error = errno;
    } else {
        if (bfs_ioctl(fd, FIOSYNC, 0) != 0) error = errno;
        bfs_close(fd);
    }
    lk.lock();
    d.done = number;
    if (error) addLost(d, number, error);
    lk.unlock();
    if (error && tell)
        syslogx(LOG_PRIO_ERR,
                "meas_app_dirSync(): the folder of '%s' could not be written through (%s): files created "
                "there since its last write-through are not finished",
                drive, std::strerror(error));
    return error == 0;
}

} // namespace

uint32_t meas_app_dirSyncMark(const char* drive) {
    DriveRecord& d = recordOf(drive);
    std::lock_guard<std::mutex> lk(d.m);
    return d.begun;
}

int meas_app_dirSyncEntry(const char* drive, uint32_t mark, int* error) {
    DriveRecord& d = recordOf(drive);
    std::lock_guard<std::mutex> lk(d.m);
    return entryOf(d, mark, error);
}

int meas_app_dirSyncNow(const char* drive, uint32_t mark, int* error) {
    if (const int r = meas_app_dirSyncEntry(drive, mark, error)) return r;
    DriveRecord& d = recordOf(drive);
    const DriveWaitMark wait(drive); // the drive's turn: a write-through of its folder under way
    std::lock_guard<std::mutex> turn(d.turn);
    // One begun after the mark while this waited for its turn decides as well as a new one.
    if (const int r = meas_app_dirSyncEntry(drive, mark, error)) return r;
    writeThrough(drive, d);
    return meas_app_dirSyncEntry(drive, mark, error);
}

bool meas_app_dirSync(const char* drive, bool tell) {
    DriveRecord& d = recordOf(drive);
    std::lock_guard<std::mutex> turn(d.turn);
    return writeThrough(drive, d, tell);
}

uint32_t meas_app_dirSyncLostRuns(const char* drive) {
    DriveRecord& d = recordOf(drive);
    std::lock_guard<std::mutex> lk(d.m);
    return uint32_t(d.lost.size());
}
