#include "framework/nvram.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// ---- The write-behind: the NV store's own task ----

namespace {

constexpr int kTaskPriority = 160; // as the drives' own tasks: below the writers
constexpr size_t kTaskStack = 20000;
constexpr size_t kMaxElements = 1024;
constexpr size_t kMaxBytes = 512 * 1024;

using Key = std::pair<uint32_t, uint32_t>;

struct Queued {
    Key key;
    std::vector<uint8_t> data;
    const char* what = "";
    bool keep = false;
    bool idle = false;
    bool repair = false; // no value: the element's copy that is not good rewritten from the other
    uint64_t oldest = 0; // the earliest write in turn that this value stands for (0: none, Idle)
};

struct WriteBehind {
    std::mutex m;
    std::condition_variable changed;                 // a value queued, or a write made
    std::map<uint64_t, Queued> queue[2];             // [0] in turn, [1] idle; by number, oldest first
    std::map<Key, std::vector<uint64_t>> waiting;    // each element's queued values, oldest first
    std::map<std::string, std::set<uint64_t>> kinds; // [0]'s numbers by record kind (`what`)
    std::set<uint64_t> keeps;                        // [0]'s Keep values: none queued after one goes first
    std::string lastKind;                            // the kind written last: the others' turn first
    std::optional<Queued> inHand;                    // the value the task writes now
    std::atomic<NvdbStage> stage{NvdbStage::Done};   // how far the write in hand has come
    size_t bytes = 0;
    uint64_t next = 0;
    bool held = false; // start-up: the queued writes wait for its reads
    int atOnce = 0;    // reads and writes made at once that wait for the store: they go first
    TASK_ID task = TASK_ID_ERROR;
};

WriteBehind& wb() {
    static auto* w = new WriteBehind; // the task may still write while the process ends
    return *w;
}

std::map<uint64_t, Queued>::iterator findLocked(WriteBehind& w, uint64_t no, int* cls) {
    for (int c = 0; c < 2; ++c) {
        const auto it = w.queue[c].find(no);
        if (it != w.queue[c].end()) {
            *cls = c;
            return it;
        }
    }
    *cls = -1;
    return w.queue[0].end();
}

void forgetNumberLocked(WriteBehind& w, const Key& key, uint64_t no) {
    const auto it = w.waiting.find(key);
    if (it == w.waiting.end()) return;
    std::vector<uint64_t>& nos = it->second;
    nos.erase(std::remove(nos.begin(), nos.end(), no), nos.end());
    if (nos.empty()) w.waiting.erase(it);
}

void insertLocked(WriteBehind& w, uint64_t no, Queued q) {
    const int cls = q.idle ? 1 : 0;
    if (cls == 0) w.kinds[q.what].insert(no);
    if (cls == 0 && q.keep) w.keeps.insert(no);
    w.waiting[q.key].push_back(no);
    w.bytes += q.data.size();
    w.queue[cls].emplace(no, std::move(q));
}

// Takes a queued value out of the queue and its lists.
Queued eraseLocked(WriteBehind& w, std::map<uint64_t, Queued>::iterator it, int cls) {
    const uint64_t no = it->first;
    Queued q = std::move(it->second);
    w.queue[cls].erase(it);
    if (cls == 0) {
        const auto kind = w.kinds.find(q.what);
        if (kind != w.kinds.end() && kind->second.erase(no) && kind->second.empty()) w.kinds.erase(kind);
        w.keeps.erase(no);
    }
    forgetNumberLocked(w, q.key, no);
    w.bytes -= q.data.size();
    return q;
}

// The next value to write: each kind of record in turn, the oldest of a kind first, none queued after
// a Keep value before it; idle ones once nothing else waits. The queue is not empty.
std::pair<std::map<uint64_t, Queued>::iterator, int> nextLocked(WriteBehind& w) {
    if (w.queue[0].empty()) return {w.queue[1].begin(), 1};
    const uint64_t barrier = w.keeps.empty() ? UINT64_MAX : *w.keeps.begin();
    auto kind = w.kinds.upper_bound(w.lastKind);
    for (size_t i = 0; i < w.kinds.size(); ++i, ++kind) {
        if (kind == w.kinds.end()) kind = w.kinds.begin();
        const uint64_t head = *kind->second.begin();
        if (head <= barrier) {
            w.lastKind = kind->first;
            return {w.queue[0].find(head), 0};
        }
    }
    return {w.queue[0].find(barrier), 0}; // not reached: the Keep's own kind has its turn
}

bool idleLocked(const WriteBehind& w) {
    return w.queue[0].empty() && w.queue[1].empty() && !w.inHand;
}

void startLocked(WriteBehind& w) {
    if (w.task != TASK_ID_ERROR) return;
    w.task = taskSpawn("r_nvStore", kTaskPriority, VX_FP_TASK, kTaskStack, [] {
        WriteBehind& w = wb();
        std::unique_lock<std::mutex> lk(w.m);
        for (;;) {
            w.changed.wait(
                lk, [&] { return !w.held && w.atOnce == 0 && !(w.queue[0].empty() && w.queue[1].empty()); });
            const auto [next, cls] = nextLocked(w);
            w.inHand = eraseLocked(w, next, cls);
            w.stage.store(NvdbStage::NotBegun);
            const Queued& q = *w.inHand; // stays until this task resets it
            lk.unlock();
            const auto [id, index] = q.key;
            if (q.repair) {
                NvdbReadReport r;
                if (!nvdb_repair(id, index, &r) && r.repairFailed)
                    SYSLOGX_ONCE_SITE(
                        LOG_PRIO_ERR, "nvram: record %u index %u: copy a %s, copy b %s; rewriting failed",
                        unsigned(id), unsigned(index), nvdb_copyText(r.copy[0]), nvdb_copyText(r.copy[1]));
            } else if (nvdb_write(id, index, q.data.data(), q.data.size(), &w.stage) <= 0 &&
                       w.stage.load() != NvdbStage::Withheld) {
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram_dbs_write(): record %u index %u not stored",
                                  unsigned(id), unsigned(index));
            }
            lk.lock();
            w.inHand.reset();
            w.stage.store(NvdbStage::Done);
            w.changed.notify_all();
        }
    });
    if (w.task == TASK_ID_ERROR)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram: the NV store's task cannot be started: queued writes wait");
}

// Queues the rewrite of an element's copy that is not good, once nothing else waits: the other copy
// holds the element meanwhile. Nothing when a write of the element is queued or in hand (it writes
// both copies), or the queue is at its bound (a later read finds the copy again). True when queued.
bool queueRepair(uint32_t id, uint32_t index) {
    WriteBehind& w = wb();
    const Key key{id, index};
    std::lock_guard<std::mutex> lk(w.m);
    if (w.waiting.count(key) || (w.inHand && w.inHand->key == key)) return false;
    if (w.queue[0].size() + w.queue[1].size() >= kMaxElements) return false;
    Queued q;
    q.key = key;
    q.idle = q.repair = true;
    insertLocked(w, ++w.next, std::move(q));
    if (!w.held) startLocked(w);
    w.changed.notify_all();
    return true;
}

std::mutex gReportedMutex;
std::set<std::pair<uint32_t, uint32_t>> gReportedLost; // elements whose loss the log has told

// Tells what a read found wrong with an element's copies: a copy to rewrite when its rewrite is
// queued, a repair made at once each time (after it the copy is whole again), a repair that failed
// under the flood rule, a lost element once per run.
void reportCopies(uint32_t id, uint32_t index, const NvdbReadReport& r) {
    const char* a = nvdb_copyText(r.copy[0]);
    const char* b = nvdb_copyText(r.copy[1]);
    if (r.repairDue) {
        if (queueRepair(id, index))
            syslogx(LOG_PRIO_WARNING,
                    "nvram: record %u index %u: copy a %s, copy b %s; rewritten from the good copy by the NV "
                    "store's task",
                    unsigned(id), unsigned(index), a, b);
    } else if (r.repaired) {
        syslogx(LOG_PRIO_WARNING,
                "nvram: record %u index %u: copy a %s, copy b %s; rewritten from the good copy", unsigned(id),
                unsigned(index), a, b);
    } else if (r.repairFailed) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram: record %u index %u: copy a %s, copy b %s; rewriting failed",
                          unsigned(id), unsigned(index), a, b);
    } else if (r.copy[0] != NvdbCopy::Good && r.copy[1] != NvdbCopy::Good &&
               !(r.copy[0] == NvdbCopy::Missing && r.copy[1] == NvdbCopy::Missing)) {
        std::lock_guard<std::mutex> lk(gReportedMutex);
        if (!gReportedLost.insert({id, index}).second) return;
        syslogx(LOG_PRIO_ERR, "nvram: record %u index %u lost, both copies damaged: copy a %s, copy b %s",
                unsigned(id), unsigned(index), a, b);
    }
}

int writeNow(uint32_t id, uint32_t index, const void* buffer, size_t length) {
    const int rc = nvdb_write(id, index, buffer, length);
    if (rc > 0) return rc;
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram_dbs_write(): record %u index %u not stored", unsigned(id),
                      unsigned(index));
    return 0;
}

// A read or write made at once for as long as it lives: the task begins no write meanwhile, so that it
// waits for the one in hand at most.
class AtOnce {
public:
    AtOnce() {
        std::lock_guard<std::mutex> lk(wb().m);
        ++wb().atOnce;
    }
    ~AtOnce() {
        std::lock_guard<std::mutex> lk(wb().m);
        --wb().atOnce;
        wb().changed.notify_all();
    }
    AtOnce(const AtOnce&) = delete;
    AtOnce& operator=(const AtOnce&) = delete;
};

// A write made at once takes the place of the element's queued values and follows the one in hand.
void supersede(uint32_t id, uint32_t index) {
    WriteBehind& w = wb();
    const Key key{id, index};
    std::unique_lock<std::mutex> lk(w.m);
    w.changed.wait(lk, [&] { return !(w.inHand && w.inHand->key == key); });
    const auto it = w.waiting.find(key);
    if (it == w.waiting.end()) return;
    for (const uint64_t no : std::vector<uint64_t>(it->second)) {
        int cls = 0;
        const auto q = findLocked(w, no, &cls);
        if (cls >= 0) eraseLocked(w, q, cls);
    }
    w.changed.notify_all();
}

} // namespace

int nvram_dbs_write(uint32_t id, uint32_t index, const void* buffer, size_t length) {
    const AtOnce first;
    supersede(id, index);
    return writeNow(id, index, buffer, length);
}

int nvram_dbs_writeOneCopy(uint32_t id, uint32_t index, const void* buffer, size_t length) {
    const AtOnce first;
    supersede(id, index);
    const int rc = nvdb_writeFirstCopy(id, index, buffer, length);
    if (rc <= 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram_dbs_write(): record %u index %u not stored", unsigned(id),
                          unsigned(index));
        return 0;
    }
    queueRepair(id, index); // the other copy, on the NV store's task
    return rc;
}

size_t nvram_dbs_writeMany(const NvramElement* elements, size_t count) {
    const AtOnce first;
    for (size_t i = 0; elements && i < count; ++i) supersede(elements[i].id, elements[i].index);
    std::vector<NvdbElement> all;
    all.reserve(count);
    for (size_t i = 0; elements && i < count; ++i)
        all.push_back(NvdbElement{elements[i].id, elements[i].index, elements[i].data, elements[i].length});
    if (count > 0 && nvdb_writeMany(all.data(), all.size()) == count) return count;
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram_dbs_writeMany(): %u records from record %u index %u not stored",
                      unsigned(count), unsigned(count && elements ? elements[0].id : 0),
                      unsigned(count && elements ? elements[0].index : 0));
    return 0;
}

int nvram_dbs_read(uint32_t id, uint32_t index, void* buffer, size_t length) {
    if (buffer == nullptr && length > 0) return -1;
    // From here the task begins no write: the element is read from the store below only when no value
    // of it is queued or in hand, and then no other element's write-through holds the read.
    const AtOnce first;
    {
        WriteBehind& w = wb();
        std::lock_guard<std::mutex> lk(w.m);
        const std::vector<uint8_t>* value = nullptr;
        const auto it = w.waiting.find(Key{id, index});
        if (it != w.waiting.end()) {
            int cls = 0;
            const auto q = findLocked(w, it->second.back(), &cls);
            if (cls >= 0 && !q->second.repair) value = &q->second.data;
        }
        if (!value && w.inHand && !w.inHand->repair && w.inHand->key == Key{id, index})
            value = &w.inHand->data;
        if (value) {
            const size_t n = std::min(length, value->size());
            if (n > 0) std::memcpy(buffer, value->data(), n);
            return int(n);
        }
    }
    NvdbReadReport report;
    const int n = nvdb_read(id, index, buffer, length, &report, NvdbRepair::Later);
    reportCopies(id, index, report);
    return n;
}

uint64_t nvram_dbs_writeLater(uint32_t id, uint32_t index, const void* buffer, size_t length,
                              const char* what, NvramOrder order) {
    if (!nvdb_idAllowed(id) || buffer == nullptr || length == 0 || length > NVDB_MAX_ELEMENT) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "nvram_dbs_writeLater(): record %u index %u (%u bytes) refused",
                          unsigned(id), unsigned(index), unsigned(length));
        return 0;
    }
    WriteBehind& w = wb();
    const Key key{id, index};
    const bool idle = order == NvramOrder::Idle;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::unique_lock<std::mutex> lk(w.m);
    // The element's latest queued value, and whether the new one replaces it.
    int cls = -1;
    auto last = w.queue[0].end();
    const auto mine = w.waiting.find(key);
    if (mine != w.waiting.end()) last = findLocked(w, mine->second.back(), &cls);
    const std::string kind = what ? what : "";
    // The last of its kind, and no Keep value queued after it: the new value simply takes its place.
    const bool lastOfKind = cls == 0 && last->second.what == kind && *w.kinds[kind].rbegin() == last->first;
    if (lastOfKind && !idle && w.keeps.upper_bound(last->first) == w.keeps.end()) {
        Queued& q = last->second;
        if (w.bytes - q.data.size() + length <= kMaxBytes) {
            w.bytes = w.bytes - q.data.size() + length;
            q.data.assign(bytes, bytes + length);
            if (order == NvramOrder::Keep && !q.keep) w.keeps.insert(last->first);
            q.keep = q.keep || order == NvramOrder::Keep;
            return last->first;
        }
    }
    // The element's first value in turn keeps its place while later ones go behind what was queued
    // since: however often the element changes, a value of it reaches the medium once those queued
    // before it have (it is never starved), and the latest follows.
    const bool firstInTurn = cls == 0 && mine->second.front() == last->first;
    const bool replaces = cls >= 0 && !last->second.keep && !firstInTurn;
    const size_t freed = replaces ? last->second.data.size() : 0;
    const size_t elements = w.queue[0].size() + w.queue[1].size() - (replaces ? 1 : 0);
    const size_t queuedBytes = w.bytes;
    if (elements >= kMaxElements || queuedBytes - freed + length > kMaxBytes) {
        lk.unlock();
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "nvram_dbs_writeLater(): the NV store's queue is full (%u elements, %u bytes): "
                          "record %u index %u (%s) not stored",
                          unsigned(elements), unsigned(queuedBytes), unsigned(id), unsigned(index),
                          what ? what : "");
        return 0;
    }
    const uint64_t no = ++w.next;
    uint64_t oldest = idle ? 0 : no;
    if (replaces) {
        if (!idle && last->second.oldest != 0) oldest = last->second.oldest;
        eraseLocked(w, last, cls);
    }
    Queued q;
    q.key = key;
    q.data.assign(bytes, bytes + length);
    q.what = what ? what : "";
    q.keep = order == NvramOrder::Keep;
    q.idle = idle;
    q.oldest = oldest;
    insertLocked(w, no, std::move(q));
    if (!w.held) startLocked(w);
    w.changed.notify_all();
    return no;
}

bool nvram_writeLaterDone(uint64_t ticket, const char* what) {
    WriteBehind& w = wb();
    const std::string kind = what ? what : "";
    std::lock_guard<std::mutex> lk(w.m);
    if (w.inHand && w.inHand->what == kind && w.inHand->oldest != 0 && w.inHand->oldest <= ticket)
        return false;
    const auto of = w.kinds.find(kind);
    if (of == w.kinds.end()) return true;
    for (const uint64_t no : of->second)
        if (w.queue[0].at(no).oldest <= ticket) return false;
    return true;
}

void nvram_writeBehindStart() {
    WriteBehind& w = wb();
    std::lock_guard<std::mutex> lk(w.m);
    w.held = false;
    if (!w.queue[0].empty() || !w.queue[1].empty()) startLocked(w);
    w.changed.notify_all();
}

bool nvram_writeBehindFlush(int ms) {
    WriteBehind& w = wb();
    std::unique_lock<std::mutex> lk(w.m);
    return w.changed.wait_for(lk, std::chrono::milliseconds(ms < 0 ? 0 : ms), [&] { return idleLocked(w); });
}

bool nvram_writeBehindEnd(int ms) {
    nvram_writeBehindStart();
    WriteBehind& w = wb();
    struct Left {
        std::set<Key> elements; // a record's first value in turn and its latest are one element
        Key first{};
    };
    std::map<std::string, Left> left; // by record kind
    std::optional<Queued> mayBe;      // in hand, its first copy's write under way
    {
        std::unique_lock<std::mutex> lk(w.m);
        w.changed.wait_for(lk, std::chrono::milliseconds(ms < 0 ? 0 : ms), [&] { return idleLocked(w); });
        // A rewrite of a copy loses nothing: the other copy holds the element.
        const auto note = [&](const Queued& q) {
            if (q.repair) return;
            Left& l = left[q.what];
            if (l.elements.empty()) l.first = q.key;
            l.elements.insert(q.key);
        };
        if (w.inHand && !w.inHand->repair) {
            // Not begun, it never is; begun, its first copy may land or not; once that is on the
            // medium the element reads as the new value.
            NvdbStage stage = NvdbStage::NotBegun;
            if (w.stage.compare_exchange_strong(stage, NvdbStage::Withheld))
                note(*w.inHand);
            else if (stage == NvdbStage::FirstCopy)
                mayBe = *w.inHand;
        }
        for (auto& queue : w.queue) {
            for (const auto& [no, q] : queue) note(q);
            queue.clear();
        }
        w.waiting.clear();
        w.kinds.clear();
        w.keeps.clear();
        w.bytes = 0;
        w.changed.notify_all();
    }
    for (const auto& [what, l] : left)
        syslogx(LOG_PRIO_ERR,
                "nvram: not stored at the shutdown: %s, %u NV element%s (record %u index %u the first); the "
                "next start reads what NV held before",
                what.c_str(), unsigned(l.elements.size()), l.elements.size() == 1 ? "" : "s",
                unsigned(l.first.first), unsigned(l.first.second));
    if (mayBe)
        syslogx(
            LOG_PRIO_ERR,
            "nvram: may not be stored at the shutdown: %s, record %u index %u (its write-through is under "
            "way); the next start reads it or what NV held before",
            mayBe->what, unsigned(mayBe->key.first), unsigned(mayBe->key.second));
    return left.empty() && !mayBe;
}

size_t nvram_writeBehindPending(uint32_t id) {
    WriteBehind& w = wb();
    std::lock_guard<std::mutex> lk(w.m);
    size_t n = w.inHand && !w.inHand->repair && w.inHand->key.first == id ? 1 : 0;
    for (const auto& [key, nos] : w.waiting) {
        if (key.first != id) continue;
        for (const uint64_t no : nos) {
            int cls = 0;
            const auto q = findLocked(w, no, &cls);
            n += cls >= 0 && !q->second.repair;
        }
    }
    return n;
}

bool nvram_init() {
    std::string error;
    if (!nvdb_open(appman_params().nvDir, &error)) {
        syslogx(LOG_PRIO_CRIT, "nvram_init(): NV store not usable: %s", error.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(gReportedMutex);
        gReportedLost.clear();
    }
    {
        WriteBehind& w = wb();
        std::lock_guard<std::mutex> lk(w.m);
        w.held = true;
    }
    // Every record once at start-up: lost records are named, and a copy that is not good (a write a
    // power cut or the last shutdown broke off) is rewritten by the NV store's task once the start-up's
    // reads are done: the start does not wait for it.
    nvdb_check(reportCopies, NvdbRepair::Later);
    return true;
}

bool nvram_close() {
    bool inHand = false;
    {
        WriteBehind& w = wb();
        std::lock_guard<std::mutex> lk(w.m);
        w.held = false;
        inHand = w.inHand.has_value();
    }
    // A write the kernel holds (a hung disk) would hold the close: the exit closes the store then.
    if (!inHand) nvdb_close();
    return !inHand;
}
