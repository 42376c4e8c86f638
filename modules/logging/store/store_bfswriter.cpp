#include "logging/store/store_bfswriter.h"

#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/disk/meas_app_dirsync.h"
#include "logging/disk/meas_app_disk.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_sync.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace measure::store {

namespace {
constexpr uint8_t kAttrReadOnly = 0x01;  // DOS attribute byte
constexpr uint32_t kResumeRetry = 10000; // a cut file tries to go on once a second
constexpr uint32_t kProbePace = 2500;    // a failing drive is probed every 0.25 s
// Why a file is not written on a drive where its name holds another file.
constexpr const char* kTakenName = "a file of that name is on the drive and is never written over";
constexpr uint32_t kWatchPace = 500; // its writer looks at the drive every 50 ms
constexpr int kProbePriority = 160;  // as the copies: below the writers
constexpr size_t kProbeStack = 20480;
constexpr uint32_t kCutBackPace = 5000; // a cut-back the drive refused is tried again after 0.5 s
constexpr size_t kCutBacksMax = 16;
constexpr const char* kCutBacksFull = "16 other cut-backs wait for the drive";

// Only a drive without room is waited for: any other failure does not pass by itself.
bool noRoom(int error) {
    return error == ENOSPC || error == EDQUOT;
}

std::string probePath(const std::string& drive) {
    return drive + "/" + kProbeName;
}

// A probe cut off (by a power cut, the process killed, or one that hung at the shutdown) may have
// left its file: it goes on the drive's own task, which a drive that hangs holds instead of the
// writer, and the log names it.
void removeProbeLeft(const char* drive) {
    if (meas_app_driveHung(drive)) return;
    const std::string path = probePath(drive);
    meas_app_driveCallAsync(drive, "the removal of a probe's file", [path] {
        const int removed = bfs_unlink(path.c_str());
        if (removed == 0)
            syslogx(LOG_PRIO_WARNING, "BFSWriter: %s, left by a probe that did not end, is removed",
                    path.c_str());
        return removed;
    });
}
} // namespace

// A probe: under way, succeeded, or failed (at `step`, with `error`, written before the state).
struct DriveProbe {
    enum : int { kUnderWay = 0, kGood = 1, kFailed = -1 };
    std::atomic<int> state{kUnderWay};
    int error = 0;
    const char* step = "";
};

namespace {
// What a new file needs of the drive, on the probe's own name: created, written, written through,
// closed, made read-only and removed, and then the folder written through. What it made is removed
// however a step ends; one left by an earlier probe goes first.
void probeDrive(const std::string& drive, DriveProbe& p) {
    const std::string path = probePath(drive);
    auto failed = [&](const char* step) {
        if (p.error) return;
        p.error = errno ? errno : EIO;
        p.step = step;
    };
    errno = 0;
    if (bfs_unlink(path.c_str()) != 0 && errno != ENOENT) {
        failed("the removal of one left");
    } else {
        errno = 0;
        const int fd = bfs_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
        if (fd < 0) {
            failed("its create");
        } else {
            static const char kBytes[] = "probe";
            errno = 0;
            if (bfs_write(fd, kBytes, sizeof kBytes) != ssize_t(sizeof kBytes))
                failed("its write");
            else if (bfs_ioctl(fd, FIOFLUSH, 0) != 0)
                failed("its write-through");
            if (bfs_close(fd) != 0) failed("its close");
            if (!p.error) {
                const int readOnly = bfs_open(path.c_str(), O_RDONLY);
                bfs_stat st{};
                if (readOnly < 0)
                    failed("its open to make it read-only");
                else if (bfs_ioctl(readOnly, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0 ||
                         bfs_ioctl(readOnly, FIOATTRIBSET, intptr_t(st.st_attrib | kAttrReadOnly)) != 0)
                    failed("its read-only byte");
                if (readOnly >= 0) bfs_close(readOnly);
            }
            errno = 0;
            if (bfs_unlink(path.c_str()) != 0 && errno != ENOENT) failed("its removal");
        }
    }
    if (!p.error && !meas_app_dirSync(drive.c_str(), false)) {
        p.error = EIO;
        p.step = "the folder's write-through";
    }
    p.state.store(p.error ? DriveProbe::kFailed : DriveProbe::kGood);
}
} // namespace

BFSWriter::BFSWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts,
                     uint8_t type)
    : Writer(backend, type, measIdx), counts_(counts) {
    std::snprintf(drive_, sizeof drive_, "%s", drive ? drive : "");
    mediaAvailable_.store(true);
    back_ = meas_app_driveBack(drive_);
}

BFSWriter::~BFSWriter() {
    taskStop(WAIT_FOREVER);
    if (!hasTask()) closeAllFiles();
    // A probe that has not ended (its drive holds it) may leave its file: the next start or the
    // stick's next arrival removes it.
    if (probe_ && probe_->state.load() == DriveProbe::kUnderWay)
        syslogx(LOG_PRIO_WARNING,
                "BFSWriter: a probe of %s has not ended: %s may stay on the drive until the next start or "
                "the stick's next arrival removes it",
                drive_, probePath(drive_).c_str());
    // A cut-back its drive has not taken yet is not waited for (a teardown never holds on a drive):
    // the file is named.
    for (CutBack& c : cutBacks_) {
        cutBackDropped(c.path, c.length, "its writer ended before the drive took it");
        bfs_close(c.fd);
    }
}

void BFSWriter::taskStartCallback() {
    const int debounce = meas_app_driveAvDebounce(drive_);
    if (debounce < 0) {
        mediaAvailable_.store(false);
        // A stick that is not in is no fault: its writer begins once one arrives.
        syslogx(type() == WRITER_USB ? LOG_PRIO_INFO : LOG_PRIO_WARNING,
                "BFSWriter::taskStartCallback() - drive not recognized (%s)", drive_);
        startDecided_.store(true);
        return;
    }
    mediaAvailable_.store(true);
    subscribe();
    removeProbeLeft(drive_);
    startDecided_.store(true);
    syslogx(LOG_PRIO_INFO2,
            "BFSWriter::taskStartCallback() - mediaAvailable, subscribed to backend (debounce %dms)",
            debounce);
    sleepTicks(debounce * sysClkRateGet() / 1000);
}

bool BFSWriter::taskMain() {
    const uint32_t now = time_getTimestamp();
    lastActivity_.store(now);
    if (notSubscribed_.load()) {
        // Removed from the Backend while it waited for room: what it held has gone with it.
        if (stalled()) {
            retryLater_.store(false);
            namesWait_.store(false);
            busy_.store(false);
            current_ = nullptr;
        }
        disconnectedStateHandler();
        return true;
    }
    // Back after a failure: what its new files hold goes to the drive at once, and their first
    // write-through that holds tells that it takes data again.
    const bool back = health_.awaitsData();
    if (back || tsDiff(now, nextFlushCheck_) >= 0) checkForFlush(back ? now : now - kFlushAge);
    takeCloseNews();
    // The drive's state at most every 50 ms, however many actions come.
    if (tsDiff(now, nextWatch_) >= 0) {
        nextWatch_ = now + kWatchPace;
        watchDrive();
        probeDue();
    }
    if (!cutBacks_.empty()) cutBackLost();
    if (stalled()) {
        // The drive is full, or the file's name is not fixed yet: the same action again, a little later.
        taskDelay(sysClkRateGet() / (namesWait_.load() ? 50 : 10));
    } else if (!next()) {
        // Nothing queued: a removed writer also lands here and leaves on its next pass.
        taskDelay(sysClkRateGet() / 20);
        return true;
    }
    executeCurrent();
    return true;
}

void BFSWriter::taskStopCallback() {
    closeAllFiles();
}

void BFSWriter::disconnectedStateHandler() {
    if (filesOpened_) {
        closeAllFiles();
        droppedWithFiles_ = true;
    }
    next(); // lets go of what it held in the Backend
    // Dropped with files (its drive hung, or it fell too far behind): they are unfinished, and it
    // logs on in a new one once it is back in the store, and not while its drive hangs.
    if (droppedWithFiles_) health_.on(DriveHealth::Event::LetGo, newestVf_);
    watchDrive();
    const bool available = meas_app_driveAvDebounce(drive_) == 0;
    mediaAvailable_.store(available);
    if (available && health_.mayRejoin() && subscribe()) {
        syslogx(LOG_PRIO_INFO2, "BFSWriter::taskMain() - mediaAvailable, renewed subscription to backend");
        // The files cut while it was out of the store are not its to write.
        storeNewestAtBack_ = virtualFiles.newest(measIdx_);
        if (droppedWithFiles_) {
            droppedWithFiles_ = false;
            act(health_.on(DriveHealth::Event::Subscribed, -1, time_getTimestamp()));
        }
        return;
    }
    taskDelay(sysClkRateGet() / 5);
}

bool BFSWriter::isOpen(int vfIdx) {
    const FileEntry& e = entry(vfIdx);
    return e.vfIdx == vfIdx && e.state == FILE_OPEN;
}

bool BFSWriter::namePending(int vfIdx) {
    ScopeLock guard(virtualFiles, "BFSWriter::namePending");
    const VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx);
    return vf && vf->fileInfo()->namePending.load(std::memory_order_acquire) != 0;
}

bool BFSWriter::open(int vfIdx) {
    write(vfIdx, nullptr, 0);
    return isOpen(vfIdx);
}

bool BFSWriter::openFile(int vfIdx, FileEntry& e) {
    if (e.vfIdx != vfIdx && (e.state == FILE_OPEN || e.state == FILE_CUT)) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::open(): no empty file entry slot");
        return false;
    }
    if (e.vfIdx == vfIdx && e.state == FILE_CLOSED) {
        // Never again into a file this writer has closed.
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING, "BFSWriter::open(): file (%d) is closed already", vfIdx);
        return false;
    }
    releaseEntry(e, FILE_FREE);
    e.vfIdx = vfIdx;
    // The table's lock only while the file is looked up: a drive that hangs in the open below must
    // not hold the other writers and the Backend. The virtual file stays without it: its close
    // action comes after this writer's action, and a writer dropped meanwhile pins what it holds.
    VirtualFile* vf = nullptr;
    char name[MEAS_FILENAME_LEN];
    char path[MEAS_FILENAME_LEN];
    {
        ScopeLock guard(virtualFiles, "BFSWriter::open");
        vf = virtualFiles.get(measIdx_, vfIdx);
        if (!vf) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::open(): trying to access invalid vfile (%d/%d)",
                              measIdx_, vfIdx);
            e.state = FILE_SKIP;
            return false;
        }
        if (!vf->isRegisteredWriter(measIdx_, getID())) {
            syslogx(LOG_PRIO_INFO2, "BFSWriter::open(): Skipping file (%d) - writer not registered", vfIdx);
            e.state = FILE_SKIP;
            return false;
        }
        if (!vf->getFileName(name, sizeof name)) {
            syslogx(LOG_PRIO_ERR,
                    "BFSWriter::open(): trying to access file, without name available (vfIdx %d)", vfIdx);
            e.state = FILE_SKIP;
            return false;
        }
        const int n = std::snprintf(path, sizeof path, "%s/%s", drive_, name);
        if (n < 0 || n >= int(sizeof path)) {
            syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic() - failed to generate output name (%s)", name);
            e.state = FILE_SKIP;
            return false;
        }
        e.info = vf->fileInfo();
        e.info->refs.fetch_add(1);
        e.path = path;
    }
    if (vfIdx > newestVf_) newestVf_ = vfIdx;
    if (driveHangs(e)) return false;
    // A file of the same name on any drive is an earlier run's (one the start's search did not see:
    // a stick put in later, a folder not read to its end) or someone else's: it stays as it is, and a
    // new file is cut for the data (kTakenName).
    const bool existed = fexist(path);
    const int fd = bfs_open(path, O_RDWR | O_CREAT | O_EXCL, 0777);
    const int error = errno;
    // The header pieces go into the buffer whatever the drive said: a file that waits for room
    // keeps them there.
    e.state = FILE_OPEN;
    startStampPending_ = true;
    if (!vf->writeHeader(*this)) {
        // A file without its whole header is never whole, however its later writes go.
        syslogx(LOG_PRIO_ERR, "BFSWriter::open(): failed to write header (%s)", path);
        if (fd >= 0) bfs_close(fd);
        failFile(e, 0, "its header could not be written");
        return false;
    }
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic: fd open err %d '%s'", error, path);
        if (noRoom(error)) {
            e.state = FILE_CUT;
            e.retryAt = time_getTimestamp() + kResumeRetry;
            e.cutBefore = true;
            syslogx(LOG_PRIO_WARNING,
                    "BFSWriter: %s cannot be created yet: the drive is full, it waits for room", path);
            return false;
        }
        if ((existed && error == EACCES) || error == EEXIST) {
            failFile(e, 0, kTakenName);
        } else {
            failFile(e, error, "it cannot be created");
        }
        return false;
    }
    char check[BFS_PATH_MAX] = "";
    if (bfs_ioctl(fd, FIOGETNAME, reinterpret_cast<intptr_t>(check)) != 0) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic: FIOGETNAME failed on fd %d '%s'", fd, path);
        bfs_close(fd);
        failFile(e, 0, "its descriptor does not name it");
        return false;
    }
    if (bfs_identity(fd, &e.id) != 0) {
        bfs_close(fd);
        failFile(e, errno, "it cannot be told from other files");
        return false;
    }
    syslogx(LOG_PRIO_DEBUG2, "BFSWriter::openFileAtomic: fd %d opened and checked '%s'", fd, check);
    e.fd = fd;
    created(e);
    return true;
}

bool BFSWriter::frameInHand(int vfIdx, const uint8_t* data) const {
    const auto* frame = dynamic_cast<const ActionData*>(current_);
    return frame && data && frame->data() == data && frame->vfIdx() == vfIdx && frame->timestamp() != 0;
}

void BFSWriter::noteFrame(int vfIdx, FileEntry& e, uint8_t block) {
    if (e.vfIdx == vfIdx && e.info) {
        meas_app_PreTrigFileRecordsSeen(e.info, drive_, block, current_->firstTimestamp(),
                                        current_->timestamp());
        return;
    }
    // A file it skips (failed here, or its drive gone) holds no record of it: looked up.
    ScopeLock guard(virtualFiles, "BFSWriter::noteFrame");
    VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx);
    if (vf &&
        (vf->fileInfo()->writers.load() | vf->fileInfo()->failedOn.load()) & writerBit(measIdx_, actionID()))
        meas_app_PreTrigFileRecordsSeen(vf->fileInfo(), drive_, block, current_->firstTimestamp(),
                                        current_->timestamp());
}

bool BFSWriter::write(int vfIdx, const uint8_t* data, uint32_t length) {
    FileEntry& e = entry(vfIdx);
    // A data frame in hand (not a header piece written at its file's open) begins with its block's
    // frame id.
    const bool frame = length && frameInHand(vfIdx, data);
    const uint8_t block = frame ? data[0] : 0;
    if (frame) noteFrame(vfIdx, e, block);
    const bool mine = e.vfIdx == vfIdx;
    if (mine && (e.state == FILE_SKIP || e.state == FILE_FAILED)) return true;
    // A file it has not begun is skipped only for a drive that is not there now: a stick's arrival
    // cuts a file as soon as its debounce ends, maybe before this writer's next look at it.
    const bool begun = mine && (e.state == FILE_OPEN || e.state == FILE_CUT);
    if (!(begun ? mediaAvailable_.load() : mediaNow())) {
        const bool inUse = e.state == FILE_OPEN || e.state == FILE_CUT;
        if (mine && inUse)
            failFile(e, ENODEV, "its drive is gone");
        else if (!inUse || mine)
            skipFile(e, vfIdx);
        return true;
    }
    if (mine && e.state == FILE_CUT && !resume(e, false)) {
        if (e.state != FILE_CUT) return true; // failed: skipped from here on
        retryLater();                         // no room yet: this record waits
        return false;
    }
    if (!(mine && e.state == FILE_OPEN) && namePending(vfIdx)) {
        // The start's files are named once its search of the drives' folders has ended: what comes
        // for them waits in the store meanwhile, and nothing of a later file goes before.
        namesWait_.store(true);
        retryLater();
        return false;
    }
    if (!(mine && e.state == FILE_OPEN) && !openFile(vfIdx, e)) {
        if (e.vfIdx != vfIdx) return false;
        if (e.state == FILE_CUT) {
            retryLater();
            return false;
        }
        return e.state == FILE_SKIP || e.state == FILE_FAILED;
    }
    if (length == 0) return true;
    if (e.buf.empty()) {
        e.since = time_getTimestamp();
        setDirty(e, true);
    }
    e.buf.insert(e.buf.end(), data, data + length);
    e.ends.push_back(e.synced + e.buf.size());
    if (frame)
        e.frames.push_back(
            FrameMark{e.ends.back(), block, current_->firstTimestamp(), current_->timestamp()});
    meas_cnt_add(counts_, length);
    if (e.buf.size() >= kHandOverBytes) handOverFree(e);
    return true;
}

void BFSWriter::created(FileEntry& e) {
    e.created = true;
    // Its own piece: a copy of the file to this drive may replace it.
    meas_app_fileMade(drive_, e.id);
    // What is known of an earlier file that had this file's identity is not this file's.
    syncForget(e.id);
    filesOpened_ = true;
    // The drive took a new file: no other is asked for while it is written on.
    health_.on(DriveHealth::Event::FileOpened, e.vfIdx);
    // The next folder write-through begun covers its entry: until one succeeds, it is not on the
    // drive for good.
    e.dirMark = meas_app_dirSyncMark(drive_);
    dirFlushNeeded_ = true;
    // Asked at once: until it is written through, a power cut takes the whole file with it.
    flushDir();
}

bool BFSWriter::driveHangs(FileEntry& e) {
    std::string what;
    if (!meas_app_driveHung(drive_, &what)) return false;
    const std::string why = "its drive hangs (" + what + " does not return)";
    failFile(e, 0, why.c_str());
    return true;
}

std::string BFSWriter::lostWhy(const char* drive, const std::string& path, int fd, const bfs_fileId& id,
                               uint32_t dirMark, int* error, bool* lostWriteThrough) {
    *error = 0;
    *lostWriteThrough = false;
    std::string what;
    if (meas_app_driveHung(drive, &what)) return "its drive hangs (" + what + " does not return)";
    // What a write-through failed to write is lost for good, whatever succeeds later.
    if ((*error = syncFailedYet(id))) {
        // A drive that went (a pulled stick) took what it kept with it: nothing to cut back there.
        *lostWriteThrough = *error != ENODEV;
        return "its data could not be written through";
    }
    if (meas_app_dirSyncEntry(drive, dirMark) < 0) {
        *error = EIO;
        return "its entry could not be written through";
    }
    // Its path must still name the file written: one deleted, renamed away or replaced on the
    // drive is not finished there, whatever is written into the descriptor.
    if (fd >= 0 && bfs_sameFile(fd, path.c_str()) == 0)
        return errno == ENOENT ? "it was deleted on the drive"
                               : "it was renamed away or replaced on the drive";
    return {};
}

bool BFSWriter::stillThere(FileEntry& e) {
    int error = 0;
    bool lost = false;
    const std::string why = lostWhy(drive_, e.path, e.fd, e.id, e.dirMark, &error, &lost);
    if (why.empty()) return true;
    failFile(e, error, why.c_str(), lost);
    return false;
}

bool BFSWriter::handOverFree(FileEntry& e) {
    if (e.buf.empty() || e.fd < 0 || !syncBusy(e.id)) return handOver(e);
    // Looked at again soon, whoever asked for the hand-over.
    heldBack_ = true;
    const uint32_t soon = time_getTimestamp() + kWatchPace;
    if (tsDiff(nextFlushCheck_, soon) > 0) nextFlushCheck_ = soon;
    return true;
}

void BFSWriter::framesHanded(MeasAppStore_FileInfo_s* info, const char* drive, std::vector<FrameMark>& frames,
                             uint64_t upTo) {
    size_t n = 0;
    while (n < frames.size() && frames[n].end <= upTo) ++n;
    if (n == 0) return;
    // One span a block: its frames come in their order.
    std::vector<FrameMark> spans;
    for (size_t i = 0; i < n; ++i) {
        const FrameMark& f = frames[i];
        auto it =
            std::find_if(spans.begin(), spans.end(), [&](const FrameMark& s) { return s.block == f.block; });
        if (it == spans.end()) {
            spans.push_back(f);
        } else {
            if (tsDiff(f.first, it->first) < 0) it->first = f.first;
            if (tsDiff(f.last, it->last) > 0) it->last = f.last;
        }
    }
    for (const FrameMark& s : spans) meas_app_PreTrigFileRecordsHanded(info, drive, s.block, s.first, s.last);
    frames.erase(frames.begin(), frames.begin() + std::ptrdiff_t(n));
}

bool BFSWriter::handOver(FileEntry& e) {
    if (e.buf.empty()) return true;
    if (e.fd < 0) return false;
    if (!stillThere(e)) return false;
    errno = 0;
    const ssize_t n = bfs_write(e.fd, e.buf.data(), e.buf.size());
    if (n < 0 || size_t(n) != e.buf.size()) {
        // A short write tells why it stopped: want of room is waited for, anything else is not.
        const int error = errno ? errno : ENOSPC;
        // Once for each time it stops: a file that waits for room is tried again every second.
        if (!e.cutBefore)
            syslogx(LOG_PRIO_ERR, "BFSWriter::write() - %s cannot be written: %s", e.path.c_str(),
                    std::strerror(error));
        cutBack(e, n < 0 ? 0 : uint64_t(n), error);
        return false;
    }
    e.synced += e.buf.size();
    e.buf.clear();
    e.ends.clear();
    setDirty(e, false);
    framesHanded(e.info, drive_, e.frames, e.synced);
    if (e.cutBefore) {
        e.cutBefore = false;
        syslogx(LOG_PRIO_WARNING, "BFSWriter: %s written on after its cut, now %llu bytes", e.path.c_str(),
                (unsigned long long)e.synced);
    }
    // Handed over: from here the bytes survive the process. Writing them through to the disk is
    // left to the write-through task, so that a slow disk never holds back the next hand-over; a
    // full queue is asked again at the next flush (the close writes it through in any case).
    e.syncDue = !syncFileLater(e.fd);
    noteProgress(e);
    progressAt_.store(time_getTimestamp());
    return true;
}

void BFSWriter::cutBack(FileEntry& e, uint64_t written, int error) {
    const uint64_t reached = e.synced + written;
    uint64_t keep = e.synced;
    for (uint64_t end : e.ends)
        if (end <= reached) keep = end;
    if (keep < reached && bfs_truncate(e.fd, keep) != 0) {
        failFile(e, errno, "it cannot be cut back to its last complete record");
        return;
    }
    e.buf.erase(e.buf.begin(), e.buf.begin() + std::ptrdiff_t(keep - e.synced));
    size_t passed = 0;
    while (passed < e.ends.size() && e.ends[passed] <= keep) ++passed;
    e.ends.erase(e.ends.begin(), e.ends.begin() + std::ptrdiff_t(passed));
    if (keep > e.synced) noteProgress(e);
    e.synced = keep;
    framesHanded(e.info, drive_, e.frames, keep);
    if (e.buf.empty()) setDirty(e, false);
    if (!noRoom(error)) {
        failFile(e, error, "the drive failed a write");
        return;
    }
    // Opened again once there is room: a file deleted or changed meanwhile is then seen.
    const int fd = e.fd;
    e.fd = -1;
    if (bfs_close(fd) != 0) {
        failFile(e, errno, "it cannot be closed after its cut");
        return;
    }
    e.state = FILE_CUT;
    e.retryAt = time_getTimestamp() + kResumeRetry;
    // While the drive stays full every try to go on is cut again: told when the file ends
    // elsewhere than last told (a drive that takes a little more at each try).
    if (!e.cutBefore || keep != e.toldCut)
        syslogx(
            LOG_PRIO_WARNING,
            "BFSWriter: %s ends with its last complete record at %llu bytes, written on once there is room",
            e.path.c_str(), (unsigned long long)keep);
    e.cutBefore = true;
    e.toldCut = keep;
}

bool BFSWriter::resume(FileEntry& e, bool now) {
    const uint32_t t = time_getTimestamp();
    if (!now && tsDiff(t, e.retryAt) < 0) return false;
    e.retryAt = t + kResumeRetry;
    if (!mediaAvailable_.load()) return false;
    // A file on the drive is never created anew: one deleted meanwhile stays deleted. One not created
    // yet is created as at its open: a file of that name that came meanwhile stays as it is.
    const bool existed = !e.created && fexist(e.path.c_str());
    const int fd = e.created ? bfs_open(e.path.c_str(), O_RDWR)
                             : bfs_open(e.path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0777);
    if (fd < 0) {
        const int error = errno;
        if (noRoom(error)) return false;
        if (!e.created && ((existed && error == EACCES) || error == EEXIST))
            failFile(e, 0, kTakenName);
        else
            failFile(e, error,
                     !e.created        ? "it cannot be created"
                     : error == ENOENT ? "it was deleted on the drive"
                                       : "it cannot be opened again");
        return false;
    }
    if (e.created) {
        bfs_stat st{};
        if (bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0 || st.st_size != e.synced ||
            lseek(fd, off_t(e.synced), SEEK_SET) < 0) {
            bfs_close(fd);
            failFile(e, 0, "it was changed on the drive while it waited for room");
            return false;
        }
    }
    bfs_fileId id;
    if (bfs_identity(fd, &id) != 0 || (e.created && !(id == e.id))) {
        bfs_close(fd);
        failFile(e, 0, "it was changed on the drive while it waited for room");
        return false;
    }
    e.fd = fd;
    e.id = id;
    if (!e.created) created(e);
    e.state = FILE_OPEN;
    filesOpened_ = true;
    return handOver(e);
}

const char* BFSWriter::tellUnfinished(const std::string& path, const char* drive,
                                      MeasAppStore_FileInfo_s* info, uint32_t bit, bool stick, int error,
                                      const char* why, char* reason, size_t size) {
    // A stick's calls fail with ENODEV once it is pulled: whichever call met the pull first, before
    // the pull was told to the writer, the reason is the pull.
    if (error == ENODEV && stick) why = "the stick was pulled";
    if (error)
        std::snprintf(reason, size, "%s (%s)", why, std::strerror(error));
    else
        std::snprintf(reason, size, "%s", why);
    syslogx(LOG_PRIO_ERR, "BFSWriter: %s is not finished on %s %s", path.c_str(), drive, reason);
    if (info) {
        meas_app_PreTrigFileUnfinishedReason(info, drive, reason);
        info->failedOn.fetch_or(bit);
        info->progress.fetch_add(1);
    }
    return why;
}

void BFSWriter::failFile(FileEntry& e, int error, const char* why, bool lostWriteThrough) {
    const bool pulled = error == ENODEV && type() == WRITER_USB;
    char reason[96];
    why = tellUnfinished(e.path, drive_, e.info, writerBit(measIdx_, actionID()), type() == WRITER_USB, error,
                         why, reason, sizeof reason);
    // What its failed write-through covered may be lost on the disk in any part: the file ends
    // where its last good one did, so that a reader finds no hole.
    if (lostWriteThrough && e.fd >= 0) {
        CutBack c;
        c.path = e.path;
        c.length = syncGoodLength(e.id);
        if (cutBacks_.size() >= kCutBacksMax) {
            cutBackDropped(c.path, c.length, kCutBacksFull);
        } else if ((c.fd = bfs_dup(e.fd)) < 0) {
            const std::string reason = std::string("no descriptor for it (") + std::strerror(errno) + ")";
            cutBackDropped(c.path, c.length, reason.c_str());
        } else {
            cutBacks_.push_back(c);
        }
    }
    if (!pulled && !closingAll_) driveFailed(e, why);
    syncForget(e.id);
    releaseEntry(e, FILE_FAILED);
}

void BFSWriter::driveFailed(const FileEntry& e, const char* why) {
    const char* name = e.path.c_str() + std::min(e.path.size(), std::strlen(drive_) + 1);
    char text[160];
    if (std::strcmp(why, kTakenName) == 0)
        std::snprintf(text, sizeof text, "%s cannot be written: a file of that name is on %s", name,
                      type() == WRITER_DRIVE ? "the logging drive" : drive_);
    else if (type() == WRITER_DRIVE)
        std::snprintf(text, sizeof text, "%s is not finished on the logging drive", name);
    else
        std::snprintf(text, sizeof text, "%s is not finished on %s", name, drive_);
    // A later file in hand is written on: the failure of an older one asks for nothing.
    const bool isNewest = newest(e);
    const DriveHealth::Decision d =
        health_.on(isNewest ? DriveHealth::Event::NewestFailed : DriveHealth::Event::OlderFailed, e.vfIdx);
    if (d.failing) {
        failedWhy_ = text;
        probeAt_ = time_getTimestamp();
    }
    if (isNewest) newestFailedWhy_ = text;
    act(d);
}

bool BFSWriter::newest(const FileEntry& e) const {
    return e.vfIdx >= newestVf_;
}

void BFSWriter::dataHeld(int vfIdx, const std::string& path) {
    const DriveHealth::Decision d = health_.on(DriveHealth::Event::DataHeld, vfIdx);
    if (!d.takesData) return;
    // Logging goes on in the newest file it has open; the one that held when none is.
    std::string in = path;
    for (const FileEntry& e : files_)
        if (e.state == FILE_OPEN && e.vfIdx == newestVf_) in = e.path;
    syslogx(LOG_PRIO_WARNING, "BFSWriter: %s takes data again: logging goes on in %s", drive_, in.c_str());
}

void BFSWriter::act(const DriveHealth::Decision& d) {
    if (!d.join) return;
    if (d.again) {
        const std::string why = "the drive '" + std::string(drive_) +
                                "' answers its probes but failed its last new file (" + newestFailedWhy_ +
                                "): it tries again";
        askNewFile(why.c_str());
    } else if (d.answersAgain || failedWhy_.empty()) {
        char why[96];
        std::snprintf(why, sizeof why, "the drive '%s' answers again", drive_);
        askNewFile(why);
    } else {
        askNewFile(failedWhy_.c_str());
    }
}

void BFSWriter::askNewFile(const char* why) {
    // A file cut after the newest one that comes to this writer is its try: the ask is dropped then.
    meas_app_PreTrigAskNewFile(measIdx_, why, std::max(newestVf_, storeNewestAtBack_));
}

bool BFSWriter::storeKeeps() {
    return DriveHealth::storeKeeps(meas_app_driveHung(drive_), inCallMs());
}

void BFSWriter::watchDrive() {
    // The hang is looked at first: a look that finds its call returned tells the return too.
    const bool hung = meas_app_driveHung(drive_);
    const uint32_t back = meas_app_driveBack(drive_);
    if (back != back_) {
        back_ = back;
        act(health_.on(DriveHealth::Event::CallReturned, -1, time_getTimestamp()));
    }
    if (hung) health_.on(DriveHealth::Event::CallHung);
    health_.on(drivecalls_oldestMs(drive_) >= DriveHealth::kLateMs ? DriveHealth::Event::CallLate
                                                                   : DriveHealth::Event::CallsAnswer);
}

void BFSWriter::probeDue() {
    if (probe_) {
        const int state = probe_->state.load();
        if (state == DriveProbe::kUnderWay) return;
        const bool good = state == DriveProbe::kGood;
        const DriveHealth::Decision d = health_.on(
            good ? DriveHealth::Event::ProbeGood : DriveHealth::Event::ProbeFailed, -1, time_getTimestamp());
        if (d.tellProbe)
            syslogx(LOG_PRIO_WARNING,
                    "BFSWriter: %s takes no new file (a probe failed at %s: %s): no file is cut for it "
                    "while it fails; it is probed every 0.25 s and logged on again once a probe succeeds",
                    drive_, probe_->step, std::strerror(probe_->error));
        probe_.reset();
        act(d);
    }
    const uint32_t now = time_getTimestamp();
    if (!health_.probes() || tsDiff(now, probeAt_) < 0) return;
    probeAt_ = now + kProbePace;
    auto probe = std::make_shared<DriveProbe>();
    const std::string drive = drive_;
    std::string name = "r_Prb_" + drive;
    if (name.back() == ':') name.pop_back();
    if (taskSpawn(name.c_str(), kProbePriority, VX_FP_TASK, kProbeStack,
                  [probe, drive] { probeDrive(drive, *probe); }) != TASK_ID_ERROR)
        probe_ = probe;
}

void BFSWriter::cutBackLost() {
    const uint32_t now = time_getTimestamp();
    for (size_t i = 0; i < cutBacks_.size();) {
        CutBack& c = cutBacks_[i];
        if (tsDiff(now, c.nextAt) < 0) {
            ++i;
            continue;
        }
        if (bfs_truncate(c.fd, c.length) != 0 || bfs_ioctl(c.fd, FIOFLUSH, 0) != 0) {
            c.nextAt = now + kCutBackPace; // the drive does not take it yet
            ++i;
            continue;
        }
        syslogx(LOG_PRIO_WARNING, "BFSWriter: %s ends with its last good write-through at %llu bytes",
                c.path.c_str(), (unsigned long long)c.length);
        bfs_close(c.fd);
        cutBacks_.erase(cutBacks_.begin() + std::ptrdiff_t(i));
    }
}

void BFSWriter::cutBackDropped(const std::string& path, uint64_t length, const char* why) {
    syslogx(LOG_PRIO_ERR,
            "BFSWriter: %s is not cut back to its last good write-through at %llu bytes (%s): what it "
            "holds past that may not be what was written",
            path.c_str(), (unsigned long long)length, why);
}

void BFSWriter::skipFile(FileEntry& e, int vfIdx) {
    releaseEntry(e, FILE_FREE);
    e.vfIdx = vfIdx;
    e.state = FILE_SKIP;
    {
        ScopeLock guard(virtualFiles, "BFSWriter::skipFile");
        if (VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx)) vf->deregisterWriter(measIdx_, getID());
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING, "BFSWriter::write() - skipping vfile (%d) due to media absence",
                      vfIdx);
}

void BFSWriter::noteProgress(FileEntry& e) {
    if (e.info) e.info->progress.fetch_add(1);
}

void BFSWriter::mediaLost() {
    for (FileEntry& e : files_)
        if (e.state == FILE_OPEN || e.state == FILE_CUT) failFile(e, ENODEV, "the stick was pulled");
}

void BFSWriter::setDirty(FileEntry& e, bool dirty) {
    if (e.dirty == dirty) return;
    e.dirty = dirty;
    unflushed_.fetch_add(dirty ? 1 : -1);
}

void BFSWriter::releaseEntry(FileEntry& e, uint8_t state) {
    if (e.fd >= 0) bfs_close(e.fd);
    setDirty(e, false);
    if (e.info) meas_app_PreTrigFileInfoRelease(e.info);
    const int vfIdx = e.vfIdx;
    e = FileEntry{};
    if (state != FILE_FREE) {
        e.vfIdx = vfIdx;
        e.state = state;
    }
}

void BFSWriter::checkForFlush(uint32_t limit) {
    const uint32_t now = time_getTimestamp();
    bool haveEarliest = false;
    uint32_t earliest = now;
    const bool awaits = health_.awaitsData();
    heldBack_ = false;
    for (FileEntry& e : files_) {
        if (e.state != FILE_OPEN) continue;
        // A write-through the full queue did not take, asked again.
        if (e.syncDue && e.buf.empty() && e.fd >= 0) e.syncDue = !syncFileLater(e.fd);
        // A file opened since its drive failed: the drive takes data again once a write-through of
        // it has held.
        if (awaits && syncGoodLength(e.id) > 0) dataHeld(e.vfIdx, e.path);
        if (e.buf.empty()) continue;
        if (tsDiff(e.since, limit) <= 0) {
            handOverFree(e);
        } else if (!haveEarliest || tsDiff(e.since, earliest) < 0) {
            earliest = e.since;
            haveEarliest = true;
        }
    }
    flushDir();
    nextFlushCheck_ = (haveEarliest ? earliest : now) + kFlushAge;
    // A buffer held back for its file's write-through goes as soon as that ends.
    if (heldBack_ && tsDiff(nextFlushCheck_, now + kWatchPace) > 0) nextFlushCheck_ = now + kWatchPace;
}

bool BFSWriter::flush(int vfIdx) {
    FileEntry& e = entry(vfIdx);
    if (!mediaAvailable_.load() || e.vfIdx != vfIdx || e.state != FILE_OPEN) return true;
    return handOverFree(e);
}

bool BFSWriter::flushDir() {
    if (!mediaAvailable_.load() || !dirFlushNeeded_) return true;
    if (!syncDirLater(drive_)) return false; // the need stays: the next check asks again
    dirFlushNeeded_ = false;
    return true;
}

bool BFSWriter::flushAll() {
    if (!mediaAvailable_.load()) return true;
    bool ok = true;
    for (FileEntry& e : files_)
        if (e.state == FILE_OPEN) ok = handOverFree(e) && ok;
    return flushDir() && ok;
}

bool BFSWriter::setReadOnly(int fd) {
    bfs_stat st{};
    return bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) == 0 &&
           bfs_ioctl(fd, FIOATTRIBSET, intptr_t(st.st_attrib | kAttrReadOnly)) == 0;
}

bool BFSWriter::close(int vfIdx) {
    closeLater_ = false;
    FileEntry& e = entry(vfIdx);
    if (e.vfIdx != vfIdx || e.state == FILE_FREE || e.state == FILE_SKIP || e.state == FILE_CLOSED) {
        syslogx(LOG_PRIO_DEBUG2, "BFSWriter::close() - purely virtual file (%d)", vfIdx);
        if (e.vfIdx == vfIdx) releaseEntry(e, FILE_CLOSED);
        return true;
    }
    if (e.state == FILE_OPEN || e.state == FILE_CUT) {
        if (!mediaAvailable_.load()) failFile(e, ENODEV, "its drive is gone");
        // Everything reaches the file before it turns read-only; without room the close waits. A
        // write-through of the file under way would hold the writer in its last write: the last
        // records go with the close, after it (below).
        const bool tail =
            e.state == FILE_OPEN && !e.buf.empty() && e.fd >= 0 && syncBusy(e.id) && stillThere(e);
        const bool there = e.state == FILE_CUT    ? resume(e, true)
                           : e.state != FILE_OPEN ? false
                                                  : tail || handOver(e);
        if (!there && e.state == FILE_CUT) {
            if (!closingAll_) {
                retryLater();
                return false;
            }
            failFile(e, ENOSPC, "closed without room to finish it");
        }
    }
    if (e.state != FILE_OPEN) {
        releaseEntry(e, FILE_CLOSED);
        return false;
    }
    // Its write-throughs and read-only go on beside the next file's hand-overs, on a write-through
    // task of the drive after the file's own queued ones: a slow write-through of this file or of its
    // folder holds back no later file. The record hears the file's end from there.
    auto f = std::make_shared<Finish>();
    f->vfIdx = vfIdx;
    f->fd = e.fd;
    f->path = e.path;
    f->id = e.id;
    f->dirMark = e.dirMark;
    f->info = e.info;
    if (f->info) f->info->refs.fetch_add(1);
    if (!e.buf.empty()) {
        f->tail.swap(e.buf);
        f->tailEnds.swap(e.ends);
        f->synced = e.synced;
        f->frames.swap(e.frames);
    }
    f->drive = drive_;
    f->bit = writerBit(measIdx_, actionID());
    f->stick = type() == WRITER_USB;
    f->news = closeNews_;
    e.fd = -1;
    closeNews_->pending.fetch_add(1);
    if (f->info) f->info->finishingOn.fetch_or(f->bit);
    if (syncFileThen(f->path, f->id, [f] { finishClose(*f); })) {
        releaseEntry(e, FILE_CLOSED);
        closeLater_ = true;
        return true;
    }
    // No room in the write-through queue: here, on the writer's own task.
    if (f->info) f->info->finishingOn.fetch_and(~f->bit);
    finishClose(*f);
    releaseEntry(e, FILE_CLOSED);
    takeCloseNews();
    return f->whole;
}

void BFSWriter::finishClose(Finish& f) {
    // Whole means its data and its entry written through, in that order, and only then read-only.
    // The descriptor that makes it read-only is opened before its path is checked, so that it holds
    // the file written and not one put in its place meanwhile.
    int error = 0;
    bool lost = false;
    std::string why;
    int readOnly = -1;
    bfs_fileId readOnlyId;
    if (!f.tail.empty() && !(why = writeTail(f, &error)).empty()) {
        lost = false;
    } else if (bfs_ioctl(f.fd, FIOFLUSH, 0) != 0) {
        error = errno;
        why = "its data could not be written through";
        lost = error != ENODEV;
    } else if ((error = syncFailed(f.id)) != 0) {
        why = "its data could not be written through";
        lost = error != ENODEV;
    } else if (meas_app_dirSyncNow(f.drive.c_str(), f.dirMark) < 0) {
        error = EIO;
        why = "its entry could not be written through";
    } else if ((readOnly = bfs_open(f.path.c_str(), O_RDONLY)) < 0) {
        error = errno;
        why = "it cannot be made read-only";
    } else if (bfs_identity(readOnly, &readOnlyId) != 0 || !(readOnlyId == f.id)) {
        // The path held another file at that moment (replaced, perhaps renamed back since).
        why = "it was renamed away or replaced on the drive";
    } else {
        why = lostWhy(f.drive.c_str(), f.path, f.fd, f.id, f.dirMark, &error, &lost);
    }
    // Read-only is the last step, after the close: a close the drive does not confirm leaves the
    // file writable and named, and a read-only file is always whole.
    if (why.empty()) {
        const int fd = f.fd;
        f.fd = -1;
        if (bfs_close(fd) != 0) {
            error = errno;
            why = "its close failed";
        } else if (!setReadOnly(readOnly)) {
            error = errno;
            why = "it cannot be made read-only";
        }
    }
    CloseNews::Item news;
    news.vfIdx = f.vfIdx;
    news.path = f.path;
    if (why.empty()) {
        // Whole from the moment its byte is stored: told to the record itself before anything else,
        // so that a close of the read descriptor that hangs or fails changes nothing about it.
        if (f.info) {
            f.info->closedOn.fetch_or(f.bit);
            f.info->progress.fetch_add(1);
        }
        f.whole = true;
    } else {
        char reason[96];
        news.why = tellUnfinished(f.path, f.drive.c_str(), f.info, f.bit, f.stick, error, why.c_str(), reason,
                                  sizeof reason);
        news.failed = true;
        news.tellDrive = !(error == ENODEV && f.stick);
        // What its failed write-through covered may be lost on the disk in any part: the file ends
        // where its last good one did, so that a reader finds no hole.
        if (lost && f.fd >= 0) {
            news.cut.fd = bfs_dup(f.fd);
            news.cut.path = f.path;
            news.cut.length = syncGoodLength(f.id);
        }
    }
    syncForget(f.id);
    // Told whole or not: from now on its writer leaving the store is its writer's own matter.
    if (f.info) f.info->finishingOn.fetch_and(~f.bit);
    meas_app_PreTrigFileInfoRelease(f.info);
    f.info = nullptr;
    {
        std::lock_guard<std::mutex> lk(f.news->m);
        f.news->items.push_back(std::move(news));
    }
    f.news->pending.fetch_sub(1);
    // The descriptors last: their closes change nothing of the file, and a shutdown that refuses
    // them a call does not wait for them.
    if (f.fd >= 0) bfs_close(f.fd);
    f.fd = -1;
    if (readOnly >= 0) bfs_close(readOnly);
}

std::string BFSWriter::writeTail(Finish& f, int* error) {
    errno = 0;
    const ssize_t n = bfs_write(f.fd, f.tail.data(), f.tail.size());
    if (n >= 0 && size_t(n) == f.tail.size()) {
        f.tail.clear();
        framesHanded(f.info, f.drive.c_str(), f.frames, UINT64_MAX);
        return {};
    }
    *error = errno ? errno : ENOSPC;
    // It ends with its last complete record: a reader finds no torn one.
    const uint64_t reached = f.synced + uint64_t(n < 0 ? 0 : n);
    uint64_t keep = f.synced;
    for (uint64_t end : f.tailEnds)
        if (end <= reached) keep = end;
    if (keep < reached) bfs_truncate(f.fd, keep);
    framesHanded(f.info, f.drive.c_str(), f.frames, keep);
    return "its last records could not be written";
}

BFSWriter::CloseNews::~CloseNews() {
    // News no writer took any more (it was torn down): its cut-backs are not waited for.
    for (Item& item : items) {
        if (item.cut.fd < 0) continue;
        cutBackDropped(item.cut.path, item.cut.length, "its writer ended before the drive took it");
        bfs_close(item.cut.fd);
    }
}

void BFSWriter::takeCloseNews() {
    std::vector<CloseNews::Item> items;
    {
        std::lock_guard<std::mutex> lk(closeNews_->m);
        items.swap(closeNews_->items);
    }
    for (CloseNews::Item& item : items) {
        // The file's entry is let go: what it was is its place among the files opened here.
        FileEntry named;
        named.vfIdx = item.vfIdx;
        named.path = item.path;
        if (item.cut.fd >= 0) {
            if (cutBacks_.size() < kCutBacksMax) {
                cutBacks_.push_back(item.cut);
            } else {
                cutBackDropped(item.cut.path, item.cut.length, kCutBacksFull);
                bfs_close(item.cut.fd);
            }
        }
        // A file closed whole: its data held (one opened before the drive failed says nothing of it).
        if (!item.failed) {
            dataHeld(item.vfIdx, item.path);
        } else if (item.tellDrive) {
            driveFailed(named, item.why.c_str());
        }
    }
}

void BFSWriter::closeAllFiles() {
    filesOpened_ = false;
    closingAll_ = true;
    for (FileEntry& e : files_) {
        if (e.state == FILE_OPEN) handOver(e);
        if (e.state == FILE_OPEN || e.state == FILE_CUT) {
            // Before its own close came: without its last records and its status block.
            syslogx(LOG_PRIO_WARNING, "BFSWriter::closeAllFiles() - %s closed before its end",
                    e.path.c_str());
            failFile(e, 0, "it was closed before its end");
        }
        releaseEntry(e, FILE_FREE);
    }
    closingAll_ = false;
}

USBWriter::USBWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts)
    : BFSWriter(backend, measIdx, drive, counts, WRITER_USB) {
    mediaAvailable_.store(false);
}

USBWriter::~USBWriter() {
    taskStop(WAIT_FOREVER);
}

void USBWriter::refreshMedia() {
    // The drive check reads the drive's state; once per idle period of the writer is enough to
    // notice a pulled stick before the next file piece.
    const uint32_t now = time_getTimestamp();
    if (checked_ && tsDiff(now, lastCheck_) < 500) return;
    checked_ = true;
    lastCheck_ = now;
    const bool available = meas_app_driveAvDebounce(drive_) == 0;
    const bool was = mediaAvailable_.exchange(available);
    if (was && !available) {
        health_.on(DriveHealth::Event::Pulled);
        mediaLost();
    }
    if (!was && available) {
        health_.on(DriveHealth::Event::Arrived);
        removeProbeLeft(drive_);
    }
}

bool USBWriter::mediaNow() {
    if (!mediaAvailable_.load()) {
        checked_ = false;
        refreshMedia();
    }
    return mediaAvailable_.load();
}

bool USBWriter::taskMain() {
    refreshMedia();
    return BFSWriter::taskMain();
}

void USBWriter::taskStopCallback() {
    checked_ = false;
    refreshMedia();
    closeAllFiles();
}

} // namespace measure::store
