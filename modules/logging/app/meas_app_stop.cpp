// Saving, stopping and destroying the measurement blocks: the measurement raster drains each
// block FIFO into the file store, and blocks stop once their FIFO is empty.
#include "framework/board_io.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/app/sblk_task.h"
#include "logging/events/eventlogger.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/fifo/meas_fifo_data.h"
#include "logging/store/meas_app_pretrig.h"
#include "logging/telemetry/tele_app.h"
#include "measdata/seram.h"

#include <cerrno>
#include <vector>

namespace {

bool listsEmpty(int from, int to) {
    for (int c = from; c <= to; ++c)
        if (!meas_list_snapshot(&meas_app_measlist[c]).empty()) return false;
    return true;
}

bool normalListsEmpty() {
    return listsEmpty(0, 10) && listsEmpty(14, 19);
}

bool takeSem(SEM_ID sem, const meas_blk* b) {
    if (sem && semTake(sem, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_PRIO_ERR, "meas_app_blockstop() semTake failed errno %X, idx %u Blk #%u", unsigned(errno),
            unsigned(b->index), unsigned(b->blockId));
    return false;
}

constexpr uint32_t STOP_DELIVERY_WAIT = 30000;   // 3 s in 100 us ticks
constexpr uint32_t STOP_DELIVERY_LIMIT = 300000; // 30 s

// A running block of a periodic raster waits, when it stops, for the records stamped up to the
// stop that its source has yet to deliver: as long as the source still delivers (a host that holds
// the ticks back makes the data seconds late, and it catches up at the host's pace), but
// STOP_DELIVERY_WAIT after the last record and STOP_DELIVERY_LIMIT after the stop at most.
void noteStop(meas_blk* b) {
    const int rate = raster2rate(b->raster);
    const uint16_t st = b->state.load();
    const bool waits = rate > 0 && !(b->type & MEAS_BLK_LAPSB) &&
                       !(st & (MEAS_BS_PAUSED | MEAS_BS_OFFLINE | MEAS_BS_FAILED));
    b->stopTs = time_getTimestamp();
    b->stopPeriod = uint32_t(rate) * 10 * (b->divisor ? b->divisor : 1);
    b->stopUntil = waits ? b->stopTs + STOP_DELIVERY_WAIT : MEAS_TS_NONE;
}

void noteDelivered(meas_blk* b) {
    if (b->stopUntil.load() == MEAS_TS_NONE) return;
    const uint32_t next = time_getTimestamp() + STOP_DELIVERY_WAIT,
                   limit = b->stopTs.load() + STOP_DELIVERY_LIMIT;
    b->stopUntil = int32_t(next - limit) < 0 ? next : limit;
}

bool deliveringUpToStop(const meas_blk* b) {
    const uint32_t until = b->stopUntil.load();
    if (until == MEAS_TS_NONE || int32_t(time_getTimestamp() - until) >= 0) return false;
    return int32_t(b->lastTs + b->stopPeriod - b->stopTs) < 0;
}

// The last running list has emptied: the store stops and the numbering starts again.
void allStopped(uint8_t keep) {
    meas_app_fragmentAfterStop();
    for (int i = 0; i < MEAS_INSTANCES; ++i)
        if (meas[i].gw && !(keep && i == MEAS_M02)) gw_kill_all_lists(meas[i].gw);
    meas_app_PreTrigMeasStop(keep);
    meas_app_fifo_numbering_reset();
    meas_app_blkstopreq = 0;
    meas_led_clr_status(0x400000);
}

} // namespace

uint16_t meas_app_blockstop(meas_blk* b) {
    meas_instance& m = *b->instance;
    const uint32_t h = b->gwHandle.exchange(0);
    if (h) gw_kill_list(h);
    char r[16];
    const uint16_t st = b->state.load();
    if (!(b->type & MEAS_BLK_COND) && !(st & MEAS_BS_ACKED)) {
        syslogx(LOG_PRIO_DEBUG,
                "<meas_app_blockstop> blockstop RETURNED!: m0%d PID: 0x%X, Type: %s, BLK #%d, Ch #%d, "
                "Raster: %s, blk_setup %d",
                b->index + 1, unsigned(b->pid), meas_app_blktype(b), int(b->blockId),
                int(b->blkinfo->blockNo), convraster2ascii(b->raster, r), int((st & MEAS_BS_SETUP) != 0));
        // A failed block may sit in no list, but must not stay in one.
        if (takeSem(m.lockDataSem, b)) {
            meas_list_unlink(&meas_app_measlist[b->raster < MEAS_RASTER_CODES ? b->raster : 19], b);
            semGive(m.lockDataSem);
        }
    } else {
        b->state.fetch_and(uint16_t(~(0x01 | 0x02 | 0x08 | 0x10 | 0x20 | 0x40)));
        if (b->type & MEAS_BLK_COND) {
            b->condState = MEAS_REC_NOTACKED;
            b->condCnt = 0;
            if (takeSem(m.lockCondSem, b)) {
                meas_list_unlink(&meas_app_condlist[b->index], b);
                semGive(m.lockCondSem);
            }
        } else if (b->type & MEAS_BLK_FIFOCOND) {
            fifo_condition_release(b->activeCondChannel);
            if (takeSem(m.lockDataSem, b)) {
                meas_list_unlink(&meas_app_blkcondlist[b->index], b);
                semGive(m.lockDataSem);
            }
        } else if (b->type & MEAS_BLK_TELE) {
            b->teleState = MEAS_REC_NONE;
        } else {
            if (b->fifoId != 0xFFFF) fifo_data_release(b->fifoId);
            b->fifoId = 0xFFFF;
            if (b->type & MEAS_BLK_LAPSB) {
                sb_per_buffer_release(b->sbBuf);
                b->sbBuf = nullptr;
                if (b->raster == MEAS_RASTER_SBLAP && m.ackSbLap) --m.ackSbLap;
                if (b->raster == MEAS_RASTER_LAP && m.ackLap) --m.ackLap;
            }
            if (takeSem(m.lockDataSem, b)) {
                meas_list_unlink(&meas_app_measlist[b->raster], b);
                semGive(m.lockDataSem);
            }
        }
        if (seramCal().MEAS_APP_DEBUG == 1)
            syslogx(LOG_PRIO_DEBUG,
                    "<meas_app_blockstop> blockstop: m0%d PID: 0x%X, Type: %s, BLK #%d, Ch #%d, Raster: %s",
                    b->index + 1, unsigned(b->pid), meas_app_blktype(b), int(b->blockId),
                    int(b->blkinfo->blockNo), convraster2ascii(b->raster, r));
        meas_app_close_file(b, 1);
    }
    if (!normalListsEmpty() || !listsEmpty(11, 13)) return 0xFFFF;
    if (!meas_app_blkstopreq.load()) return 0xFFFF; // not a stop in progress
    allStopped(0);
    return 0xFFFF;
}

void meas_app_fragmentAfterStop() {
    bool opened = false;
    for (meas_instance& m : meas) {
        m.fileWritten = 0;
        if (m.fileOpened.exchange(0)) opened = true; // any file written was opened first
    }
    // The cuts after the newest file of the run are named first: the stop's cut ends no record.
    MeasAppStore_runEnded();
    if (opened) LapOutFra_setFragmentTrig(0, LOF_CUT_STOP);
}

uint16_t meas_app_measstop(uint8_t keep) {
    meas_app_pidlist_delete(keep);
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!m.config || (keep && i == MEAS_M02)) continue;
        m.startCnt = m.replyCnt = m.replyErrCnt = 0;
        for (int k = 0; k < m.numBlocks; ++k)
            if (m.blocks[k].type & MEAS_BLK_COND) {
                meas_app_blockstop(&m.blocks[k]);
                ++m.stoppedCond;
            }
    }
    // Every block's stop is noted before any instance is marked stopping: the measurement raster
    // stops a block of a stopping instance at once unless its stop says what is still to come.
    for (int code = MEAS_RASTER_CODES - 1; code >= 0; --code)
        for (meas_blk* b : meas_list_snapshot(&meas_app_measlist[code]))
            if (!(keep && (b->type & MEAS_BLK_TELE))) noteStop(b);
    for (int code = MEAS_RASTER_CODES - 1; code >= 0; --code) {
        const std::vector<meas_blk*> blocks = meas_list_snapshot(&meas_app_measlist[code]);
        for (meas_blk* b : blocks) {
            if (keep && (b->type & MEAS_BLK_TELE)) continue;
            meas_instance& m = *b->instance;
            if (b->state.load() & (MEAS_BS_OFFLINE | MEAS_BS_FAILED)) {
                if (b->type & MEAS_BLK_LAPSB) {
                    b->sbFlags.fetch_or(MEAS_SB_STOPPENDING);
                    m.started.fetch_or(MEAS_STOPPING);
                } else {
                    meas_app_blockstop(b);
                }
            } else {
                if (!meas_app_set_blockspeed(b, 0) && !gw_pid_offline(b->pid))
                    syslogx(LOG_PRIO_WARNING,
                            "m0%d, BLK#%d failed to stop data blk, before killing. PID %X, Raster %d",
                            b->index + 1, int(b->blockId), unsigned(b->pid), int(b->raster));
                if (b->type & MEAS_BLK_LAPSB) b->sbFlags.fetch_or(MEAS_SB_STOPPENDING);
                m.started.fetch_or(MEAS_STOPPING);
            }
        }
    }
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!m.config || (keep && i == MEAS_M02)) continue;
        for (int k = 0; k < m.numBlocks; ++k)
            if ((m.blocks[k].type & MEAS_BLK_FIFOCOND) && (m.blocks[k].state.load() & MEAS_BS_ACKED)) {
                meas_app_blockstop(&m.blocks[k]);
                ++m.stoppedFifoCond;
            }
    }
    meas_globcond_m01 = 0;
    meas_globcond_m03 = 0;
    if (!keep && meas[MEAS_M02].config) {
        tele_app_stop();
        meas_instance& m = meas[MEAS_M02];
        for (int k = 0; k < m.numBlocks; ++k)
            if (m.blocks[k].type & MEAS_BLK_TELE) {
                meas_app_blockstop(&m.blocks[k]);
                ++m.stoppedTele;
            }
        m.started.fetch_and(uint16_t(~MEAS_STARTED));
        meas_app_tele_started = 0;
    }
    if (!normalListsEmpty()) {
        meas_app_blkstopreq = 1;
        return 0xFFFF;
    }
    if (!listsEmpty(11, 13)) {
        for (int c = 11; c <= 13; ++c)
            for (meas_blk* b : meas_list_snapshot(&meas_app_measlist[c]))
                if (!b->instance->fileWritten.load()) b->sbFlags.fetch_and(uint8_t(~MEAS_SB_STOPPENDING));
        meas_app_blkstopreq = 1;
        syslogx(LOG_PRIO_INFO, "meas_app_measstop RETURN all_special_blk_stopped, blkstopreq!!");
        return 0xFFFF;
    }
    allStopped(keep);
    return 0xFFFF;
}

uint16_t meas_app_measdestroy() {
    std::lock_guard<std::mutex> life(meas_app_instanceLock());
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!m.config) continue;
        // Off the gateway first: its callbacks take the instance's locks with the gateway's held.
        gw_disconnect(m.gw);
        m.gw = nullptr;
        semTake(m.lockCondSem, WAIT_FOREVER);
        semTake(m.lockDataSem, WAIT_FOREVER);
        MeasAppStore_dropUnclosed(i);
        for (int k = 0; k < m.numBlocks; ++k) {
            meas_blk& b = m.blocks[k];
            MeasAppStore_deinitData(&b.store);
            delete b.condBuf;
            delete b.teleBuf;
            sb_per_buffer_release(b.sbBuf);
        }
        if (i == MEAS_M02) tele_app_clear_blocks();
        delete[] m.blocks;
        m.blocks = nullptr;
        meas_app_free_MEASConfiguration(m.config);
        m.config = nullptr;
        m.numBlocks = 0;
        m.state.fetch_and(uint16_t(~MEAS_ST_CONFIGURED));
        m.hst = nullptr;
        eventLoggerDelete(m.evLogger);
        m.evLogger = nullptr;
        meas_app_PreTrigDelete(m.pretrig);
        m.pretrig = nullptr;
        std::free(m.dcp);
        m.dcp = nullptr;
        semGive(m.lockDataSem);
        semGive(m.lockCondSem);
        semDelete(m.lockDataSem);
        semDelete(m.lockCondSem);
        m.lockDataSem = m.lockCondSem = SEM_ID_NULL;
        m.dataBlocks = m.engineBlocks = m.engineCondBlocks = m.chassisBlocks = m.chassisCondBlocks = 0;
        ALL_SBLK_CONTROLLERS[i] = 0;
    }
    meas_app_destroyreq = 0;
    meas_app_tele_started = 0;
    return 1;
}

namespace {

// The fast stop closes the files at once: first every sample the blocks' FIFOs hold goes to its
// file, those the data delay holds back for a late lap included, so that the files end where the
// stop came and nothing sampled before it is lost (a host that held the logging back leaves more
// there than the data delay).
void takeRestAtFastStop() {
    if (!LapOutFra_isValid()) return;
    std::vector<uint8_t> rec;
    for (int code = 0; code < MEAS_RASTER_CODES; ++code) {
        if (code == MEAS_RASTER_LAP || code == MEAS_RASTER_SBLAP) continue;
        for (meas_blk* b : meas_list_snapshot(&meas_app_measlist[code])) {
            if (b->fifoId == 0xFFFF || (b->type & MEAS_BLK_LAPSB) || !b->blkinfo) continue;
            meas_instance& m = *b->instance;
            rec.resize(b->blkinfo->recordSize);
            uint32_t ts = 0;
            while (fifo_data_get(b->fifoId, rec.data(), false, &ts) > 0) {
                b->lastTs = ts;
                if (m.firstSampleTs.load() == 0) m.firstSampleTs = ts ? ts : 1;
                meas_app_store_block(b, rec.data());
                ++m.savedRecords;
            }
        }
    }
}

} // namespace

void meas_app_saveblock(int code) {
    if (meas_app_faststopreq.load()) {
        takeRestAtFastStop();
        meas_app_fastmeasstop();
        return;
    }
    if (!LapOutFra_isValid() || powerdown.load() || code < 0 || code >= MEAS_RASTER_CODES) return;
    const std::vector<meas_blk*> blocks = meas_list_snapshot(&meas_app_measlist[code]);
    const bool event = code == MEAS_RASTER_LAP || code == MEAS_RASTER_SBLAP;
    std::vector<uint8_t> rec;
    for (meas_blk* b : blocks) {
        if (b->fifoId == 0xFFFF) continue;
        meas_instance& m = *b->instance;
        rec.resize(b->blkinfo->recordSize);
        // The data delay holds samples back for a lap event that comes late; a block that stops takes
        // every sample it has, so that its file ends where the stop came.
        const bool holdBack = !event && !(m.started.load() & MEAS_STOPPING);
        int r = 0;
        bool delivered = false;
        for (;;) {
            uint32_t ts = 0;
            r = fifo_data_get(b->fifoId, rec.data(), holdBack, &ts);
            if (r <= 0) break;
            delivered = true;
            b->lastTs = event ? 0 : ts;
            if (!event && m.firstSampleTs.load() == 0) {
                m.firstSampleTs = ts ? ts : 1;
                syslogx(LOG_PRIO_INFO, "meas_app_saveblock(): starting measurement m0%d with timestamp: %d",
                        b->index + 1, int(ts));
            }
            if (meas_app_faststopreq.load()) break;
            if (b->type & MEAS_BLK_LAPSB) {
                meas_app_store_block_sb(b, rec.data());
            } else {
                meas_app_store_block(b, rec.data());
                ++m.savedRecords;
            }
        }
        if (r == MF_ERR_TS_WAIT && b->condRef) {
            meas_app_store_block_close_check_only(b);
        } else if (m.started.load() & MEAS_STOPPING) {
            if (delivered) noteDelivered(b);
            if ((!(b->type & MEAS_BLK_LAPSB) || !(b->sbFlags.load() & MEAS_SB_STOPPENDING)) &&
                !deliveringUpToStop(b))
                meas_app_blockstop(b);
        }
    }
}

void meas_app_saveblock_lap() {}

void meas_app_timeout_close(int code) {
    if (meas_app_startreq || meas_app_stopreq || meas_app_reinitreq || meas_app_hstinitreq ||
        meas_app_destroyreq || meas_app_blkstopreq)
        return;
    // The newest cut: a block whose file is of an earlier one and that has had no sample for a
    // second since it closes its part.
    LapOutFraCut newest{};
    if (!LapOutFra_cut(LapOutFra_newestCut(), &newest)) return;
    const uint32_t lofTs = newest.stamp;
    const uint32_t now = time_getTimestamp();
    const std::vector<meas_blk*> blocks = meas_list_snapshot(&meas_app_measlist[code]);
    for (meas_blk* b : blocks) {
        const uint32_t init = b->store.initTs;
        if (init == MEAS_TS_NONE || init == lofTs || int32_t(now - lofTs) <= 10000) continue;
        syslogx(LOG_PRIO_INFO, "meas_app_timeout_close pMblk #%d time %u", int(b->blockId), unsigned(now));
        meas_app_close_file(b, 0);
    }
}

uint16_t meas_app_get_sbblkcnt(int index) {
    return index >= 0 && index < MEAS_INSTANCES ? meas[index].ackSbLap.load() : 0;
}

uint16_t meas_app_get_lrblkcnt(int index) {
    return index >= 0 && index < MEAS_INSTANCES ? meas[index].ackLap.load() : 0;
}

uint8_t meas_app_get_meas_state_sb() {
    return meas[MEAS_M01].state.load() & MEAS_ST_CONFIGURED;
}

void meas_app_store_block_sb(meas_blk* b, const uint8_t* data) {
    sb_store_block_dyn(b, data);
}
