#include "laptiming/lapoutfra.h"

#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lap_hooks.h"
#include "laptiming/laptrigger.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "platform/drives/bfs.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

namespace {

// Guarded by LapOutFraSem, except the fields read without it.
struct Counters {
    uint16_t lap = 0;
    uint16_t outing = 0;
    uint16_t fragment = 0;
    std::atomic<uint16_t> absLap{0};
    std::atomic<uint32_t> timestamp{0};
    std::atomic<uint8_t> valid{0};
    uint32_t changes = 0; // every change of the counters counts one
};
Counters gState;
std::atomic<SEM_ID> LapOutFraSem{SEM_ID_NULL};
// Held across the copy of the counters and their queueing for NV: a later copy is queued later.
std::mutex gStoreLock;
// The number of the last store queued (nvram_dbs_writeLater).
std::atomic<uint64_t> gStoreQueued{0};
constexpr const char* kStoreWhat = "the lap counters"; // as the shutdown names them

bool take() {
    return semTake(LapOutFraSem.load(std::memory_order_acquire), WAIT_FOREVER) == OK;
}
void give() {
    semGive(LapOutFraSem.load(std::memory_order_acquire));
}

// The measurement variables are read by the measurement copies of other tasks.
void publish(uint16_t& variable, uint16_t value) {
    std::atomic_ref<uint16_t>(variable).store(value, std::memory_order_relaxed);
}
void publishLap() {
    publish(seramSig().lapctr, gState.lap & 0xFF);
}
void publishOuting() {
    publish(seramSig().outctr, gState.outing & 0xFF);
}
void publishFragment() {
    publish(seramSig().fractr, gState.fragment & 0xFF);
}
void publishAbsLap() {
    publish(seramSig().abslap, gState.absLap.load());
}
void publishAll() {
    publishFragment();
    publishOuting();
    publishLap();
    publishAbsLap();
}

// Queues NV record 261 (and record 0 with `image`) for the NV store's task; gStoreLock held.
void queueStoreLocked(uint16_t absLap, const uint8_t (*image)[6]) {
    uint64_t queued = 0;
    if (image) queued = nvram_dbs_writeLater(NV_REC_LAPOUTFRA, 0, *image, sizeof *image, kStoreWhat);
    const uint8_t b[2] = {uint8_t(absLap), uint8_t(absLap >> 8)};
    queued = std::max(queued, nvram_dbs_writeLater(NV_REC_LAPOUTFRA_ABSLAP, 0, b, sizeof b, kStoreWhat));
    if (queued != 0) gStoreQueued.store(queued);
}

void writeAbsLap(uint16_t absLap) {
    std::lock_guard<std::mutex> store(gStoreLock);
    queueStoreLocked(absLap, nullptr);
}

// With the lock held (or during start-up, before the lock exists); the caller stores it.
uint16_t absLapStep() {
    const uint16_t next = uint16_t(gState.absLap.load() + 1);
    gState.absLap.store(next);
    return next;
}

// lapOutFra_update: the counters into NV records 0 and 261, queued for the NV store's own task (a
// host disk that holds a write-through for seconds then holds neither the measurement raster nor a
// lap). A later store's values replace those of one still waiting; a file named by them is created
// only once they are stored (LapOutFra_waitStored).
void storeLater() {
    std::lock_guard<std::mutex> store(gStoreLock);
    if (!take()) {
        syslogx(LOG_PRIO_ERR, "lapOutFra_update() semTake failed errno 0x%X", unsigned(errno));
        return;
    }
    const uint16_t fragment = gState.fragment, outing = gState.outing, lap = gState.lap;
    const uint16_t absLap = gState.absLap.load();
    give();
    const uint8_t image[6] = {uint8_t(fragment),    uint8_t(fragment >> 8), uint8_t(outing),
                              uint8_t(outing >> 8), uint8_t(lap),           uint8_t(lap >> 8)};
    queueStoreLocked(absLap, &image);
}

int genName(char* buffer, uint32_t size, uint8_t index) {
    return LapOutFra_genFilenameAbsLap(buffer, size, index, uint8_t(gState.outing), uint8_t(gState.lap),
                                       uint8_t(gState.fragment), gState.absLap.load());
}

// The fragment search: from the counters on, the first name of measurement index 0 that is not on
// "meas:" (where index 0 writes its files, so that a repeated name - the absolute lap wrapped, NV
// lost - never overwrites an old file). Each look is made without the lock, as it may read a large
// folder on a slow drive; a change of the counters meanwhile (a lap, a fragment, another start)
// goes before, and the search goes on from the name it gives.
int fragmentSearch() {
    char name[64];
    char path[80];
    bool moved = false;
    for (int wraps = 0;;) {
        if (!take()) {
            syslogx(LOG_PRIO_ERR, "LapOutFra_initLapOutCnt() semTake errors errno 0x%X", unsigned(errno));
            return -1;
        }
        const uint32_t seen = gState.changes;
        const int made = genName(name, sizeof name, 0);
        give();
        if (made < 0) {
            syslogx(LOG_PRIO_ERR2, "LapOutFra_initLapOutCnt(): Error LapOutFra_genFilename()");
            break;
        }
        std::snprintf(path, sizeof path, "meas:/%s", name);
        if (bfs_exists(path) != 1) break;
        if (!take()) return -1;
        if (gState.changes == seen) {
            ++gState.changes;
            moved = true;
            if ((gState.fragment & 0xFF) == 255) {
                absLapStep();
                gState.fragment = 1;
                ++wraps;
            } else {
                ++gState.fragment;
            }
            publishAll();
        }
        give();
        if (wraps >= 3) break;
    }
    if (!take()) return -1;
    genName(name, sizeof name, 0);
    give();
    syslogx(LOG_PRIO_DEBUG, "LapOutFra_initLapOutCnt(): Starting with file: %s", name);
    if (moved) storeLater();
    return 0;
}

} // namespace

int LapOutFra_init() {
    uint8_t image[6];
    if (nvram_dbs_read(NV_REC_LAPOUTFRA, 0, image, sizeof image) != int(sizeof image)) {
        gState.fragment = gState.outing = gState.lap = 1;
        syslogx(LOG_PRIO_ERR, "intLapOutFra_init() calling nvram_dbs_read failed ");
    } else {
        gState.fragment = uint16_t(image[0] | image[1] << 8);
        gState.outing = uint16_t(image[2] | image[3] << 8);
        gState.lap = uint16_t(image[4] | image[5] << 8);
    }
    uint8_t abs[2];
    if (nvram_dbs_read(NV_REC_LAPOUTFRA_ABSLAP, 0, abs, sizeof abs) != int(sizeof abs)) {
        gState.absLap.store(0);
        writeAbsLap(0);
        syslogx(LOG_PRIO_ERR, "intLapOutFra_init() calling nvram_dbs_read LapOutFraAbsLapCnt failed ");
    } else {
        gState.absLap.store(uint16_t(abs[0] | abs[1] << 8));
        writeAbsLap(absLapStep()); // every start begins a new absolute lap
    }
    gState.timestamp.store(0);
    gState.valid.store(0);
    if (!LapOutFraSem.load()) {
        const SEM_ID sem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (!sem) {
            syslogx(LOG_PRIO_ERR, "LapOutFra_init() semaphore create failed");
            syslogx(LOG_PRIO_ERR, "LapOutFra_init() failed %u", 1u);
            return 1;
        }
        LapOutFraSem.store(sem, std::memory_order_release);
    }
    return 0;
}

void LapOutFra_start() {
    if (!cfg_system.laptrigSlave || seramCal().OUTINGCTR_MODE == 1)
        LapOutFra_initLapOutCnt(gState.lap, gState.outing);
    if (cfg_system.laptrigSlave && cfg_system.loggingActive &&
        taskSpawn("r_ltmAvail", LAPOUTFRA_LTMAVAIL_PRIORITY, VX_FP_TASK, LAPOUTFRA_LTMAVAIL_STACK,
                  LapOutFra_queryLapOutCntTask) == TASK_ID_ERROR)
        syslogx(LOG_PRIO_ERR, "main(): start of t_ltmAvail task failed!");
}

void LapOutFra_exit() {
    const SEM_ID sem = LapOutFraSem.exchange(SEM_ID_NULL);
    if (sem) semDelete(sem);
}

void LapOutFra_initLapOutCnt(uint16_t lap, uint16_t outing) {
    if (!take()) {
        syslogx(LOG_PRIO_ERR, "LapOutFra_initLapOutCnt() semTake errors errno 0x%X", unsigned(errno));
        return;
    }
    if (lap != gState.lap || outing != gState.outing) {
        lap_logging().lapStackResetHistory();
        absLapStep();
        gState.fragment = 1;
    }
    gState.lap = lap;
    gState.outing = outing;
    ++gState.changes;
    gState.valid.store(1);
    publishAll();
    give();
    storeLater();
    // Valid at once: logging starts on every drive while the search looks at meas:'s folder on that
    // drive's own task (the logging drive never writes over a file it finds under the name).
    if (!lap_logging().onDrive("meas:", "the fragment search", fragmentSearch))
        syslogx(LOG_PRIO_ERR, "LapOutFra_initLapOutCnt(): the fragment search cannot be made");
}

void LapOutFra_setLapOutCnt(uint16_t lap, uint16_t outing, uint32_t timestamp) {
    if (!take()) {
        if (errno == S_objLib_OBJ_ID_ERROR)
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING,
                              "LapOutFra_setLapOutCnt() semTake error: semID invalid (comint before init?)");
        else
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "LapOutFra_setLapOutCnt() semTake errors errno 0x%X",
                              unsigned(errno));
        return;
    }
    absLapStep();
    ++gState.changes;
    if (outing != gState.outing) lap_logging().lapStackResetHistory();
    gState.lap = lap;
    gState.outing = outing;
    gState.fragment = 1;
    gState.timestamp.store(timestamp);
    publishAll();
    give();
    storeLater();
    lap_logging().clearSegmentation();
}

void LapOutFra_chngLapOutCnt(uint16_t lap, uint16_t outing) {
    if (!take()) {
        syslogx(LOG_PRIO_ERR, "LapOutFra_chngLapOutCnt() semTake errors errno 0x%X", unsigned(errno));
        return;
    }
    const bool changed = lap != gState.lap || outing != gState.outing;
    if (changed) {
        absLapStep();
        ++gState.changes;
    }
    give();
    if (changed) {
        storeLater();
        lap_logging().lapOutChanged(lap, outing);
    }
}

void LapOutFra_setFragmentTrig(uint32_t timestamp) {
    if (!take()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "LapOutFra_setFragmentTrig() semTake failed errno 0x%X",
                          unsigned(errno));
        return;
    }
    ++gState.changes;
    if (gState.fragment >= 255) {
        absLapStep();
        publishAbsLap();
        gState.fragment = 1;
    } else {
        ++gState.fragment;
    }
    gState.timestamp.store(timestamp);
    publishFragment();
    give();
    storeLater();
}

int LapOutFra_genFilename(char* buffer, uint32_t size, uint8_t index, uint8_t outing, uint8_t lap,
                          uint8_t fragment) {
    return LapOutFra_genFilenameAbsLap(buffer, size, index, outing, lap, fragment, gState.absLap.load());
}

int LapOutFra_genFilenameAbsLap(char* buffer, uint32_t size, uint8_t index, uint8_t outing, uint8_t lap,
                                uint8_t fragment, uint16_t absLap) {
    if (!buffer || size == 0 || index >= 3) {
        syslogx(LOG_PRIO_ERR, "LapOutFra_genFilename() illegal argument: buffer %d, size %d, idx %d",
                buffer ? 1 : 0, int(size), int(index));
        return -1;
    }
    if (index == 1) {
        buffer[0] = '\0';
        return -1;
    }
    const int n =
        std::snprintf(buffer, size, "%c%02x%02x%03x.%1x%02x", index == 0 ? 'A' : 'B', unsigned(outing),
                      unsigned(lap), unsigned(absLap >> 4), unsigned(absLap & 0xF), unsigned(fragment));
    if (n < 0 || uint32_t(n) >= size) {
        syslogx(LOG_PRIO_ERR,
                "LapOutFra_genFilename() insufficient space in filename output buffer - filename corrupt");
        return int(size - 1);
    }
    return n;
}

uint8_t LapOutFra_isValid() {
    return gState.valid.load();
}

uint32_t LapOutFra_getTimeStamp() {
    return gState.timestamp.load();
}

void LapOutFra_getState(LapOutFraState* out) {
    if (!out) return;
    if (!take()) {
        syslogx(LOG_PRIO_ERR, "LapOutFra_getState() semTake errors errno %X", unsigned(errno));
        out->valid = 0;
        return;
    }
    *out = LapOutFraState{gState.lap,      gState.outing,           gState.absLap.load(),
                          gState.fragment, gState.timestamp.load(), gState.valid.load()};
    give();
}

void LapOutFra_checkExtLaptrgInit() {
    if (cfg_system.laptrigSlave == 1 && cfg_system.loggingActive == 1 && !LapOutFra_isValid())
        laptrigger_get_info_req(cfg_system.ltmPid);
}

void LapOutFra_queryLapOutCntTask() {
    LapOutFra_checkExtLaptrgInit();
    taskDelay(30 * sysClkRateGet());
    if (!LapOutFra_isValid()) {
        error_mgr_set(CFG_SYSTEM_ERRMEM_NO_LTM, CFG_SYSTEM_ERRMEM_NO_LTM_TYPE, 0);
        syslogx(LOG_PRIO_ERR, "LapOutFra_queryLapOutCntTask() no laptrigger master found via comint");
    }
}

void fde_system_sd_data_changed() {
    if (seramCal().OUTINGCTR_MODE != 1) return;
    LapOutFraState s{};
    LapOutFra_getState(&s);
    const uint16_t outing = uint16_t(s.outing + 1);
    LapOutFra_setLapOutCnt(s.lap, outing, time_getTimestamp());
    syslogx(LOG_PRIO_INFO2, "Testbenchmode: CF-Data changed, incrementing outingctr to %d", int(outing));
}

bool LapOutFra_waitStored(int ms) {
    const uint64_t queued = gStoreQueued.load();
    for (int waited = 0; queued != 0 && !nvram_writeLaterDone(queued); ++waited) {
        if (waited >= ms) return false;
        taskDelay(1);
    }
    return true;
}
