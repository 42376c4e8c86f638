// Which file each sample goes into: every cut of the counters (a lap, a fragment, a forced cut) has
// a file of its own, holding the records stamped after the cut up to the next one; a block moves from
// its file to the file of the cut its sample belongs to, and a file is closed with a status block once
// its last block has left it.
#include "logging/app/meas_app_store.h"
#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/sblk_task.h"
#include "logging/disk/cfg_meas.h"
#include "logging/events/eventlogger.h"
#include "logging/fifo/meas_frame.h"
#include "logging/store/meas_app_pretrig.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t CLOSE_DELAY = 30000; // 3 s in 100 us ticks

// Instances that opened a file since the start-up; read by the copies' tasks too.
std::atomic<bool> gWritesFiles[MEAS_INSTANCES];
// The cut the logging run began with: no record of the run belongs to an earlier one.
std::atomic<uint32_t> gRunCut{0};
bool gRunEnded = true; // its blocks have stopped (the logging task's)

// What the logging task keeps of the cuts per instance: the newest cut whose file it opened in the
// run, the cuts it passed over without a record (named once no block of the instance can still reach
// them), and the copies to the stick that wait for a cut's file to be opened.
struct InstanceCuts {
    uint32_t opened = 0;
    uint32_t lastFile = 0; // the cut of meas_instance::lastFile
    std::vector<uint32_t> passed;
    std::vector<uint32_t> told; // the last cuts named so
    std::vector<uint32_t> copies;
};
// Never freed: a task may still close a file while the process ends.
InstanceCuts* const gInstanceCuts = new InstanceCuts[MEAS_INSTANCES];

const char* closeTypeName(int t) {
    return t == SB_LAPTRIG ? "SB_LAPTRIG" : t == SB_PERIOD ? "SB_PERIOD" : "SB_UNKNOWN";
}

MeasAppStore_FileInfo_s* fileOfNode(NODE* n) {
    return MeasAppStore_fileOfNode(n);
}

meas_instance* instOf(const MeasAppStore_FileInfo_s* f) {
    return static_cast<meas_instance*>(f->meas);
}

// Closed towards the writers: only the writers' closes are left.
bool handedOver(const MeasAppStore_FileInfo_s* f) {
    return f->closeState.load() >= MEAS_CLOSE_WRITERS;
}

// The cut made after the file's: its stamp ends the file's span. False while none is made.
bool nextCut(const MeasAppStore_FileInfo_s* f, LapOutFraCut* next) {
    return LapOutFra_newestCut() != f->cutSeq && LapOutFra_cut(f->cutSeq + 1, next);
}

// The close of a file is decided once, when the first of its blocks leaves it or the store closes
// it, by the cut after its own: a lap, a new outing or the fragment trigger (type SB_LAPTRIG, a close
// stamp record at the cut), a forced fragment (SB_PERIOD and no record). Without a later cut it is
// closed by a stop, destroy or shutdown (SB_PERIOD, no record; its stamp is its end).
void decideClose(MeasAppStore_FileInfo_s* f) {
    if (f->closeState.load() != MEAS_CLOSE_OPEN) return;
    LapOutFraCut next{};
    if (nextCut(f, &next)) {
        f->closeState = LapOutFra_countersCut(next.kind) ? MEAS_CLOSE_COUNTERS : MEAS_CLOSE_PERIOD;
        if (f->closeTimestamp == MEAS_TS_NONE) f->closeTimestamp = next.stamp;
    } else {
        f->closeState = MEAS_CLOSE_PERIOD;
    }
    f->closeDeadline = time_getTimestamp() + CLOSE_DELAY;
}

std::string stampText(uint32_t stamp) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%04u s", unsigned(stamp / 10000), unsigned(stamp % 10000));
    return text;
}

std::string nameOf(int index, const LapOutFraCut& c) {
    char name[MEAS_FILENAME_LEN] = "";
    LapOutFra_genFilenameAbsLap(name, sizeof name, uint8_t(index), uint8_t(c.outing), uint8_t(c.lap),
                                uint8_t(c.fragment), c.absLap);
    return name;
}

bool told(const InstanceCuts& ic, uint32_t seq) {
    return std::find(ic.told.begin(), ic.told.end(), seq) != ic.told.end();
}

// The records before cut `seq` are in the file of the newest cut of the run before it that has one.
bool fileBefore(const InstanceCuts& ic, uint32_t seq, LapOutFraCut* c) {
    const uint32_t run = gRunCut.load();
    uint32_t before = seq - 1;
    while (before >= run && before != 0 && told(ic, before)) --before;
    return before >= run && LapOutFra_cut(before, c);
}

// The cuts of instance `index` passed over without a record: once no file of an earlier cut has a
// block any more (no block can reach them then), each is named; a copy to the stick that waited for
// its file goes to the file before it (into `copies`). Under the file queue's lock.
void tellPassedLocked(int index, std::vector<LapOutFraCut>* copies) {
    InstanceCuts& ic = gInstanceCuts[index];
    if (ic.passed.empty()) return;
    uint32_t reachable = UINT32_MAX; // the oldest cut whose file still has a block
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
        MeasAppStore_FileInfo_s* f = MeasAppStore_fileOfNode(n);
        if (f->index == index && lstCount(&f->blocks) > 0) reachable = std::min(reachable, f->cutSeq);
    }
    std::sort(ic.passed.begin(), ic.passed.end());
    while (!ic.passed.empty() && ic.passed.front() < reachable) {
        const uint32_t seq = ic.passed.front();
        ic.passed.erase(ic.passed.begin());
        LapOutFraCut c{}, next{};
        if (!LapOutFra_cut(seq, &c)) continue;
        const std::string until =
            LapOutFra_cut(seq + 1, &next) ? "the next cut at " + stampText(next.stamp) : "the logging's stop";
        syslogx(LOG_PRIO_WARNING,
                "meas_app_store_block(): the %s cut %s at %s has no file: no record of m0%d lies between it "
                "and %s",
                LapOutFra_cutKindName(c.kind), nameOf(index, c).c_str(), stampText(c.stamp).c_str(),
                index + 1, until.c_str());
        ic.told.push_back(seq);
        if (ic.told.size() > 64) ic.told.erase(ic.told.begin());
        const auto copy = std::find(ic.copies.begin(), ic.copies.end(), seq);
        if (copy == ic.copies.end()) continue;
        ic.copies.erase(copy);
        LapOutFraCut withFile{};
        if (fileBefore(ic, seq, &withFile)) copies->push_back(withFile);
    }
}

void copyCuts(int index, const std::vector<LapOutFraCut>& cuts) {
    for (const LapOutFraCut& c : cuts)
        meas_app_copyToStick(index, meas_filecounters{c.outing, c.lap, c.absLap, c.fragment, true});
}

void tellPassed(int index) {
    std::vector<LapOutFraCut> copies;
    {
        MeasAppStore_QueueLock lk("meas_app_store_block()");
        tellPassedLocked(index, &copies);
    }
    copyCuts(index, copies);
}

using QueueLock = MeasAppStore_QueueLock;

void addBytes(int index, uint32_t used, uint32_t packed) {
    if (index == MEAS_M01) {
        meas_data_size_m01_uncompressed += used;
        meas_data_size_m01_compressed += packed;
    } else if (index == MEAS_M03) {
        meas_data_size_m03_uncompressed += used;
        meas_data_size_m03_compressed += packed;
    }
}

void fillRequest(sb_request_t* rq, const MeasAppStore_FileInfo_s* file) {
    std::memset(rq, 0, sizeof *rq);
    const meas_instance& m = *instOf(file);
    get_bcd_time(rq->bcdNow);
    rq->vfIdx = file->vfIdx;
    rq->hst = m.hst;
    rq->pretrig = m.pretrig;
    std::memcpy(rq->bcdCreate, file->createTime, 6);
    std::snprintf(rq->fileName, sizeof rq->fileName, "%s", file->name);
    if (m.config) {
        // Cut to the 80 characters of the request.
        std::memcpy(rq->cfgName1, m.config->ident, sizeof rq->cfgName1 - 1);
        std::memcpy(rq->cfgName2, m.config->projectFileName, sizeof rq->cfgName2 - 1);
    }
    std::snprintf(rq->syslogName, sizeof rq->syslogName, "log/syslog-%d.log", RtpIndex);
}

} // namespace

MeasAppStore_QueueLock::MeasAppStore_QueueLock(const char* who, int timeoutTicks)
    : held(gFileQueueSem && semTake(gFileQueueSem, timeoutTicks) == OK) {
    if (!held) syslogx(LOG_PRIO_ERR, "%s: error taking semaphore, errno %s", who, std::strerror(errno));
}

MeasAppStore_QueueLock::~MeasAppStore_QueueLock() {
    if (held) semGive(gFileQueueSem);
}

int MeasAppStore_initData(MeasAppStore_data* s, uint32_t maxRecords, uint32_t maxBytes, uint32_t recordSize,
                          uint32_t factor, uint32_t cnt4, uint32_t cnt2, uint32_t cnt1) {
    s->file = nullptr;
    s->initTs = MEAS_TS_NONE;
    s->nextTs = MEAS_TS_NONE;
    s->frame = MeasFrame_alloc(maxRecords, maxBytes, recordSize, factor);
    if (!s->frame) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_initData():Error: MeasFrame_alloc()");
        return 1;
    }
    if (factor > 1 && MeasFrame_HSL_calc_IndexTranslation(s->frame, cnt4, cnt2, cnt1) != 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_initData():Error: MeasFrame_HSL_calc_IndexTranslation()");
        MeasFrame_free(s->frame);
        s->frame = nullptr;
        return 1;
    }
    return 0;
}

int MeasAppStore_deinitData(MeasAppStore_data* s) {
    if (!s->frame) return 1;
    // Records still held are dropped with the instance.
    uint32_t first = 0, last = 0;
    if (s->frame->count && MeasFrame_recode_for_V5_V6(s->frame, s->frame->recordSize, &first, &last) == 0) {
        uint8_t* data = nullptr;
        uint32_t size = 0, used = 0, packed = 0;
        if (MeasFrame_get(s->frame, 0, &data, &size, &used, &packed) == 0) std::free(data);
    }
    if (MeasFrame_free(s->frame) != 0) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_deinitData():Error: MeasFrame_free()");
        return 1;
    }
    s->frame = nullptr;
    return 0;
}

void meas_app_store_frame(meas_blk* b) {
    if (!b) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_frame(): Error: pMblk NULL");
        return;
    }
    MeasAppStore_FileInfo_s* file = b->store.file;
    if (!file) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_frame(): Error: aFileInfoPtr NULL");
        return;
    }
    if (!b->blkinfo) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_frame(): Error: pMblk->blkinfo NULL");
        return;
    }
    MeasFrame* fr = b->store.frame;
    if (!fr || fr->count == 0) return;
    uint32_t first = 0, last = 0;
    if (MeasFrame_recode_for_V5_V6(fr, b->blkinfo->recordSize, &first, &last) != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_frame(): Error: MeasFrame_recode_V5_V6()");
        return;
    }
    uint8_t* data = nullptr;
    uint32_t size = 0, used = 0, packed = 0;
    if (MeasFrame_get(fr, uint8_t(b->blkinfo->blockNo), &data, &size, &used, &packed) != 0) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_frame():Error: MeasFrame_get()");
        return;
    }
    addBytes(b->index, used, packed);
    meas_instance& m = *b->instance;
    if (data && file->vfIdx >= 0 && m.pretrig) {
        meas_app_PreTrigPutMeasFrame(m.pretrig, file->vfIdx, data, size, first, last);
        file->bytesWritten += size;
    } else {
        std::free(data);
    }
}

MeasAppStore_FileInfo_s* meas_app_get_lof_file(const meas_blk* b, const LapOutFraCut& c) {
    QueueLock lk("meas_app_get_lof_file()");
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
        MeasAppStore_FileInfo_s* f = fileOfNode(n);
        if (f->index == b->index && !handedOver(f) && f->cutSeq == c.seq) return f;
    }
    return nullptr;
}

bool MeasAppStore_cutOf(uint32_t ts, LapOutFraCut* c) {
    return LapOutFra_cutAt(ts, gRunCut.load(), c);
}

int meas_app_open_file(meas_blk* b, uint32_t, const LapOutFraCut& c) {
    meas_instance& m = *b->instance;
    const int i = int(&m - meas);
    InstanceCuts& ic = gInstanceCuts[i];
    uint32_t flushTs = c.stamp;
    if (flushTs == 0 || flushTs == MEAS_TS_NONE) flushTs = m.firstSampleTs.load();
    MeasAppStore_FileInfo_s* found = nullptr;
    {
        QueueLock lk("meas_app_open_file()");
        bool firstSeen = false;
        for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
            MeasAppStore_FileInfo_s* f = fileOfNode(n);
            if (f->index != b->index) continue;
            if (!firstSeen) {
                if (!f->closeable) f->closeable = 1;
                if (!(f->closeable && f->vfIdx < 0)) firstSeen = true;
            }
            if (f->cutSeq == c.seq) {
                found = f;
                break;
            }
        }
    }
    // A block's sample that comes after the file of its cut was closed (by its deadline) is dropped,
    // never written into a second file of that cut.
    if (found && (found->vfIdx < 0 || found->closeState.load() >= MEAS_CLOSE_SB)) {
        syslogx(LOG_PRIO_WARNING,
                "meas_app_open_file(): Cancel writing block #%d to file %s, mode.kill 0x%X, file was closed "
                "already!!",
                int(b->blockId), found->name, unsigned((m.started.load() & MEAS_STOPPING) ? 1 : 0));
        return 1;
    }
    if (!found) {
        auto* f = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
        if (!f) return 1;
        f->refs = 1; // the file queue's
        lstInit(&f->blocks);
        get_bcd_time(f->createTime);
        if (LapOutFra_genFilenameAbsLap(f->name, sizeof f->name, uint8_t(b->index), uint8_t(c.outing),
                                        uint8_t(c.lap), uint8_t(c.fragment), c.absLap) < 0)
            syslogx(LOG_PRIO_ERR, "meas_app_open_file(): Error LapOutFra_genFilename()");
        f->meas = &m;
        f->store = m.pretrig;
        f->index = b->index;
        f->outing = c.outing;
        f->lap = c.lap;
        f->absLap = c.absLap;
        f->fragment = c.fragment;
        f->cutSeq = c.seq;
        f->closeState = MEAS_CLOSE_OPEN;
        f->run = MeasAppStore_currentRun();
        f->initTimestamp = c.stamp == MEAS_TS_NONE ? 0 : c.stamp;
        f->closeTimestamp = MEAS_TS_NONE;
        f->closeDeadline = MEAS_TS_NONE;
        // Its span's end is known once the next cut is made, also before its first record came.
        LapOutFraCut next{};
        if (nextCut(f, &next)) {
            f->closeTimestamp = next.stamp;
            f->closeDeadline = time_getTimestamp() + CLOSE_DELAY;
        }
        f->vfIdx = -1;
        f->config = m.config;
        f->configBlob = m.dcp;
        f->configBlobSize = uint32_t(m.dcpSize);
        f->headerWritten = &m.fileWritten;
        f->loggerId = meas_app_getLoggerId();
        meas_app_namesNew(f);
        meas_app_PreTrigOpenFile(m.pretrig, f);
        if (f->vfIdx < 0) {
            syslogx(LOG_PRIO_ERR, "meas_app_open_file(): failed to open virtual file %s", f->name);
            meas_app_PreTrigFileInfoRelease(f);
            return 1;
        }
        // A stop or destroy after this moves the fragment on, so that the next start never
        // reopens this file's name; a stick that arrives after the stop gets this file.
        m.fileOpened = 1;
        if (c.seq > ic.lastFile) {
            m.lastFile = {f->outing, f->lap, f->absLap, f->fragment, true};
            ic.lastFile = c.seq;
        }
        gWritesFiles[i].store(true);
        // The cuts passed over since the newest file the instance opened in this run have no record
        // of the block that opened this one; a block's late record may still open one of them.
        if (ic.opened != 0 && c.seq > ic.opened)
            for (uint32_t s = ic.opened + 1; s < c.seq; ++s) ic.passed.push_back(s);
        if (c.seq > ic.opened) ic.opened = c.seq;
        ic.passed.erase(std::remove(ic.passed.begin(), ic.passed.end(), c.seq), ic.passed.end());
        std::vector<LapOutFraCut> copies;
        {
            QueueLock lk("meas_app_open_file(): error taking semaphore to add entry");
            // The files of an instance close in the order of their cuts, the oldest first: one of an
            // earlier cut than those in the queue (a block whose record came late) goes before them,
            // and closes first while the first of them has not begun its close.
            MeasAppStore_FileInfo_s* head = nullptr; // the instance's first file
            NODE* later = nullptr;                   // its first file of a later cut
            for (NODE* n = lstFirst(&gFileQueue); n && !later; n = lstNext(n)) {
                MeasAppStore_FileInfo_s* p = fileOfNode(n);
                if (p->index != f->index) continue;
                if (!head) head = p;
                if (p->cutSeq > c.seq) later = n;
            }
            const bool ahead = later && fileOfNode(later) == head;
            f->closeable = !head || (ahead && head->closeState.load() < MEAS_CLOSE_SB) ? 1 : 0;
            if (ahead && f->closeable) head->closeable = 0;
            if (later)
                lstInsert(&gFileQueue, later->previous, &f->node);
            else
                lstAdd(&gFileQueue, &f->node);
            // The files of the instance's earlier cuts end where their next cut begins.
            for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
                MeasAppStore_FileInfo_s* p = fileOfNode(n);
                if (p->index != f->index || p->cutSeq >= c.seq || p->closeTimestamp != MEAS_TS_NONE ||
                    p->closeState.load() != MEAS_CLOSE_OPEN)
                    continue;
                LapOutFraCut after{};
                if (!nextCut(p, &after)) continue;
                p->closeTimestamp = after.stamp;
                p->closeDeadline = time_getTimestamp() + CLOSE_DELAY;
                syslogx(LOG_PRIO_DEBUG, "meas_app_open_file(): close_timestamp set late %s", p->name);
            }
            tellPassedLocked(i, &copies);
        }
        eventLoggerFlushUntil(m.evLogger, flushTs);
        meas_app_namesOpened(f);
        found = f;
        // A copy to the stick that waited for this file is asked for now that it is in the queue.
        const auto waits = std::find(ic.copies.begin(), ic.copies.end(), c.seq);
        if (waits != ic.copies.end()) {
            ic.copies.erase(waits);
            copies.push_back(c);
        }
        copyCuts(i, copies);
    }
    b->store.file = found;
    lstAdd(&found->blocks, &b->store.node);
    b->store.initTs = found->initTimestamp;
    b->store.nextTs = MEAS_TS_NONE;
    return 0;
}

void meas_app_store_statusblock_close(MeasAppStore_FileInfo_s* file, int closeType) {
    meas_instance& m = *instOf(file);
    if (file->index != MEAS_M01 && file->index != MEAS_M03) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_statusblock_close(m0%d): invalid measurement", file->index + 1);
        meas_app_PreTrigCloseFile(m.pretrig, file->vfIdx);
        return;
    }
    sb_request_t rq;
    fillRequest(&rq, file);
    if (sb_create(&rq, closeType, file->index) == 3) {
        syslogx(LOG_PRIO_WARNING, "meas_app_store_statusblock_close() close file: '%s', 0x%X", file->name,
                unsigned(file->vfIdx));
        meas_app_PreTrigCloseFile(m.pretrig, file->vfIdx);
    }
}

void meas_app_store_statusblock(MeasAppStore_FileInfo_s* file, int closeType) {
    if (file->index != MEAS_M01 && file->index != MEAS_M03) {
        syslogx(LOG_PRIO_ERR, "meas_app_store_statusblock(m0%d): invalid measurement", file->index + 1);
        return;
    }
    sb_request_t rq;
    fillRequest(&rq, file);
    sb_create_write(&rq, closeType, file->index);
}

void meas_app_req_sb_and_unlink_file(MeasAppStore_FileInfo_s* file, int) {
    if (!file) {
        syslogx(LOG_PRIO_ERR, "meas_app_req_sb_and_unlink_file(): Error NULL file handle");
        return;
    }
    if (file->closeState.load() >= MEAS_CLOSE_SB) {
        syslogx(LOG_PRIO_ERR,
                "meas_app_req_sb_and_unlink_file(): Error - requesting close file SB second time");
        return;
    }
    if (!file->closeable) {
        // Its turn comes once the older files of its instance are closed.
        syslogx(LOG_PRIO_DEBUG, "meas_app_req_sb_and_unlink_file(): cannot close yet, not oldest (%s)",
                file->name);
        return;
    }
    meas_instance& m = *instOf(file);
    // While logging stops, a file whose status block finds the task busy with another one waits
    // for it (the flush check asks again on every tick) instead of closing without.
    const bool stopping = meas_app_running.load() == 0 || (m.started.load() & MEAS_STOPPING);
    if (stopping && sb_busy(file->index)) return;
    decideClose(file);
    if (file->closeTimestamp == MEAS_TS_NONE) file->closeTimestamp = time_getTimestamp();
    // The close type is the one decided; a lap's close carries its stamp as a record.
    const int closeType = file->closeState.load() == MEAS_CLOSE_COUNTERS ? SB_LAPTRIG : SB_PERIOD;
    if (closeType == SB_LAPTRIG && m.pretrig) {
        const uint32_t ts = file->closeTimestamp;
        const uint8_t be[4] = {uint8_t(ts >> 24), uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts)};
        meas_app_PreTrigPutMetaDataVfCopy(m.pretrig, file->vfIdx, be, 4, MEAS_META_CLOSE_TS);
    }
    eventLoggerFlushUntil(m.evLogger, file->closeTimestamp);
    syslogx(LOG_PRIO_INFO, "meas_app_close_file(): collecting statusblock for %s, type %s", file->name,
            closeTypeName(closeType));
    file->closeState = MEAS_CLOSE_SB;
    meas_app_store_statusblock_close(file, closeType);
}

void meas_app_close_file(meas_blk* b, int closeType) {
    if (b->type != MEAS_BLK_DATA) return; // plain data blocks only
    MeasAppStore_FileInfo_s* file = b->store.file;
    if (!file || file->vfIdx < 0) {
        syslogx(LOG_PRIO_DEBUG, "meas_app_close_file(): InfoPtr 0x%X, FileInfo_ptr 0x%X, #%d, '%s'",
                unsigned(uintptr_t(&b->store) & 0xFFFFFFFF), unsigned(uintptr_t(file) & 0xFFFFFFFF),
                int(b->blockId), closeTypeName(closeType));
        if (file) {
            lstDelete(&file->blocks, &b->store.node);
            b->store.file = nullptr;
            b->store.initTs = MEAS_TS_NONE;
        }
        return;
    }
    decideClose(file);
    meas_app_store_frame(b);
    lstDelete(&file->blocks, &b->store.node);
    b->store.file = nullptr;
    b->store.initTs = MEAS_TS_NONE;
    b->store.nextTs = MEAS_TS_NONE;
    if (lstCount(&file->blocks) == 0) {
        meas_app_req_sb_and_unlink_file(file, closeType);
        // The cuts passed over after it may now be out of every block's reach.
        if (file->index < MEAS_INSTANCES) tellPassed(file->index);
    }
}

void meas_app_store_block_close_check_only(meas_blk* b) {
    MeasAppStore_FileInfo_s* file = b->store.file;
    if (!file) return;
    if (b->store.nextTs == MEAS_TS_NONE) {
        LapOutFraCut next{};
        if (!nextCut(file, &next)) return; // no cut since the file's: it goes on
        b->store.nextTs = next.stamp;
    }
    // A sample stamped up to the next cut still belongs to the file.
    if (int32_t(b->lastTs - b->store.nextTs) <= 0) return;
    meas_app_close_file(b, SB_LAPTRIG);
}

void meas_app_store_block(meas_blk* b, const uint8_t* record) {
    meas_app_store_block_close_check_only(b);
    bool first = false;
    if (!b->store.file) {
        // The file of the cut in force at the sample's stamp, however many cuts came since.
        LapOutFraCut c{};
        if (!LapOutFra_isValid() || !MeasAppStore_cutOf(b->lastTs, &c)) return;
        if (meas_app_open_file(b, b->lastTs, c) != 0) return;
        first = true;
    }
    const int r = MeasFrame_put(b->store.frame, record, b->blkinfo->recordSize);
    // A block's first record in a file goes to the store at once, not a frame's age (up to 2 s)
    // later: a cut's file, a drive's join's among them, holds records as soon as its drives made it.
    if (r == 1)
        syslogx(LOG_PRIO_ERR, "meas_app_store_block(): Error: MeasFrame_put()");
    else if (r == 2 || first)
        meas_app_store_frame(b);
}

namespace {

// Lap or status-block records of one list: coded as a one-sample frame from a scratch copy.
int storeDyn(int vfIdx, int index, uint32_t lapTs, int code) {
    const bool lap = code == MEAS_RASTER_LAP;
    int written = 0;
    if (uint32_t(vfIdx) == MEAS_TS_NONE) return 0;
    std::vector<uint8_t> rec, out;
    for (meas_blk* b : meas_list_snapshot(&meas_app_measlist[code])) {
        if (b->index != index || !b->sbBuf) continue;
        const uint8_t flags = b->sbFlags.load();
        if (!b->sbNew.load(std::memory_order_acquire)) {
            b->sbFlags.fetch_and(uint8_t(~MEAS_SB_LAPREQ));
            continue;
        }
        rec.resize(b->sbBuf->size());
        b->sbBuf->read(rec.data());
        const uint32_t size = b->blkinfo->recordSize;
        const uint32_t recTs = uint32_t(rec[0] << 24 | rec[1] << 16 | rec[2] << 8 | rec[3]);
        const char* what = lap ? "LR" : "SB";
        if (lapTs && !(flags & MEAS_SB_LAPREQ)) {
            syslogx(LOG_PRIO_DEBUG, "Missing %s Data: m0%d PID: 0x%X, BLK #%d, Ch #%d", what, index + 1,
                    unsigned(b->pid), int(b->blockId), int(b->blkinfo->blockNo));
        } else if (!lapTs && (flags & MEAS_SB_LAPREQ)) {
            syslogx(LOG_PRIO_DEBUG, "Missing periodic %s Data: m0%d PID: 0x%X, BLK #%d, Ch #%d", what,
                    index + 1, unsigned(b->pid), int(b->blockId), int(b->blkinfo->blockNo));
        } else if (!lapTs || lapTs == recTs) {
            out.assign(4 + size + size / 128 + 2, 0);
            const uint16_t packed = MeasFrame_packBits(rec.data(), out.data() + 4, uint16_t(size));
            out[0] = uint8_t(b->blkinfo->blockNo);
            out[1] = 1;
            out[2] = uint8_t(packed >> 8);
            out[3] = uint8_t(packed);
            meas_instance& m = *b->instance;
            if (lap) {
                meas_app_PreTrigPutMeasFrameCopy(m.pretrig, vfIdx, out.data(), packed + 4u, lapTs, lapTs);
                syslogx(LOG_PRIO_DEBUG, "Wrote LR Data: m0%d PID: 0x%X, BLK #%d, Ch #%d, TS %d", index + 1,
                        unsigned(b->pid), int(b->blockId), int(b->blkinfo->blockNo), int(lapTs));
            } else {
                meas_app_PreTrigPutMetaDataVfCopy(m.pretrig, vfIdx, out.data(), packed + 4u,
                                                  MEAS_META_SB_FRAME);
            }
            ++written;
        } else {
            syslogx(LOG_PRIO_DEBUG,
                    "Discard invalid %s Data: m0%d PID: 0x%X, BLK #%d, Ch #%d, LT-TS: %d, Data-TS: %u", what,
                    index + 1, unsigned(b->pid), int(b->blockId), int(b->blkinfo->blockNo), int(lapTs),
                    unsigned(recTs));
        }
        b->sbNew.store(0, std::memory_order_release);
        b->sbLocked = 0;
        b->sbFlags.fetch_and(uint8_t(~MEAS_SB_LAPREQ));
    }
    return written;
}

} // namespace

int meas_app_store_frame_lr_dyn(int vfIdx, int index, uint32_t lapTs) {
    return storeDyn(vfIdx, index, lapTs, MEAS_RASTER_LAP);
}

int meas_app_store_frame_sb_dyn(int vfIdx, int index, uint32_t lapTs) {
    return storeDyn(vfIdx, index, lapTs, MEAS_RASTER_SBLAP);
}

void meas_app_file_queue_delete(MeasAppStore_FileInfo_s* file) {
    {
        QueueLock lk("meas_app_file_queue_delete()");
        bool found = false;
        for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n))
            if (fileOfNode(n) == file) {
                lstDelete(&gFileQueue, n);
                found = true;
                break;
            }
        if (!found) {
            syslogx(LOG_PRIO_ERR, "meas_app_file_queue_delete(): error deleting file from gFileQueue (%s)",
                    file ? file->name : "");
            return;
        }
        syslogx(LOG_PRIO_DEBUG, "meas_app_file_queue_delete(): deleted file (%s) from gFileQueue",
                file->name);
    }
    meas_app_PreTrigFileInfoRelease(file);
}

void meas_app_set_next_closeable_file(int index) {
    QueueLock lk("meas_app_set_next_closeable_file()");
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
        MeasAppStore_FileInfo_s* f = fileOfNode(n);
        if (f->index != index || handedOver(f)) continue;
        if (!f->closeable) {
            f->closeable = 1;
            syslogx(LOG_PRIO_DEBUG, "meas_app_set_next_closeable_file(): set to %s", f->name);
        }
        return;
    }
}

void meas_app_file_closing(MeasAppStore_FileInfo_s* file) {
    file->closeState = MEAS_CLOSE_WRITERS;
    meas_app_set_next_closeable_file(file->index);
}

void meas_app_fsflush(int index) {
    if (index >= 0 && index < MEAS_INSTANCES) meas_app_PreTrigFlushDir(meas[index].pretrig);
}

void meas_app_fsflush_drive(const char* drive) {
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        const cfg_meas_t* c = cfg_meas_getCfgPartition(i);
        if (c && (std::strncmp(c->targetPartition, drive, CFG_MEAS_NAME_LEN) == 0 ||
                  std::strncmp(c->usbDrive, drive, CFG_MEAS_NAME_LEN) == 0))
            meas_app_fsflush(i);
    }
}

void MeasAppStore_checkForFlushIdx(int mask, bool closeNow) {
    bool flush[MEAS_INSTANCES] = {};
    bool firstSeen[MEAS_INSTANCES] = {};
    const bool idle = (meas_app_get_flags() & 0x7F) == 0;
    const uint32_t now = time_getTimestamp();
    QueueLock lk("MeasAppStore_checkForFlush()");
    std::vector<MeasAppStore_FileInfo_s*> files;
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) files.push_back(fileOfNode(n));
    for (MeasAppStore_FileInfo_s* f : files) {
        const int i = f->index;
        if (i < 0 || i >= MEAS_INSTANCES || !((mask >> i) & 1) || handedOver(f)) continue;
        std::vector<meas_blk*> blocks;
        for (NODE* n = lstFirst(&f->blocks); n; n = lstNext(n))
            blocks.push_back(reinterpret_cast<MeasAppStore_data*>(n)->block);
        for (meas_blk* b : blocks)
            if (b->store.frame && b->store.frame->count && MeasFrame_getAgeTS(b->store.frame) >= 10000) {
                meas_app_store_frame(b);
                flush[i] = true;
            }
        if (!firstSeen[i]) {
            firstSeen[i] = true;
            if (!f->closeable) {
                syslogx(LOG_PRIO_WARNING, "MeasAppStore_checkForFlushIdx(%d): closeable file not set %s", i,
                        f->name);
                f->closeable = 1;
            }
        }
        const bool due = f->closeDeadline != MEAS_TS_NONE && int32_t(now - f->closeDeadline) > 0 && idle;
        if (!f->closeable || !(due || closeNow) || f->closeState.load() == MEAS_CLOSE_SB) continue;
        if (!blocks.empty()) {
            syslogx(LOG_PRIO_INFO,
                    "MeasAppStore_checkForFlush(): request timeout close on file %s, %u blocks", f->name,
                    unsigned(blocks.size()));
            // Closed now, by a stop or destroy: the file the counters still name is no lap's.
            for (meas_blk* b : blocks) meas_app_close_file(b, closeNow ? SB_PERIOD : SB_LAPTRIG);
        } else if (!(closeNow && sb_busy(i))) {
            // Its close type and its close record are those decided when its blocks left it.
            syslogx(LOG_PRIO_INFO, "MeasAppStore_checkForFlushIdx(%d): close unused dangling file %s", i,
                    f->name);
            meas_app_req_sb_and_unlink_file(f, SB_PERIOD);
        }
    }
    for (int i = 0; i < MEAS_INSTANCES; ++i)
        if (flush[i]) meas_app_fsflush(i);
}

void MeasAppStore_checkForFlush() {
    MeasAppStore_checkForFlushIdx(7);
}

void MeasAppStore_closeAllFilesFast() {
    for (int code = MEAS_RASTER_CODES - 1; code >= 0; --code) {
        const std::vector<meas_blk*> blocks = meas_list_snapshot(&meas_app_measlist[code]);
        for (meas_blk* b : blocks) meas_app_close_file(b, SB_PERIOD);
    }
    meas_app_fsflush(0);
    meas_app_fsflush(2);
}

uint32_t MeasAppStore_getFCloseType(const meas_blk* b) {
    return b->store.file ? b->store.file->closeState.load() : 0;
}

uint32_t MeasAppStore_getFilesize(const meas_blk* b) {
    return b->store.file ? b->store.file->bytesWritten : 0;
}

void MeasAppStore_runStarted(const LapOutFraCut& start) {
    gRunCut.store(start.seq);
    gRunEnded = false;
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        InstanceCuts& ic = gInstanceCuts[i];
        ic.opened = start.seq - 1;
        ic.passed.clear();
        ic.copies.clear();
    }
}

void MeasAppStore_runEnded() {
    const uint32_t newest = LapOutFra_newestCut();
    if (gRunEnded) return; // a destroy after a stop: its cuts were named at the stop
    gRunEnded = true;
    for (int i = 0; i < MEAS_INSTANCES; ++i) {
        InstanceCuts& ic = gInstanceCuts[i];
        if (ic.opened < gRunCut.load()) continue; // no file in this run
        // The cuts after its newest file end with the stop: no record lies in them.
        for (uint32_t s = ic.opened + 1; s != 0 && s <= newest; ++s) ic.passed.push_back(s);
        ic.opened = newest;
        tellPassed(i);
    }
}

void MeasAppStore_copyCutToStick(int index, const LapOutFraCut& c) {
    if (index < 0 || index >= MEAS_INSTANCES) return;
    InstanceCuts& ic = gInstanceCuts[index];
    LapOutFraCut withFile{};
    // Its file is opened with its first record, a data delay after the cut: the copy waits for that.
    if (c.seq > ic.opened || std::find(ic.passed.begin(), ic.passed.end(), c.seq) != ic.passed.end())
        ic.copies.push_back(c.seq);
    else if (!told(ic, c.seq))
        copyCuts(index, {c});
    else if (fileBefore(ic, c.seq, &withFile))
        copyCuts(index, {withFile});
}

bool MeasAppStore_writesFiles(int index) {
    return index >= 0 && index < MEAS_INSTANCES && gWritesFiles[index].load();
}
