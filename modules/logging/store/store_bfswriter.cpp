#include "logging/store/store_bfswriter.h"

#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/disk/meas_app_disk.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_sync.h"
#include "platform/drives/bfs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace measure::store {

namespace {
constexpr uint8_t kAttrReadOnly = 0x01;  // DOS attribute byte
constexpr uint32_t kResumeRetry = 10000; // a cut file tries to go on once a second
} // namespace

BFSWriter::BFSWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts,
                     uint8_t type)
    : Writer(backend, type, measIdx), counts_(counts) {
    std::snprintf(drive_, sizeof drive_, "%s", drive ? drive : "");
    mediaAvailable_.store(true);
}

BFSWriter::~BFSWriter() {
    taskStop(WAIT_FOREVER);
    if (!hasTask()) closeAllFiles();
}

void BFSWriter::taskStartCallback() {
    const int debounce = meas_app_driveAvDebounce(drive_);
    if (debounce < 0) {
        mediaAvailable_.store(false);
        syslogx(LOG_PRIO_WARNING, "BFSWriter::taskStartCallback() - drive not recognized (%s)", drive_);
        startDecided_.store(true);
        return;
    }
    mediaAvailable_.store(true);
    subscribe();
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
            busy_.store(false);
            current_ = nullptr;
        }
        disconnectedStateHandler();
        return true;
    }
    if (tsDiff(now, nextFlushCheck_) >= 0) checkForFlush(now - kFlushAge);
    if (stalled()) {
        taskDelay(sysClkRateGet() / 10); // the drive is full: the same action again, a little later
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
    if (filesOpened_) closeAllFiles();
    next(); // lets go of what it held in the Backend
    const bool available = meas_app_driveAvDebounce(drive_) == 0;
    mediaAvailable_.store(available);
    if (available && subscribe()) {
        syslogx(LOG_PRIO_INFO2, "BFSWriter::taskMain() - mediaAvailable, renewed subscription to backend");
        return;
    }
    taskDelay(sysClkRateGet() / 5);
}

bool BFSWriter::isOpen(int vfIdx) {
    const FileEntry& e = entry(vfIdx);
    return e.vfIdx == vfIdx && e.state == FILE_OPEN;
}

bool BFSWriter::open(int vfIdx) {
    FileEntry& e = entry(vfIdx);
    if (e.vfIdx == vfIdx && e.state != FILE_FREE) {
        if (e.state == FILE_CLOSED) {
            // Never again into a file this writer has closed.
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING, "BFSWriter::open(): file (%d) is closed already", vfIdx);
            return false;
        }
        if (e.state == FILE_OPEN) return true;
        if (e.state == FILE_CUT) {
            if (resume(e, false)) return true;
            if (mediaAvailable_.load()) retryLater(); // no room yet: the record waits
            return false;
        }
        syslogx(LOG_PRIO_ERR,
                "BFSWriter::open(): tried opening a file more than once, with failed attempts in the past");
        e.state = FILE_SKIP;
        return false;
    }
    if (e.vfIdx != -1 && e.state != FILE_FREE && e.state != FILE_CLOSED) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::open(): no empty file entry slot");
        return false;
    }
    releaseEntry(e, FILE_FREE);
    // The table's lock keeps the virtual file (and its header) from going while it is read.
    ScopeLock guard(virtualFiles, "BFSWriter::open");
    VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx);
    char name[MEAS_FILENAME_LEN];
    auto skip = [&] {
        if (e.stream) releaseEntry(e, FILE_FREE);
        e.vfIdx = vfIdx;
        e.state = FILE_SKIP;
        return false;
    };
    if (!vf) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::open(): trying to access invalid vfile (%d/%d)", measIdx_,
                          vfIdx);
        return skip();
    }
    if (!vf->isRegisteredWriter(measIdx_, getID())) {
        syslogx(LOG_PRIO_INFO2, "BFSWriter::open(): Skipping file (%d) - writer not registered", vfIdx);
        return skip();
    }
    if (!vf->getFileName(name, sizeof name)) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::open(): trying to access file, without name available (vfIdx %d)",
                vfIdx);
        return skip();
    }
    if (!openFileAtomic(vfIdx, name)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::open(): failed to open file (%s/%s)", drive_, name);
        // A file of the name that cannot be replaced (read-only, of an earlier run): nothing of this
        // one reaches the logging drive, so the logging cuts a new one.
        char path[BFS_PATH_MAX];
        std::snprintf(path, sizeof path, "%s/%s", drive_, name);
        if (type() == WRITER_DRIVE && fexist(path)) vf->markNameTaken();
        return skip();
    }
    if (writeHeader(vfIdx, e)) return true;
    if (e.state == FILE_CUT && mediaAvailable_.load()) retryLater();
    return false;
}

bool BFSWriter::writeHeader(int vfIdx, FileEntry& e) {
    ScopeLock guard(virtualFiles, "BFSWriter::writeHeader");
    VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx);
    startStampPending_ = true;
    if (!vf || !vf->writeHeader(*this)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::open(): failed to write header (%s)", e.path.c_str());
        if (e.state == FILE_OPEN) cutBack(e);
        return false;
    }
    e.headerDone = true;
    e.headerBytes = e.total;
    return true;
}

bool BFSWriter::openFileAtomic(int vfIdx, const char* name) {
    char path[MEAS_FILENAME_LEN];
    const int n = std::snprintf(path, sizeof path, "%s/%s", drive_, name);
    if (n < 0 || n >= int(sizeof path)) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic() - failed to generate output name (%s)", name);
        return false;
    }
    // Truncated: a file of the same name left by an earlier run is replaced, never written into. On
    // the stick such a file may be anyone's: the replacement is logged with its name.
    const bool replacing = type() == WRITER_USB && fexist(path);
    const int fd = bfs_open(path, O_RDWR | O_CREAT | O_TRUNC, 0777);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic: fd open err %d '%s'", errno, path);
        return false;
    }
    if (replacing)
        syslogx(LOG_PRIO_WARNING, "BFSWriter::openFileAtomic: '%s' replaced, a file of that name was there",
                path);
    char check[BFS_PATH_MAX] = "";
    if (bfs_ioctl(fd, FIOGETNAME, reinterpret_cast<intptr_t>(check)) != 0) {
        bfs_close(fd);
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic: FIOGETNAME failed on fd %d '%s'", fd, path);
        return false;
    }
    syslogx(LOG_PRIO_DEBUG2, "BFSWriter::openFileAtomic: fd %d opened and checked '%s', opening pF", fd,
            check);
    FILE* stream = fdopen(fd, "wb");
    // Unbuffered: every record goes to the file in one write, so a failed one is the record in
    // hand, and nothing that went before it can be lost with it.
    if (stream) std::setvbuf(stream, nullptr, _IONBF, 0);
    if (!stream) {
        const int err = errno;
        bfs_close(fd);
        syslogx(LOG_PRIO_ERR, "BFSWriter::openFileAtomic: fdopen failed - releasing fd %d - errno %d", fd,
                err);
        return false;
    }
    FileEntry& e = entry(vfIdx);
    e = FileEntry{};
    e.vfIdx = vfIdx;
    e.state = FILE_OPEN;
    e.fd = fd;
    e.stream = stream;
    e.path = path;
    filesOpened_ = true;
    return true;
}

bool BFSWriter::resume(FileEntry& e, bool now) {
    const uint32_t t = time_getTimestamp();
    if (!now && tsDiff(t, e.retryAt) < 0) return false;
    e.retryAt = t + kResumeRetry;
    if (!mediaAvailable_.load() || e.path.empty()) return false;
    // Never created anew: a file deleted meanwhile stays deleted.
    const int fd = bfs_open(e.path.c_str(), O_RDWR);
    if (fd < 0) return false;
    bfs_stat st{};
    FILE* stream = nullptr;
    if (bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0 ||
        lseek(fd, off_t(st.st_size), SEEK_SET) < 0 || !(stream = fdopen(fd, "wb"))) {
        bfs_close(fd);
        return false;
    }
    std::setvbuf(stream, nullptr, _IONBF, 0);
    e.state = FILE_OPEN;
    e.fd = fd;
    e.stream = stream;
    e.total = e.synced = st.st_size;
    e.ends.clear();
    filesOpened_ = true;
    // Cut back to nothing: its header first, again.
    return e.headerDone || writeHeader(e.vfIdx, e);
}

bool BFSWriter::write(int vfIdx, const uint8_t* data, uint32_t length) {
    FileEntry& e = entry(vfIdx);
    if (e.vfIdx == vfIdx && e.state == FILE_SKIP) return true;
    if (e.vfIdx == vfIdx && e.state == FILE_CUT && !resume(e, false)) {
        if (mediaAvailable_.load()) retryLater(); // no room yet: this record waits
        return false;
    }
    if (!mediaAvailable_.load()) {
        if (e.vfIdx == vfIdx || e.state == FILE_FREE || e.state == FILE_CLOSED) {
            if (e.stream) releaseEntry(e, FILE_FREE);
            e.vfIdx = vfIdx;
            e.state = FILE_SKIP;
        }
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING, "BFSWriter::write() - skipping vfile (%d) due to media absence",
                          vfIdx);
        return false;
    }
    if (!isOpen(vfIdx) && !open(vfIdx)) return false;
    if (!e.stream) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::write() - failed to get fileptr with index (%d)", vfIdx);
        return false;
    }
    if (length && std::fwrite(data, 1, length, e.stream) != length) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::write() - failed to write to file with index (%d)",
                          vfIdx);
        cutBack(e);
        if (mediaAvailable_.load() && e.state == FILE_CUT) retryLater();
        return false;
    }
    bytesWritten(e, length);
    return true;
}

void BFSWriter::bytesWritten(FileEntry& e, uint32_t n) {
    e.total += n;
    e.ends.push_back(e.total);
    const uint32_t before = e.pending;
    e.pending += n;
    const bool wrapped = e.pending >= kDirFlushBytes;
    if (wrapped) {
        dirFlushNeeded_ = true;
        e.pending %= kDirFlushBytes;
    }
    // The age of unflushed bytes is that of the oldest one, whatever the count modulo 16384 says:
    // bytes whose count lands on 16384 are still flushed in time.
    if (!e.dirty || before == 0) e.runStart = e.dirty ? e.runStart : time_getTimestamp();
    setDirty(e, true);
    meas_cnt_add(counts_, n);
}

void BFSWriter::setDirty(FileEntry& e, bool dirty) {
    if (e.dirty == dirty) return;
    e.dirty = dirty;
    unflushed_.fetch_add(dirty ? 1 : -1);
}

void BFSWriter::cutBack(FileEntry& e) {
    // The stream may still hold bytes that end mid-record: it goes first (whatever of them still
    // lands), then the file is cut at the last record end it holds whole.
    const int vfIdx = e.vfIdx;
    const uint64_t synced = e.synced;
    const std::vector<uint64_t> ends = e.ends;
    const std::string path = e.path;
    const bool cutBefore = e.cutBefore;
    const int fd = e.fd >= 0 ? bfs_dup(e.fd) : -1;
    const uint64_t headerBytes = e.headerDone ? e.headerBytes : UINT64_MAX;
    releaseEntry(e, FILE_CUT);
    e.path = path;
    e.cutBefore = true;
    e.retryAt = time_getTimestamp() + kResumeRetry;
    uint64_t keep = 0;
    if (fd >= 0) {
        bfs_stat st{};
        const uint64_t size =
            bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) == 0 ? st.st_size : synced;
        keep = synced <= size ? synced : 0;
        for (uint64_t end : ends)
            if (end <= size && end > keep) keep = end;
        // Without its whole header the file starts again from nothing once there is room.
        if (keep < headerBytes) keep = 0;
        if (ftruncate(fd, off_t(keep)) != 0)
            syslogx(LOG_PRIO_ERR, "BFSWriter: cannot cut file (%d) back to %llu bytes", vfIdx,
                    (unsigned long long)keep);
        bfs_close(fd);
    }
    e.total = e.synced = keep;
    e.headerDone = keep >= headerBytes;
    e.headerBytes = e.headerDone ? headerBytes : 0;
    // While the drive stays full every try to go on is cut again: only the first cut is told.
    if (!cutBefore)
        syslogx(LOG_PRIO_WARNING,
                "BFSWriter: file (%d) ends with its last complete record at %llu bytes, written on once "
                "there is room",
                vfIdx, (unsigned long long)keep);
}

void BFSWriter::releaseEntry(FileEntry& e, uint8_t state) {
    if (e.stream) {
        std::fclose(e.stream); // closes the descriptor too
    } else if (e.fd >= 0) {
        bfs_close(e.fd);
    }
    const int vfIdx = e.vfIdx;
    setDirty(e, false);
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
    for (FileEntry& e : files_) {
        if (e.state != FILE_OPEN || !e.dirty) continue;
        if (tsDiff(e.runStart, limit) <= 0) {
            flush(e.vfIdx);
        } else if (!haveEarliest || tsDiff(e.runStart, earliest) < 0) {
            earliest = e.runStart;
            haveEarliest = true;
        }
    }
    flushDir();
    nextFlushCheck_ = (haveEarliest ? earliest : now) + kFlushAge;
}

bool BFSWriter::flush(int vfIdx) {
    FileEntry& e = entry(vfIdx);
    if (!mediaAvailable_.load() || e.vfIdx != vfIdx || e.state != FILE_OPEN || !e.dirty) return true;
    if (!e.stream || e.fd < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::flush(): file invalid: fd=%d, pFile=0x%08X", e.fd,
                          unsigned(uintptr_t(e.stream)));
        return false;
    }
    if (std::fflush(e.stream) != 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "BFSWriter::flush(): fflush failed");
        cutBack(e);
        return false;
    }
    e.synced = e.total;
    e.ends.clear();
    if (e.cutBefore) {
        e.cutBefore = false;
        syslogx(LOG_PRIO_WARNING, "BFSWriter: file (%d) written on after its cut, now %llu bytes", vfIdx,
                (unsigned long long)e.total);
    }
    // Handed over: from here the bytes survive the process. Writing them through to the disk is
    // left to the write-through task, so that a slow disk never holds back the next hand-over.
    syncFileLater(e.fd);
    dirFlushNeeded_ = true;
    e.pending = 0;
    e.runStart = time_getTimestamp();
    setDirty(e, false);
    return true;
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
        if (e.state == FILE_OPEN && e.dirty) ok = flush(e.vfIdx) && ok;
    return flushDir() && ok;
}

bool BFSWriter::setAttrib(FileEntry& e, uint8_t attrib) {
    if (!mediaAvailable_.load()) return true;
    if (e.fd < 0) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::setAttrib() - failed due to invalid FD, vfIdx %d, attrib %d",
                e.vfIdx, attrib);
        return false;
    }
    bfs_stat st{};
    if (bfs_ioctl(e.fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)) != 0) {
        syslogx(LOG_PRIO_ERR, "BFSWriter::setAttrib() - failed to get file attributes, vfIdx %d", e.vfIdx);
        return false;
    }
    if (bfs_ioctl(e.fd, FIOATTRIBSET, intptr_t(st.st_attrib | attrib)) != 0) {
        syslogx(LOG_PRIO_ERR,
                "BFSWriter::setAttrib() - failed to set file attributes, vfIdx %d, attrib %X, st_attrib %X",
                e.vfIdx, attrib, st.st_attrib);
        return false;
    }
    return true;
}

bool BFSWriter::closeCut(FileEntry& e) {
    const int fd = e.path.empty() || !mediaAvailable_.load() ? -1 : bfs_open(e.path.c_str(), O_RDONLY);
    e.fd = fd;
    if (fd >= 0 && !setAttrib(e, kAttrReadOnly))
        syslogx(LOG_PRIO_ERR, "BFSWriter::close() - cut file (%d) stays writable", e.vfIdx);
    syslogx(LOG_PRIO_ERR, "BFSWriter::close() - %s not finished: it ends with its last complete record",
            e.path.c_str());
    releaseEntry(e, FILE_CLOSED);
    return false;
}

bool BFSWriter::close(int vfIdx) {
    FileEntry& e = entry(vfIdx);
    // A cut file is closed like any other once there is room: its close waits for that.
    if (e.vfIdx == vfIdx && e.state == FILE_CUT && !resume(e, true)) {
        if (mediaAvailable_.load() && !closingAll_) {
            retryLater();
            return false;
        }
        return closeCut(e);
    }
    if (e.vfIdx != vfIdx || e.state != FILE_OPEN) {
        syslogx(LOG_PRIO_DEBUG2, "BFSWriter::close() - purely virtual file (%d)", vfIdx);
        if (e.vfIdx == vfIdx) releaseEntry(e, FILE_CLOSED);
        return true;
    }
    // Everything reaches the file before it turns read-only; a failure cuts it back first.
    bool ok = true;
    if (mediaAvailable_.load() && std::fflush(e.stream) != 0) {
        cutBack(e);
        ok = false;
    }
    if (ok) {
        e.synced = e.total;
        e.ends.clear();
        setAttrib(e, kAttrReadOnly);
        FILE* stream = e.stream;
        e.stream = nullptr;
        e.fd = -1;
        if (std::fclose(stream) != 0) {
            syslogx(LOG_PRIO_ERR, "BFSWriter::close() - failed to close file with index (%d)", vfIdx);
            ok = false;
        }
    }
    releaseEntry(e, FILE_CLOSED);
    dirFlushNeeded_ = true;
    flushDir();
    return ok;
}

void BFSWriter::closeAllFiles() {
    filesOpened_ = false;
    closingAll_ = true;
    for (FileEntry& e : files_) {
        if (e.state == FILE_OPEN) {
            // Before its own close came: without its last records and its status block.
            syslogx(LOG_PRIO_WARNING, "BFSWriter::closeAllFiles() - %s closed before its end",
                    e.path.c_str());
            if (!close(e.vfIdx)) releaseEntry(e, FILE_FREE);
        } else if (e.state == FILE_CUT) {
            close(e.vfIdx);
        } else if (e.state == FILE_SKIP) {
            releaseEntry(e, FILE_FREE);
        }
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
    mediaAvailable_.store(meas_app_driveAvDebounce(drive_) == 0);
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
