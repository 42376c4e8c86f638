// The writers: each a task that reads the Backend's actions at its own pace and carries them out
// on its medium. Writer is the base with the Backend link and the meta-data record framing.
#pragma once

#include "logging/store/store_action.h"
#include "logging/store/store_runnable.h"

#include <atomic>
#include <cstdint>

namespace measure::store {

class Backend;

inline constexpr uint8_t kNoWriterId = 255;

class Writer : public Runnable {
public:
    Writer(Backend& backend, uint8_t type, int measIdx);
    ~Writer() override = default;

    virtual bool alive();
    // The store keeps files for it (the Backend asks every 0.1 s): a writer held in a call of a drive
    // named hung is let go at once (DriveHealth).
    virtual bool storeKeeps() { return true; }
    // Base: makes sure the file is open.
    virtual bool write(int vfIdx, const uint8_t* data, uint32_t length);
    // One meta-data record: header {0xFF, type, length} and payload as one write (type 0: the
    // payload alone). Opens the file when needed, as a frame would.
    virtual bool writeMetaData(int vfIdx, const uint8_t* data, uint32_t length, uint8_t type);
    virtual bool close(int) { return true; }
    virtual bool flush(int) { return true; }
    virtual bool flushDir() { return true; }
    virtual bool flushAll() { return true; }
    virtual bool getQueueCnt(uint32_t* count);
    virtual bool isOpen(int vfIdx) = 0;
    virtual bool open(int vfIdx) = 0;
    // Something written that has not reached the medium yet.
    virtual bool hasUnflushedData() const { return false; }
    // Records taken and not handed to the drive yet (what the exit loses): no close going on beside.
    virtual bool holdsRecords() const { return hasUnflushedData(); }
    // A close of a file it handed on goes on beside it (its write-throughs, read-only).
    virtual bool closing() const { return false; }
    // The close just executed goes on beside the writer: the file's record hears its end from there.
    bool closeSettlesLater() const { return closeLater_; }
    // The drive it writes, for messages.
    virtual const char* drive() const { return ""; }
    // The current action could not be carried out yet (its drive is full, or its file's name waits
    // for the start's search): the writer keeps it and tries again, and nothing behind it is taken
    // before.
    bool stalled() const { return retryLater_.load(); }
    // Stalled because its file's name waits for the start's search of the drives' folders.
    bool waitsForNames() const { return namesWait_.load(); }
    // How long (100 us ticks) the writer has held an action without getting it onto its drive:
    // waiting for room with nothing taken, or holding it while a call of its drive has not
    // returned. 0 while it keeps up, however slow its drive (a call that returns is progress).
    uint32_t stalledTicks(uint32_t now) const;
    // How long (ms) its own task has been in its current drive call; 0 when in none.
    uint32_t inCallMs() const;

    uint8_t type() const { return type_; }
    void setID(uint8_t id);
    uint8_t getID() const { return id_.load(); }
    // The id it had when it took its current action: a writer dropped while it hung in its drive
    // still tells the file's record what became of the file it had in hand.
    uint8_t actionID() const { return actionId_.load(); }
    int measIdx() const { return measIdx_; }
    // Takes the next action from the Backend into the current action (null at the end).
    Action* next();
    bool subscribe();
    bool isMediaAvailable() const { return mediaAvailable_.load(); }
    Action* currentAction() const { return current_; }
    // Between taking an action and finishing it (for the offline-data check).
    bool busy() const { return busy_.load(); }
    // The task has looked at its medium once: it is subscribed, or knows it has nothing to write.
    bool startDecided() const { return startDecided_.load(); }
    Backend& backend() { return backend_; }

protected:
    // Executes the current action and records it as done, unless it asked to be tried again.
    int executeCurrent();
    // Called by an action's execution: the action is to be carried out again later.
    void retryLater() { retryLater_.store(true); }

    Action* current_ = nullptr;
    bool startStampPending_ = true; // set again for every file a writer opens
    bool closeLater_ = false;       // see closeSettlesLater()
    std::atomic<bool> notSubscribed_{true};
    std::atomic<bool> mediaAvailable_{false};
    std::atomic<uint32_t> lastActivity_;
    uint32_t created_;
    Backend& backend_;
    uint8_t type_;
    int measIdx_;
    std::atomic<uint8_t> id_{kNoWriterId};
    std::atomic<uint8_t> actionId_{kNoWriterId};
    std::atomic<bool> busy_{false};
    std::atomic<bool> startDecided_{false};
    std::atomic<bool> retryLater_{false};
    std::atomic<bool> namesWait_{false};
    std::atomic<uint32_t> progressAt_;             // the last action done, or piece handed to the drive
    std::atomic<const void*> callThread_{nullptr}; // its task, as the drive calls know it
};

} // namespace measure::store
