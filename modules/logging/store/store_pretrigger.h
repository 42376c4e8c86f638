// The Pretrigger: first stage of the store of one measurement. With a pretrigger time it holds the
// last buffer-time seconds of actions until a trigger, then releases everything from trigger time
// minus buffer time on to the Backend and passes later actions straight through until it is armed
// again. File operations and status-block and close-time records are never held back. Its
// Fragmenter decides when a file is big or old enough for a new fragment.
#pragma once

#include "logging/store/meas_app_pretrig.h"
#include "logging/store/store_action.h"
#include "logging/store/store_list.h"
#include "logging/store/store_runnable.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace measure::store {

class Backend;
class Writer;

inline constexpr int kPretrigPriority = 142;
inline constexpr size_t kPretrigStack = 65536;

enum preTrig_state_e : int {
    STATE_BUFFERING = 1,
    STATE_FLUSH = 2,
    STATE_FLUSHED = 3,
    STATE_STOP = 4,
    STATE_DIRECT = 5,
};
enum : int { PRETRIG_REQ_NONE = 0, PRETRIG_REQ_TRIGGER = 1, PRETRIG_REQ_ARM = 2 };

// Fragment decisions of the current file. Not locked itself: the Pretrigger calls it under its
// holding list's lock.
class Fragmenter {
public:
    Fragmenter();
    void init(int vfIdx, uint32_t startTs, uint32_t headerLength);
    void write(int vfIdx, uint32_t n);   // counted, or held while not passing through
    void forward(int vfIdx, uint32_t n); // a held action went on
    void drop(int vfIdx, uint32_t n);    // a held action was destroyed
    void clearHeld() { held_ = 0; }
    void setPassThrough(bool on);
    int checkFragment(); // 0 none, 1 size limit, 2 time limit
    void triggerFragment() { active_ = false; }
    uint64_t bytesCounted() const { return bytes_; }
    uint64_t heldBytes() const { return held_; }

private:
    bool active_ = false;
    int vfIdx_ = -1;
    uint32_t timeLimit_ = 0xFFFFFFFF;
    bool hasTimeLimit_ = false;
    uint64_t bytes_ = 0;
    uint32_t headerLength_ = 0;
    uint64_t sizeLimit_;
    bool passThrough_ = true;
    uint64_t held_ = 0;
};

class Pretrigger : public Runnable {
public:
    // Owns the Backend from here on. Starts "r_MeasPretrig%d"; without it, passes everything through.
    Pretrigger(int measIdx, float bufferTimeSec, Backend* backend);
    ~Pretrigger() override;

    bool taskMain() override;

    void trigArm();
    // The trigger at the clock's time, or at `ts` in the data's time.
    void trigTrigger();
    void trigTrigger(uint32_t ts);
    // The start condition did not fire up to its sample at `ts` (meas_app_PreTrigConditionChecked).
    void conditionChecked(uint32_t ts);
    bool conditionCheckedAt(uint32_t* ts) const;
    void putAction(Action* action);
    void openFile(MeasAppStore_FileInfo_s* info);
    void putFrame(int vfIdx, uint8_t* data, uint32_t length, uint32_t firstTs, uint32_t lastTs);
    void putMetaData(uint8_t* data, uint32_t length, uint32_t ts, uint8_t type);
    void putMetaDataVf(int vfIdx, uint8_t* data, uint32_t length, uint8_t type);
    void closeFile(int vfIdx);
    void flushFile(int vfIdx);
    void flushDir();
    void copyFile(const CopyFile_t& request);
    void flushBackend();
    void measStop();

    bool measRunning() const;
    bool passThrough() const;
    int state() const { return state_.load(); }
    Backend* getBackend() { return backend_; }
    void getMeasValues(uint8_t* state, uint32_t* bytes, uint32_t* peakBytes, uint32_t* entries,
                       uint32_t* peakEntries);
    int checkFragment();
    void triggerFragment();
    int measIdx() const { return measIdx_; }
    // Never the same for two stores of one run of the process.
    uint32_t id() const { return id_; }

    // Re-arming: the measurement raster hands over open frames on request.
    bool armFlushRequested() const { return armFlushReq_.load(); }
    void armFlushDone() { armFlushReq_.store(false); }

    // The writers of this store: stopped and destroyed with it, before its Backend.
    void adoptWriter(Writer* writer);
    // Every writer has written and flushed everything queued; a writer still starting has not.
    bool isOfflineDataFlushed();
    // What isOfflineDataFlushed finds not written, one item per writer (Backend::unwritten).
    void unwritten(std::vector<std::string>* items);
    // A writer left behind by a store it hung in still has an action in hand.
    static bool leftBehindBusy();
    // The drives of the writers among `bits` (writer bits of this measurement), for messages; with
    // `state`, whether each waits for room.
    void writerDrives(uint32_t bits, char* out, size_t size, bool state = true);
    // The writers among `bits` that have got nothing onto their drive for `ticks` (100 us) with an
    // action in hand.
    uint32_t stalledWriters(uint32_t bits, uint32_t ticks);

private:
    void flushUntil(uint32_t limit);
    void setState(int state);
    uint32_t limitFrom(uint32_t now) const;
    uint32_t dataTime() const;
    uint32_t holdTime() const;
    void noteDataTime(uint32_t ts); // holding list's lock held
    void putCounted(Action* action, int vfIdx, uint32_t n);

    int measIdx_;
    uint32_t id_;
    uint32_t bufferTime_; // time-stamp units
    std::atomic<int> state_;
    std::atomic<int> request_{PRETRIG_REQ_NONE};
    std::atomic<int> lastRequest_{PRETRIG_REQ_NONE}; // the task's; measStop reads it
    std::atomic<uint32_t> triggerTs_{0};
    std::atomic<uint32_t> flushFrom_{0};
    List<Action> holding_;
    Backend* backend_;
    Fragmenter fragmenter_;
    std::vector<Writer*> writers_;
    std::atomic<uint32_t> dataTime_{0};
    std::atomic<bool> dataTimeSet_{false};
    // The start condition's newest sample that did not fire: 1 << 32 | its stamp; 0 none yet.
    std::atomic<uint64_t> checked_{0};
    std::atomic<bool> armFlushReq_{false};
    uint32_t armWaitStart_ = 0;
    bool dropped_ = false; // a writer was dropped for falling behind; again only once the files went down
    // Given by a request and at the end: with everything passing through and no request, the task
    // has nothing to do each tick.
    SEM_ID wake_ = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
};

} // namespace measure::store
