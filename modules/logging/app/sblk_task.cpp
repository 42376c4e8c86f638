#include "logging/app/sblk_task.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/app/sb_info.h"
#include "logging/app/sb_lapstack.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/cfg_system.h"
#include "measdata/diagservice.h"
#include "measdata/seram.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

std::atomic<uint32_t> sb_static_status{0};
std::atomic<uint32_t> sb_dyn_status[2];
std::atomic<uint8_t> sb_SwOff{0};

namespace {

constexpr int SB_LIMIT = 4211;     // an append never writes at or beyond this offset
constexpr int SB_HDR = 20;         // header start
constexpr int SB_PAGES = 116;      // first page
constexpr uint32_t SB_WAIT = 5000; // 0.5 s in 100 us ticks

struct tSB {
    uint8_t rec[SB_BLOCK_SIZE];
    int pos = SB_PAGES;
    bool init = false;
    int type = 0;       // 0 lap-triggered, else periodic
    bool write = false; // the running request writes without closing
    uint32_t startTs = 0;
    int expSB = 0, expLR = 0, wrSB = 0, wrLR = 0;
    std::atomic<uint64_t> sbReq{0}, sbOk{0};
    sb_request_t req{};
};

struct LapData {
    uint16_t lap = 0, outing = 0;
    uint32_t laptime = 0, ts = 0;
};

struct State {
    std::mutex blockMutex; // the blocks against a copy for diagnostics
    SEM_ID checkSem = SEM_ID_NULL;
    SEM_ID wake = SEM_ID_NULL;
    SEM_ID ready = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
    tSB sb[2];
    std::atomic<uint32_t> lapTs{0};
    LapData lap;
    std::atomic<uint8_t> fast{0};
    int prescaler = 0;
    // A request entered by the logging task waits here until the status-block task takes it over
    // into its block; only that task touches the blocks.
    std::mutex pendingMutex;
    struct Pending {
        bool set = false;
        int type = 0;
        bool write = false;
        uint32_t startTs = 0;
        int expSB = 0, expLR = 0;
        sb_request_t req{};
    } pending[2];
    // At power-down, a closing request that found the task busy: entered once the running one is
    // done (guarded by pendingMutex).
    struct Deferred {
        bool set = false;
        int closeType = 0;
        sb_request_t req{};
    } deferred[2];
};

// Never destroyed: the task may still run while the process exits.
State& S() {
    static State* s = new State;
    return *s;
}

int blockOf(int index) {
    return index == 0 ? 0 : index == 2 ? 1 : -1;
}
int indexOf(int block) {
    return block == 0 ? 0 : 2;
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// Appends an item, cut so that it ends before SB_LIMIT; the header length grows by what is copied.
void append(tSB& b, const void* data, int n) {
    const int room = SB_LIMIT - b.pos;
    if (n > room) n = room;
    if (n <= 0) return;
    std::memcpy(b.rec + b.pos, data, size_t(n));
    b.pos += n;
    const uint16_t len = uint16_t((b.rec[SB_HDR] << 8 | b.rec[SB_HDR + 1]) + n);
    put16(b.rec + SB_HDR, len);
}

void initHeader(tSB& b) {
    uint16_t ecu = cfg_system.ecuCode;
    if (ecu == 0) ecu = 0x0FDE;
    put16(b.rec + SB_HDR + 2, ecu);
    put16(b.rec + SB_HDR + 4, 0);
    const uint16_t pc = seramCal().PCODE;
    put16(b.rec + SB_HDR + 12, pc);
    put16(b.rec + SB_HDR + 14, uint16_t(~pc));
}

void sbInit(int k) {
    tSB& b = S().sb[k];
    std::memset(b.rec, 0xFF, sizeof b.rec);
    std::memcpy(b.rec, "StateData V", 12);
    b.rec[16] = 0x00;
    b.rec[17] = 0x02;
    b.rec[18] = b.rec[19] = 0;
    std::memset(b.rec + SB_HDR, 0, 96);
    b.pos = SB_PAGES;
    b.init = true;
    b.sbReq = ALL_SBLK_CONTROLLERS[indexOf(k)].load();
    initHeader(b);
}

void buildPage01(const tSB& b, uint8_t* page) {
    std::memset(page, 0, 1056);
    std::memcpy(page, b.req.bcdNow, 6);
    std::memcpy(page + 6, b.req.bcdCreate, 6);
    const sb_version_table v = sb_version_get();
    for (int i = 0; i < SB_VERSION_SLOTS; ++i)
        if (v.pid[i] != SB_VERSION_FREE) std::memcpy(page + 32 + 32 * i, v.text[i], 32);
    // The own device's text stands in its place too.
    std::snprintf(reinterpret_cast<char*>(page + 416), 32, "VEKTA %s", get_external_name());
    std::memcpy(page + 448, b.req.fileName, 80);
    std::memcpy(page + 528, b.req.cfgName1, 80);
    std::memcpy(page + 608, b.req.cfgName2, 80);
    std::memcpy(page + 688, b.req.syslogName, 80);
    char annotation[256] = {};
    diagService_GetAnnotation(annotation, sizeof annotation); // as NV record 10 holds it, from memory
    annotation[255] = 0;
    std::memcpy(page + 768, annotation, std::strlen(annotation) + 1);
    std::snprintf(reinterpret_cast<char*>(page + 1024), 32, "%s", seramGetEPKPtr());
}

void addVarData(tSB& b) {
    put16(b.rec + SB_HDR, 96);
    b.pos = SB_PAGES;
    std::memset(b.rec + SB_PAGES, 0xFF, sizeof b.rec - SB_PAGES);
    if (b.type == 0)
        syslogx(LOG_PRIO_DEBUG,
                "sb_add_var_data(%s) Lap SB, sb_ok: 0x%llX, sb_req: 0x%llX, Blks written SB %d/%d, LR %d/%d",
                b.req.fileName, (unsigned long long)b.sbOk.load(), (unsigned long long)b.sbReq.load(), b.wrSB,
                b.expSB, b.wrLR, b.expLR);
    uint8_t page[1056];
    buildPage01(b, page);
    append(b, "PAGE_01", 8);
    put16(b.rec + SB_HDR + 66, uint16_t(b.pos - SB_HDR));
    append(b, page, sizeof page);
    append(b, "PAGE_03", 8);
    append(b, "LAP_STK", 8);
    const uint16_t stk = uint16_t(b.pos - SB_HDR);
    put16(b.rec + SB_HDR + 48, stk);
    put16(b.rec + SB_HDR + 70, stk);
    uint8_t stack[2 + 256 * 6];
    const size_t n = sb_lapstack_get(stack, sizeof stack);
    append(b, stack, int(n));
    append(b, "LAP_END", 8);
}

// True when the block went to its file's store.
bool fileWrite(int k) {
    tSB& b = S().sb[k];
    if (!b.init) {
        syslogx(LOG_PRIO_ERR, "sb_create_file_write(%s): ### sb_init() delayed ???", b.req.fileName);
        sbInit(k);
    }
    std::lock_guard<std::mutex> lk(S().blockMutex);
    addVarData(b);
    if (b.req.vfIdx == -1 || !b.req.pretrig) return false;
    meas_app_PreTrigPutMetaDataVfCopy(b.req.pretrig, b.req.vfIdx, b.rec, uint32_t(b.pos),
                                      MEAS_META_STATUSBLOCK);
    return true;
}

void fileClose(int k) {
    tSB& b = S().sb[k];
    if (b.req.vfIdx != -1) meas_app_PreTrigCloseFile(b.req.pretrig, b.req.vfIdx);
    b.req.vfIdx = -1;
}

void setFast(bool fast) {
    S().fast = fast ? 1 : 0;
    sb_check_vers_info_mode(fast);
}

void toSlowWhenIdle(bool resetPrescaler) {
    if ((sb_dyn_status[0].load() | sb_dyn_status[1].load()) & (SB_DYN_LAP | SB_DYN_PER)) return;
    setFast(false);
    if (resetPrescaler) S().prescaler = 5;
}

struct CheckLock {
    bool held;
    CheckLock() : held(semTake(S().checkSem, NO_WAIT) == OK) {}
    ~CheckLock() {
        if (held) semGive(S().checkSem);
    }
};

void writeGathered(int k, tSB& b) {
    const int index = indexOf(k);
    const uint32_t lapTs = b.type == 0 ? S().lapTs.load() : 0;
    b.wrSB += meas_app_store_frame_sb_dyn(b.req.vfIdx, index, lapTs);
    b.wrLR += meas_app_store_frame_lr_dyn(b.req.vfIdx, index, lapTs);
}

// Takes over a request entered since the last check step.
void adopt(int k) {
    tSB& b = S().sb[k];
    std::lock_guard<std::mutex> lk(S().pendingMutex);
    State::Pending& p = S().pending[k];
    if (!p.set) return;
    b.type = p.type;
    b.write = p.write;
    b.startTs = p.startTs;
    b.req = p.req;
    b.expSB = p.expSB;
    b.expLR = p.expLR;
    b.wrSB = b.wrLR = 0;
    if (b.write) initHeader(b);
    p.set = false;
}

// The check step of a write request (check mutex held): writes, never closes.
int checkWrite(int k) {
    tSB& b = S().sb[k];
    sb_check_vers_info();
    if (!(sb_dyn_status[k].load() & SB_DYN_PER) || !b.write) return 1;
    const uint32_t elapsed = time_getTimestamp() - b.startTs;
    if (elapsed >= SB_WAIT) {
        const char* kind = b.type == 0 ? "laptrig" : "per";
        if ((sb_static_status.load() & 3) == 0) {
            syslogx(LOG_PRIO_WARNING,
                    "sb_create_check_write(): data timeout, static part of statusblock generated(%s)!, start "
                    "%d, diff %d",
                    kind, int(b.startTs), int(elapsed));
            fileWrite(k);
            b.sbReq = ALL_SBLK_CONTROLLERS[indexOf(k)].load();
        } else {
            syslogx(LOG_PRIO_WARNING, "sb_create_check_write(): timeout no statusblock generated(%s)!", kind);
            syslogx(LOG_PRIO_WARNING,
                    "sb_create_check_write(%s) sb_status: 0x%X, sb_ok: 0x%llX, sb_req: 0x%llX, Blks written "
                    "SB %d/%d, LR %d/%d",
                    b.req.fileName, unsigned(sb_dyn_status[k].load()), (unsigned long long)b.sbOk.load(),
                    (unsigned long long)b.sbReq.load(), b.wrSB, b.expSB, b.wrLR, b.expLR);
        }
        b.write = false;
        sb_dyn_status[k].fetch_and(~SB_DYN_PER);
        toSlowWhenIdle(true);
        return 0;
    }
    writeGathered(k, b);
    sb_dyn_status[k].fetch_and(~SB_DYN_DATA_MISSING);
    if (sb_static_status.load() & 3) return 2;
    sb_static_status.fetch_or(SB_STATIC_WRITTEN);
    fileWrite(k);
    b.sbReq = ALL_SBLK_CONTROLLERS[indexOf(k)].load();
    b.write = false;
    sb_dyn_status[k].fetch_and(~SB_DYN_PER);
    toSlowWhenIdle(false);
    return 1;
}

// The check step of a closing request.
int check(int k) {
    tSB& b = S().sb[k];
    CheckLock lk;
    if (!lk.held) return 2;
    adopt(k);
    if (b.write) return checkWrite(k);
    sb_check_vers_info();
    const uint32_t running = sb_dyn_status[k].load() & (SB_DYN_LAP | SB_DYN_PER);
    if (!running) return 1;
    const uint32_t elapsed = time_getTimestamp() - b.startTs;
    const char* kind = b.type == 0 ? "laptrig" : "per";
    if (elapsed >= SB_WAIT && (sb_static_status.load() & SB_STATIC_LAPSTACK_AWAITED)) {
        sb_static_status.fetch_and(~SB_STATIC_LAPSTACK_AWAITED);
        if (!sb_SwOff.load()) sb_lapstack_add_due_entry(0.0f);
    } else if (elapsed >= SB_WAIT) {
        if ((sb_static_status.load() & 3) == 0) {
            syslogx(LOG_PRIO_WARNING,
                    "sb_create_check(%s): data timeout, static part of statusblock generated(%s)!",
                    b.req.fileName, kind);
            fileWrite(k);
            b.sbReq = ALL_SBLK_CONTROLLERS[indexOf(k)].load();
        } else {
            if (b.type == 0)
                syslogx(
                    LOG_PRIO_WARNING,
                    "sb_create_check(%s): %s timeout no statusblock generated(laptrig)!, start %d diff %d",
                    b.req.fileName, sb_get_meas_name(indexOf(k)), int(b.startTs), int(elapsed));
            syslogx(LOG_PRIO_WARNING,
                    "sb_static_status: %s,  0x%X, sb_dyn_status: 0x%X, sb_ok: 0x%llX, sb_req: 0x%llX, Blks "
                    "written SB %d/%d, LR %d/%d",
                    b.req.fileName, unsigned(sb_static_status.load()), unsigned(sb_dyn_status[k].load()),
                    (unsigned long long)b.sbOk.load(), (unsigned long long)b.sbReq.load(), b.wrSB, b.expSB,
                    b.wrLR, b.expLR);
        }
        // Free before the close: the close makes the next file closeable, whose status block may
        // be asked for at once.
        sb_dyn_status[k].fetch_and(~(SB_DYN_LAP | SB_DYN_PER));
        fileClose(k);
        toSlowWhenIdle(true);
        return 0;
    }
    writeGathered(k, b);
    if (b.type == 0) {
        if (b.wrSB != b.expSB || b.wrLR != b.expLR)
            sb_dyn_status[k].fetch_or(SB_DYN_DATA_MISSING);
        else
            sb_dyn_status[k].fetch_and(~SB_DYN_DATA_MISSING);
    } else {
        sb_dyn_status[k].fetch_and(~SB_DYN_DATA_MISSING);
    }
    if (b.type == 0 && ((sb_dyn_status[k].load() & SB_DYN_DATA_MISSING) || (sb_static_status.load() & 3)))
        return 2;
    sb_static_status.fetch_or(SB_STATIC_WRITTEN);
    const bool written = fileWrite(k);
    b.sbReq = ALL_SBLK_CONTROLLERS[indexOf(k)].load();
    sb_dyn_status[k].fetch_and(~(SB_DYN_LAP | SB_DYN_PER));
    fileClose(k);
    if (written)
        syslogx(LOG_PRIO_DEBUG, "sb_create_check(%s):%d - done, status %X, %X type: '%s'", b.req.fileName, k,
                unsigned(sb_static_status.load()), unsigned(sb_dyn_status[k].load()),
                b.type == 0 ? "LAP" : "PER");
    else
        syslogx(LOG_PRIO_WARNING, "sb_create_check(%s):%d - no file takes the status block", b.req.fileName,
                k);
    toSlowWhenIdle(true);
    return 0;
}

int enter(const sb_request_t* rq, int closeType, int index, bool write);

// A request deferred at power-down is entered once its block's running request is done.
void enterDeferred(int k) {
    State::Deferred d;
    {
        std::lock_guard<std::mutex> lk(S().pendingMutex);
        if (!S().deferred[k].set || (sb_dyn_status[k].load() & (SB_DYN_LAP | SB_DYN_PER))) return;
        d = S().deferred[k];
        S().deferred[k].set = false;
    }
    if (enter(&d.req, d.closeType, indexOf(k), false) == 3 && d.req.vfIdx != -1)
        meas_app_PreTrigCloseFile(d.req.pretrig, d.req.vfIdx);
}

void taskBody() {
    State& s = S();
    sbInit(0);
    sbInit(1);
    syslogx(LOG_PRIO_DEBUG, "sblk_task: init:");
    s.wake = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
    if (!s.wake) syslogx(LOG_PRIO_ERR, "sblk_task: sblk semaphore creation failed!!!");
    semGive(s.ready);
    if (!s.wake) return;
    for (;;) {
        semTake(s.wake, WAIT_FOREVER);
        meas_app_saveblock_lap();
        check(0);
        check(1);
        enterDeferred(0);
        enterDeferred(1);
        if (!s.fast.load()) {
            if (s.prescaler > 5) {
                if (!sb_SwOff.load() && meas_app_get_meas_state_sb()) {
                    s.sb[0].sbReq = ALL_SBLK_CONTROLLERS[0].load();
                    s.sb[1].sbReq = ALL_SBLK_CONTROLLERS[2].load();
                    laptrigger_meas_req();
                }
                s.prescaler = 0;
            }
        } else {
            s.prescaler = 0;
        }
        ++s.prescaler;
    }
}

int enter(const sb_request_t* rq, int closeType, int index, bool write) {
    const int k = blockOf(index);
    if (k < 0 || !rq) return -1;
    {
        std::lock_guard<std::mutex> lk(S().pendingMutex);
        const uint32_t dyn = sb_dyn_status[k].load();
        if (dyn & (SB_DYN_LAP | SB_DYN_PER)) {
            if (write) {
                if (dyn & SB_DYN_LAP) {
                    syslogx(
                        LOG_PRIO_WARNING,
                        "sb_create_write(): busy / not finished yet, no PER SB for '%s', status %X ret %d",
                        rq->fileName, unsigned(dyn), -1);
                    return -1;
                }
                return 2;
            }
            // The shutdown closes the last files: the block of this one follows the running one.
            State::Deferred& d = S().deferred[k];
            if (sb_SwOff.load() && !d.set) {
                d.set = true;
                d.closeType = closeType;
                d.req = *rq;
                syslogx(LOG_PRIO_DEBUG, "sb_create(%s): waits for the running status block", rq->fileName);
                return 2;
            }
            // The running request keeps the block; this file is closed by the caller without one.
            syslogx(LOG_PRIO_WARNING, "sb_create(): busy / not finished yet, no LAP SB for '%s', status %X",
                    rq->fileName, unsigned(dyn));
            return 3;
        }
        State::Pending& p = S().pending[k];
        p.set = true;
        p.type = closeType;
        p.write = write;
        p.startTs = time_getTimestamp();
        p.req = *rq;
        if (closeType == 0 && !write) {
            syslogx(LOG_PRIO_DEBUG, "sb_create(%s): LT-TS %u", rq->fileName, unsigned(S().lapTs.load()));
            p.expSB = meas_app_get_sbblkcnt(index);
            p.expLR = meas_app_get_lrblkcnt(index);
            for (int c : {MEAS_RASTER_LAP, MEAS_RASTER_SBLAP})
                for (meas_blk* blk : meas_list_snapshot(&meas_app_measlist[c]))
                    if (blk->index == index) blk->sbFlags.fetch_or(MEAS_SB_LAPREQ);
            sb_dyn_status[k].fetch_or(SB_DYN_LAP);
        } else {
            if (!write)
                syslogx(LOG_PRIO_DEBUG, "sb_create(%s): Curr-TS %u", rq->fileName, unsigned(p.startTs));
            if (write && closeType == 0)
                syslogx(LOG_PRIO_DEBUG, "sb_create_write(%s): sb_create: LT-TS %u", rq->fileName,
                        unsigned(S().lapTs.load()));
            p.expSB = meas_app_get_sbblkcnt(index);
            p.expLR = 0;
            sb_dyn_status[k].fetch_or(SB_DYN_PER);
        }
    }
    // The block is built by the task: reading the lap stack from NV can take the caller, the
    // measurement raster, out for longer than its FIFOs hold.
    setFast(true);
    if (S().wake) semGive(S().wake);
    return 2;
}

} // namespace

int sblk_task_init(const char* name, int priority, int stack) {
    State& s = S();
    if (s.task != TASK_ID_ERROR) return 0;
    if (!s.checkSem) s.checkSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    s.ready = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    s.task = taskSpawn(name, priority, VX_FP_TASK, size_t(stack), taskBody);
    if (s.task == TASK_ID_ERROR) return 0;
    semTake(s.ready, WAIT_FOREVER);
    return s.wake ? 1 : 0;
}

void sblk_task_exit() {
    State& s = S();
    if (s.task == TASK_ID_ERROR) return;
    taskDelete(s.task);
    taskJoin(s.task, 3000);
    s.task = TASK_ID_ERROR;
    if (s.wake) semDelete(s.wake);
    s.wake = SEM_ID_NULL;
    semDelete(s.ready);
    s.ready = SEM_ID_NULL;
}

int sblk_task_laptrigger(uint16_t previousLap, uint16_t previousOuting, uint32_t timestamp,
                         uint32_t laptime) {
    sb_lapinfo_lap_event();
    S().lapTs = timestamp;
    S().lap.lap = previousLap;
    S().lap.outing = previousOuting;
    S().lap.laptime = laptime;
    const uint16_t fcm = cfg_system.fcmPid;
    if (fcm < CFG_SYSTEM_PID_NONE && fcm != app_pid) {
        sb_lapstack_expect_entry(uint8_t(previousLap), laptime);
        sb_static_status.fetch_or(SB_STATIC_LAPSTACK_AWAITED);
    }
    setFast(true);
    if (S().wake) semGive(S().wake);
    return 1;
}

void sblk_task_trigger_fast() {
    if (S().fast.load() && S().wake) semGive(S().wake);
}

void sblk_task_trigger_slow() {
    if (!S().fast.load() && S().wake) semGive(S().wake);
}

void sblk_power_down() {
    setFast(true);
    sb_SwOff = 1;
    sb_lapstack_power_down();
}

int sb_create(const sb_request_t* request, int closeType, int index) {
    return enter(request, closeType, index, false);
}

bool sb_busy(int index) {
    const int k = blockOf(index);
    if (k < 0) return false;
    std::lock_guard<std::mutex> lk(S().pendingMutex);
    return S().deferred[k].set || S().pending[k].set || (sb_dyn_status[k].load() & (SB_DYN_LAP | SB_DYN_PER));
}

int sb_create_write(const sb_request_t* request, int closeType, int index) {
    return enter(request, closeType, index, true);
}

void sb_store_block_dyn(meas_blk* b, const uint8_t* data) {
    if (!b || !data || !b->sbBuf) return;
    const uint32_t first = uint32_t(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3]);
    const bool lapTrig = first != 0;
    const int k = blockOf(b->index);
    char r[16];
    const uint64_t bit = b->pid >= 1 && b->pid <= 64 ? uint64_t(1) << (b->pid - 1) : 0;
    if (lapTrig && seramCal().OUTINGCTR_MODE) {
        syslogx(LOG_PRIO_DEBUG2,
                "sb_store_block_dyn(): Got laptriggered data in testbenchmode: %s PID: 0x%X, BLK #%d, Ch #%d",
                convraster2ascii(b->raster, r), unsigned(b->pid), int(b->blockId), int(b->blkinfo->blockNo));
        if (k >= 0 && b->raster == MEAS_RASTER_SBLAP) S().sb[k].sbOk.fetch_or(bit);
        return;
    }
    std::vector<uint8_t> rec(data, data + b->blkinfo->recordSize);
    if (!lapTrig) {
        if (b->sbLocked.load()) {
            syslogx(LOG_PRIO_DEBUG,
                    "sb_store_block_dyn(): prevent overwrite of locked data: %s PID: 0x%X, BLK #%d, Ch #%d, "
                    "TS %d",
                    convraster2ascii(b->raster, r), unsigned(b->pid), int(b->blockId),
                    int(b->blkinfo->blockNo), int(first));
            return;
        }
        const uint32_t now = time_getTimestamp();
        rec[0] = uint8_t(now >> 24);
        rec[1] = uint8_t(now >> 16);
        rec[2] = uint8_t(now >> 8);
        rec[3] = uint8_t(now);
    }
    if (k >= 0 && b->raster == MEAS_RASTER_SBLAP) {
        S().sb[k].sbReq.fetch_and(~bit);
        S().sb[k].sbOk.fetch_or(bit);
    }
    b->sbBuf->write(rec.data(), rec.size());
    b->sbLocked = lapTrig ? 1 : 0;
    b->sbNew.store(1, std::memory_order_release);
    if (!lapTrig && b->instance && meas_app_PreTrigMeasRunning(b->instance->pretrig)) {
        // Into the file of the cut in force now, while it is open.
        LapOutFraCut c{};
        if (LapOutFra_isValid() && MeasAppStore_cutOf(time_getTimestamp(), &c))
            if (MeasAppStore_FileInfo_s* f = meas_app_get_lof_file(b, c))
                meas_app_store_statusblock(f, SB_PERIOD);
    }
}

SeqRecord* sb_per_buffer_request(uint16_t size) {
    return new SeqRecord(size_t(size));
}

void sb_per_buffer_release(SeqRecord* buffer) {
    delete buffer;
}

const char* sb_get_meas_name(int index) {
    return index == 0 ? "'A'" : index == 2 ? "'B'" : "";
}

uint32_t sb_get_project_code() {
    const uint16_t pc = seramCal().PCODE;
    return uint32_t(uint16_t(~pc)) << 16 | pc;
}

int sb_copy_block(int k, uint8_t* out, int size) {
    if (k < 0 || k > 1) return 0;
    std::lock_guard<std::mutex> lk(S().blockMutex);
    const int n = std::min(size, S().sb[k].pos);
    std::memcpy(out, S().sb[k].rec, size_t(n));
    return n;
}
