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
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Guarded by LapOutFraSem, except the fields read without it.
struct Counters {
    uint16_t lap = 0;
    uint16_t outing = 0;
    uint16_t fragment = 0;
    std::atomic<uint16_t> absLap{0};
    std::atomic<uint32_t> timestamp{0};
    std::atomic<uint8_t> valid{0};
    uint32_t changes = 0;  // every change of the counters counts one
    bool searched = false; // the start's search was asked for
};
Counters gState;
std::atomic<SEM_ID> LapOutFraSem{SEM_ID_NULL};
// Held across the copy of the counters and their queueing for NV: a later copy is queued later.
std::mutex gStoreLock;
// The number of the last store queued (nvram_dbs_writeLater), and whether the last store was
// refused (the queue at its bound): the counters are then queued again at the next store and at
// the shutdown's wait, and count as not stored till then.
std::atomic<uint64_t> gStoreQueued{0};
std::atomic<bool> gStoreRefused{false};
// As the shutdown names them; two kinds, so that each takes its turn at the NV store with its latest
// value (the start's search corrects an absolute lap that a power cut left behind).
constexpr const char* kStoreWhat = "the lap counters";
constexpr const char* kAbsLapWhat = "the absolute lap counter";

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

// Queues NV record 261 (and record 0 with `image`) for the NV store's task; gStoreLock held. Record
// 0 refused, record 261 is not queued either.
void queueStoreLocked(uint16_t absLap, const uint8_t (*image)[6]) {
    uint64_t queued = 0;
    if (image) queued = nvram_dbs_writeLater(NV_REC_LAPOUTFRA, 0, *image, sizeof *image, kStoreWhat);
    if (image && queued == 0) {
        gStoreRefused.store(true);
        return;
    }
    const uint8_t b[2] = {uint8_t(absLap), uint8_t(absLap >> 8)};
    const uint64_t abs = nvram_dbs_writeLater(NV_REC_LAPOUTFRA_ABSLAP, 0, b, sizeof b, kAbsLapWhat);
    if (abs != 0) gStoreQueued.store(std::max(queued, abs));
    // Only a store of every counter makes up for one refused.
    if (abs == 0 || image) gStoreRefused.store(abs == 0);
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
// lap). A later store's values replace those of one still waiting; no file waits for them (the
// next start's search goes on after the absolute laps that the drives hold).
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

// The cuts of the measurement, each at seq % LAPOUTFRA_CUTS_KEPT; guarded by LapOutFraSem.
LapOutFraCut gCuts[LAPOUTFRA_CUTS_KEPT];
std::atomic<uint32_t> gNewestCut{0};

LapOutFraCut& cutSlot(uint32_t seq) {
    return gCuts[seq % LAPOUTFRA_CUTS_KEPT];
}

// The oldest cut the history still keeps (with the lock held; 0 when there is none).
uint32_t oldestKept() {
    const uint32_t newest = gNewestCut.load();
    if (newest == 0) return 0;
    return newest >= LAPOUTFRA_CUTS_KEPT ? newest - LAPOUTFRA_CUTS_KEPT + 1 : 1;
}

// With the lock held: a cut with the counters as they stand now. A cut made after another is never
// stamped before it (a lap seen late by its pass, a stop's stamp of 0): it takes the other's stamp,
// so that the cuts' spans follow one another in the order the counters moved.
LapOutFraCut addCut(uint32_t ts, uint8_t kind) {
    const uint32_t newest = gNewestCut.load();
    uint32_t stamp = ts ? ts : time_getTimestamp();
    if (newest != 0 && int32_t(stamp - cutSlot(newest).stamp) < 0) stamp = cutSlot(newest).stamp;
    const LapOutFraCut c{newest + 1,           stamp,           gState.lap, gState.outing,
                         gState.absLap.load(), gState.fragment, kind};
    cutSlot(c.seq) = c;
    gNewestCut.store(c.seq);
    return c;
}

int genName(char* buffer, uint32_t size, uint8_t index) {
    return LapOutFra_genFilenameAbsLap(buffer, size, index, uint8_t(gState.outing), uint8_t(gState.lap),
                                       uint8_t(gState.fragment), gState.absLap.load());
}

// The absolute lap that a measurement file's name carries ("A0201000.103": outing 02, lap 01, the
// absolute lap's upper three digits 000 and its lowest after the dot, 1, then fragment 03); false
// for a name of any other form.
bool absLapOfName(const char* name, uint16_t* absLap) {
    if (std::strlen(name) != 12 || (name[0] != 'A' && name[0] != 'B') || name[8] != '.') return false;
    uint32_t value = 0;
    for (int i = 1; i < 12; ++i) {
        if (i == 8) continue;
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
        if (i >= 5 && i <= 9) {
            const char c = char(std::tolower(static_cast<unsigned char>(name[i])));
            value = value << 4 | uint32_t(c <= '9' ? c - '0' : c - 'a' + 10);
        }
    }
    *absLap = uint16_t(value);
    return true;
}

// The absolute laps of the measurement files on `drive`; false when its folder cannot be read to
// its end (what was read is kept). `writable` gets the files not made read-only: a file is made so
// only once it is whole, so one that is not at a start was left by an earlier run that did not
// finish it (a power cut, a kill, a drive that failed it).
bool absLapsOn(const char* drive, std::vector<uint16_t>* found, std::vector<std::string>* writable) {
    std::vector<std::string> names;
    const bool whole = bfs_names(drive, &names) == 0 || errno == ENODEV;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        uint16_t absLap = 0;
        if (!absLapOfName(name.c_str(), &absLap)) continue;
        found->push_back(absLap);
        if (!(drive_stateAttrOf(drive, name) & DRIVE_ATTR_READONLY)) writable->push_back(name);
    }
    return whole;
}

// Names the files an earlier run left unfinished, the first few of them by name.
void nameUnfinished(const char* drive, const std::vector<std::string>& writable) {
    if (writable.empty()) return;
    constexpr size_t kNamed = 8;
    std::string list;
    for (size_t i = 0; i < writable.size() && i < kNamed; ++i) list += " " + writable[i];
    if (writable.size() > kNamed) list += " and " + std::to_string(writable.size() - kNamed) + " more";
    syslogx(LOG_PRIO_WARNING,
            "LapOutFra_initLapOutCnt(): %s holds %u %s that an earlier run did not finish (a power cut, a "
            "kill or a fault of the drive), writable with their last complete record:%s",
            drive, unsigned(writable.size()), writable.size() == 1 ? "file" : "files", list.c_str());
}

// The start's search: the folders of the drives that take data, each read on its drive's own task.
// Counters that lag behind a drive (a power cut before their store was written through, the NV store
// lost, the absolute lap wrapped) would give an absolute lap again, and a name that an old file
// holds there: the start's names go on after the furthest absolute lap found ahead of the start's
// (within half the counter's range). Until then the absolute lap is provisional: the counters are
// valid (the lap function and the laps go on), and the names given from them meanwhile move on with
// them once the names are fixed, before any drive gets a file of the start.
struct Search {
    std::mutex m;
    bool asked = false;
    bool settled = false;
    uint16_t base = 0; // the start's absolute lap when the search was asked for
    std::vector<std::string> left;
    bool ahead = false;
    uint16_t furthest = 0; // ahead of base
    std::string holder;    // the drive that holds it
    bool announced = false;
};
Search& search() {
    static auto* s = new Search; // a drive's task may end its read while the process ends
    return *s;
}
std::atomic<bool> gNamesFinal{false};
std::atomic<bool> gAnnounced{false}; // the start's first file is named in the log

// One drive's read: the absolute laps its files hold, and the files an earlier run left writable.
int readDrive(const char* drive) {
    std::vector<uint16_t> found;
    std::vector<std::string> writable;
    const bool whole = absLapsOn(drive, &found, &writable);
    nameUnfinished(drive, writable);
    if (!whole)
        syslogx(LOG_PRIO_ERR,
                "LapOutFra_initLapOutCnt(): the folder of %s cannot be read to its end: %u "
                "measurement files seen",
                drive, unsigned(found.size()));
    Search& s = search();
    bool ended = false;
    {
        std::lock_guard<std::mutex> lk(s.m);
        const auto it = std::find(s.left.begin(), s.left.end(), std::string(drive));
        if (it == s.left.end()) return 0; // a read the start did not wait for
        s.left.erase(it);
        if (!s.settled) {
            for (uint16_t absLap : found) {
                const uint16_t by = uint16_t(absLap - s.base);
                if (by >= 0x8000 || (s.ahead && by <= s.furthest)) continue;
                s.furthest = by;
                s.ahead = true;
                s.holder = drive;
            }
        } else if (!found.empty()) {
            syslogx(LOG_PRIO_WARNING,
                    "LapOutFra_initLapOutCnt(): the folder of %s was read only after the start's files were "
                    "named: a file of a name it holds is not written there",
                    drive);
        }
        ended = s.left.empty() && !s.settled;
    }
    if (ended) lap_logging().searchEnded();
    return 0;
}

// The search of the start, asked for by its first initialisation (the lock not held).
void startSearch() {
    Search& s = search();
    std::vector<std::string> drives;
    {
        std::lock_guard<std::mutex> lk(s.m);
        drives = s.left;
    }
    for (const std::string& drive : drives) {
        if (lap_logging().onDrive(drive.c_str(), "the fragment search", readDrive)) continue;
        syslogx(LOG_PRIO_ERR, "LapOutFra_initLapOutCnt(): the fragment search cannot be made on %s",
                drive.c_str());
        bool ended = false;
        {
            std::lock_guard<std::mutex> lk(s.m);
            const auto it = std::find(s.left.begin(), s.left.end(), drive);
            if (it != s.left.end()) s.left.erase(it);
            ended = s.left.empty() && !s.settled;
        }
        if (ended) lap_logging().searchEnded();
    }
    bool none = false;
    {
        std::lock_guard<std::mutex> lk(s.m);
        none = drives.empty() && !s.settled;
    }
    if (none) lap_logging().searchEnded();
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
    gState.searched = false;
    {
        Search& s = search();
        std::lock_guard<std::mutex> lk(s.m);
        s.asked = s.settled = s.ahead = s.announced = false;
        s.left.clear();
        s.holder.clear();
    }
    gNamesFinal.store(false);
    gAnnounced.store(false);
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
    const bool first = !gState.searched;
    gState.searched = true;
    if (first) {
        // Asked for with the drives it reads, as one step: the names wait for them from now on.
        Search& s = search();
        std::lock_guard<std::mutex> lk(s.m);
        s.asked = true;
        s.base = gState.absLap.load();
        s.left = lap_logging().dataDrives();
    }
    gState.valid.store(1);
    publishAll();
    give();
    storeLater();
    // Valid at once (the lap function, the lap trigger and the logging go on); the names of the start
    // are fixed once the search has read the drives' folders. Within the start the counters only go
    // on, and no later name can repeat one of it.
    if (first) startSearch();
}

void LapOutFra_setLapOutCnt(uint16_t lap, uint16_t outing, uint32_t timestamp, LapOutFraCut* cut) {
    if (cut) *cut = LapOutFraCut{};
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
    const bool newOuting = outing != gState.outing;
    if (newOuting) lap_logging().lapStackResetHistory();
    gState.lap = lap;
    gState.outing = outing;
    gState.fragment = 1;
    const LapOutFraCut made = addCut(timestamp, newOuting ? LOF_CUT_OUTING : LOF_CUT_LAP);
    gState.timestamp.store(made.stamp);
    publishAll();
    give();
    if (cut) *cut = made;
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

void LapOutFra_setFragmentTrig(uint32_t timestamp, uint8_t kind, LapOutFraCut* cut) {
    if (cut) *cut = LapOutFraCut{};
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
    const LapOutFraCut made = addCut(timestamp, kind);
    gState.timestamp.store(timestamp ? made.stamp : 0);
    publishFragment();
    give();
    if (cut) *cut = made;
    storeLater();
}

bool LapOutFra_startCut(uint32_t timestamp, LapOutFraCut* cut) {
    *cut = LapOutFraCut{};
    if (!gState.valid.load() || !take()) return false;
    *cut = addCut(timestamp, LOF_CUT_START);
    give();
    return true;
}

uint32_t LapOutFra_newestCut() {
    return gNewestCut.load();
}

bool LapOutFra_cut(uint32_t seq, LapOutFraCut* out) {
    if (!take()) return false;
    const bool kept = seq != 0 && seq >= oldestKept() && seq <= gNewestCut.load();
    if (kept) *out = cutSlot(seq);
    give();
    return kept;
}

bool LapOutFra_cutAt(uint32_t ts, uint32_t from, LapOutFraCut* out) {
    if (!take()) return false;
    const uint32_t newest = gNewestCut.load(), first = std::max(from, oldestKept());
    const bool any = newest != 0 && first != 0 && first <= newest;
    if (any) {
        uint32_t seq = newest;
        while (seq > first && int32_t(cutSlot(seq).stamp - ts) >= 0) --seq;
        *out = cutSlot(seq);
    }
    give();
    return any;
}

bool LapOutFra_countersCut(uint8_t kind) {
    return kind == LOF_CUT_LAP || kind == LOF_CUT_OUTING || kind == LOF_CUT_FRAGMENT;
}

const char* LapOutFra_cutKindName(uint8_t kind) {
    switch (kind) {
    case LOF_CUT_START:
        return "start";
    case LOF_CUT_LAP:
        return "lap";
    case LOF_CUT_OUTING:
        return "new outing";
    case LOF_CUT_FRAGMENT:
        return "fragment";
    case LOF_CUT_SIZE:
        return "size limit";
    case LOF_CUT_TIME:
        return "time limit";
    case LOF_CUT_ARRIVAL:
        return "stick's arrival";
    case LOF_CUT_DRIVE:
        return "drive's new file";
    case LOF_CUT_STOP:
        return "stop";
    default:
        return "cut";
    }
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

bool LapOutFra_namesFinal() {
    return gNamesFinal.load();
}

std::vector<std::string> LapOutFra_searchLeft() {
    Search& s = search();
    std::lock_guard<std::mutex> lk(s.m);
    return s.settled ? std::vector<std::string>{} : s.left;
}

bool LapOutFra_searchAsked() {
    Search& s = search();
    std::lock_guard<std::mutex> lk(s.m);
    return s.asked;
}

uint16_t LapOutFra_settleNames() {
    Search& s = search();
    std::unique_lock<std::mutex> lk(s.m);
    if (!s.asked || s.settled) return 0;
    s.settled = true;
    const uint16_t shift = s.ahead ? uint16_t(s.furthest + 1) : 0;
    const uint16_t base = s.base;
    const std::string holder = s.holder;
    lk.unlock();
    if (shift != 0) {
        if (!take()) {
            syslogx(LOG_PRIO_ERR, "LapOutFra_initLapOutCnt() semTake errors errno 0x%X", unsigned(errno));
            gNamesFinal.store(true);
            return 0;
        }
        gState.absLap.store(uint16_t(gState.absLap.load() + shift));
        ++gState.changes;
        // The cuts made so far named their files provisionally: they move on with the counters.
        for (uint32_t seq = oldestKept(); seq != 0 && seq <= gNewestCut.load(); ++seq)
            cutSlot(seq).absLap = uint16_t(cutSlot(seq).absLap + shift);
        publishAbsLap();
        give();
        syslogx(LOG_PRIO_WARNING,
                "LapOutFra_initLapOutCnt(): %s holds files of absolute lap %u, the lap counters were at %u: "
                "the absolute lap goes on at %u",
                holder.c_str(), unsigned(uint16_t(base + shift - 1)), unsigned(base),
                unsigned(uint16_t(base + shift)));
        // Queued for the store before any file is named with them.
        storeLater();
    }
    gNamesFinal.store(true);
    return shift;
}

void LapOutFra_startingWith(const char* name) {
    if (gAnnounced.load()) return;
    {
        Search& s = search();
        std::lock_guard<std::mutex> lk(s.m);
        if (s.announced) return;
        s.announced = true;
        gAnnounced.store(true);
    }
    char fromCounters[64] = "";
    if (!name) {
        if (take()) {
            genName(fromCounters, sizeof fromCounters, 0);
            give();
        }
        name = fromCounters;
    }
    syslogx(LOG_PRIO_DEBUG, "LapOutFra_initLapOutCnt(): Starting with file: %s", name);
}

bool LapOutFra_waitStored(int ms) {
    if (gStoreRefused.load()) storeLater();
    if (gStoreRefused.load()) return false;
    const uint64_t queued = gStoreQueued.load();
    const auto done = [queued] {
        return queued == 0 ||
               (nvram_writeLaterDone(queued, kStoreWhat) && nvram_writeLaterDone(queued, kAbsLapWhat));
    };
    for (int waited = 0; !done(); ++waited) {
        if (waited >= ms) return false;
        taskDelay(1);
    }
    return true;
}
