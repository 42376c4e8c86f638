// What a stop, a destroy and the shutdown wait for: the files they close, each whole on every drive
// it is written to, or given up on once nothing moves for 10 s. And the file queue's end of a
// record: it leaves once settled, while nobody waits on the queue.
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_drivecall.h"

#include "laptiming/lapoutfra.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::atomic<uint32_t> gRun{1};
std::atomic<int> gWaits{0}; // waits made: no record leaves the queue meanwhile
// Records that left the file queue unfinished on a drive, with a reference each, under the queue's
// lock: kept to the end, so that a copy or a writer that finishes one after all is seen, and the
// exit says exactly what is lost.
std::vector<MeasAppStore_FileInfo_s*> gLeft;
bool gCopiesEnded = false; // the shutdown is over: no copy begins to replace a stick's file (queue lock)

void* storeOf(const MeasAppStore_FileInfo_s* f) {
    return f->store;
}

// Its close is under way: every writer that has yet to finish it has handed it to a write-through
// task of its drive, which still makes its close, and no drive failed it.
bool closeUnderWay(const MeasAppStore_FileInfo_s* f) {
    const uint32_t writers = f->writers.load(), closed = f->closedOn.load();
    uint32_t failed = writers & f->failedOn.load() & ~closed;
    const uint8_t copy = f->copyState.load();
    if (copy == MEAS_COPY_DONE) failed &= ~f->stickWriters.load(); // the copy replaced the stick's piece
    const uint32_t pending = writers & ~closed & ~failed;
    return failed == 0 && pending != 0 && (pending & ~f->finishingOn.load()) == 0 &&
           copy != MEAS_COPY_PENDING && copy != MEAS_COPY_DAMAGED;
}

// Where a file stands: 0 on its way, 1 whole everywhere, -1 settled unfinished (for a wait, also
// unfinished where its writer stands still for `stallTicks`); what it waits for or where it is
// unfinished into *what. `closing` (may be null): not whole, its close under way on drives that
// failed it nowhere (a writer that stands still in it counts as unfinished all the same).
int standing(MeasAppStore_FileInfo_s* f, std::string* what, uint32_t stallTicks = 0,
             bool* closing = nullptr) {
    if (closing) *closing = false;
    const uint32_t st = f->closeState.load();
    if (st == MEAS_CLOSE_OPEN) {
        *what = "its blocks (open)";
        return 0;
    }
    if (st < MEAS_CLOSE_SB) {
        // Its block list belongs to the logging task: not read here.
        *what = "its last blocks and its status block";
        return 0;
    }
    if (st == MEAS_CLOSE_SB) {
        *what = "its status block";
        return 0;
    }
    char drives[160] = "";
    const int r = meas_app_PreTrigFileSettled(storeOf(f), f, drives, sizeof drives, stallTicks);
    if (r == 0) *what = std::string("its close on ") + (drives[0] ? drives : "its drives");
    if (r < 0) *what = drives[0] ? drives : "a drive";
    if (closing && r <= 0 && closeUnderWay(f)) {
        // Unfinished only for standing still: its drives as they are without that.
        char under[160] = "";
        if (r == 0 || meas_app_PreTrigFileSettled(storeOf(f), f, under, sizeof under) == 0) {
            *closing = true;
            if (r < 0)
                *what = std::string(under[0] ? under : "its drives") + " (nothing went on there for " +
                        std::to_string(stallTicks / 10000) + " s)";
        }
    }
    // A copy that failed after it replaced the stick's file leaves it there writable, also where no
    // writer of the stick had the file.
    if (r > 0 && f->copyState.load() == MEAS_COPY_DAMAGED) {
        *what = "usb_meas: (its copy to the stick failed after it replaced the stick's file)";
        return -1;
    }
    return r;
}

} // namespace

uint32_t MeasAppStore_currentRun() {
    return gRun.load();
}

void MeasAppStore_newRun() {
    gRun.fetch_add(1);
}

MeasAppStore_FilesWait::MeasAppStore_FilesWait(const char* who, uint32_t stallTicks)
    : who_(who), run_(gRun.load()), stallTicks_(stallTicks), madeAt_(time_getTimestamp()) {
    // Under the queue's lock: a prune that runs meanwhile either sees the wait or is done before it.
    MeasAppStore_QueueLock lk("MeasAppStore_FilesWait");
    gWaits.fetch_add(1);
}

MeasAppStore_FilesWait::~MeasAppStore_FilesWait() {
    MeasAppStore_QueueLock lk("~MeasAppStore_FilesWait");
    gWaits.fetch_sub(1);
}

uint32_t MeasAppStore_FilesWait::ageTicks() const {
    return time_getTimestamp() - madeAt_;
}

int MeasAppStore_FilesWait::evaluate(std::string* waits, bool giveUp, const char* why, const char* state,
                                     bool goesOn) {
    std::vector<MeasAppStore_FileInfo_s*> given, closing;
    const uint32_t stall = stallTicks_ == UINT32_MAX ? 0 : stallTicks_;
    bool pending = false, unfinished = false, onlyClosing = true;
    {
        MeasAppStore_QueueLock lk("MeasAppStore_FilesWait");
        std::vector<MeasAppStore_FileInfo_s*> files;
        for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) files.push_back(MeasAppStore_fileOfNode(n));
        // One that left unfinished is waited for again while a copy may still finish it.
        for (MeasAppStore_FileInfo_s* f : gLeft)
            if (f->copyState.load() == MEAS_COPY_PENDING) files.push_back(f);
        for (MeasAppStore_FileInfo_s* f : files) {
            if (int32_t(f->run - run_) > 0) continue; // a later run's: not this wait's
            std::string what;
            bool underWay = false;
            const int r = standing(f, &what, stall, goesOn ? &underWay : nullptr);
            // A file this wait counts unfinished says so when it is finished after all.
            if (r < 0) {
                f->toldUnfinished = 1;
                unfinished = true;
                onlyClosing = onlyClosing && underWay;
            }
            if (r == 0) {
                pending = true;
                if (giveUp) {
                    f->toldUnfinished = 1;
                    (underWay ? closing : given).push_back(f);
                }
            }
            if (waits && r <= 0) {
                if (!waits->empty()) *waits += "; ";
                *waits += std::string(f->name) +
                          (r == 0     ? " waits for "
                           : underWay ? " is still being closed on "
                                      : " is not finished on ") +
                          what;
            }
        }
    }
    auto names = [](const std::vector<MeasAppStore_FileInfo_s*>& list) {
        std::string out;
        for (MeasAppStore_FileInfo_s* f : list) out += std::string(out.empty() ? "" : ", ") + f->name;
        return out;
    };
    if (!closing.empty())
        syslogx(LOG_PRIO_ERR, "%s: %s %s still being closed: %s", who_, names(closing).c_str(),
                closing.size() == 1 ? "is" : "are", why);
    if (!given.empty()) syslogx(LOG_PRIO_ERR, "%s: %s %s: %s", who_, names(given).c_str(), state, why);
    if (!given.empty() || !closing.empty()) {
        if (!waits) onlyClosing_ = given.empty() && (!unfinished || onlyClosing);
        return -1;
    }
    if (pending) return 0;
    if (unfinished && !waits) onlyClosing_ = onlyClosing;
    return unfinished ? -1 : 1;
}

int MeasAppStore_FilesWait::look() {
    return evaluate(nullptr, false, nullptr);
}

int MeasAppStore_FilesWait::poll() {
    if (result_) return result_;
    const int r = evaluate(nullptr, false, nullptr);
    if (r > 0) return result_ = r;
    // The files are named only when the wait ends without them whole.
    if (r < 0) {
        syslogx(LOG_PRIO_ERR, "%s: files %s: %s", who_, onlyClosing_ ? "still being closed" : "not finished",
                waitsFor().c_str());
        return result_ = r;
    }
    if (ageTicks() < kAnswerTicks) return 0;
    const std::string waits = waitsFor();
    char why[112];
    std::snprintf(why, sizeof why,
                  "not whole %.1f s after the request, when it is answered (written on: one that ends "
                  "whole counts as whole)",
                  kAnswerTicks / 10000.0);
    result_ = evaluate(nullptr, true, why);
    if (result_ == 0) result_ = -1;
    if (!waits.empty()) syslogx(LOG_PRIO_ERR, "%s: answers without files: %s", who_, waits.c_str());
    return result_;
}

int MeasAppStore_FilesWait::giveUp(const char* why, const char* state, bool goesOn) {
    if (result_) return result_;
    result_ = evaluate(nullptr, true, why, state, goesOn);
    if (result_ == 0) result_ = -1;
    return result_;
}

std::string MeasAppStore_FilesWait::waitsFor() {
    std::string waits;
    evaluate(&waits, false, nullptr);
    return waits;
}

namespace {

// Records of `gLeft` finished after all leave it, and say so (the queue's lock held).
void settleLeft() {
    for (size_t i = 0; i < gLeft.size();) {
        MeasAppStore_FileInfo_s* f = gLeft[i];
        std::string where;
        if (standing(f, &where) <= 0) {
            ++i;
            continue;
        }
        if (f->toldUnfinished.load())
            syslogx(LOG_PRIO_WARNING,
                    "MeasAppStore_pruneFiles(): %s is finished on every drive after all, nothing lost",
                    f->name);
        gLeft.erase(gLeft.begin() + std::ptrdiff_t(i));
        meas_app_PreTrigFileInfoRelease(f);
    }
}

} // namespace

int MeasAppStore_unfinishedFiles(bool tell, int timeoutTicks) {
    MeasAppStore_QueueLock lk("MeasAppStore_unfinishedFiles()", timeoutTicks);
    if (!lk.held) return -1;
    settleLeft();
    int count = 0;
    auto note = [&](MeasAppStore_FileInfo_s* f, const std::string& what) {
        ++count;
        if (tell) syslogx(LOG_PRIO_ERR, "main(): %s is not finished %s", f->name, what.c_str());
    };
    for (MeasAppStore_FileInfo_s* f : gLeft) {
        std::string where;
        standing(f, &where);
        note(f, "on " + where);
    }
    // Still in the queue: a file not yet whole on every drive is not finished at this moment.
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
        MeasAppStore_FileInfo_s* f = MeasAppStore_fileOfNode(n);
        std::string what;
        const int r = standing(f, &what);
        if (r < 0) note(f, "on " + what);
        if (r == 0) note(f, "on every drive: it waits for " + what);
    }
    return count;
}

void MeasAppStore_pruneFiles() {
    if (gWaits.load() != 0) return;
    MeasAppStore_QueueLock lk("MeasAppStore_pruneFiles()");
    if (gWaits.load() != 0) return;
    for (NODE* n = lstFirst(&gFileQueue); n;) {
        MeasAppStore_FileInfo_s* f = MeasAppStore_fileOfNode(n);
        n = lstNext(n);
        std::string where;
        const int r = standing(f, &where);
        if (r == 0) continue;
        f->closeState = MEAS_CLOSE_DONE;
        if (r < 0) {
            syslogx(LOG_PRIO_ERR, "MeasAppStore_pruneFiles(): %s is not finished on %s", f->name,
                    where.c_str());
            f->refs.fetch_add(1);
            f->toldUnfinished = 1;
            gLeft.push_back(f);
        } else if (f->toldUnfinished.load()) {
            syslogx(LOG_PRIO_WARNING,
                    "MeasAppStore_pruneFiles(): %s is finished on every drive after all, nothing lost",
                    f->name);
        }
        meas_app_file_queue_delete(f); // the queue's lock is taken again by its holder
    }
    settleLeft();
}

namespace {

MeasAppStore_FileInfo_s* findFile(int index, uint16_t outing, uint16_t lap, uint16_t absLap,
                                  uint16_t fragment) {
    auto is = [&](const MeasAppStore_FileInfo_s* f) {
        return f->index == index && f->outing == outing && f->lap == lap && f->absLap == absLap &&
               f->fragment == fragment;
    };
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n))
        if (is(MeasAppStore_fileOfNode(n))) return MeasAppStore_fileOfNode(n);
    // One that left unfinished (its stick pulled, say) that a copy may still finish.
    for (MeasAppStore_FileInfo_s* f : gLeft)
        if (is(f)) return f;
    return nullptr;
}

// A copy asked for that has not ended: its own record, under the queue's lock.
struct CopyUnderWay {
    uint32_t id;
    bool replaces = false; // it has begun to replace the stick's file (its rename): only its end tells
    std::string drive;     // its stick, from then on
};
// The copies of one file under way, and what those of them that ended left on the stick: whole
// (MEAS_COPY_DONE), replaced and not finished (MEAS_COPY_DAMAGED), or as it was (MEAS_COPY_FAILED).
struct FileCopies {
    int index;
    uint16_t outing, lap, absLap, fragment;
    std::string name;
    uint8_t left;
    std::vector<CopyUnderWay> copies;
};
std::vector<FileCopies> gCopies;
uint32_t gLastCopyId = 0;

// Where the copy `id` is among those under way; false when it has ended or has no record.
bool findCopy(uint32_t id, size_t* file, size_t* copy) {
    for (size_t i = 0; id != 0 && i < gCopies.size(); ++i)
        for (size_t k = 0; k < gCopies[i].copies.size(); ++k)
            if (gCopies[i].copies[k].id == id) {
                *file = i;
                *copy = k;
                return true;
            }
    return false;
}

// Copy `k` of the file at `i` ends with `result` (MEAS_COPY_*). Only one that replaced the stick's
// file changes what the stick holds; once no copy of the file is under way the file stands as they
// left it.
void endCopy(size_t i, size_t k, uint8_t result) {
    FileCopies& c = gCopies[i];
    if (result == MEAS_COPY_DONE || result == MEAS_COPY_DAMAGED) c.left = result;
    c.copies.erase(c.copies.begin() + std::ptrdiff_t(k));
    MeasAppStore_FileInfo_s* f = findFile(c.index, c.outing, c.lap, c.absLap, c.fragment);
    if (c.copies.empty()) {
        if (f) f->copyState = c.left;
        gCopies.erase(gCopies.begin() + std::ptrdiff_t(i));
    }
    if (f) f->progress.fetch_add(1);
}

} // namespace

uint32_t MeasAppStore_copyAsked(int index, uint16_t outing, uint16_t lap, uint16_t absLap,
                                uint16_t fragment) {
    if (!MeasAppStore_writesFiles(index)) return 0; // no copy starts: nothing to wait for
    MeasAppStore_QueueLock lk("MeasAppStore_copyAsked()");
    MeasAppStore_FileInfo_s* f = findFile(index, outing, lap, absLap, fragment);
    if (!f) {
        // The file left the queue whole: a record of the copy alone, so that a stop, a destroy or
        // the shutdown waits for it all the same. It is written by no writer: whatever the copy's
        // end, it leaves nothing unfinished (a failed copy leaves the stick as it was).
        f = static_cast<MeasAppStore_FileInfo_s*>(std::calloc(1, sizeof(MeasAppStore_FileInfo_s)));
        if (!f) return 0;
        f->refs = 1;
        lstInit(&f->blocks);
        f->index = uint16_t(index);
        f->outing = outing;
        f->lap = lap;
        f->absLap = absLap;
        f->fragment = fragment;
        LapOutFra_genFilenameAbsLap(f->name, sizeof f->name, uint8_t(index), uint8_t(outing), uint8_t(lap),
                                    uint8_t(fragment), absLap);
        f->closeState = MEAS_CLOSE_DONE;
        f->vfIdx = -1;
        f->run = gRun.load();
        gLeft.push_back(f);
    }
    auto c = std::find_if(gCopies.begin(), gCopies.end(), [&](const FileCopies& e) {
        return e.index == index && e.outing == outing && e.lap == lap && e.absLap == absLap &&
               e.fragment == fragment;
    });
    if (c == gCopies.end()) {
        const uint8_t was = f->copyState.load();
        gCopies.push_back(
            {index,
             outing,
             lap,
             absLap,
             fragment,
             f->name,
             was == MEAS_COPY_DONE || was == MEAS_COPY_DAMAGED ? was : uint8_t(MEAS_COPY_FAILED),
             {}});
        c = gCopies.end() - 1;
    }
    if (++gLastCopyId == 0) ++gLastCopyId;
    c->copies.push_back({gLastCopyId, false, ""});
    f->copyState = MEAS_COPY_PENDING;
    f->progress.fetch_add(1);
    return gLastCopyId;
}

std::vector<MeasAppStore_Counters> MeasAppStore_stickUnfinished(int index) {
    std::vector<MeasAppStore_Counters> files;
    MeasAppStore_QueueLock lk("MeasAppStore_stickUnfinished()");
    auto look = [&](const MeasAppStore_FileInfo_s* f) {
        if (f->index != index) return;
        const uint32_t stick = f->stickWriters.load();
        const uint32_t failed = f->failedOn.load() & ~f->closedOn.load();
        const uint8_t copy = f->copyState.load();
        if ((failed & ~stick) || copy == MEAS_COPY_DONE) return;
        if ((failed & stick) || copy == MEAS_COPY_DAMAGED)
            files.push_back({f->outing, f->lap, f->absLap, f->fragment});
    };
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) look(MeasAppStore_fileOfNode(n));
    for (const MeasAppStore_FileInfo_s* f : gLeft) look(f);
    return files;
}

void MeasAppStore_copyProgress(int index, const CopyFile_t& rq) {
    MeasAppStore_QueueLock lk("MeasAppStore_copyProgress()");
    size_t i = 0, k = 0;
    if (!findCopy(rq.id, &i, &k)) return;
    if (MeasAppStore_FileInfo_s* f = findFile(index, rq.outing, rq.lap, rq.absLap, rq.fragment))
        f->progress.fetch_add(1);
}

void MeasAppStore_copyFinished(int, const CopyFile_t& rq, int result) {
    MeasAppStore_QueueLock lk("MeasAppStore_copyFinished()");
    size_t i = 0, k = 0;
    if (!findCopy(rq.id, &i, &k)) return; // ended by the shutdown already, or never asked for
    endCopy(i, k,
            result == MEAS_COPY_RESULT_DONE      ? MEAS_COPY_DONE
            : result == MEAS_COPY_RESULT_DAMAGED ? MEAS_COPY_DAMAGED
                                                 : MEAS_COPY_FAILED);
}

bool MeasAppStore_copyReplaces(int, const CopyFile_t& rq) {
    MeasAppStore_QueueLock lk("MeasAppStore_copyReplaces()");
    if (rq.id == 0) return !gCopiesEnded; // a copy no one waits for
    size_t i = 0, k = 0;
    // Not under way any more: the shutdown ended it (MeasAppStore_copiesEnd said so).
    if (!findCopy(rq.id, &i, &k)) return false;
    CopyUnderWay& c = gCopies[i].copies[k];
    c.replaces = true;
    c.drive = rq.targetDrive ? rq.targetDrive : "";
    return true;
}

void MeasAppStore_copiesEnd(int timeoutTicks) {
    MeasAppStore_QueueLock lk("MeasAppStore_copiesEnd()", timeoutTicks);
    if (!lk.held) return;
    gCopiesEnded = true;
    for (size_t i = gCopies.size(); i-- > 0;)
        for (size_t k = gCopies[i].copies.size(); k-- > 0;) {
            if (gCopies[i].copies[k].replaces) continue;
            syslogx(LOG_PRIO_WARNING,
                    "MeasAppStore_copiesEnd(): the copy of %s to the stick is not made: the shutdown is over "
                    "before it replaced the stick's file, which stays as it was",
                    gCopies[i].name.c_str());
            endCopy(i, k, MEAS_COPY_FAILED); // the last one of the file takes its record away
        }
}

void MeasAppStore_copiesReplacingWait(uint32_t timeoutMs) {
    // The copies that have begun to replace the file of a stick that does not hang (-1: the queue's
    // lock not had in time).
    auto replacing = [] {
        MeasAppStore_QueueLock lk("MeasAppStore_copiesReplacingWait()", sysClkRateGet() / 10);
        if (!lk.held) return -1;
        int count = 0;
        for (const FileCopies& c : gCopies)
            for (const CopyUnderWay& k : c.copies)
                if (k.replaces && !meas_app_driveHung(k.drive.c_str())) ++count;
        return count;
    };
    const auto by = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < by && replacing() != 0) taskDelay(1);
}

void MeasAppStore_dropUnclosed(int index) {
    std::vector<MeasAppStore_FileInfo_s*> dropped;
    {
        MeasAppStore_QueueLock lk("MeasAppStore_dropUnclosed()");
        for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n)) {
            MeasAppStore_FileInfo_s* f = MeasAppStore_fileOfNode(n);
            if (f->index != index || f->closeState.load() >= MEAS_CLOSE_WRITERS) continue;
            while (NODE* b = lstFirst(&f->blocks)) {
                lstDelete(&f->blocks, b);
                reinterpret_cast<MeasAppStore_data*>(b)->block->store.file = nullptr;
            }
            f->failedOn.fetch_or(f->writers.load() | 1u);
            meas_app_PreTrigFileUnfinishedReason(f, cfg_meas_getTargetPartition(index),
                                                 "the measurement is destroyed before its close");
            f->closeState = MEAS_CLOSE_WRITERS;
            f->vfIdx = -1;
            dropped.push_back(f);
        }
    }
    const char* drive = cfg_meas_getTargetPartition(index);
    for (MeasAppStore_FileInfo_s* f : dropped)
        syslogx(
            LOG_PRIO_ERR,
            "MeasAppStore_dropUnclosed(): %s is not finished on %s and every other drive it is written to: "
            "the measurement is destroyed before its close",
            f->name, drive ? drive : "its drive");
}

bool MeasAppStore_statusBlockAsked() {
    MeasAppStore_QueueLock lk("MeasAppStore_statusBlockAsked()");
    for (NODE* n = lstFirst(&gFileQueue); n; n = lstNext(n))
        if (MeasAppStore_fileOfNode(n)->closeState.load() == MEAS_CLOSE_SB) return true;
    return false;
}
