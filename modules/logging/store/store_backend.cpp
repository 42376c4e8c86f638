#include "logging/store/store_backend.h"

#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/disk/meas_app_drivecall.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace measure::store {

namespace {
constexpr int kWriterStopTicks = 3000; // 3 s
} // namespace

Backend::Backend(int measIdx, uint32_t startupMs)
    : measIdx_(measIdx), startupMs_(startupMs), mainLoopTicks_(sysClkRateGet() / 10),
      oversizeTicksFull_(10 * sysClkRateGet()) {
    char name[32];
    std::snprintf(name, sizeof name, "r_MeasBackend%d", measIdx + 1);
    if (!taskStart(name, kBackendPriority, kBackendStack, VX_FP_TASK, 0))
        throw "Backend::Backend() taskStart failed.";
}

Backend::~Backend() {
    taskStop(WAIT_FOREVER);
    Writer* stopped[kMaxWriters] = {};
    {
        ScopeLock guard(*this, "~Backend");
        for (int i = 0; i < kMaxWriters; ++i)
            if (writers_[i]) writers_[i]->taskStopAsync();
        for (int i = 0; i < kMaxWriters; ++i) {
            if (!writers_[i]) continue;
            stopped[i] = writers_[i];
            remove(writers_[i]);
        }
    }
    // Their owner destroys them; they must not run on into a destroyed list.
    for (Writer* w : stopped)
        if (w && !w->taskStop(kWriterStopTicks))
            syslogx(LOG_PRIO_ERR, "Backend::~Backend() taskStop on writer %u failed - dangling reference!",
                    unsigned(w->getID()));
    for (auto*& it : iters_) {
        delete it;
        it = nullptr;
    }
    for (auto* it : retired_) delete it;
    retired_.clear();
    // Each kept action once, however many hands hold it.
    std::vector<Action*> kept;
    for (const Hand& h : hands_)
        for (Action* a : h.kept)
            if (std::find(kept.begin(), kept.end(), a) == kept.end()) kept.push_back(a);
    hands_.clear();
    for (Action* a : kept) delete a;
    clear();
}

void Backend::taskStartCallback() {
    appl_time_t start{};
    clock_appltime(&start);
    for (;;) {
        appl_time_t now{}, diff{};
        clock_appltime(&now);
        clock_difftime(&now, &start, &diff);
        if (uint64_t(diff.sec) * 1000 + diff.nsec / 1000000 >= startupMs_) break;
        // Writers that hang are let go from the start on; nothing is cut meanwhile.
        runOnce();
        if (!sleepTicks(mainLoopTicks_)) break;
    }
    fromHead_.store(false);
}

bool Backend::subscribe(Writer* writer) {
    std::vector<Action*> kept;
    const bool done = subscribeLocked(writer, &kept);
    for (Action* a : kept) delete a;
    return done;
}

bool Backend::subscribeLocked(Writer* writer, std::vector<Action*>* kept) {
    ScopeLock guard(*this, "Backend::subscribe");
    if (!writer || writer->getID() != kNoWriterId || writerCount_ >= kMaxWriters) return false;
    // A writer that was in the store before (dropped, now back) logs on from the tail in any case:
    // what it left is not finished on its drive.
    bool before = false;
    for (const Writer* w : left_) before = before || w == writer;
    Iterator<Action>* it = fromHead_.load() && !before ? createIterator("List::iterator", false)
                                                       : createIterator("List::tailIterator", true);
    if (!it) return false;
    int slot = -1;
    for (int i = 0; i < kMaxWriters; ++i) {
        const int s = (nextSlot_ + i) % kMaxWriters;
        if (!writers_[s]) {
            slot = s;
            break;
        }
    }
    if (slot < 0) {
        delete it;
        return false;
    }
    // The slot's old iterator may still be in a removed writer's hands: it goes with the Backend.
    if (iters_[slot]) retired_.push_back(iters_[slot]);
    // A writer coming back lets go of what it held while it was out; one that hung writes again.
    *kept = letGoOfHand(writer);
    for (int i = 0; i < kMaxWriters; ++i) {
        if (hungWriter_[i] == writer || i == slot) {
            if (hungWriter_[i] == writer) virtualFiles.writerBack(measIdx_, uint8_t(i));
            hungWriter_[i] = nullptr;
        }
    }
    virtualFiles.registerWriter(measIdx_, uint8_t(slot), writer->type() == WRITER_USB);
    writer->setID(uint8_t(slot));
    iters_[slot] = it;
    const char* name = taskName(taskIdSelf());
    std::snprintf(names_[slot], sizeof names_[slot], "%s", name ? name : "?");
    writers_[slot] = writer;
    ++writerCount_;
    syslogx(LOG_PRIO_INFO2, "Backend::subscribe() writer connected %s (%u)", names_[slot], unsigned(slot));
    nextSlot_ = uint8_t((slot + 1) % kMaxWriters);
    return true;
}

bool Backend::remove(Writer* writer, const char* why) {
    ScopeLock guard(*this, "Backend::remove");
    if (!writer) return false;
    const uint8_t id = writer->getID();
    if (id >= kMaxWriters || writers_[id] != writer) return false;
    bool known = false;
    for (const Writer* w : left_) known = known || w == writer;
    if (!known) left_.push_back(writer);
    --writerCount_;
    writers_[id] = nullptr;
    Iterator<Action>* it = iters_[id];
    {
        std::lock_guard<std::mutex> step(steps_[id]);
        if (it) {
            // What the writer may be executing stays until it asks for its next action.
            if (writer->busy() && it->current() && it->current()->item) {
                const Action* held = it->current()->item;
                hands_.push_back({writer, held, held->vfIdx(), {}});
            }
            it->invalidate();
            removeIterator(it);
        }
        writer->setID(kNoWriterId);
    }
    virtualFiles.deregisterWriter(measIdx_, id, writer->drive(), why);
    syslogx(LOG_PRIO_INFO2, "Backend::remove() writer disconnected %s (%u)", names_[id], unsigned(id));
    names_[id][0] = '\0';
    return true;
}

Action* Backend::next(Writer& writer, uint32_t* seq) {
    const uint8_t id = writer.getID();
    if (id == kNoWriterId) {
        std::vector<Action*> kept;
        {
            ScopeLock guard(*this, "Backend::next");
            kept = letGoOfHand(&writer);
        }
        for (Action* a : kept) delete a;
        return nullptr;
    }
    if (id >= kMaxWriters) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "Backend::next() called with illegal writer id (%u)", unsigned(id));
        return nullptr;
    }
    // The step and remove() exclude each other: a remove finds either the action taken here in the
    // writer's hand, or the writer gone before it took one (it lets go on its next call). Without it
    // the writer could go on with an action that no hand holds and that is cut behind it.
    std::lock_guard<std::mutex> step(steps_[id]);
    if (writer.getID() != id) return nullptr;
    // Only this writer's own task moves its iterator; it is replaced only when the writer subscribes.
    Iterator<Action>* it = iters_[id];
    if (!it || !it->valid()) return nullptr;
    Node<Action>* n = it->advance();
    if (!n) return nullptr;
    if (seq) *seq = it->position();
    return n->item;
}

bool Backend::iterSkip(Writer& writer, IteratorNodeSkip* skip) {
    const uint8_t id = writer.getID();
    if (id >= kMaxWriters || !skip) {
        syslogx(LOG_PRIO_ERR, "Backend::iterSkip() called with illegal argument - writer id (%u)",
                unsigned(id));
        return false;
    }
    ScopeLock guard(*this, "Backend::iterSkip");
    Iterator<Action>* it = iters_[id];
    if (!it || !it->valid() || !skip->node) return false;
    for (uint32_t i = 0; i < skip->skipped; ++i)
        if (!it->advance()) break;
    return true;
}

bool Backend::isOfflineDataFlushed() {
    ScopeLock guard(*this, "Backend::isOfflineDataFlushed");
    const uint32_t count = countLocked();
    if (count == 0) return true;
    const uint32_t last = headSeqLocked() + count - 1;
    for (int i = 0; i < kMaxWriters; ++i) {
        Writer* w = writers_[i];
        if (!w || !(w->type() & WRITER_FILES)) continue;
        Iterator<Action>* it = iters_[i];
        if (!it || it->position() != last || !it->atEnd() || w->busy() || w->hasUnflushedData()) return false;
    }
    return true;
}

void Backend::unwritten(std::vector<std::string>* items) {
    ScopeLock guard(*this, "Backend::unwritten");
    for (int i = 0; i < kMaxWriters; ++i) {
        Writer* w = writers_[i];
        Iterator<Action>* it = iters_[i];
        if (!w || !(w->type() & WRITER_FILES) || !it || !it->valid()) continue;
        // The entries after the one it stands on, and that one while it still has it in hand: none
        // of them is cut while the list's lock is held.
        Node<Action>* n = it->current();
        if (!(n && w->busy())) n = n ? n->next.load(std::memory_order_acquire) : headNode();
        uint32_t records = 0;
        uint64_t bytes = 0;
        for (; n; n = n->next.load(std::memory_order_acquire)) {
            if (!n->item || n->item->dataSize() == 0) continue;
            ++records;
            bytes += n->item->dataSize();
        }
        const bool held = w->holdsRecords(); // taken, not handed to the drive yet
        if (records == 0 && !held) continue;
        char item[160];
        if (records)
            std::snprintf(item, sizeof item, "%u records (%llu bytes) of m0%d for %s%s were not written",
                          unsigned(records), (unsigned long long)bytes, measIdx_ + 1, w->drive(),
                          held ? ", and those its writer held," : "");
        else
            std::snprintf(item, sizeof item, "the records its writer held of m0%d for %s were not written",
                          measIdx_ + 1, w->drive());
        std::string one = item;
        const uint32_t inCall = w->inCallMs();
        if (w->waitsForNames())
            one += " (its file waits for its name: the start's search of the drives' folders has not ended)";
        else if (w->stalled())
            one += " (drive full, waits for room)";
        else if (inCall >= 1000)
            one += " (a call of its drive has not returned for " + std::to_string(inCall / 1000) + " s)";
        items->push_back(one);
    }
}

void Backend::framesHeld(std::vector<HeldFrame>* frames) {
    ScopeLock guard(*this, "Backend::framesHeld");
    for (Node<Action>* n = headNode(); n; n = n->next.load(std::memory_order_acquire)) {
        const auto* data = dynamic_cast<const ActionData*>(n->item);
        if (!data || data->timestamp() == 0 || data->length() == 0) continue;
        frames->push_back(
            HeldFrame{data->vfIdx(), data->data()[0], data->firstTimestamp(), data->timestamp()});
    }
}

bool Backend::dropSlowest(int files) {
    // While the store keeps everything for a late stick, no writer holds the files.
    if (fromHead_.load()) return false;
    ScopeLock guard(*this, "Backend::dropSlowest");
    const uint32_t head = headSeqLocked();
    int slowest = -1;
    uint32_t minimum = UINT32_MAX;
    for (int i = 0; i < kMaxWriters; ++i) {
        if (!writers_[i] || !iters_[i]) continue;
        const uint32_t pos = iters_[i]->position() - head;
        if (pos < minimum) {
            minimum = pos;
            slowest = i;
        }
    }
    // One that has read everything holds nothing back, and one that keeps up (most of the files are
    // behind it) is not what holds them.
    if (slowest < 0 || minimum + 1 >= countLocked()) return false;
    if (2 * ahead(slowest).closes <= uint32_t(files)) {
        syslogx(
            LOG_PRIO_WARNING,
            "Backend::dropSlowest(): %d files are in the store and every writer keeps up: none is removed",
            files);
        return false;
    }
    syslogx(LOG_PRIO_WARNING,
            "Backend::dropSlowest(): %d files are in the store, the most it keeps for a drive that falls "
            "behind: removing writer %s (%u), the furthest behind; the files it has not written are not "
            "finished on %s, and it logs on from the next one",
            files, names_[slowest], unsigned(slowest), writers_[slowest]->drive());
    return remove(writers_[slowest], "its drive is too slow: it fell too many files behind");
}

bool Backend::getWriterQueueCnt(Writer& writer, uint32_t* count) {
    ScopeLock guard(*this, "Backend::getWriterQueueCnt");
    const uint8_t id = writer.getID();
    if (id >= kMaxWriters || writers_[id] != &writer || !iters_[id] || !count) return false;
    *count = countLocked() + iters_[id]->position() - headSeqLocked();
    return true;
}

Backend::Ahead Backend::ahead(int slot) {
    Ahead a;
    Iterator<Action>* it = iters_[slot];
    Node<Action>* n = it ? it->current() : nullptr;
    for (n = n ? n->next.load(std::memory_order_acquire) : headNode(); n;
         n = n->next.load(std::memory_order_acquire)) {
        a.closes += dynamic_cast<ActionClose*>(n->item) != nullptr;
        a.bytes += n->size;
    }
    return a;
}

void Backend::keepInHand(List<Action>* cut) {
    if (hands_.empty()) return;
    cut->releaseIf([&](Action* a) {
        auto* close = dynamic_cast<ActionClose*>(a);
        bool held = false;
        for (Hand& h : hands_) {
            if (a != h.action && !(close && h.vfIdx >= 0 && close->vfIdx() == h.vfIdx)) continue;
            h.kept.push_back(a);
            held = true;
        }
        // The slot goes once, here; the virtual file goes with the close, after the last hand.
        if (held && close) close->freeSlot();
        return held;
    });
}

std::vector<Action*> Backend::letGoOfHand(const Writer* writer) {
    std::vector<Action*> mine;
    for (size_t i = 0; i < hands_.size();) {
        if (hands_[i].writer != writer) {
            ++i;
            continue;
        }
        mine.insert(mine.end(), hands_[i].kept.begin(), hands_[i].kept.end());
        hands_.erase(hands_.begin() + std::ptrdiff_t(i));
    }
    // What another writer still holds stays with it.
    std::vector<Action*> gone;
    for (Action* a : mine) {
        bool held = false;
        for (const Hand& h : hands_)
            held = held || std::find(h.kept.begin(), h.kept.end(), a) != h.kept.end();
        if (!held) gone.push_back(a);
    }
    return gone;
}

int Backend::writerCount() {
    ScopeLock guard(*this, "Backend::writerCount");
    return writerCount_;
}

bool Backend::checkOversizeTimeout() {
    const uint64_t total = bytes();
    if (oversizeSnapshot_ == 0) {
        if (total > kOversizeLimit) {
            oversizeSnapshot_ = total;
            oversizeTicks_ = oversizeTicksFull_;
        }
        return false;
    }
    oversizeTicks_ -= mainLoopTicks_;
    if (total <= kOversizeLimit) {
        oversizeSnapshot_ = 0;
        return false;
    }
    if (oversizeTicks_ < 1) {
        const bool grew = oversizeSnapshot_ <= total;
        oversizeSnapshot_ = total;
        oversizeTicks_ = oversizeTicksFull_;
        return grew;
    }
    return false;
}

void Backend::runOnce() {
    // While the store keeps everything for a late stick, its size is no writer's fault.
    const bool oversize = !fromHead_.load() && checkOversizeTimeout();
    List<Action>* cut = nullptr;
    {
        ScopeLock guard(*this, "Backend::run_checkWriters");
        const uint32_t count = countLocked();
        const uint32_t head = headSeqLocked();
        // Positions are compared as distances from the head: sequence numbers wrap.
        uint32_t minimum = count ? count - 1 : 0;
        int slowest = -1;
        for (int i = 0; i < kMaxWriters; ++i) {
            Writer* w = writers_[i];
            if (!w) continue;
            const uint32_t pos = iters_[i] ? iters_[i]->position() - head : 0;
            if (pos < minimum) {
                minimum = pos;
                slowest = i;
            }
            if (!w->alive() || !w->storeKeeps()) {
                // A writer in a drive named hung is alive: it is let go for its drive, and says so.
                std::string call;
                const bool driveHangs = meas_app_driveHung(w->drive(), &call);
                if (driveHangs)
                    syslogx(LOG_PRIO_WARNING,
                            "Backend::taskMain(): removing writer %s (%u): its drive %s hangs (%s has not "
                            "returned for %u s), the writer is let go until the drive answers",
                            names_[i], unsigned(i), w->drive(), call.c_str(),
                            unsigned(MEAS_DRIVECALL_BOUND_MS / 1000));
                else
                    syslogx(LOG_PRIO_WARNING,
                            "Backend::taskMain(): removing writer %s (%u) that is no longer alive!",
                            names_[i], unsigned(i));
                hungWriter_[i] = w;
                virtualFiles.writerHangs(measIdx_, uint8_t(i), w->drive());
                const std::string why = driveHangs ? "its drive hangs (" + call + " does not return)"
                                                   : std::string("its writer is stuck: nothing for 10 s");
                remove(w, why.c_str());
            }
        }
        if (!fromHead_.load() && minimum > 0) cut = removeSublist(minimum);
        if (cut) keepInHand(cut);
        // The slowest is dropped only where it holds most of the list: one that keeps up never is.
        if (oversize && slowest >= 0 && writers_[slowest] && 2 * ahead(slowest).bytes > bytesLocked()) {
            syslogx(LOG_PRIO_WARNING, "Backend::taskMain(): removing writer %s (%u) list size exceeded!",
                    names_[slowest], unsigned(slowest));
            remove(writers_[slowest], "its drive is too slow: the store's list stayed full for 10 s");
        }
    }
    delete cut;
}

bool Backend::taskMain() {
    runOnce();
    taskDelay(mainLoopTicks_);
    return true;
}

} // namespace measure::store
