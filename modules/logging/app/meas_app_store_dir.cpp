// The PC's delete request on a logging drive: the D flag of the drive's root asks the logger to
// delete every file the PC has downloaded (those without the archive attribute).
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/meas_app_dirsync.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

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

// The names of the downloaded files (without the archive attribute) of the drive, as the walk
// finds them at its start; false when the directory could not be read to its end.
bool listDownloaded(const char* drive, int fd, std::vector<std::string>* names, bool* empty) {
    bfs_find find{};
    if (bfs_ioctl(fd, IO_IOCTL_FIND_FIRST_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s failed",
                drive);
        return false;
    }
    *empty = !find.name[0];
    while (find.name[0]) {
        if (!(find.attrib & DRIVE_ATTR_ARCHIVE)) names->push_back(find.name);
        if (bfs_ioctl(fd, IO_IOCTL_FIND_NEXT_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
            syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_NEXT_FILE @ %s failed",
                    pathOf(drive, find.name).c_str());
            return false;
        }
    }
    return true;
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
    // The names first, then the deletions: the walk deletes only what was there at its start, never
    // a file the measurement makes beside it.
    std::vector<std::string> names;
    bool empty = false;
    bool complete = listDownloaded(drive, fd, &names, &empty);
    if (complete && empty)
        syslogx(LOG_PRIO_INFO,
                "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s no files found", drive);
    int deleted = 0;
    {
        // One change of the drive's state for the whole walk, not one per file.
        DriveStateBatch batch(drive);
        for (const std::string& name : names) {
            if (bfs_ioctl(fd, FIOUNLINK, reinterpret_cast<intptr_t>(name.c_str())) == 0) {
                ++deleted;
            } else if (errno != ENOENT) { // gone meanwhile: as good as deleted
                syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() FIOUNLINK @ %s failed (%s)",
                        pathOf(drive, name.c_str()).c_str(), std::strerror(errno));
                complete = false;
                break;
            }
        }
        if (!batch.flush()) {
            syslogx(LOG_PRIO_ERR,
                    "MeasAppStore_cleanup_old_measfiles() '%s': the attributes of the deleted files could "
                    "not be dropped from the drive's state",
                    drive);
            complete = false;
        }
    }
    if (deleted > 0 && !MeasAppStore_driveRootWriteThrough(drive, "after the deletions")) complete = false;
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
            if (bfs_ioctl(fd, IO_IOCTL_BFS_SET_DIR_ATTR, intptr_t(attr & ~1u)) != 0) {
                syslogx(LOG_PRIO_ERR,
                        "MeasAppStore_driveCheckDirectoryFlags() Error! '%s' IO_IOCTL_BFS_SET_DIR_ATTR",
                        drive);
                bfs_close(fd);
                return 0;
            }
            if (!MeasAppStore_driveRootWriteThrough(drive, "after clearing the D-Flag") &&
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
