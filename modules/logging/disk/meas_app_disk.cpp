#include "logging/disk/meas_app_disk.h"

#include "framework/board_io.h"
#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "logging/disk/cfg_meas.h"
#include "platform/drives/drive_dirinfo.h"
#include "platform/drives/drive_service.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// The debounce state is shared by every task that asks (no lock, as on the device); single words
// keep each read and write whole.
template <class T> std::atomic_ref<T> shared(T& v) {
    return std::atomic_ref<T>(v);
}

bool driveReady(const char* drive) {
    return meas_app_driveAvDebounce(drive) == 0;
}

// The drive part of a configuration path must be usable ("cfg:/m01.dcp" -> "cfg:").
bool pathDriveReady(const char* path) {
    if (!path || !*path) return true;
    char drive[CFG_MEAS_NAME_LEN];
    measPathSplitn(path, drive, nullptr, nullptr, sizeof drive);
    return driveReady(drive);
}

} // namespace

int meas_app_driveAvailable(const char* driveName, uint32_t internalMark, uint32_t* statusWord) {
    return drivesvc_available(driveName, internalMark, statusWord) == 1 ? 0 : -1;
}

int meas_app_driveAvailableService(const char* driveName) {
    const int hw = cfg_meas_getHwIdxFromDrvName(driveName);
    if (hw < 0 || hw >= CFG_MEAS_HW) return -1;
    const int dev = cfg_meas_getDevIdxFromDrvName(driveName);
    const uint32_t internal = dev >= 0 && dev < CFG_MEAS_DRIVES ? cfg_meas_drv2Hw[dev].internal : 0;
    cfg_meas_devHwInfo_t& info = cfg_meas_devHwInfo[hw];
    if (info.debounceMs == 0) return meas_app_driveAvailable(driveName, internal, nullptr);
    uint32_t status = 0;
    const int result = meas_app_driveAvailable(driveName, internal, &status);
    shared(info.status).store(status, std::memory_order_relaxed);
    return result;
}

int meas_app_driveAvDebounce(const char* driveName) {
    const int hw = cfg_meas_getHwIdxFromDrvName(driveName);
    if (hw < 0) return -1;
    const bool available = meas_app_driveAvailableService(driveName) == 0;
    cfg_meas_devHwInfo_t& info = cfg_meas_devHwInfo[hw];
    const uint32_t debounce = info.debounceMs;
    const bool before = shared(info.availableBefore).exchange(available ? 1 : 0) != 0;
    if (debounce == 0) return available ? 0 : -1;
    if (!available) return -1;
    const uint64_t now = hostclock_nowNs();
    if (!before) shared(info.firstSeenNs).store(now);
    const uint64_t first = shared(info.firstSeenNs).load();
    const uint64_t elapsedMs = now > first ? (now - first) / 1000000 : 0;
    return elapsedMs < debounce ? int(debounce - elapsedMs) : 0;
}

int meas_app_DiskReady(int index) {
    const cfg_meas_t* m = cfg_meas_getCfgPartition(index);
    if (!m) return -1;
    if (m->fileLess == 1 || m->fileLess == 5) return 0;
    if (!driveReady(m->targetPartition)) return -1;
    if (!pathDriveReady(m->dcpFile) || !pathDriveReady(m->datFile)) return -1;
    return 0;
}

int meas_app_DisksReady() {
    for (int i = 0; i < CFG_MEAS_INSTANCES; ++i) {
        if (meas_app_DiskReady(i) != 0) {
            meas_led_clr_status(MEAS_LED_DRIVES_READY);
            return -1;
        }
    }
    meas_led_set_status(MEAS_LED_DRIVES_READY);
    return 0;
}

int meas_app_BootPrepareDisks(int pollTicks, int timeoutTicks) {
    meas_led_clr_status(MEAS_LED_DRIVES_READY);
    const int rate = sysClkRateGet();
    if (pollTicks <= 0) pollTicks = 1;
    if (timeoutTicks < 0 || timeoutTicks > 10 * rate) timeoutTicks = 10 * rate;
    if (pollTicks > timeoutTicks) pollTicks = timeoutTicks;
    if (pollTicks > rate) pollTicks = rate;

    bool pending[CFG_MEAS_DRIVES] = {};
    bool marked[CFG_MEAS_DRIVES] = {};
    unsigned mask = 0;
    for (int i = 0; i < CFG_MEAS_INSTANCES; ++i) {
        for (const char* drive : {cfg_meas[i].targetPartition, cfg_meas[i].cfgDrive}) {
            const int d = cfg_meas_getDevIdxFromDrvName(drive);
            if (d < 0) continue;
            pending[d] = marked[d] = true;
            mask |= 1u << d;
        }
    }
    // The time left is read from the clock: a poll that wakes late does not stretch the wait.
    const uint64_t deadline = tickGet64() + uint64_t(timeoutTicks);
    for (uint64_t now = tickGet64(); now < deadline; now = tickGet64()) {
        for (int d = 0; d < CFG_MEAS_DRIVES; ++d) {
            if (pending[d] && driveReady(cfg_meas_drv2Hw[d].drive)) {
                pending[d] = false;
                mask &= ~(1u << d);
            }
        }
        if (mask == 0) break;
        taskDelay(int(std::min<uint64_t>(uint64_t(pollTicks), deadline - now)));
    }
    if (mask != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_BootPrepareDisks() timeout checking mask '0x%02X' ", mask);
        return -1;
    }
    for (int d = 0; d < CFG_MEAS_DRIVES; ++d)
        if (marked[d] && meas_app_BootPrepareDisks_checkDir(d) == -1) meas_app_BootPrepareDisks_format(d);
    meas_led_set_status(MEAS_LED_DRIVES_READY);
    return 0;
}

int meas_app_BootPrepareDisks_checkDir(int d) {
    if (d < 0 || d >= CFG_MEAS_DRIVES) return 0;
    const cfg_meas_drv2Hw_t& drive = cfg_meas_drv2Hw[d];
    if (!drive.configuredMaxFileCnt || !drive.actualMaxFileCnt) return 0;
    // The directory's size as the drive's file system keeps it, without a read of the folder: a
    // folder of many files on a slow drive would hold the start (the counts follow once a second).
    uint32_t actual = 0;
    const int result = drive_dirSize(drive.drive, &actual);
    if (result != DRIVE_DIRINFO_OK) actual = 0xFFFFFFFF;
    shared(*drive.actualMaxFileCnt).store(actual, std::memory_order_relaxed);
    if (result != DRIVE_DIRINFO_OK) {
        syslogx(LOG_PRIO_ERR, "meas_app_BootPrepareDisks_checkDir(%s) failed to read file count",
                drive.drive);
        return 0;
    }
    const uint32_t configured = drive.configuredMaxFileCnt();
    if (actual != 0xFFFFFFFF && configured != 0xFFFFFFFF && actual != configured) {
        syslogx(LOG_PRIO_INFO,
                "meas_app_BootPrepareDisks_checkDir(%s) should be reformated NOW: directory size %d -> %d ",
                drive.drive, int(actual), int(configured));
        return -1;
    }
    return 0;
}

int meas_app_BootPrepareDisks_format(int d) {
    if (d < 0 || d >= CFG_MEAS_DRIVES) {
        syslogx(LOG_PRIO_ERR, "meas_app_BootPrepareDisks() devIdx invalid @ '%d' ", d);
        return -1;
    }
    const cfg_meas_drv2Hw_t& drive = cfg_meas_drv2Hw[d];
    const uint32_t configured = drive.configuredMaxFileCnt ? drive.configuredMaxFileCnt() : 0xFFFFFFFF;
    if (configured > MEAS_FORMAT_MAX_ENTRIES) {
        // Its block count would wrap the request's byte into a tiny directory.
        syslogx(LOG_PRIO_ERR,
                "meas_app_BootPrepareDisks_format(%s) directory size %u cannot be requested, no format",
                drive.drive, unsigned(configured));
        return -1;
    }
    uint8_t msg[DRIVESVC_FORMAT_MSG] = {};
    msg[0] = uint8_t((configured + DRIVESVC_BLOCK_ENTRIES) / DRIVESVC_BLOCK_ENTRIES);
    std::memcpy(msg + 1, drive.drive, strnlen(drive.drive, 16)); // NUL-padded, 16 bytes

    const MSG_Q_ID tx = msgQOpen(DRIVESVC_FORMAT_QUEUE, 1, int(sizeof msg), MSG_Q_FIFO, 0, nullptr);
    if (!tx) {
        syslogx(LOG_PRIO_ERR2, "meas_app_BootPrepareDisks_format() msgQTx open failed: %s",
                std::strerror(ENOENT));
        return -1;
    }
    const MSG_Q_ID rx = msgQOpen(DRIVESVC_FORMAT_ACK_QUEUE, 1, int(sizeof msg), MSG_Q_FIFO, 0, nullptr);
    if (!rx) {
        msgQClose(tx);
        syslogx(LOG_PRIO_ERR2, "meas_app_BootPrepareDisks_format() msgQRx open failed: %s",
                std::strerror(ENOENT));
        return -1;
    }
    if (msgQSend(tx, msg, sizeof msg, NO_WAIT, MSG_PRI_NORMAL) != OK) {
        syslogx(LOG_PRIO_ERR2, "meas_app_BootPrepareDisks_format() error sending format request, %s",
                std::strerror(EAGAIN));
        msgQClose(tx);
        msgQClose(rx);
        return -1;
    }
    msgQClose(tx);
    uint8_t ack[DRIVESVC_FORMAT_MSG];
    const ssize_t got = msgQReceive(rx, ack, sizeof ack, 2 * sysClkRateGet());
    msgQClose(rx);
    if (got == ssize_t(sizeof ack)) return 0;
    syslogx(LOG_PRIO_ERR2, "meas_app_BootPrepareDisks_format() error receiving format request, %s %d %d",
            std::strerror(ETIMEDOUT), ETIMEDOUT, int(got));
    return -1;
}

int meas_app_filenameGetDrive(const char* path, char* driveOut, size_t driveSize, const char** colonOut) {
    const char* colon = path ? std::strrchr(path, ':') : nullptr;
    const size_t pos = colon ? size_t(colon - path) : 0;
    if (!colon || pos >= 41 || (driveOut && pos + 2 > driveSize)) {
        syslogx(LOG_PRIO_ERR2,
                "meas_app_filenameGetDrive():posTerminator %u could not find terminator char ':' in %s",
                unsigned(pos), path ? path : "(null)");
        return -1;
    }
    if (colonOut) *colonOut = colon;
    if (driveOut) {
        std::memcpy(driveOut, path, pos + 1);
        driveOut[pos + 1] = '\0';
    }
    return 0;
}
