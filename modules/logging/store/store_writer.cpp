#include "logging/store/store_writer.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/store/meas_app_pretrig.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_vfile.h"
#include "platform/drives/drive_calls.h"

#include <cstdlib>
#include <cstring>

namespace measure::store {

Writer::Writer(Backend& backend, uint8_t type, int measIdx)
    : lastActivity_(time_getTimestamp()), created_(time_getTimestamp()), backend_(backend), type_(type),
      measIdx_(measIdx), progressAt_(time_getTimestamp()) {}

bool Writer::alive() {
    // A writer that has come round its loop in the last 10 s is alive (only one still starting gets
    // longer), and so is one that works on its drive however slow it is: in a call of it, or one
    // returned in the last 10 s, or waiting for the drive's write-throughs while they go on. It is
    // dropped once a call of its drive has not returned for 10 s, and once it has been stuck
    // anywhere else (a lock, a condition variable) for as long.
    const uint32_t now = time_getTimestamp();
    if (tsDiff(now, lastActivity_.load()) <= 100000 ||
        (!startDecided_.load() && tsDiff(now, created_) <= 200000))
        return true;
    return drivecalls_threadQuietMs(callThread_.load()) <= MEAS_DRIVECALL_BOUND_MS &&
           !meas_app_driveHung(drive());
}

uint32_t Writer::stalledTicks(uint32_t now) const {
    // Held for the start's names: its drive is no reason.
    if (namesWait_.load()) return 0;
    if (retryLater_.load()) return now - progressAt_.load();
    if (!busy_.load() && !closing()) return 0;
    return drivecalls_oldestMs(drive()) * 10;
}

uint32_t Writer::inCallMs() const {
    return drivecalls_threadMs(callThread_.load());
}

bool Writer::write(int vfIdx, const uint8_t*, uint32_t) {
    return isOpen(vfIdx) || open(vfIdx);
}

bool Writer::writeMetaData(int vfIdx, const uint8_t* data, uint32_t length, uint8_t type) {
    if (type > MEAS_META_TIMEMASTER) {
        syslogx(LOG_PRIO_ERR, "Writer::writeMetaData() called with invalid hdrType (%u)", unsigned(type));
        return false;
    }
    // Records that come before a file's first frame open it, as the frame would.
    if (!write(vfIdx, nullptr, 0)) return false;
    if (type == MEAS_META_SB_FRAME) return write(vfIdx, data, length);
    uint8_t stamp[4];
    if (type == MEAS_META_START_TS && length == 4 && startStampPending_ &&
        (data[0] | data[1] | data[2] | data[3]) == 0) {
        // The file's start is not known: its first frame's first sample is.
        const uint32_t ts = current_ ? current_->firstTimestamp() : 0;
        stamp[0] = uint8_t(ts >> 24);
        stamp[1] = uint8_t(ts >> 16);
        stamp[2] = uint8_t(ts >> 8);
        stamp[3] = uint8_t(ts);
        data = stamp;
    }
    // Header and payload as one record, so that a file never ends between the two.
    auto* rec = static_cast<uint8_t*>(std::malloc(size_t(length) + 6));
    if (!rec) return false;
    rec[0] = 0xFF;
    rec[1] = type;
    rec[2] = uint8_t(length >> 24);
    rec[3] = uint8_t(length >> 16);
    rec[4] = uint8_t(length >> 8);
    rec[5] = uint8_t(length);
    if (length) std::memcpy(rec + 6, data, length);
    if (type == MEAS_META_STATUSBLOCK) {
        // Collected while the file's name waited for the start's search: it names the file as made.
        ScopeLock guard(virtualFiles, "Writer::writeMetaData");
        if (const VirtualFile* vf = virtualFiles.get(measIdx_, vfIdx)) vf->fixName(rec + 6, length);
    }
    const bool ok = write(vfIdx, rec, length + 6);
    std::free(rec);
    if (ok && type == MEAS_META_START_TS) startStampPending_ = false;
    return ok;
}

bool Writer::getQueueCnt(uint32_t* count) {
    return backend_.getWriterQueueCnt(*this, count);
}

void Writer::setID(uint8_t id) {
    id_.store(id);
    notSubscribed_.store(id == kNoWriterId);
}

Action* Writer::next() {
    if (!callThread_.load()) callThread_.store(drivecalls_thisThread());
    // Nothing in hand between two actions: the time waited for one is no stall.
    progressAt_.store(time_getTimestamp());
    busy_.store(true); // before the step, so that nobody sees it done with an action in hand
    actionId_.store(id_.load());
    current_ = backend_.next(*this);
    if (!current_) busy_.store(false);
    return current_;
}

int Writer::executeCurrent() {
    if (!current_) return ACTION_SKIPPED;
    retryLater_.store(false);
    namesWait_.store(false);
    const int r = current_->execute(*this);
    // Kept in hand: still busy, so that nobody sees it done.
    if (!retryLater_.load()) {
        progressAt_.store(time_getTimestamp());
        busy_.store(false);
    }
    return r;
}

bool Writer::subscribe() {
    return backend_.subscribe(this);
}

} // namespace measure::store
