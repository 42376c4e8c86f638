// The PC's delete request on a logging drive: the D flag of the drive's root asks the logger to
// delete every file the PC has downloaded (those without the archive attribute).
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/meas_app_dirsync.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

uint32_t msSince(uint64_t startTicks) {
    return uint32_t((tickGet64() - startTicks) * 1000 / uint64_t(sysClkRateGet()));
}

std::string pathOf(const char* drive, const char* name) {
    std::string p = drive;
    if (p.empty() || p.back() != '/') p += "/";
    return p + name;
}

// What the walk finds at its start: the downloaded files (without the archive attribute), by name
// and identity, and the names of all files (in byte order, as the finds give them).
struct Found {
    std::vector<bfs_find> downloaded;
    std::vector<std::string> names;
};

// False when the directory could not be read to its end.
bool listFiles(const char* drive, int fd, Found* found, bool* empty) {
    bfs_find find{};
    if (bfs_ioctl(fd, IO_IOCTL_FIND_FIRST_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s failed",
                drive);
        return false;
    }
    *empty = !find.name[0];
    while (find.name[0]) {
        found->names.push_back(find.name);
        if (!(find.attrib & DRIVE_ATTR_ARCHIVE)) found->downloaded.push_back(find);
        if (bfs_ioctl(fd, IO_IOCTL_FIND_NEXT_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
            syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_NEXT_FILE @ %s failed",
                    pathOf(drive, find.name).c_str());
            return false;
        }
    }
    return true;
}

// The drive state's attribute lines that name none of the files found (a power cut after the
// deletions of a walk, before its state change, leaves them).
std::vector<std::string> linesOfNoFile(const char* drive, const std::vector<std::string>& names) {
    std::vector<std::string> stale;
    drive_stateView(drive, [&](const DriveState& s) {
        for (const auto& [name, attr] : s.attrs)
            if (!std::binary_search(names.begin(), names.end(), name)) stale.push_back(name);
    });
    return stale;
}

} // namespace

bool MeasAppStore_driveRootWriteThrough(const char* drive, const char* after) {
    // Through the drive's one record of folder write-throughs: a failed one is final for every
    // entry it covered, the measurement's new files among them.
    if (meas_app_dirSync(drive)) return true;
    syslogx(
        LOG_PRIO_ERR,
        "MeasAppStore_driveCheckDirectoryFlags() '%s': the write-through of the root %s failed: the D-Flag "
        "stays set",
        drive, after);
    return false;
}

int MeasAppStore_cleanup_old_measfiles(const char* drive, int fd, bool* completeOut) {
    const uint64_t start = tickGet64();
    const bool own = fd < 0;
    if (own) {
        fd = bfs_open(drive, O_RDONLY);
        if (fd < 0) {
            syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles(): open device '%s' failed", drive);
            return -1;
        }
    }
    // The files first, then the deletions: the walk deletes only the files there at its start, each
    // only while its name still holds it and it is still downloaded, never a file the measurement or
    // a copy makes beside it (one renamed over a name found stays).
    Found found;
    bool empty = false;
    bool complete = listFiles(drive, fd, &found, &empty);
    if (complete && empty)
        syslogx(LOG_PRIO_INFO,
                "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s no files found", drive);
    int deleted = 0, kept = 0;
    {
        // The lines of the deleted files go in one change of the drive's state, not one per file, and
        // only after the deletions are written through: a power cut before that brings the files back
        // with their lines (still downloaded, deleted by the next walk), one after it leaves lines
        // that name no file, which the next walk drops.
        DriveStateBatch batch(drive);
        for (const bfs_find& file : found.downloaded) {
            if (bfs_ioctl(fd, IO_IOCTL_BFS_UNLINK_FOUND, reinterpret_cast<intptr_t>(&file)) == 0) {
                ++deleted;
            } else if (errno == ESTALE) {
                ++kept;                   // made anew under its name, or not downloaded any more
            } else if (errno != ENOENT) { // gone meanwhile: as good as deleted
                syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() FIOUNLINK @ %s failed (%s)",
                        pathOf(drive, file.name).c_str(), std::strerror(errno));
                complete = false;
                break;
            }
        }
        std::vector<std::string> stale;
        if (complete) {
            stale = linesOfNoFile(drive, found.names);
            for (const std::string& name : stale) drive_stateDropLater(drive, name);
        }
        if ((deleted > 0 || !stale.empty()) &&
            !MeasAppStore_driveRootWriteThrough(drive, "after the deletions")) {
            complete = false;
            batch.forget(); // the lines stay with the files a power cut may bring back
        } else if (!batch.flush()) {
            syslogx(LOG_PRIO_ERR,
                    "MeasAppStore_cleanup_old_measfiles() '%s': the attributes of the deleted files could "
                    "not be dropped from the drive's state",
                    drive);
            complete = false;
        }
    }
    if (kept > 0)
        syslogx(LOG_PRIO_INFO,
                "MeasAppStore_cleanup_old_measfiles() '%s': %d files found downloaded stay: their names hold "
                "files made anew, or they are not downloaded any more",
                drive, kept);
    if (own) bfs_close(fd);
    syslogx(LOG_PRIO_INFO, "MeasAppStore_cleanup_old_measfiles() ... %d files deleted, took %dms", deleted,
            int(msSince(start)));
    if (completeOut) *completeOut = complete;
    return deleted;
}

int MeasAppStore_driveCheckDirectoryFlags(const char* drive) {
    const uint64_t start = tickGet64();
    const int fd = bfs_open(drive, O_RDWR);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_driveCheckDirectoryFlags(): open device '%s' failed", drive);
        return -1;
    }
    uint32_t attr = 0;
    if (bfs_ioctl(fd, IO_IOCTL_BFS_GET_DIR_ATTR, reinterpret_cast<intptr_t>(&attr)) != 0) {
        syslogx(LOG_PRIO_ERR,
                "MeasAppStore_driveCheckDirectoryFlags() Error! '%s': IO_IOCTL_BFS_GET_DIR_ATTR", drive);
        bfs_close(fd);
        return 0;
    }
    if (attr & 1) {
        syslogx(LOG_PRIO_INFO, "MeasAppStore_driveCheckDirectoryFlags() D-Flag on '%s' set", drive);
        // The flag stays set until every file has been seen and the deletions are written through,
        // so an interrupted walk runs again.
        bool complete = false;
        MeasAppStore_cleanup_old_measfiles(drive, fd, &complete);
        if (complete) {
            fde_system_sd_data_changed();
            // A file marked downloaded that the walk did not delete (made or marked after its
            // listing, or its name rewritten meanwhile) keeps the PC's request: the next walk.
            std::vector<std::string> left;
            bool cleared = false;
            {
                const DriveCallMark mark(drive, "request");
                cleared = drive_stateAvailableNow(drive) && drive_stateClearDeleteFlag(drive, &left);
            }
            if (!cleared) {
                syslogx(LOG_PRIO_ERR,
                        "MeasAppStore_driveCheckDirectoryFlags() Error! '%s' IO_IOCTL_BFS_SET_DIR_ATTR",
                        drive);
                bfs_close(fd);
                return 0;
            }
            constexpr size_t kNamed = 16; // the rest counted, so that the log keeps each name it gives
            for (size_t i = 0; i < left.size() && i < kNamed; ++i)
                syslogx(LOG_PRIO_INFO,
                        "MeasAppStore_cleanup_old_measfiles() '%s' stays: marked downloaded after the walk "
                        "listed the folder",
                        pathOf(drive, left[i].c_str()).c_str());
            if (left.size() > kNamed)
                syslogx(
                    LOG_PRIO_INFO,
                    "MeasAppStore_cleanup_old_measfiles() '%s': %d more files stay: marked downloaded after "
                    "the walk listed the folder",
                    drive, int(left.size() - kNamed));
            if (left.empty() && !MeasAppStore_driveRootWriteThrough(drive, "after clearing the D-Flag") &&
                bfs_ioctl(fd, IO_IOCTL_BFS_SET_DIR_ATTR, intptr_t(attr)) != 0)
                syslogx(
                    LOG_PRIO_ERR,
                    "MeasAppStore_driveCheckDirectoryFlags() Error! '%s' IO_IOCTL_BFS_SET_DIR_ATTR (setting "
                    "the D-Flag again)",
                    drive);
        } else {
            syslogx(LOG_PRIO_ERR,
                    "MeasAppStore_driveCheckDirectoryFlags() '%s': delete walk incomplete, D-Flag kept",
                    drive);
        }
    } else {
        syslogx(LOG_PRIO_INFO, "D-Flag on '%s' not set: 0x%X", drive, unsigned(attr));
    }
    bfs_close(fd);
    syslogx(LOG_PRIO_INFO, "MeasAppStore_driveCheckDirectoryFlags() check on '%s' took %dms", drive,
            int(msSince(start)));
    return 1;
}
