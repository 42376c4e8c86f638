// Creation and start of the measurement instances: blocks from the loaded configuration, their
// gateway subscriptions and the list of devices taking part.
#include "framework/board_io.h"
#include "framework/syslog.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/events/eventlogger.h"
#include "logging/fifo/meas_app_blk.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/store/meas_app_pretrig.h"
#include "logging/telemetry/tele_app.h"
#include "measdata/seram.h"
#include "msdcom/gateway/gw_meas.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct RasterRow {
    uint16_t slots;
    uint32_t timeout;
};
// By raster code 0..19.
constexpr RasterRow kRasters[MEAS_RASTER_CODES] = {
    {512, 500}, {256, 250}, {128, 100}, {64, 50},   {32, 25},   {16, 10}, {8, 5},
    {4, 3},     {4, 2},     {2, 2},     {512, 0},   {2, 0},     {2, 0},   {2, 2},
    {512, 500}, {512, 500}, {512, 500}, {512, 500}, {512, 500}, {2, 2},
};

uint16_t gBlockIds = 0;

// The PID list: one node per started block, newest first.
std::mutex& gPidMutex = *new std::mutex; // never destroyed: the shell may print at exit
meas_pidnode* gPidList = nullptr;

} // namespace

uint16_t meas_app_getslotnum(uint16_t code) {
    return code < MEAS_RASTER_CODES ? kRasters[code].slots : 2;
}

uint32_t meas_app_getdatatimeout(uint16_t code) {
    return code < MEAS_RASTER_CODES ? kRasters[code].timeout : 2;
}

uint16_t meas_app_convraster(uint16_t id) {
    if (id >= 0x101 && id <= 0x109) return uint16_t(id - 0x101);
    if (id >= 0x10B && id <= 0x10F) return uint16_t(id - 0x10B + 14);
    if (id == 0x300) return 10;
    if (id == 0x400) return 11;
    if (id == 0x401) return 12;
    return 9;
}

std::string conv_gwerrors2ascii(uint32_t code) {
    static const char* const names[] = {"NO_ERROR",      "DENIED",   "ADDRESS",   "TIMEOUT", "STATE",
                                        "NO_CONNECTION", "NO_DATA",  "MEAS_FIFO", "OFFLINE", "SENDING",
                                        "PID",           "OFFLINE2", "MEASLIST"};
    if (code < sizeof names / sizeof names[0]) return names[code];
    return "Unknown #" + std::to_string(code);
}

meas_pidnode* meas_app_add2pidlist(meas_blk* block, uint16_t pid) {
    auto* n = static_cast<meas_pidnode*>(std::calloc(1, sizeof(meas_pidnode)));
    if (!n) return nullptr;
    n->block = block;
    n->pid = pid;
    std::lock_guard<std::mutex> lk(gPidMutex);
    n->next = gPidList;
    if (gPidList) gPidList->prev = n;
    gPidList = n;
    return n;
}

void meas_app_pidlist_delete(uint8_t keepTelemetry) {
    std::lock_guard<std::mutex> lk(gPidMutex);
    meas_pidnode* kept = nullptr;
    meas_pidnode* keptTail = nullptr;
    for (meas_pidnode* n = gPidList; n;) {
        meas_pidnode* next = n->next;
        if (keepTelemetry && n->block && (n->block->type & MEAS_BLK_TELE)) {
            n->prev = keptTail;
            n->next = nullptr;
            if (keptTail)
                keptTail->next = n;
            else
                kept = n;
            keptTail = n;
        } else {
            std::free(n);
        }
        n = next;
    }
    gPidList = kept;
}

void meas_app_pidlist_walk(const std::function<void(const meas_pidnode&)>& fn) {
    std::lock_guard<std::mutex> lk(gPidMutex);
    for (meas_pidnode* n = gPidList; n; n = n->next) fn(*n);
}

uint16_t meas_app_blockinit(meas_blk* b) {
    const MeasBlkInfo* c = b->blkinfo;
    meas_instance* inst = b->instance;
    b->pid = 0;
    b->condRef = 0;
    if (c->pid < 1 || c->pid > 63) {
        syslogx(LOG_PRIO_ERR, "meas_app_blockinit(): found illegal pid: %d, block ignored", int(c->pid));
        b->refused = 1;
        return 0;
    }
    b->pid = c->pid;
    const bool cond = b->type & (MEAS_BLK_COND | MEAS_BLK_FIFOCOND);
    if (c->pid < 20) {
        if (cond)
            ++inst->engineCondBlocks;
        else
            ++inst->engineBlocks;
    } else {
        if (cond)
            ++inst->chassisCondBlocks;
        else
            ++inst->chassisBlocks;
    }
    if (inst->config->protocol) b->type |= MEAS_BLK_TELE;
    if (!(b->type & (MEAS_BLK_TELE | MEAS_BLK_COND | MEAS_BLK_FIFOCOND))) b->type |= MEAS_BLK_DATA;
    if (b->type & MEAS_BLK_TELE) {
        b->teleId = uint16_t(1 + (c->tele_blk < 0xFFFF ? c->tele_blk : c->blockNo / 100));
        tele_app_add_block(b);
    }
    if (c->condMask) {
        int bit = 0;
        while (!((c->condMask >> bit) & 1)) ++bit;
        b->condRef = uint8_t(1 + bit);
    }
    b->prev = b->next = nullptr;
    b->state.fetch_and(uint16_t(~0x7F));
    b->samplesPerRecord = c->samplesPerRecord ? c->samplesPerRecord : 1;
    if (b->type & (MEAS_BLK_DATA)) {
        if (MeasAppStore_initData(&b->store, 64, 4096, c->recordSize, b->samplesPerRecord, c->cnt4, c->cnt2,
                                  c->cnt1) != 0) {
            b->refused = 1;
            return 0;
        }
    }
    return 0xFFFF;
}

namespace {

void resetInstance(meas_instance& m) {
    m.config = nullptr;
    m.configSize = 0;
    std::free(m.dcp);
    m.dcp = nullptr;
    m.dcpSize = 0;
    delete[] m.blocks;
    m.blocks = nullptr;
    m.numBlocks = 0;
    m.firstCond = nullptr;
    m.state = 0;
    m.dataBlocks = m.engineBlocks = m.engineCondBlocks = m.chassisBlocks = m.chassisCondBlocks = 0;
    if (m.lockCondSem) semDelete(m.lockCondSem);
    if (m.lockDataSem) semDelete(m.lockDataSem);
    m.lockCondSem = m.lockDataSem = SEM_ID_NULL;
}

} // namespace

std::mutex& meas_app_instanceLock() {
    static std::mutex lock;
    return lock;
}

int meas_app_meascreate(int index, MEASConfiguration* cfg, size_t size) {
    if (!cfg) return 0;
    std::lock_guard<std::mutex> life(meas_app_instanceLock());
    if (index < 0 || index >= MEAS_INSTANCES || meas[index].config) {
        // A live instance keeps its own configuration, store and files.
        if (index < 0 || index >= MEAS_INSTANCES || meas[index].config != cfg)
            meas_app_free_MEASConfiguration(cfg);
        return 0;
    }
    meas_instance& m = meas[index];
    m.config = cfg;
    m.configSize = size;
    const int total = cfg->num_blocks + cfg->num_conditions;
    m.blocks = new meas_blk[total > 0 ? total : 1]();
    m.numBlocks = uint16_t(total);
    m.forcedFrag = 0;
    m.savedRecords = 0;
    m.startCnt = m.replyCnt = m.replyErrCnt = 0;
    m.state = MEAS_ST_CONFIGURED;
    m.dcp = index == MEAS_M02 ? nullptr : meas_app_get_DCPConfiguration(index, &m.dcpSize);
    m.lockCondSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!m.lockCondSem) {
        syslogx(LOG_PRIO_ERR, "meas_app_meascreate():could not create lockCondSem (%s)",
                std::strerror(errno));
        resetInstance(m);
        return 0;
    }
    m.lockDataSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!m.lockDataSem) {
        syslogx(LOG_PRIO_ERR, "meas_app_meascreate():could not create lockDataSem (%s)",
                std::strerror(errno));
        resetInstance(m);
        return 0;
    }
    // A block's frame id is the low byte of its number: 0 names no block and 0xFF marks meta
    // records, and two blocks of one id could not be told apart in the file.
    bool idUsed[256] = {};
    for (int i = 0; i < cfg->num_blocks; ++i) {
        meas_blk& b = m.blocks[i];
        b.instance = &m;
        b.index = uint16_t(index);
        b.blkinfo = &cfg->BlkInfo[i];
        b.raster = uint16_t(b.blkinfo->raster);
        b.store.block = &b;
        b.blockId = gBlockIds++;
        b.fifoId = 0xFFFF;
        b.activeCondChannel = 0xFF;
        if (b.blkinfo->raster == MEAS_RASTER_SBLAP || b.blkinfo->raster == MEAS_RASTER_LAP)
            b.type = MEAS_BLK_LAPSB;
        const uint8_t frameId = uint8_t(b.blkinfo->blockNo);
        if (index != MEAS_M02 && (frameId == 0 || frameId == 0xFF || idUsed[frameId])) {
            syslogx(LOG_PRIO_ERR,
                    "meas_app_meascreate(): m0%d block number %u gives frame id 0x%02X, block ignored",
                    index + 1, unsigned(b.blkinfo->blockNo), unsigned(frameId));
            b.refused = 1;
            continue;
        }
        idUsed[frameId] = true;
        if (!meas_app_blockinit(&b)) continue;
        if (b.blkinfo->raster == MEAS_RASTER_SBLAP) {
            ALL_SBLK_CONTROLLERS[index].fetch_or(uint64_t(1) << (b.pid - 1));
            b.sbBuf = nullptr;
        } else if (b.blkinfo->raster == MEAS_RASTER_LAP) {
            b.sbBuf = nullptr;
        } else {
            ++m.dataBlocks;
        }
        if (b.condRef && index == MEAS_M03) b.condRef = uint8_t(b.condRef + 62);
    }
    if (m.dataBlocks == 0) {
        for (int i = 0; i < cfg->num_blocks; ++i) MeasAppStore_deinitData(&m.blocks[i].store);
        meas_app_free_MEASConfiguration(cfg);
        if (index == MEAS_M02) tele_app_clear_blocks();
        resetInstance(m);
        syslogx(LOG_PRIO_ERR,
                "meas_app_meascreate(): measurement contains only metadata(statusblock, lap), config ignored "
                "(M0%d)",
                index + 1);
        return 0;
    }
    m.firstCond = cfg->num_conditions ? &m.blocks[cfg->num_blocks] : nullptr;
    for (int n = 0; n < cfg->num_conditions; ++n) {
        meas_blk& b = m.blocks[cfg->num_blocks + n];
        b.instance = &m;
        b.index = uint16_t(index);
        b.blkinfo = &cfg->Conds_ptr[n];
        b.store.block = &b;
        b.fifoId = 0xFFFF;
        b.activeCondChannel = 0xFF;
        if (!((cfg->globStartMask >> n) & 1)) {
            b.raster = 2;
            b.cfgCondChannel = uint8_t(n + (index == MEAS_M03 ? 62 : 0));
            b.type = MEAS_BLK_FIFOCOND;
        } else {
            b.raster = 3;
            b.type = MEAS_BLK_COND;
        }
        b.condBit = uint64_t(1) << n;
        b.blockId = gBlockIds++;
        meas_app_blockinit(&b);
    }
    m.globCondMask = 0;
    for (int n = 62; n >= 0; --n)
        if ((cfg->globStartMask >> n) & 1) {
            m.globCondMask = uint64_t(1) << n;
            break;
        }
    if (!m.globCondMask) cfg->preTriggerTime = 0;
    if (index != MEAS_M02) {
        m.pretrig = meas_app_PreTrigInit(index, cfg->preTriggerTime);
        m.evLogger = eventLoggerInit(index, m.pretrig);
    }
    m.gw = gw_connect(&meas_app_callbacks);
    return 1;
}

void meas_app_measinit() {
    gBlockIds = 0;
    meas_app_fifo_numbering_reset();
    for (int i = 0; i < MEAS_INSTANCES; ++i)
        if (!meas[i].config) {
            ALL_SBLK_CONTROLLERS[i] = 0;
            meas[i].hst = nullptr;
            meas[i].pretrig = nullptr;
        }
    for (int index : {1, 0, 2}) {
        if (meas[index].config) {
            syslogx(LOG_PRIO_WARNING, "meas_app_measinit(): m0%d still configured, kept", index + 1);
            continue;
        }
        size_t size = 0;
        MEASConfiguration* cfg = meas_app_get_MEASConfiguration(index, &size);
        if (cfg) meas_app_meascreate(index, cfg, size);
    }
}

uint16_t meas_app_blockstart(meas_blk* b) {
    const MeasBlkInfo* c = b->blkinfo;
    if (b->refused || b->pid == 0 || c->measListLen == 0 || c->measListLen == 4 ||
        b->raster == MEAS_RASTER_NONE)
        return 0;
    meas_instance& m = *b->instance;
    b->state.fetch_and(uint16_t(~0x7F));
    const bool ordinary = b->type & (MEAS_BLK_DATA | MEAS_BLK_FIFOCOND);
    uint16_t depth = ordinary ? meas_app_getslotnum(b->raster) : 4;
    uint16_t flags = ordinary ? 3 : 0;
    uint16_t divisor = 0;
    if (b->type & (MEAS_BLK_COND | MEAS_BLK_TELE)) {
        depth = 4;
        flags = 0;
        divisor = 1;
    }
    if (b->type & MEAS_BLK_COND) {
        delete b->condBuf;
        b->condBuf = new SeqRecord(c->recordSize);
        b->condState = MEAS_REC_NOTACKED;
        b->condCnt = 0;
        if (semTake(m.lockCondSem, WAIT_FOREVER) != OK) {
            syslogx(LOG_PRIO_ERR, "meas_app_blockstart() semTake failed errno %X, idx %u Blk #%u",
                    unsigned(errno), unsigned(b->index), unsigned(b->blockId));
        } else {
            meas_list_push(&meas_app_condlist[b->index], b);
            semGive(m.lockCondSem);
        }
    }
    if (b->type & MEAS_BLK_FIFOCOND) divisor = 1;
    if (b->raster == MEAS_RASTER_SBLAP) {
        divisor = 1;
        flags |= 4;
        b->state.fetch_or(MEAS_BS_SPEEDINIT);
    }
    if (divisor == 0) b->state.fetch_or(MEAS_BS_PAUSED);
    b->divisor = divisor;
    // A condition record's list ends its one group but not the list; the words behind it are 0.
    uint32_t len = c->measListLen;
    const uint32_t words = len / 4;
    if (words >= 2 && words < MEAS_LIST_WORDS && c->measList[words - 1] == 0 && c->measList[words - 2] != 0 &&
        c->measList[words] == 0)
        len += 4;
    const uint32_t h =
        gw_setup_list(m.gw, c->measList, b, uint16_t(len), b->raster, b->pid, 1, flags, divisor, depth,
                      uint16_t(c->recordSize), meas_app_getdatatimeout(b->raster));
    b->gwHandle = h;
    if (h) {
        b->state.fetch_or(MEAS_BS_SETUP);
        ++m.startCnt;
    }
    return 0xFFFF;
}

void meas_app_measstart() {
    LapOutFraState s{};
    LapOutFra_getState(&s);
    syslogx(LOG_PRIO_INFO, "Measstart with Outing %d (0x%X), Lap %d (0x%X), AbsLap %d (0x%X), Frag %d (0x%X)",
            s.outing, s.outing, s.lap, s.lap, s.absLap, s.absLap, s.fragment, s.fragment);
    fifo_condition_init();
    const bool debug = seramCal().MEAS_APP_DEBUG == 1;
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!m.config) continue;
        if (i == MEAS_M02 && meas_app_tele_started) continue;
        m.started.fetch_and(uint16_t(~MEAS_STOPPING));
        m.ackData = m.ackCond = m.ackFifoCond = m.ackTele = m.ackSbLap = m.ackLap = 0;
        m.stoppedCond = m.stoppedFifoCond = m.stoppedTele = 0;
        m.savedRecords = 0;
        m.fileWritten = 0;
        m.firstSampleTs = 0;
        m.condBits = 0;
        if (m.globCondMask)
            m.state.fetch_or(MEAS_ST_WAITING);
        else
            m.state.fetch_and(uint16_t(~MEAS_ST_WAITING));
        if (!m.globCondMask) {
            if (i == MEAS_M01) meas_globcond_m01 = 1;
            if (i == MEAS_M03) meas_globcond_m03 = 1;
        }
        char rname[16];
        for (int k = 0; k < m.numBlocks; ++k) {
            meas_blk* b = &m.blocks[k];
            if (b->refused) continue; // refused at creation: never subscribed
            if (debug)
                syslogx(
                    LOG_PRIO_DEBUG,
                    "<meas_app_measstart> blockstart: m0%d PID: 0x%X, Type: %s, BLK #%d, Ch #%d, Raster: %s",
                    i + 1, unsigned(b->pid), meas_app_blktype(b), int(b->blockId), int(b->blkinfo->blockNo),
                    convraster2ascii(b->raster, rname));
            meas_app_add2pidlist(b, b->pid);
            meas_app_blockstart(b);
        }
        if (i == MEAS_M02) tele_app_start(m.config);
        m.started.fetch_or(MEAS_STARTED);
    }
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        meas_instance& m = meas[i];
        if (!m.gw) continue;
        if (i == MEAS_M02 && meas_app_tele_started) continue;
        gw_start_all(m.gw);
        meas_led_set_status(0x400000);
    }
    if (meas[MEAS_M02].config) meas_app_tele_started = 1;
}
