#include "logging/store/store_pretrigger.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/store/store_backend.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"
#include "measdata/seram.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace measure::store {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint32_t kArmFlushWait = 10000; // 1 s for the measurement raster to hand over its frames
constexpr int kWriterStopTicks = 3000;
} // namespace

Fragmenter::Fragmenter() {
    const uint8_t mib = seramCal().FILEFRAGMENTATION_SIZE;
    sizeLimit_ = mib ? mib * kMiB : UINT64_MAX;
}

void Fragmenter::init(int vfIdx, uint32_t startTs, uint32_t headerLength) {
    if (vfIdx <= vfIdx_) return;
    vfIdx_ = vfIdx;
    headerLength_ = headerLength;
    bytes_ = 0;
    held_ = 0;
    const uint16_t span = seramCal().FILEFRAGMENTATION_TIME;
    if (span) {
        timeLimit_ = (startTs ? startTs : time_getTimestamp()) + uint32_t(span) * 10000;
        hasTimeLimit_ = true;
    }
    active_ = true;
}

void Fragmenter::write(int vfIdx, uint32_t n) {
    if (!active_ || vfIdx != vfIdx_) return;
    if (passThrough_)
        bytes_ += n;
    else
        held_ += n;
}

void Fragmenter::forward(int vfIdx, uint32_t n) {
    if (!active_ || vfIdx != vfIdx_) return;
    bytes_ += n;
    held_ = held_ > n ? held_ - n : 0;
}

void Fragmenter::drop(int vfIdx, uint32_t n) {
    if (!active_ || vfIdx != vfIdx_) return;
    held_ = held_ > n ? held_ - n : 0;
}

void Fragmenter::setPassThrough(bool on) {
    if (on && !passThrough_) {
        bytes_ += held_;
        held_ = 0;
    }
    passThrough_ = on;
}

int Fragmenter::checkFragment() {
    if (!active_) return 0;
    if (bytes_ >= sizeLimit_) return 1;
    if (hasTimeLimit_ && tsDiff(time_getTimestamp(), timeLimit_) >= 0 && bytes_ > headerLength_) return 2;
    return 0;
}

namespace {
// Writers left behind with their store because they hung in their drive (kept for good): one whose
// drive comes back finishes the action it had in hand.
std::mutex gLeftBehindLock;
std::vector<Writer*>& leftBehind() {
    static auto* writers = new std::vector<Writer*>;
    return *writers;
}

uint32_t nextStoreId() {
    static std::atomic<uint32_t> last{0};
    return last.fetch_add(1) + 1;
}
} // namespace

Pretrigger::Pretrigger(int measIdx, float bufferTimeSec, Backend* backend)
    : measIdx_(measIdx), id_(nextStoreId()),
      bufferTime_(bufferTimeSec > 0 ? uint32_t(bufferTimeSec * 10000.0f) : 0), state_(STATE_DIRECT),
      backend_(backend) {
    if (bufferTimeSec > 0) {
        state_.store(STATE_BUFFERING);
        fragmenter_.setPassThrough(false);
    }
    syslogx(LOG_PRIO_INFO2, "Pretrigger::Pretrigger(%d): buffer time %.1f", measIdx + 1,
            double(bufferTimeSec));
    char name[32];
    std::snprintf(name, sizeof name, "r_MeasPretrig%d", measIdx);
    if (!taskStart(name, kPretrigPriority, kPretrigStack, VX_FP_TASK, 0)) {
        syslogx(LOG_PRIO_ERR, "Pretrigger::Pretrigger(): could not spawn task errno %s", "task start");
        ScopeLock guard(holding_, "Pretrigger::Pretrigger");
        state_.store(STATE_DIRECT);
        fragmenter_.setPassThrough(true);
    }
}

Pretrigger::~Pretrigger() {
    {
        ScopeLock guard(holding_, "~Pretrigger");
        state_.store(STATE_STOP);
        request_.store(PRETRIG_REQ_NONE);
        fragmenter_.setPassThrough(false);
    }
    semGive(wake_);
    taskStop(WAIT_FOREVER);
    // The writers go before the Backend they read.
    for (Writer* w : writers_) w->taskStopAsync();
    std::vector<Writer*> stuck;
    // One that hangs in its drive (a call of its drive has not returned for 10 s, or its own has not
    // for 3 s) is not waited for; one that does not end in 3 s hangs there too. A writer that waits
    // for room comes round its loop and ends.
    for (Writer* w : writers_) {
        const bool hangs = w->hasTask() && (!w->alive() || w->inCallMs() >= 3000);
        if (hangs || !w->taskStop(kWriterStopTicks, false)) stuck.push_back(w);
    }
    if (backend_) {
        for (Writer* w : writers_) backend_->remove(w);
    }
    // A writer that hangs in its drive may hold one of the Backend's actions (the bytes it writes):
    // the Backend stays with it, so that it finds them when the drive comes back.
    if (stuck.empty()) {
        delete backend_;
        // What the Backend's close actions did not take with them: files never closed.
        virtualFiles.reset(measIdx_);
    } else {
        {
            std::lock_guard<std::mutex> lk(gLeftBehindLock);
            leftBehind().insert(leftBehind().end(), stuck.begin(), stuck.end());
        }
        for (Writer* w : stuck)
            syslogx(LOG_PRIO_ERR,
                    "Pretrigger::~Pretrigger(%d): writer of %s hangs in its drive, its store is left behind",
                    measIdx_ + 1, w->drive());
    }
    for (Writer* w : writers_) {
        bool isStuck = false;
        for (Writer* s : stuck) isStuck = isStuck || s == w;
        if (!isStuck) delete w;
    }
    holding_.clear();
    semDelete(wake_);
}

bool Pretrigger::leftBehindBusy() {
    std::lock_guard<std::mutex> lk(gLeftBehindLock);
    for (Writer* w : leftBehind())
        if (w->hasTask() && w->busy()) return true;
    return false;
}

void Pretrigger::adoptWriter(Writer* writer) {
    if (writer) writers_.push_back(writer);
}

bool Pretrigger::isOfflineDataFlushed() {
    // A writer dropped from the Backend while it hung still has its action in hand.
    for (Writer* w : writers_)
        if (w->hasTask() && (!w->startDecided() || (w->busy() && w->getID() == kNoWriterId))) return false;
    return !backend_ || backend_->isOfflineDataFlushed();
}

void Pretrigger::unwritten(std::vector<std::string>* items) {
    const std::string of = " of m0" + std::to_string(measIdx_ + 1) + " for ";
    for (Writer* w : writers_) {
        if (!w->hasTask()) continue;
        if (!w->startDecided())
            items->push_back("the records" + of + w->drive() + " were not written: its writer had not begun");
        else if (w->busy() && w->getID() == kNoWriterId)
            items->push_back("a record" + of + w->drive() +
                             " was not written: its writer was dropped while its drive hung");
    }
    if (backend_) backend_->unwritten(items);
}

uint32_t Pretrigger::stalledWriters(uint32_t bits, uint32_t ticks) {
    const uint32_t now = time_getTimestamp();
    uint32_t stalled = 0;
    for (Writer* w : writers_) {
        const uint32_t bit = writerBit(measIdx_, w->getID());
        if ((bits & bit) && w->stalledTicks(now) >= ticks) stalled |= bit;
    }
    return stalled;
}

void Pretrigger::writerDrives(uint32_t bits, char* out, size_t size, bool state) {
    size_t used = 0;
    out[0] = '\0';
    for (Writer* w : writers_) {
        if (!(bits & writerBit(measIdx_, w->getID()))) continue;
        const int n = std::snprintf(out + used, size - used, "%s%s%s", used ? ", " : "", w->drive(),
                                    !state               ? ""
                                    : w->waitsForNames() ? " (its file waits for its name)"
                                    : w->stalled()       ? " (drive full, waits for room)"
                                                         : "");
        if (n < 0 || size_t(n) >= size - used) break;
        used += size_t(n);
    }
}

bool Pretrigger::measRunning() const {
    const int s = state_.load();
    return s == STATE_FLUSH || s == STATE_FLUSHED || s == STATE_DIRECT;
}

bool Pretrigger::passThrough() const {
    const int s = state_.load();
    return s == STATE_FLUSHED || s == STATE_DIRECT;
}

void Pretrigger::setState(int state) {
    ScopeLock guard(holding_, "Pretrigger::setState");
    state_.store(state);
    fragmenter_.setPassThrough(state == STATE_FLUSHED || state == STATE_DIRECT);
}

// Exact in whole time-stamp units: a float carries only 24 bits, which at the stamps of a device up
// for hours moves the window's start by tens of milliseconds.
uint32_t Pretrigger::limitFrom(uint32_t now) const {
    return bufferTime_ > now ? 0 : now - bufferTime_;
}

void Pretrigger::trigArm() {
    request_.store(PRETRIG_REQ_ARM);
    semGive(wake_);
}

void Pretrigger::trigTrigger() {
    trigTrigger(time_getTimestamp());
}

void Pretrigger::trigTrigger(uint32_t now) {
    const int s = state_.load();
    if (s == STATE_BUFFERING) {
        triggerTs_.store(now);
        flushFrom_.store(limitFrom(now));
        syslogx(LOG_PRIO_INFO2,
                "Pretrigger::trigTrigger(): m0%d triggered at %u, the records from %u on are kept",
                measIdx_ + 1, unsigned(now), unsigned(limitFrom(now)));
    } else {
        syslogx(LOG_PRIO_WARNING,
                "Pretrigger::trigTrigger(): trigger came without being armed, not updating trigger timestamp "
                "(%d)",
                s);
    }
    request_.store(PRETRIG_REQ_TRIGGER);
    semGive(wake_);
}

// The time of the newest data held, or the clock when that is earlier: held data leave by the
// data's own time, so that a measurement raster the host holds back never drops what the window
// before a trigger still needs. A stamp far behind the newest is a time reset and starts anew.
uint32_t Pretrigger::dataTime() const {
    const uint32_t now = time_getTimestamp();
    if (!dataTimeSet_.load()) return now;
    const uint32_t data = dataTime_.load();
    return tsDiff(data, now) < 0 ? data : now;
}

void Pretrigger::conditionChecked(uint32_t ts) {
    checked_.store(uint64_t(1) << 32 | ts);
}

bool Pretrigger::conditionCheckedAt(uint32_t* ts) const {
    const uint64_t c = checked_.load();
    if (c == 0) return false;
    *ts = uint32_t(c);
    return true;
}

// The time by which held data leave: the data's own time, but not past the start condition's check.
// A trigger can still come at any sample after the newest one checked without firing, and the
// window before it must be there then: a check that the host runs behind the data (its condition's
// list keeps only the newest sample, so it may skip some) must not find the window gone. At most one
// pretrigger time behind the data, so that a condition no longer checked holds nothing for good.
uint32_t Pretrigger::holdTime() const {
    const uint32_t data = dataTime();
    uint32_t checked = 0;
    if (!conditionCheckedAt(&checked)) return data;
    const uint32_t next = checked + 1;
    if (tsDiff(next, data) >= 0) return data;
    if (tsDiff(data, next) > int32_t(bufferTime_)) return data >= bufferTime_ ? data - bufferTime_ : data;
    return next;
}

void Pretrigger::noteDataTime(uint32_t ts) {
    constexpr int32_t kReset = 600000; // one minute backwards, in time-stamp units
    if (ts == 0) return;
    const uint32_t newest = dataTime_.load();
    if (!dataTimeSet_.load() || tsDiff(ts, newest) > 0 || tsDiff(newest, ts) > kReset) {
        dataTime_.store(ts);
        dataTimeSet_.store(true);
    }
}

void Pretrigger::putAction(Action* action) {
    putCounted(action, -1, 0);
}

// The state is read and the action appended under the holding list's lock, so an action can never
// overtake one put before it while the task moves the held ones on.
void Pretrigger::putCounted(Action* action, int vfIdx, uint32_t n) {
    if (!action) {
        syslogx(LOG_PRIO_ERR, "Pretrigger::putAction() - received NULL ptr! Out of memory?");
        return;
    }
    ScopeLock guard(holding_, "Pretrigger::putAction");
    noteDataTime(action->timestamp());
    const bool direct = passThrough() && backend_;
    if (!(direct ? backend_->add(action, action->size()) : holding_.add(action, action->size()))) {
        delete action;
        return;
    }
    if (n) fragmenter_.write(vfIdx, n);
}

void Pretrigger::openFile(MeasAppStore_FileInfo_s* info) {
    if (!info) {
        syslogx(LOG_PRIO_ERR, "Pretrigger::openFile() NULL fileInfoPtr is invalid");
        return;
    }
    info->vfIdx = -1;
    const char* why = nullptr;
    VirtualFile* vf = virtualFiles.create(measIdx_, info, &why);
    if (!vf) {
        syslogx(LOG_PRIO_ERR, "Pretrigger::openFile() failed (%s)(%s)", why ? why : "?", info->name);
        return;
    }
    const int vfIdx = vf->index();
    // A writer whose drive has kept it this far behind holds the slots of the files on their way to
    // it: it lets go of them before the next file finds none.
    const int inUse = virtualFiles.inUse(measIdx_);
    if (inUse < kVfSlots - kVfSpare) {
        dropped_ = false;
    } else if (!dropped_ && backend_) {
        // One writer at a time: the others are not the ones behind. A refusal (every writer keeps
        // up) drops none, and the slowest is looked at again with the next file.
        dropped_ = backend_->dropSlowest(inUse);
    }
    {
        ScopeLock guard(holding_, "Pretrigger::openFile");
        fragmenter_.init(vfIdx, info->initTimestamp, info->headerLength);
    }
    try {
        putAction(new ActionOpen(vf, vfIdx, measIdx_));
    } catch (const char* text) {
        syslogx(LOG_PRIO_ERR, "Pretrigger::openFile() failed (%s)(%s)", text, info->name);
    }
}

void Pretrigger::putFrame(int vfIdx, uint8_t* data, uint32_t length, uint32_t firstTs, uint32_t lastTs) {
    auto* a = new (std::nothrow) ActionData(vfIdx, data, length, firstTs, lastTs);
    if (!a) std::free(data);
    putCounted(a, vfIdx, length);
}

void Pretrigger::putMetaData(uint8_t* data, uint32_t length, uint32_t ts, uint8_t type) {
    const int vfIdx = virtualFiles.find(measIdx_, ts);
    if (vfIdx < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING,
                          "Pretrigger::putMetaData() no VFile timestamp match available (%u)", ts);
        std::free(data);
        return;
    }
    putMetaDataVf(vfIdx, data, length, type);
}

void Pretrigger::putMetaDataVf(int vfIdx, uint8_t* data, uint32_t length, uint8_t type) {
    auto* a = new (std::nothrow) ActionMetaData(vfIdx, data, length, type);
    if (!a) std::free(data);
    putCounted(a, vfIdx, length + 6);
}

void Pretrigger::closeFile(int vfIdx) {
    putAction(new (std::nothrow) ActionClose(vfIdx, measIdx_));
}

void Pretrigger::flushFile(int vfIdx) {
    Action* a = new (std::nothrow) ActionFlushFile(vfIdx);
    if (!a) syslogx(LOG_PRIO_ERR, "Pretrigger::flushFile(): failed to create action %d", vfIdx);
    if (a) putAction(a);
}

void Pretrigger::flushDir() {
    Action* a = new (std::nothrow) ActionFlushDir;
    if (!a) syslogx(LOG_PRIO_ERR, "Pretrigger::flushDir(): failed to create action");
    if (a) putAction(a);
}

void Pretrigger::copyFile(const CopyFile_t& request) {
    Action* a = new (std::nothrow) ActionFileCopy(request, measIdx_);
    if (!a) syslogx(LOG_PRIO_ERR, "Pretrigger::copyFile(): failed to create action");
    if (a) putAction(a);
}

void Pretrigger::flushBackend() {
    Action* a = new (std::nothrow) ActionFlushAll;
    if (!a) syslogx(LOG_PRIO_ERR, "Pretrigger::flushBackend(): failed to create action");
    if (a) putAction(a);
}

void Pretrigger::measStop() {
    ScopeLock guard(holding_, "Pretrigger::measStop");
    // A trigger its task has yet to carry out keeps the window before it.
    if (state_.load() == STATE_BUFFERING && request_.load() == PRETRIG_REQ_TRIGGER &&
        lastRequest_ != PRETRIG_REQ_TRIGGER)
        return;
    uint32_t cleaned = 0, forwarded = 0;
    while (Node<Action>* n = holding_.del()) {
        Action* a = n->item;
        const uint32_t size = n->size - kNodeOverhead;
        delete n;
        if (a->forward() && backend_) {
            fragmenter_.forward(a->vfIdx(), a->dataSize());
            if (!backend_->add(a, size)) delete a;
            ++forwarded;
        } else {
            delete a;
            ++cleaned;
        }
    }
    fragmenter_.clearHeld();
    if (cleaned || forwarded)
        syslogx(LOG_PRIO_INFO2, "Pretrigger::measStop(%d): cleaned %u, forwarded %u nodes", measIdx_, cleaned,
                forwarded);
}

// Held actions older than the limit leave: those never held back go on to the Backend, the others
// are destroyed. Actions without a time of their own (file operations, meta data) leave at once.
void Pretrigger::flushUntil(uint32_t limit) {
    ScopeLock guard(holding_, "Pretrigger::flushUntil");
    for (;;) {
        Action* a = holding_.first();
        if (!a) break;
        const bool timeless = a->timestamp() == 0;
        if (!timeless && tsDiff(a->timestamp(), limit) >= 0) break;
        Node<Action>* n = holding_.del();
        const uint32_t size = n->size - kNodeOverhead;
        delete n;
        if (a->forward() && backend_) {
            fragmenter_.forward(a->vfIdx(), a->dataSize());
            if (!backend_->add(a, size)) delete a;
        } else {
            fragmenter_.drop(a->vfIdx(), a->dataSize());
            delete a;
        }
    }
}

bool Pretrigger::taskMain() {
    const uint32_t limit = limitFrom(holdTime());
    const int req = request_.load();
    if (req != lastRequest_) {
        const int s = state_.load();
        if (s == STATE_BUFFERING && req == PRETRIG_REQ_TRIGGER) {
            lastRequest_ = req;
            setState(STATE_FLUSH);
        } else if (s == STATE_FLUSH) {
            lastRequest_ = req;
            SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING,
                              "Pretrigger::taskMain(): STATE_FLUSH should not happen here!");
        } else if (s == STATE_FLUSHED && req == PRETRIG_REQ_ARM) {
            // The measurement raster hands over the open frames while everything still passes
            // through; then holding starts again.
            if (!armFlushReq_.load() && armWaitStart_ == 0) {
                armFlushReq_.store(true);
                armWaitStart_ = time_getTimestamp() | 1;
            } else if (!armFlushReq_.load() ||
                       tsDiff(time_getTimestamp(), armWaitStart_) >= int32_t(kArmFlushWait)) {
                if (armFlushReq_.exchange(false))
                    syslogx(LOG_PRIO_WARNING,
                            "Pretrigger::taskMain(): frames not handed over before arming (m0%d)",
                            measIdx_ + 1);
                armWaitStart_ = 0;
                lastRequest_ = req;
                flushBackend();
                setState(STATE_BUFFERING);
            }
        } else {
            lastRequest_ = req;
        }
    }
    const int s = state_.load();
    if (s == STATE_BUFFERING) {
        flushUntil(limit);
    } else if (s == STATE_FLUSH) {
        ScopeLock guard(holding_, "Pretrigger::flush");
        flushUntil(flushFrom_.load());
        syslogx(LOG_PRIO_INFO2, "Pretrigger::taskMain(): forwarding %u entries to backend", holding_.count());
        if (backend_) backend_->appendAndClearSrc(holding_);
        setState(STATE_FLUSHED);
    } else if (s == STATE_FLUSHED && holding_.count() != 0) {
        if (backend_) backend_->appendAndClearSrc(holding_);
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING,
                          "Pretrigger::taskMain(): STATE_FLUSHED: should not see a count here!");
    }
    const int now = state_.load();
    if (now == STATE_STOP) return false;
    // Held actions leave by time every tick; with everything passing through, the next thing to do
    // comes with a request.
    if ((now == STATE_DIRECT || now == STATE_FLUSHED) && request_.load() == lastRequest_ &&
        armWaitStart_ == 0)
        semTake(wake_, sysClkRateGet());
    else
        taskDelay(1);
    return true;
}

void Pretrigger::getMeasValues(uint8_t* state, uint32_t* bytes, uint32_t* peakBytes, uint32_t* entries,
                               uint32_t* peakEntries) {
    if (state) *state = uint8_t(state_.load());
    holding_.getMeasValues(bytes, peakBytes, entries, peakEntries);
}

int Pretrigger::checkFragment() {
    ScopeLock guard(holding_, "Pretrigger::checkFragment");
    return fragmenter_.checkFragment();
}

void Pretrigger::triggerFragment() {
    ScopeLock guard(holding_, "Pretrigger::triggerFragment");
    fragmenter_.triggerFragment();
}

} // namespace measure::store
