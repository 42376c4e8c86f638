// The PC's delete request on a logging drive: the D flag of the drive's root asks the logger to
// delete every file the PC has downloaded (those without the archive attribute).
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app_store.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>

namespace {

uint32_t msSince(uint64_t startTicks) {
    return uint32_t((tickGet64() - startTicks) * 1000 / uint64_t(sysClkRateGet()));
}

std::string pathOf(const char* drive, const char* name) {
    std::string p = drive;
    if (p.empty() || p.back() != '/') p += "/";
    return p + name;
}

} // namespace

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
    bfs_find find{};
    int deleted = 0;
    bool complete = false;
    if (bfs_ioctl(fd, IO_IOCTL_FIND_FIRST_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s failed",
                drive);
    } else if (!find.name[0]) {
        syslogx(LOG_PRIO_INFO,
                "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_FIRST_FILE %s no files found", drive);
        complete = true;
    } else {
        // A file is deleted only after the next one has been found, so the walk keeps its place;
        // the last one once the directory has ended.
        for (;;) {
            const std::string path = pathOf(drive, find.name);
            const int f = bfs_open(path.c_str(), O_RDONLY);
            if (f < 0) {
                syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() Open %s failed", path.c_str());
                break;
            }
            bfs_stat st{};
            if (bfs_ioctl(f, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0) {
                syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() FIOFSTATGET @ %s failed",
                        path.c_str());
                bfs_close(f);
                break;
            }
            bfs_close(f);
            const bool keep = st.directory || (st.st_attrib & DRIVE_ATTR_ARCHIVE);
            if (bfs_ioctl(fd, IO_IOCTL_FIND_NEXT_FILE, reinterpret_cast<intptr_t>(&find)) != 0) {
                syslogx(LOG_PRIO_ERR,
                        "MeasAppStore_cleanup_old_measfiles() IO_IOCTL_FIND_NEXT_FILE @ %s failed",
                        path.c_str());
                break;
            }
            if (!keep) {
                syslogx(LOG_PRIO_INFO, "MeasAppStore_cleanup_old_measfiles() Deleting %s", path.c_str());
                if (bfs_ioctl(fd, FIOUNLINK, reinterpret_cast<intptr_t>(path.c_str())) != 0) {
                    syslogx(LOG_PRIO_ERR, "MeasAppStore_cleanup_old_measfiles() FIOUNLINK @ %s failed",
                            path.c_str());
                    break;
                }
                ++deleted;
            }
            if (!find.name[0]) {
                complete = true;
                break;
            }
        }
    }
    if (deleted > 0) bfs_ioctl(fd, FIOSYNC, 0);
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
        // The flag stays set until every file has been seen, so an interrupted walk runs again.
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
            bfs_ioctl(fd, FIOSYNC, 0);
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
