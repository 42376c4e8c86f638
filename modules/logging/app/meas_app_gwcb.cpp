// The three gateway callbacks of the logging: the outcome of a block's start, its records, and
// the time-out of its data; the first speed of every block once all starts are answered; and the
// warning of a measurement that no value reaches.
#include "framework/appman.h"
#include "framework/board_io.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/sblk_task.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/fifo/meas_fifo_data.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

std::atomic<uint8_t> meas_app_datatimeout{0};
std::atomic<uint8_t> meas_app_tele_started{0};

const callback_list meas_app_callbacks = {{
    {nullptr, 0},
    {meas_app_gw_cbData, 100},
    {nullptr, 0},
    {meas_app_gw_cbStart, 100},
    {nullptr, 0},
    {meas_app_gw_cbTout, 100},
}};

namespace {

std::atomic<uint16_t> gFifoIds{0};
// Per instance: a value has come since the process started.
std::atomic<uint8_t> gValueSeen[MEAS_INSTANCES];

uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

void logUnhandled(const meas_blk* b) {
    char r[16];
    syslogx(LOG_PRIO_ERR,
            "<meas_app_gw_cbData> unhandled data type: m0%d PID: 0x%X, Type: %s, BLK #%d, Ch #%d, Raster: %s",
            b->index + 1, unsigned(b->pid), meas_app_blktype(b), int(b->blockId), int(b->blkinfo->blockNo),
            convraster2ascii(b->raster, r));
}

// The reply of a start holds the first value's latency only as far as the gateway gives it:
// only that one is taken, the others count as on time.
void fifodatarequest(meas_blk* b, const uint8_t* reply) {
    const MeasBlkInfo* c = b->blkinfo;
    fifo_data_request_t rq{};
    rq.fifoNo = b->fifoId;
    rq.signalCount = uint16_t(c->numAddr);
    for (uint32_t i = 0; i < c->numAddr && i < DATA_FIFO_MAX_SIGNALS; ++i) rq.widths[i] = c->addrSize[i];
    if (reply && c->numAddr) rq.latencies[0] = be16(reply);
    rq.raster = b->raster;
    rq.factorA = c->false_div;
    rq.factorB = c->true_div;
    rq.condNo = b->condRef;
    rq.condFlags = c->condFlags;
    rq.pid = b->pid;
    rq.blockNo = c->blockNo;
    const int r = fifo_data_request(&rq);
    if (r != 0)
        syslogx(LOG_PRIO_ERR, "meas_app_fifodatarequest(): m0%d BLK #%d FIFO %u refused (%d)", b->index + 1,
                int(b->blockId), unsigned(b->fifoId), r);
}

void fifoconditionrequest(meas_blk* b, const uint8_t* reply) {
    fifo_cond_request_t rq{};
    rq.fifoNo = b->activeCondChannel;
    rq.valueSize = b->blkinfo->addrSize[0];
    rq.delayMs = reply ? be16(reply) : 0;
    rq.raster = b->raster;
    rq.pid = b->pid;
    rq.blockId = b->blockId;
    rq.uncertainMs = b->blkinfo->pretrigger;
    const int r = fifo_condition_request(&rq);
    if (r != 0)
        syslogx(LOG_PRIO_ERR, "meas_app_fifoconditionrequest(): m0%d BLK #%d condition %u refused (%d)",
                b->index + 1, int(b->blockId), unsigned(rq.fifoNo), r);
}

bool takeSem(SEM_ID sem, const char* who, const meas_blk* b) {
    if (semTake(sem, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_PRIO_ERR, "%s semTake failed errno %X, idx %u Blk #%u", who, unsigned(errno),
            unsigned(b->index), unsigned(b->blockId));
    return false;
}

} // namespace

void meas_app_fifo_numbering_reset() {
    gFifoIds = 0;
}

namespace {
// Never destroyed: the raster tasks may still run while the process exits.
std::recursive_mutex& listLock() {
    static auto* m = new std::recursive_mutex;
    return *m;
}
} // namespace

std::vector<meas_blk*> meas_list_snapshot(meas_blk* const* head) {
    std::lock_guard<std::recursive_mutex> lk(listLock());
    std::vector<meas_blk*> out;
    for (meas_blk* b = *head; b; b = b->next) out.push_back(b);
    return out;
}

void meas_list_push(meas_blk** head, meas_blk* b) {
    std::lock_guard<std::recursive_mutex> lk(listLock());
    b->prev = nullptr;
    b->next = *head;
    if (*head) (*head)->prev = b;
    *head = b;
}

void meas_list_unlink(meas_blk** head, meas_blk* b) {
    std::lock_guard<std::recursive_mutex> lk(listLock());
    if (b->prev)
        b->prev->next = b->next;
    else if (*head == b)
        *head = b->next;
    else
        return; // not in this list
    if (b->next) b->next->prev = b->prev;
    b->prev = b->next = nullptr;
}

uint32_t meas_app_gw_cbStart(uint32_t event, void* replyData, void* user) {
    auto* b = static_cast<meas_blk*>(user);
    if (!b) {
        syslogx(LOG_PRIO_ERR, "meas_app_gw_cbStart: zero pointer for container!");
        return 0;
    }
    const auto* reply = static_cast<const uint8_t*>(replyData);
    meas_instance& m = *b->instance;
    const bool debug = seramCal().MEAS_APP_DEBUG == 1;
    uint16_t st = b->state.load();
    if (event == 0) {
        if (st & (MEAS_BS_OFFLINE | MEAS_BS_FAILED)) {
            b->state.fetch_and(uint16_t(~(MEAS_BS_OFFLINE | MEAS_BS_FAILED)));
            if (m.replyErrCnt) --m.replyErrCnt;
        }
        if (!(st & MEAS_BS_ACKSEEN)) ++m.replyCnt;
        b->state.fetch_or(MEAS_BS_ACKSEEN);
        if (st & MEAS_BS_ACKED) {
            if (debug)
                syslogx(LOG_PRIO_DEBUG, "meas_app_gw_cbStart ok repeated for m0%d, BLK #%d, PID 0x%X",
                        b->index + 1, int(b->blockId), unsigned(b->pid));
        } else {
            b->state.fetch_or(MEAS_BS_ACKED);
            if (debug)
                syslogx(LOG_PRIO_DEBUG, "meas_app_gw_cbStart ok for m0%d, BLK #%d, PID 0x%X", b->index + 1,
                        int(b->blockId), unsigned(b->pid));
            if (b->type & MEAS_BLK_COND)
                ++m.ackCond;
            else if (b->type & MEAS_BLK_FIFOCOND)
                ++m.ackFifoCond;
            else if (b->type & MEAS_BLK_TELE)
                ++m.ackTele;
            else if (b->raster == MEAS_RASTER_SBLAP)
                ++m.ackSbLap;
            else if (b->raster == MEAS_RASTER_LAP)
                ++m.ackLap;
            else
                ++m.ackData;
            if (b->type & MEAS_BLK_TELE) {
                if (!b->teleBuf) b->teleBuf = new SeqRecord(b->blkinfo->recordSize);
                b->teleState = MEAS_REC_NONE;
            } else if (b->type & MEAS_BLK_COND) {
                b->condCnt = 0;
                b->condState = MEAS_REC_NONE;
            } else if (takeSem(m.lockDataSem, "meas_app_gw_cbStart()", b)) {
                if (b->type & MEAS_BLK_FIFOCOND) {
                    b->activeCondChannel = b->cfgCondChannel;
                    fifoconditionrequest(b, reply);
                    meas_list_push(&meas_app_blkcondlist[b->index], b);
                } else {
                    b->fifoId = gFifoIds++;
                    fifodatarequest(b, reply);
                    if (b->type & MEAS_BLK_LAPSB) {
                        sb_per_buffer_release(b->sbBuf);
                        b->sbBuf = sb_per_buffer_request(uint16_t(b->blkinfo->recordSize));
                    }
                    meas_list_push(&meas_app_measlist[b->raster], b);
                }
                semGive(m.lockDataSem);
            }
        }
    } else {
        if (!gw_pid_offline(b->pid))
            syslogx(LOG_PRIO_ERR, "meas_app_gw_cbStart error %s for m0%d, BLK #%d, PID 0x%X",
                    conv_gwerrors2ascii(event).c_str(), b->index + 1, int(b->blockId), unsigned(b->pid));
        if (st & MEAS_BS_ACKSEEN) {
            if (m.replyCnt) --m.replyCnt;
        }
        if (!(st & (MEAS_BS_OFFLINE | MEAS_BS_FAILED))) ++m.replyErrCnt;
        if (b->type & MEAS_BLK_COND) b->condState = MEAS_REC_FAILED;
        if (b->type & MEAS_BLK_TELE) b->teleState = MEAS_REC_FAILED;
        const uint16_t bit = (event == 3 || event == 8 || event == 11) ? MEAS_BS_OFFLINE : MEAS_BS_FAILED;
        b->state.fetch_or(bit);
        b->state.fetch_and(uint16_t(~MEAS_BS_ACKSEEN));
    }
    if (m.startCnt && m.startCnt == m.replyCnt + m.replyErrCnt) meas_app_init_blockspeed();
    bool all = true;
    for (int i = 0; i < MEAS_INSTANCES; ++i)
        if (meas[i].startCnt && meas[i].startCnt != meas[i].replyCnt) all = false;
    if (all)
        meas_led_set_status(0x40000);
    else
        meas_led_clr_status(0x40000);
    return 0;
}

void meas_app_init_blockspeed() {
    for (int code = MEAS_RASTER_CODES - 1; code >= 0; --code) {
        int n = 0;
        for (meas_blk* b : meas_list_snapshot(&meas_app_measlist[code])) {
            // Every block of the list: a raster list holds up to 3 x 255.
            if (++n > 3 * MEAS_MAX_BLOCKS) {
                syslogx(LOG_PRIO_ERR, "meas_app_init_blockspeed(): detected endless loop!!, raster %d", code);
                break;
            }
            if (b->state.load() & MEAS_BS_SPEEDINIT) continue;
            meas_instance& m = *b->instance;
            uint16_t div = 1;
            if (m.globCondMask && m.config->preTriggerTime <= 0)
                div = (m.state.load() & MEAS_ST_GLOBCOND) ? 1 : 0;
            if (!meas_app_set_blockspeed(b, div))
                syslogx(LOG_PRIO_ERR, "m0%d, BLK#%d failed to init block speed.", b->index + 1,
                        int(b->blockId));
            b->state.fetch_or(MEAS_BS_SPEEDINIT);
        }
    }
}

uint32_t meas_app_gw_cbData(uint32_t event, void* data, void* user) {
    auto* b = static_cast<meas_blk*>(user);
    if (!b) {
        syslogx(LOG_PRIO_ERR, "meas_app_gw_cbData: zero pointer for container!");
        return 1;
    }
    const uint16_t st = b->state.load();
    if (event != 0) {
        if (b->type & MEAS_BLK_COND)
            b->condState = MEAS_REC_FAILED;
        else if (b->type & MEAS_BLK_TELE)
            b->teleState = MEAS_REC_FAILED;
        else if (!(st & MEAS_BS_PAUSED) && (st & MEAS_BS_ACKED))
            meas_app_datatimeout = 1;
        return 1;
    }
    const auto* rec = static_cast<const uint8_t*>(data);
    if (!rec) {
        syslogx(LOG_PRIO_ERR,
                "meas_app_gw_cbData: zero pointer for databuffer! %d for m0%d, BLK #%d, PID 0x%X", int(event),
                b->index + 1, int(b->blockId), unsigned(b->pid));
        return 1;
    }
    const uint32_t size = b->blkinfo->recordSize;
    if ((st & MEAS_BS_ACKED) && (st & MEAS_BS_ACKSEEN)) {
        if (b->index < MEAS_INSTANCES) gValueSeen[b->index].store(1, std::memory_order_relaxed);
        if (b->type & MEAS_BLK_COND) {
            if (b->condBuf) b->condBuf->write(rec, size);
            b->condCnt = 0;
            b->condState.store(MEAS_REC_VALUE, std::memory_order_release);
        } else if (b->type & MEAS_BLK_FIFOCOND) {
            fifo_condition_put(b->activeCondChannel, rec);
        } else if (b->type & MEAS_BLK_TELE) {
            if (b->teleBuf) b->teleBuf->write(rec, size);
            b->teleState.store(MEAS_REC_VALUE, std::memory_order_release);
        } else if (b->type & MEAS_BLK_DATA) {
            if (!meas_app_faststopreq.load() && !powerdown.load() && b->fifoId != 0xFFFF)
                fifo_data_put(b->fifoId, rec, size);
        } else {
            logUnhandled(b);
        }
    } else {
        syslogx(LOG_PRIO_ERR, "meas_app_gw_cbData(): oh mist, illegal databuffer 0x%x", unsigned(st));
        logUnhandled(b);
    }
    return 1;
}

uint32_t meas_app_gw_cbTout(uint32_t event, void* pidp, void* user) {
    auto* b = static_cast<meas_blk*>(user);
    const auto* pid = static_cast<const uint16_t*>(pidp);
    if (!b || !pid) {
        syslogx(LOG_PRIO_ERR, "meas_app_gw_cbTout: invalid arguments, errorstate %d  ", int(event));
        return 1;
    }
    if (!(b->type & (MEAS_BLK_COND | MEAS_BLK_FIFOCOND))) return 1;
    const int t4 = (b->type >> 4) & 1, t3 = (b->type >> 3) & 1, t2 = (b->type >> 2) & 1,
              t1 = (b->type >> 1) & 1, t0 = b->type & 1;
    if (event == 6)
        syslogx(LOG_PRIO_WARNING,
                "meas_app_gw_cbTout: PID:0x%X timeout, type(sb%d meas%d fifocond%d cond%d tele%d) ",
                unsigned(*pid), t4, t3, t2, t1, t0);
    else if (event == 0)
        syslogx(LOG_PRIO_INFO,
                "meas_app_gw_cbTout: PID:0x%X back online, type(sb%d meas%d fifocond%d cond%d tele%d) ",
                unsigned(*pid), t4, t3, t2, t1, t0);
    else
        syslogx(LOG_PRIO_WARNING,
                "meas_app_gw_cbTout: PID:0x%X errorstate %d, type(sb%d meas%d fifocond%d cond%d tele%d) ",
                unsigned(*pid), int(event), t4, t3, t2, t1, t0);
    return 1;
}

void meas_app_check_silence() {
    // Seconds of wanted logging without a value, per instance; told once per process.
    static uint32_t calls = 0;
    static uint16_t silent[MEAS_INSTANCES] = {};
    static bool told[MEAS_INSTANCES] = {};
    if (++calls % 1000 != 0) return; // once a second of the 1 ms raster
    const bool wanted = meas_app_running.load() || meas_app_startreq.load();
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        const meas_instance& m = meas[i];
        if (!m.config) silent[i] = 0;
        if (!m.config || !wanted || told[i] || gValueSeen[i].load(std::memory_order_relaxed)) continue;
        if (++silent[i] < 10) continue;
        told[i] = true;
        uint64_t pids = 0;
        for (int k = 0; k < m.numBlocks; ++k)
            if (!m.blocks[k].refused && m.blocks[k].pid > 0 && m.blocks[k].pid < 64)
                pids |= uint64_t(1) << m.blocks[k].pid;
        if (!pids) continue; // it reads nothing: there is nothing to wait for
        if (!(m.started.load() & MEAS_STARTED) && !LapOutFra_isValid() && cfg_system.laptrigSlave) {
            syslogx(LOG_PRIO_WARNING,
                    "meas_app_check_silence(): m0%d has got no value in 10 s: its start waits for the lap "
                    "counters of the lap-trigger master, PID 0x%X, which has not answered (this device is "
                    "PID 0x%X)",
                    i + 1, unsigned(cfg_system.ltmPid), unsigned(app_pid));
            continue;
        }
        // The device's own values come to its logging over the device network too: the device itself
        // is then named as a sender that has sent none.
        std::string list;
        int count = 0;
        bool own = false;
        for (unsigned pid = 1; pid < 64; ++pid) {
            if (!((pids >> pid) & 1)) continue;
            char one[32];
            std::snprintf(one, sizeof one, "0x%X%s", pid, pid == app_pid ? " (this device itself)" : "");
            own = own || pid == app_pid;
            list += (count++ ? ", " : "") + std::string(one);
        }
        char device[32] = "";
        if (!own) std::snprintf(device, sizeof device, " (this device is PID 0x%X)", unsigned(app_pid));
        syslogx(LOG_PRIO_WARNING,
                "meas_app_check_silence(): m0%d has got no value in 10 s: its blocks read PID%s %s, which %s "
                "sent none%s",
                i + 1, count > 1 ? "s" : "", list.c_str(), count > 1 ? "have" : "has", device);
    }
}
