#include "logging/disk/cfg_meas.h"

#include "framework/syslog.h"
#include "logging/disk/meas_app_disk.h"
#include "measdata/seram.h"
#include "platform/drives/drive_dirinfo.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

uint32_t maxFileCntPart1() {
    return seramCal().MEAS_MAXFILECNT_PART1;
}
uint32_t maxFileCntPart2() {
    return seramCal().MEAS_MAXFILECNT_PART2;
}

// The signal-page variables are read by other tasks (measurement copies) while this one writes.
void publish(uint32_t& variable, uint32_t value) {
    std::atomic_ref<uint32_t>(variable).store(value, std::memory_order_relaxed);
}

} // namespace

cfg_meas_t cfg_meas[CFG_MEAS_INSTANCES] = {
    {"cfg:", "cfg:/m01.xml", "cfg:/m01.dat", "cfg:/m01.dcp", "meas:", "usb_meas:", 0},
    {"cfg:", "cfg:/m02.xml", "cfg:/m02.dat", "cfg:/none", "/tyCo/0", "none", 1},
    {"cfg:", "cfg:/m03.xml", "cfg:/m03.dat", "cfg:/m03.dcp", "meas2:", "none", 0},
};

cfg_meas_drv2Hw_t cfg_meas_drv2Hw[CFG_MEAS_DRIVES] = {
    {"cfg:", 0, nullptr, nullptr, 1, 0},
    {"meas:", 0, maxFileCntPart1, &seramWindow.sig.page.meas_maxFileCnt_part1, 1, 1},
    {"meas2:", 0, maxFileCntPart2, &seramWindow.sig.page.meas_maxFileCnt_part2, 1, 1},
    {"usb_meas:", 1, nullptr, nullptr, 0, 0},
};

cfg_meas_devHwInfo_t cfg_meas_devHwInfo[CFG_MEAS_HW] = {{0, 0, 0, 0}, {3000, 0, 0, 0}};

bool cfg_meas_datasetMaxFileCnt(const char* drive, uint32_t* entries) {
    const int d = drive ? cfg_meas_getDevIdxFromDrvName(drive) : -1;
    if (d < 0) return false;
    const SeramCalData& reference = seramCalPage(SERAM_PAGE_REFERENCE);
    const uint32_t n = d == 1   ? reference.MEAS_MAXFILECNT_PART1
                       : d == 2 ? reference.MEAS_MAXFILECNT_PART2
                                : 0xFFFFFFFF;
    if (n == 0xFFFFFFFF) return false;
    if (entries) *entries = n;
    return true;
}

void cfg_meas_iniPartitions(uint8_t logging2TargetPartition) {
    if (logging2TargetPartition != 0) return;
    const int d = cfg_meas_getDevIdxFromDrvName("meas2:");
    if (d >= 0) cfg_meas_drv2Hw[d].loggingPartition = 0;
    cfg_meas_t& m03 = cfg_meas[2];
    if (std::strncmp(m03.targetPartition, "meas2:", CFG_MEAS_NAME_LEN) == 0)
        std::snprintf(m03.targetPartition, CFG_MEAS_NAME_LEN, "%s", "meas:");
    if (std::strncmp(m03.usbDrive, "none", CFG_MEAS_NAME_LEN) == 0)
        std::snprintf(m03.usbDrive, CFG_MEAS_NAME_LEN, "%s", "usb_meas:");
}

int cfg_meas_getDevIdxFromDrvName(const char* name) {
    if (!name) {
        syslogx(LOG_PRIO_ERR, "cfg_meas_getDevIdxFromDrvName() drv NULL");
        return -1;
    }
    for (int i = 0; i < CFG_MEAS_DRIVES; ++i)
        if (std::strncmp(cfg_meas_drv2Hw[i].drive, name, CFG_MEAS_NAME_LEN) == 0) return i;
    return -1;
}

int cfg_meas_getHwIdxFromDrvName(const char* name) {
    if (!name) {
        syslogx(LOG_PRIO_ERR, "cfg_meas_getHwIdxFromDrvName() drv NULL");
        return -1;
    }
    const int dev = cfg_meas_getDevIdxFromDrvName(name);
    if (dev < 0) return -1;
    const int hw = cfg_meas_drv2Hw[dev].hwIndex;
    return hw >= 0 && hw < CFG_MEAS_HW ? hw : -1;
}

const char* cfg_meas_getTargetPartition(int index) {
    return index >= 0 && index < CFG_MEAS_INSTANCES ? cfg_meas[index].targetPartition : nullptr;
}

const cfg_meas_t* cfg_meas_getCfgPartition(int index) {
    return index >= 0 && index < CFG_MEAS_INSTANCES ? &cfg_meas[index] : nullptr;
}

int cfg_meas_getBfsFileCounts(const char* drive, uint32_t* count, uint32_t* max) {
    uint32_t c = 0, m = 0xFFFFFFFF;
    int result = 0;
    if (!drive || !*drive) {
        syslogx(LOG_PRIO_ERR, "cfg_meas_getBfsFileCounts() missing drive name");
        result = -1;
    } else {
        DriveDirInfo info{};
        result = drive_dirInfo(drive, &info);
        if (result == DRIVE_DIRINFO_OK) {
            c = info.used;
            m = info.used + info.free;
        } else if (result == DRIVE_DIRINFO_NO_DRIVE) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_getBfsFileCounts(%s) could not read drive", drive);
        } else {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_getBfsFileCounts(%s) ioctl failed", drive);
        }
    }
    if (count) *count = c;
    if (max) *max = m;
    return result;
}

// ---------------------------------------------------------------------------------------------
// The refresh and its task

namespace {

std::mutex gCreateLock;
std::atomic<SEM_ID> gBusy{SEM_ID_NULL};  // formatInfoBusy
std::atomic<SEM_ID> gStart{SEM_ID_NULL}; // startFormatInfo
std::atomic<TASK_ID> gTask{TASK_ID_ERROR};
std::atomic<bool> gPending{false}; // the task has not taken the last wake yet
std::atomic<uint32_t> gRuns{0};
int gBusySeconds = 0; // only the 1 s raster starts through the task

bool semaphoresReady() {
    std::lock_guard<std::mutex> g(gCreateLock);
    if (!gBusy.load()) {
        const SEM_ID s = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (!s) {
            syslogx(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(1): semaphore creation failed.");
            return false;
        }
        gBusy.store(s);
    }
    if (!gStart.load()) {
        const SEM_ID s = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
        if (!s) {
            syslogx(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(2): semaphore creation failed.");
            return false;
        }
        gStart.store(s);
    }
    return true;
}

void refreshDrive(const char* drive, uint32_t& count, uint32_t& max) {
    if (meas_app_driveAvDebounce(drive) != 0) return;
    uint32_t c = 0, m = 0;
    cfg_meas_getBfsFileCounts(drive, &c, &m);
    publish(count, c);
    publish(max, m);
}

void cfg_meas_formatInfos_int(bool withUsb) {
    if (semTake(gBusy.load(), WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(): error taking mutex.");
        return;
    }
    SeramSigPage& sig = seramSig();
    refreshDrive("meas:", sig.meas_fileCnt_part1, sig.meas_maxFileCnt_part1);
    refreshDrive("meas2:", sig.meas_fileCnt_part2, sig.meas_maxFileCnt_part2);
    if (withUsb) {
        refreshDrive("usb_meas:", sig.meas_fileCnt_usb, sig.meas_maxFileCnt_usb);
    }
    if (semGive(gBusy.load()) != OK)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(): Task return of mutex failed.");
}

void cfg_meas_formatInfos_task() {
    for (;;) {
        if (semTake(gStart.load(), WAIT_FOREVER) != OK) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_formatInfos_task(): error taking binary semaphore");
            taskDelay(sysClkRateGet());
            continue;
        }
        gPending.store(false);
        cfg_meas_formatInfos_int(true);
        gRuns.fetch_add(1);
    }
}

bool startTask() {
    if (gTask.load() != TASK_ID_ERROR) return true;
    if (semTake(gBusy.load(), WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(): error taking mutex.");
        return false;
    }
    if (gTask.load() == TASK_ID_ERROR) {
        const TASK_ID tid = taskSpawn("r_CfgMeasFrmtInfo", CFG_MEAS_FRMTINFO_PRIORITY, VX_FP_TASK,
                                      CFG_MEAS_FRMTINFO_STACK, cfg_meas_formatInfos_task);
        if (tid == TASK_ID_ERROR) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "cfg_meas_formatInfos_int(): start of query task failed!");
            if (semGive(gBusy.load()) != OK)
                syslogx(LOG_PRIO_ERR,
                        "cfg_meas_formatInfos_int(): returning semaphore due to failed task failed!");
            return false;
        }
        gTask.store(tid);
    }
    semGive(gBusy.load());
    return true;
}

} // namespace

void cfg_meas_formatInfos_start(uint8_t viaTask) {
    if (!semaphoresReady()) return;
    if (!viaTask) {
        cfg_meas_formatInfos_int(false);
        return;
    }
    if (!startTask()) return;
    // A wake the task has not taken yet counts as a busy second.
    if (gPending.exchange(true)) {
        if (++gBusySeconds >= 10)
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "cfg_meas_formatInfos_int(): unable to complete. Task busy for >= 10 sec.");
        return;
    }
    gBusySeconds = 0;
    semGive(gStart.load());
}

void cfg_meas_formatInfos_1s() {
    cfg_meas_formatInfos_start(1);
}
void cfg_meas_formatInfos() {
    cfg_meas_formatInfos_start(0);
}
uint32_t cfg_meas_formatInfos_runs() {
    return gRuns.load();
}
