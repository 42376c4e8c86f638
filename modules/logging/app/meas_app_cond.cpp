// Logging start conditions, every 10 ms: the condition blocks of each instance form its global
// start condition, which pauses and resumes the data blocks at the gateway or, with a pretrigger,
// arms and fires it so that the time before the trigger is written too.
#include "framework/board_io.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/seram.h"

#include <cerrno>
#include <vector>

namespace {

constexpr uint32_t FAILED_CHECKS = 201; // about 2 s of 10 ms checks
constexpr uint32_t FUTURE_LIMIT = 1000; // 100 ms

std::atomic<uint8_t> gTestbenchResetSeen{0};
std::atomic<uint8_t> gCondSemFlood{0};

// The block's vote, or -1 to leave its bit unchanged; the stamp of the record it read into *seen.
int evaluate(meas_blk* b, uint32_t now, uint32_t* seen) {
    const int8_t st = b->condState.load(std::memory_order_acquire);
    if (st == MEAS_REC_FAILED && !powerdown.load()) {
        if (b->condCnt.load() <= FAILED_CHECKS) {
            ++b->condCnt;
            return -1;
        }
        appl_time_t t{};
        clock_appltime(&t);
        return t.sec >= 1 && (t.sec > 1 || t.nsec > 0) ? 1 : -1;
    }
    if (st != MEAS_REC_VALUE || !b->condBuf) return -1;
    std::vector<uint8_t> rec(b->condBuf->size());
    b->condBuf->read(rec.data());
    if (rec.size() < 4) return -1;
    const uint32_t ts = uint32_t(rec[0] << 24 | rec[1] << 16 | rec[2] << 8 | rec[3]);
    if (int32_t(ts - now) > int32_t(FUTURE_LIMIT)) {
        syslogx(
            LOG_PRIO_WARNING,
            "meas_app_check_measconditions: Illegal condition timestamp! m0%d, BLK #%d, PID 0x%X, %u >> %u",
            b->index + 1, int(b->blockId), unsigned(b->pid), unsigned(ts), unsigned(now));
        return -1;
    }
    const uint8_t size = b->blkinfo->addrSize[0];
    if ((size != 1 && size != 2 && size != 4) || rec.size() < 4u + size) return -1;
    *seen = ts;
    uint32_t v = 0;
    for (int i = 0; i < size; ++i) v = v << 8 | rec[4 + i];
    return v != 0 ? 1 : 0;
}

void switchBlocks(meas_instance& m, int index, bool on) {
    for (int k = 0; k < m.numBlocks; ++k) {
        meas_blk* b = &m.blocks[k];
        if (b->condBit || b->raster == MEAS_RASTER_SBLAP || b->refused || !(b->state.load() & MEAS_BS_SETUP))
            continue;
        if (b->type & (MEAS_BLK_COND | MEAS_BLK_FIFOCOND)) continue;
        const int sent = meas_app_set_blockspeed(b, on ? 1 : 0);
        if (on)
            syslogx(LOG_PRIO_INFO, sent ? "m0%d, BLK #%d started" : "m0%d, BLK#%d start returned error.",
                    index + 1, int(b->blockId));
        else
            syslogx(LOG_PRIO_INFO, sent ? "m0%d, BLK #%d stopped" : "m0%d, BLK#%d stop returned error.",
                    index + 1, int(b->blockId));
    }
}

} // namespace

void meas_app_check_measconditions() {
    const uint32_t now = time_getTimestamp();
    // A destroy frees what the check reads: the two take turns.
    std::unique_lock<std::mutex> life(meas_app_instanceLock());
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!(m.state.load() & MEAS_ST_CONFIGURED) || !m.config || !m.config->globStartMask) continue;
        // The measurement raster links blocks into the list while they start.
        const std::vector<meas_blk*> conds = meas_list_snapshot(&meas_app_condlist[i]);
        if (conds.empty()) continue;
        if (!m.lockCondSem || semTake(m.lockCondSem, WAIT_FOREVER) != OK) {
            SYSLOGX_FLOOD(gCondSemFlood, LOG_PRIO_ERR,
                          "meas_app_check_measconditions() semTake failed errno %X", unsigned(errno));
            continue;
        }
        uint32_t newest = 0;
        bool seenAny = false;
        uint32_t period = 0; // between two samples of the condition (time-stamp units)
        for (meas_blk* b : conds) {
            const int ms = raster2rate(int(b->raster));
            if (ms > 0 && (period == 0 || uint32_t(ms) * 10 < period)) period = uint32_t(ms) * 10;
            uint32_t seen = 0;
            const int v = evaluate(b, now, &seen);
            if (v >= 0 && seen != 0 && (!seenAny || int32_t(seen - newest) > 0)) {
                newest = seen;
                seenAny = true;
            }
            if (v == 1)
                m.condBits.fetch_or(b->condBit);
            else if (v == 0)
                m.condBits.fetch_and(~b->condBit);
        }
        semGive(m.lockCondSem);
        const bool g = (m.condBits.load() & m.globCondMask) != 0;
        if (g)
            m.state.fetch_or(MEAS_ST_GLOBCOND);
        else
            m.state.fetch_and(uint16_t(~MEAS_ST_GLOBCOND));
        const bool waiting = m.state.load() & MEAS_ST_WAITING;
        if (m.config->preTriggerTime <= 0) {
            if (i == MEAS_M01) meas_globcond_m01 = g;
            if (i == MEAS_M03) meas_globcond_m03 = g;
            if (g == waiting) {
                switchBlocks(m, i, waiting);
                m.state.fetch_xor(MEAS_ST_WAITING);
            }
        } else if (i != MEAS_M02) {
            std::atomic<uint8_t>& flag = i == MEAS_M01 ? meas_globcond_m01 : meas_globcond_m03;
            if (!flag.load() && g) {
                // At the stamp of the first sample that can have fired it: the condition's list keeps
                // its newest sample only, so a check that the host ran late skips those since the
                // newest one it saw not firing, and the first of them may have fired it.
                uint32_t at = newest, checked = 0;
                if (seenAny && period != 0 && meas_app_PreTrigConditionCheckedAt(m.pretrig, &checked) &&
                    int32_t(newest - (checked + period)) > 0)
                    at = checked + period;
                if (seenAny)
                    meas_app_PreTrigTriggerAt(m.pretrig, at);
                else
                    meas_app_PreTrigTrigger(m.pretrig);
                m.state.fetch_and(uint16_t(~MEAS_ST_WAITING));
            } else if (flag.load() && !g) {
                meas_app_PreTrigArm(m.pretrig);
                m.state.fetch_or(MEAS_ST_WAITING);
            }
            if (!g && seenAny) meas_app_PreTrigConditionChecked(m.pretrig, newest);
            flag = g;
        }
    }
    life.unlock();
    const bool waiting =
        (meas[MEAS_M01].state.load() & MEAS_ST_WAITING) || (meas[MEAS_M03].state.load() & MEAS_ST_WAITING);
    if (waiting)
        meas_led_clr_status(0x10000);
    else
        meas_led_set_status(0x10000);
    if (seramCal().OUTINGCTR_MODE == 1) {
        const uint8_t reset = seramCal().OUTINGCTR_MODE_TESTBENCH_RESET;
        if (reset == 1 && gTestbenchResetSeen.load() == 0) {
            LapOutFraState s{};
            LapOutFra_getState(&s);
            syslogx(LOG_PRIO_INFO, "Testbenchmode, resetting counters from Lap/Out %d/%d to 1/1", s.lap,
                    s.outing);
            LapOutFra_setLapOutCnt(1, 1, time_getTimestamp());
        }
        gTestbenchResetSeen = reset;
    }
}

bool meas_app_getMeasStopped(int index) {
    return index >= 0 && index < MEAS_INSTANCES && (meas[index].state.load() & MEAS_ST_WAITING);
}
