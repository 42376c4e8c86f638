// The Backend: the one action list of a measurement between its Pretrigger and up to 8 writers,
// each reading it at its own pace through its own iterator. Its task "r_MeasBackend%d" cuts the
// entries every writer has passed, drops writers that stopped reporting alive or that hang in their
// drive and, when the list stays above 25 MiB for 10 s without shrinking, the slowest writer, where
// it is the one that holds the list. A writer dropped with an action in hand keeps that action and
// the file it belongs to, and nothing else: the list goes on being cut behind the others.
#pragma once

#include "logging/store/store_action.h"
#include "logging/store/store_list.h"
#include "logging/store/store_runnable.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace measure::store {

class Writer;

inline constexpr int kMaxWriters = 8;
inline constexpr uint64_t kOversizeLimit = 26214400; // 25 MiB
inline constexpr int kBackendPriority = 146;
inline constexpr size_t kBackendStack = 10000;
inline constexpr uint32_t kBackendStartupMs = 25000;

// A data frame in the list: its file, its block (frame id) and its samples' first and last stamps.
struct HeldFrame {
    int vfIdx = -1;
    uint8_t block = 0;
    uint32_t first = 0;
    uint32_t last = 0;
};

struct IteratorNodeSkip {
    Node<Action>* node;
    uint32_t skipped;
};

class Backend : public List<Action>, public Runnable {
public:
    // Starts the task; raises "Backend::Backend() taskStart failed." when it cannot. `startupMs`
    // is the time during which new writers start at the head of the list (and nothing is cut).
    explicit Backend(int measIdx, uint32_t startupMs = kBackendStartupMs);
    ~Backend() override;

    void taskStartCallback() override;
    bool taskMain() override;

    bool subscribe(Writer* writer);
    // `why` it leaves, for the records of the files it had yet to close.
    bool remove(Writer* writer, const char* why = "its writer left the store");
    // The next action for the writer (its sequence number into *seq), null at the end.
    Action* next(Writer& writer, uint32_t* seq = nullptr);
    bool iterSkip(Writer& writer, IteratorNodeSkip* skip);
    bool isOfflineDataFlushed();
    // What its file writers have not written yet, one item per writer: "57 records (11904 bytes) of
    // m01 for meas: were not written (drive full, waits for room)".
    void unwritten(std::vector<std::string>* items);
    // The data frames in the list (for the records that reach no drive at the exit).
    void framesHeld(std::vector<HeldFrame>* frames);
    // The measurement's files in flight reach the bound of its virtual files (`files` of them): the
    // writer furthest behind leaves the store, its files not written are not finished on its drive,
    // and it logs on from the tail, so that a slow drive never keeps the others from new files. A
    // writer that keeps up (most of the files are behind it) is never dropped. True when one was.
    bool dropSlowest(int files);
    bool getWriterQueueCnt(Writer& writer, uint32_t* count);
    int measIdx() const { return measIdx_; }
    int writerCount();

private:
    void runOnce();
    bool checkOversizeTimeout();
    bool subscribeLocked(Writer* writer, std::vector<Action*>* kept);
    // What a writer has not read yet: its files' closes, and bytes.
    struct Ahead {
        uint32_t closes = 0;
        uint64_t bytes = 0;
    };
    Ahead ahead(int slot);
    // Entries cut off the list that a dropped writer still holds (its action in hand, and the close
    // of its file, whose slot is freed) are kept until it asks for its next action or comes back.
    // Every hand that holds one keeps it: it goes with the last of them to let go.
    void keepInHand(List<Action>* cut);
    // What the writer's hand kept and no other hand holds, for its caller to destroy outside the
    // list's lock.
    std::vector<Action*> letGoOfHand(const Writer* writer);

    Writer* writers_[kMaxWriters] = {};
    char names_[kMaxWriters][21] = {};
    Iterator<Action>* iters_[kMaxWriters] = {};
    // A writer's step through the list (next) and its removal, by slot.
    std::mutex steps_[kMaxWriters];
    std::vector<Iterator<Action>*> retired_;
    // A writer removed while it executes an action keeps that action (and the virtual file it
    // belongs to) until it asks for its next action. Several writers may hold the same one.
    struct Hand {
        const Writer* writer;
        const Action* action;      // compared only: it lives while a hand holds it
        int vfIdx;                 // of the action's file, -1 none
        std::vector<Action*> kept; // cut off the list; shared with the other hands that hold them
    };
    std::vector<Hand> hands_;
    // Writers that left the store (compared only): one that comes back starts at the tail.
    std::vector<const Writer*> left_;
    // Writers dropped because they hang in their drive, by the slot they had.
    Writer* hungWriter_[kMaxWriters] = {};
    std::atomic<bool> fromHead_{true};
    uint8_t writerCount_ = 0;
    uint8_t nextSlot_ = 0;
    int measIdx_;
    uint32_t startupMs_;
    uint64_t oversizeSnapshot_ = 0;
    int oversizeTicks_ = 0;
    int mainLoopTicks_;
    int oversizeTicksFull_;
};

} // namespace measure::store
