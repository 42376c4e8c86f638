#include "platform/drives/drive_calls.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

constexpr int kDrives = 32;  // names a process's drives can have (the root's and application 1's)
constexpr int kSlots = 1024; // threads that have called a drive; a slot is reused once its thread ends
constexpr size_t kNameMax = 24;
constexpr int kSeconds = 8; // seconds of returned calls kept per drive, more than kDriveCallsRecentMs

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Drive names, added once and never removed: read without the lock up to `count`.
struct Names {
    std::mutex m;
    std::atomic<int> count{0};
    char name[kDrives][kNameMax] = {};
    std::atomic<uint64_t> returned[kDrives] = {};
    // Per second, the longest call that returned in it: (the second + 1) << 32 | its length (ms).
    std::atomic<uint64_t> seconds[kDrives][kSeconds] = {};
    std::atomic<bool> refused[kDrives] = {};
    std::atomic<bool> resumed[kDrives] = {};
    std::atomic<int64_t> returnedAt[kDrives] = {}; // when its last call returned (ms)
};
Names& names() {
    static auto* n = new Names; // calls may come while the process ends
    return *n;
}

int find(const Names& n, const char* drive, int count) {
    for (int i = 0; i < count; ++i)
        if (std::strncmp(n.name[i], drive, kNameMax) == 0) return i;
    return -1;
}

// The number of `drive`, added when new; -1 when the table is full or the name too long.
int idOf(const char* drive, bool add) {
    Names& n = names();
    const int seen = find(n, drive, n.count.load(std::memory_order_acquire));
    if (seen >= 0 || !add) return seen;
    if (std::strlen(drive) >= kNameMax) return -1;
    std::lock_guard<std::mutex> lk(n.m);
    const int count = n.count.load();
    const int again = find(n, drive, count);
    if (again >= 0) return again;
    if (count >= kDrives) return -1;
    std::strncpy(n.name[count], drive, kNameMax - 1);
    n.count.store(count + 1, std::memory_order_release);
    return count;
}

// A thread's call in flight: its drive (+1, 0 none) and since when.
struct Slot {
    std::atomic<bool> taken{false};
    std::atomic<int> drive{0};
    std::atomic<int64_t> since{0};
    std::atomic<const char*> op{""};
    std::atomic<int64_t> returnedAt{0}; // when its last call returned (ms), 0 none yet
    std::atomic<int> waits{0};          // the drive (+1) it waits for (DriveWaitMark), 0 none
    // The thread's name (16 bytes), written before its first call is marked; in words that a reader
    // may load while a new thread takes the slot.
    std::atomic<uint64_t> task[2] = {};
    void setTask() {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof name);
        uint64_t words[2];
        std::memcpy(words, name, sizeof words);
        task[0].store(words[0]);
        task[1].store(words[1]);
    }
    std::string taskName() const {
        const uint64_t words[2] = {task[0].load(), task[1].load()};
        char name[sizeof words + 1] = {};
        std::memcpy(name, words, sizeof words);
        return name;
    }
};
Slot* slots() {
    static auto* s = new Slot[kSlots];
    return s;
}

struct ThreadSlot {
    Slot* slot = nullptr;
    int depth = 0;
    ~ThreadSlot() {
        if (slot) slot->taken.store(false);
    }
    Slot* get() {
        if (slot) return slot;
        Slot* all = slots();
        for (int i = 0; i < kSlots; ++i) {
            bool free = false;
            if (all[i].taken.compare_exchange_strong(free, true)) {
                all[i].returnedAt.store(0);
                all[i].waits.store(0);
                all[i].setTask();
                return slot = &all[i];
            }
        }
        return nullptr; // more threads than slots: its calls go unmarked
    }
};
thread_local ThreadSlot tSlot;

// drivecalls_endBy: the bound (steady clock, ms; 0 none), the age of a hung call, and who hears of
// a refused call.
std::atomic<int64_t> gEndMs{0};
std::atomic<uint32_t> gHungMs{UINT32_MAX};
std::atomic<void (*)(const char*, uint32_t)> gRefused{nullptr};
std::atomic<void (*)(const char*, uint32_t)> gResumed{nullptr};

void noteReturned(int id, int64_t now, int64_t took) {
    const uint64_t second = uint64_t(now / 1000) + 1;
    const uint64_t ms = uint64_t(std::clamp<int64_t>(took, 0, UINT32_MAX));
    std::atomic<uint64_t>& slot = names().seconds[id][second % kSeconds];
    uint64_t was = slot.load();
    for (;;) {
        if ((was >> 32) > second) return; // a later second has the slot (this thread was slow)
        const uint64_t want = (second << 32) | ((was >> 32) == second ? std::max(was & UINT32_MAX, ms) : ms);
        if (want == was || slot.compare_exchange_weak(was, want)) return;
    }
}

// How long (ms) the oldest call of drive `id` now in flight has been in it; 0 when none is.
uint32_t inFlightMs(int id, int64_t now, Slot** found = nullptr) {
    int64_t oldest = now;
    Slot* all = slots();
    for (int i = 0; i < kSlots; ++i) {
        if (!all[i].taken.load(std::memory_order_acquire) || all[i].drive.load() != id + 1) continue;
        const int64_t since = all[i].since.load();
        if (since < oldest) {
            oldest = since;
            if (found) *found = &all[i];
        }
    }
    return uint32_t(now - oldest);
}

// How long the calls of drive `id` take now (drivecalls_longestMs); *hangs: one has been in flight
// for the shutdown's hang bound.
uint32_t takesNow(int id, int64_t now, bool* hangs = nullptr) {
    if (id < 0) return 0;
    const uint32_t inFlight = inFlightMs(id, now);
    if (hangs) *hangs = inFlight >= gHungMs.load();
    uint64_t longest = inFlight;
    const uint64_t from = uint64_t((now - int64_t(kDriveCallsRecentMs)) / 1000) + 1;
    for (const std::atomic<uint64_t>& slot : names().seconds[id]) {
        const uint64_t v = slot.load();
        if ((v >> 32) >= from) longest = std::max(longest, v & UINT32_MAX);
    }
    return uint32_t(longest);
}

// A new call that might not return before the process's end is not made: the thread waits here,
// outside any call of the drive, and asks again as the drive's calls go on (a drive that came back
// from a hang just before is judged by its calls since, once the hang is no longer recent), until
// the call fits before the end; past the end it waits for the process to end.
void refuseIfLate(const std::string& drive, int id) {
    const int64_t end = gEndMs.load(std::memory_order_acquire);
    if (end == 0) return;
    constexpr auto kAskAgain = std::chrono::milliseconds(50);
    for (bool refused = false;; std::this_thread::sleep_for(kAskAgain)) {
        const int64_t now = nowMs();
        bool hangs = false;
        const uint32_t longest = takesNow(id, now, &hangs);
        if (!hangs && now + std::max<int64_t>(longest, kDriveCallsEndFloorMs) < end) {
            if (refused && id >= 0 && !names().resumed[id].exchange(true))
                if (auto* tell = gResumed.load()) tell(drive.c_str(), longest);
            return;
        }
        if (!refused && (id < 0 || !names().refused[id].exchange(true)))
            if (auto* tell = gRefused.load()) tell(drive.c_str(), longest);
        refused = true;
        if (now >= end) break;
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace

DriveCallMark::DriveCallMark(const std::string& drive, const char* op) {
    if (tSlot.depth++ > 0 || drive.empty()) return;
    const int id = idOf(drive.c_str(), true);
    refuseIfLate(drive, id);
    Slot* s = id >= 0 ? tSlot.get() : nullptr;
    if (!s) return;
    s->since.store(nowMs());
    s->op.store(op);
    s->drive.store(id + 1);
    outer_ = true;
}

DriveCallMark::~DriveCallMark() {
    --tSlot.depth;
    if (!outer_) return;
    const int64_t now = nowMs();
    tSlot.slot->returnedAt.store(now);
    const int id = tSlot.slot->drive.exchange(0);
    if (id <= 0) return;
    Names& n = names();
    n.returned[id - 1].fetch_add(1);
    n.returnedAt[id - 1].store(now);
    noteReturned(id - 1, now, now - tSlot.slot->since.load());
}

uint32_t drivecalls_oldestMs(const char* drive, std::string* what) {
    const int id = drive ? idOf(drive, false) : -1;
    if (id < 0) return 0;
    Slot* found = nullptr;
    const uint32_t oldest = inFlightMs(id, nowMs(), &found);
    if (what && found) {
        const std::string task = found->taskName();
        const char* op = found->op.load();
        const bool vowel = op && std::strchr("aeiou", op[0]);
        *what = std::string(vowel ? "an " : "a ") + (op ? op : "call") + " of " + task;
    }
    return oldest;
}

uint64_t drivecalls_returned(const char* drive) {
    const int id = drive ? idOf(drive, false) : -1;
    return id < 0 ? 0 : names().returned[id].load();
}

DriveCallThread drivecalls_thisThread() {
    return tSlot.get();
}

uint32_t drivecalls_threadMs(DriveCallThread thread) {
    const Slot* s = static_cast<const Slot*>(thread);
    if (!s || s->drive.load() == 0) return 0;
    const int64_t age = nowMs() - s->since.load();
    return age > 0 ? uint32_t(age) : 0;
}

uint32_t drivecalls_longestMs(const char* drive) {
    return takesNow(drive ? idOf(drive, false) : -1, nowMs());
}

void drivecalls_endBy(std::chrono::steady_clock::time_point end, uint32_t hungMs,
                      void (*refused)(const char*, uint32_t), void (*resumed)(const char*, uint32_t)) {
    gRefused.store(refused);
    gResumed.store(resumed);
    gHungMs.store(hungMs);
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(end.time_since_epoch()).count();
    gEndMs.store(ms == 0 ? 1 : ms, std::memory_order_release);
}

bool drivecalls_timeFor(const char* drive, uint32_t calls) {
    const int64_t end = gEndMs.load(std::memory_order_acquire);
    if (end == 0 || calls == 0) return true;
    const int64_t now = nowMs();
    bool hangs = false;
    const int64_t longest = takesNow(drive ? idOf(drive, false) : -1, now, &hangs);
    // The last one begins once the others have returned, and is refused as refuseIfLate does.
    return !hangs &&
           now + int64_t(calls - 1) * longest + std::max<int64_t>(longest, kDriveCallsEndFloorMs) < end;
}

DriveWaitMark::DriveWaitMark(const std::string& drive) {
    const int id = drive.empty() ? -1 : idOf(drive.c_str(), true);
    Slot* s = id >= 0 ? tSlot.get() : nullptr;
    if (s) before_ = s->waits.exchange(id + 1);
}

DriveWaitMark::~DriveWaitMark() {
    if (before_ >= 0) tSlot.slot->waits.store(before_);
}

uint32_t drivecalls_threadQuietMs(DriveCallThread thread) {
    const Slot* s = static_cast<const Slot*>(thread);
    if (!s) return UINT32_MAX;
    if (s->drive.load() != 0) return 0;
    int64_t last = s->returnedAt.load();
    const int waits = s->waits.load();
    if (waits > 0) {
        const Slot* all = slots();
        for (int i = 0; i < kSlots; ++i)
            if (all[i].taken.load(std::memory_order_acquire) && all[i].drive.load() == waits) return 0;
        last = std::max(last, names().returnedAt[waits - 1].load());
    }
    if (last == 0) return UINT32_MAX;
    const int64_t quiet = nowMs() - last;
    return quiet <= 0 ? 0 : quiet >= int64_t(UINT32_MAX) ? UINT32_MAX : uint32_t(quiet);
}
