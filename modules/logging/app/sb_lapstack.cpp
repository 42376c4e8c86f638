#include "logging/app/sb_lapstack.h"

#include "framework/nvram.h"
#include "framework/syslog.h"

#include <bitset>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// The record kinds as the shutdown names what it could not store.
constexpr const char* kWhat = "the lap stack";
constexpr const char* kClearWhat = "the lap stack's clear";

// The NV records as read, before any rule is applied to them.
struct Image {
    int countersRead = -1;
    uint8_t counters[4] = {};
    int slotRead[LAPSTACK_SLOTS] = {};
    uint8_t slots[LAPSTACK_SLOTS][6] = {};
};

enum class Known : uint8_t {
    Nothing, // NV not read yet
    Read,    // `image` holds the records; their check comes with the first append or copy
    Checked, // `live` is the stack
};

struct LapStackState {
    std::mutex lock; // never held across NV I/O
    Known known = Known::Nothing;
    uint32_t generation = 0; // a read begun before a forget is not taken
    Image image;
    tLapStack live{};
    // Slots whose NV image, written or queued, is zero and whole: a clear leaves them as they are.
    std::bitset<LAPSTACK_SLOTS> nvEmpty;
    // What the NV store's queue refused (at its bound), queued again at the next append, copy or
    // clear: slots of the stack, the counters, a clear's counters. Nothing is queued ahead of what it
    // must follow: no counters over a slot still due, no slot of a new outing before the clear's
    // counters. NV keeps the stack as it was meanwhile, never a count over a slot it lacks.
    std::bitset<LAPSTACK_SLOTS> slotDue;
    bool countersDue = false;
    bool clearDue = false;
    tLapStack powerDown{};
    bool pdOccurred = false; // Lapstack_pd_occurred
    bool pdValid = false;    // Lapstack_pd_valid
    bool entryDue = false;
    uint8_t dueLap = 0;
    uint32_t dueLaptime = 0;
};

LapStackState& st() {
    static auto* s = new LapStackState;
    return *s;
}

unsigned shown(int bytes) {
    return bytes < 0 ? 0u : unsigned(bytes);
}

bool zero(const uint8_t (&b)[6]) {
    static constexpr uint8_t kEmpty[6] = {};
    return std::memcmp(b, kEmpty, sizeof b) == 0;
}

void slotImage(const tLapStackEntry& e, uint8_t (&b)[6]) {
    b[0] = e.lap;
    b[1] = e.minutes;
    b[2] = e.seconds;
    b[3] = e.hundredths;
    b[4] = uint8_t(e.fuel);
    b[5] = uint8_t(e.fuel >> 8);
}

// A slot of the live stack queued for NV; false (and due) when the queue refused it.
bool queueSlot(LapStackState& s, uint16_t slot) {
    uint8_t b[6];
    slotImage(s.live.entries[slot], b);
    const bool queued = nvram_dbs_writeLater(NV_REC_LAPSTACK_ENTRY, slot, b, sizeof b, kWhat) != 0;
    s.slotDue.set(slot, !queued);
    if (queued) s.nvEmpty.set(slot, zero(b));
    return queued;
}

// A clear's counters, kept: whatever comes after them, a power cut among the slots leaves an empty
// stack, never one that counts a slot of the new outing as one of the old.
bool queueClearCounters(LapStackState& s) {
    static constexpr uint8_t kZero[4] = {};
    s.clearDue =
        nvram_dbs_writeLater(NV_REC_LAPSTACK_COUNT, 0, kZero, sizeof kZero, kWhat, NvramOrder::Keep) == 0;
    return !s.clearDue;
}

// The live counters queued for NV (little-endian whatever the processor), after a clear's counters
// and the slots they count that are still due; while one of those is refused again, the counters
// wait with them.
void queueCounters(LapStackState& s) {
    s.countersDue = true;
    if (s.clearDue && !queueClearCounters(s)) return;
    for (int i = 0; i < LAPSTACK_SLOTS; ++i)
        if (s.slotDue.test(size_t(i))) queueSlot(s, uint16_t(i));
    if (s.slotDue.any()) return;
    const tLapStack& l = s.live;
    const uint8_t b[4] = {uint8_t(l.sequence), uint8_t(l.sequence >> 8), uint8_t(l.count),
                          uint8_t(l.count >> 8)};
    s.countersDue = nvram_dbs_writeLater(NV_REC_LAPSTACK_COUNT, 0, b, sizeof b, kWhat) == 0;
}

void storeDueLocked(LapStackState& s) {
    if (s.known == Known::Checked && (s.countersDue || s.clearDue || s.slotDue.any())) queueCounters(s);
}

// A slot no count holds, written as empty once nothing else waits for the NV store.
void clearSlot(LapStackState& s, int slot) {
    static constexpr uint8_t kEmpty[6] = {};
    if (nvram_dbs_writeLater(NV_REC_LAPSTACK_ENTRY, uint32_t(slot), kEmpty, sizeof kEmpty, kClearWhat,
                             NvramOrder::Idle) != 0)
        s.nvEmpty.set(size_t(slot));
}

void resetLocked(LapStackState& s) {
    if (s.pdOccurred && !s.pdValid) {
        s.powerDown = s.live;
        s.pdValid = true;
    }
    std::memset(&s.live, 0, sizeof s.live);
    s.known = Known::Checked;
    // No slot is the stack's any more: none is due. The counters first.
    s.slotDue.reset();
    s.countersDue = false;
    queueClearCounters(s);
    for (int i = 0; i < LAPSTACK_SLOTS; ++i)
        if (!s.nvEmpty.test(size_t(i))) clearSlot(s, i);
}

void readLocked(LapStackState& s, std::unique_lock<std::mutex>& lk) {
    while (s.known == Known::Nothing) {
        const uint32_t generation = s.generation;
        lk.unlock();
        auto image = std::make_unique<Image>();
        image->countersRead =
            nvram_dbs_read(NV_REC_LAPSTACK_COUNT, 0, image->counters, sizeof image->counters);
        for (int i = 0; i < LAPSTACK_SLOTS; ++i)
            image->slotRead[i] =
                nvram_dbs_read(NV_REC_LAPSTACK_ENTRY, uint32_t(i), image->slots[i], sizeof image->slots[i]);
        lk.lock();
        if (s.known != Known::Nothing || s.generation != generation) continue;
        s.image = *image;
        s.known = Known::Read;
        for (int i = 0; i < LAPSTACK_SLOTS; ++i)
            s.nvEmpty.set(size_t(i), s.image.slotRead[i] == 6 && zero(s.image.slots[i]));
    }
}

// sb_lapstack_check_read: the records as read into the stack, repairing an interrupted append.
void checkLocked(LapStackState& s, std::unique_lock<std::mutex>& lk) {
    readLocked(s, lk);
    if (s.known == Known::Checked) return;
    const Image& im = s.image;
    s.known = Known::Checked;
    if (im.countersRead != int(sizeof im.counters)) {
        syslogx(LOG_PRIO_ERR,
                "sb_lapstack_check_read: error reading lapstack entry, num %u != %u; initializing",
                shown(im.countersRead), 4u);
        resetLocked(s);
        return;
    }
    tLapStack read{};
    read.sequence = uint16_t(im.counters[0] | im.counters[1] << 8);
    read.count = uint16_t(im.counters[2] | im.counters[3] << 8);
    const int entries = read.count < LAPSTACK_SLOTS ? read.count : LAPSTACK_SLOTS;
    for (int i = 0; i < LAPSTACK_SLOTS; ++i) {
        const int n = im.slotRead[i];
        if (n != 6 && i >= entries) {
            // No entry of the stack: a clear that a power cut or a kill broke off left it. Written
            // anew as empty; the stack keeps its entries.
            clearSlot(s, i);
            continue;
        }
        if (n != 6) {
            syslogx(LOG_PRIO_ERR,
                    "sb_lapstack_check_read: error reading lapstack cnt %u, num %u != %u; initializing",
                    unsigned(i), shown(n), 6u);
            resetLocked(s);
            return;
        }
        const uint8_t* b = im.slots[i];
        read.entries[i] = tLapStackEntry{b[0], b[1], b[2], b[3], uint16_t(b[4] | b[5] << 8)};
    }
    s.live = read;
    if (read.sequence == read.count) return;
    if (read.sequence == uint16_t(read.count + 1)) {
        // Power was lost inside an append after its first write: the slot is reused next time.
        syslogx(LOG_PRIO_ERR,
                "sb_lapstack_check_read: last entry not written correctly, deleting last entry");
        s.live.sequence = s.live.count;
        queueCounters(s);
        return;
    }
    syslogx(LOG_PRIO_ERR, "sb_lapstack_check_read: lapstack corrupt, deleting...");
    resetLocked(s);
}

void appendLocked(LapStackState& s, const tLapStackEntry& entry) {
    const uint16_t slot = s.live.sequence % LAPSTACK_SLOTS;
    s.live.entries[slot] = entry;
    ++s.live.sequence;
    ++s.live.count;
    // The slot before the counters that count it: a power cut between them leaves the stack as it
    // was, the slot beyond its entries; the counters wait for a slot refused, a slot for a clear's
    // counters refused.
    s.slotDue.set(slot);
    queueCounters(s);
}

uint16_t fuelHundredths(float fuel) {
    const double r = std::round(double(fuel) * 100.0); // halves away from zero
    if (!(r > 0)) return 0;                            // negative and NaN
    return uint16_t(r < 4294967296.0 ? uint32_t(r) : uint32_t(std::fmod(r, 65536.0)));
}

} // namespace

tLapStackEntry sb_lapstack_make_entry(uint8_t lap, uint32_t laptime, float fuel) {
    return tLapStackEntry{lap, uint8_t(laptime / 6000), uint8_t((laptime / 100) % 60), uint8_t(laptime % 100),
                          fuelHundredths(fuel)};
}

void sb_lapstack_load() {
    LapStackState& s = st();
    std::unique_lock<std::mutex> lk(s.lock);
    readLocked(s, lk);
}

void sb_lapstack_add_entry(uint8_t lap, uint32_t laptime, float fuel) {
    LapStackState& s = st();
    const tLapStackEntry entry = sb_lapstack_make_entry(lap, laptime, fuel);
    std::unique_lock<std::mutex> lk(s.lock);
    checkLocked(s, lk);
    appendLocked(s, entry);
}

void sb_lapstack_add2hist(const tLapStackEntry& entry) {
    LapStackState& s = st();
    std::unique_lock<std::mutex> lk(s.lock);
    checkLocked(s, lk);
    appendLocked(s, entry);
}

size_t sb_lapstack_get(uint8_t* destination, size_t size) {
    if (!destination || size < 2) return 0;
    LapStackState& s = st();
    std::unique_lock<std::mutex> lk(s.lock);
    checkLocked(s, lk);
    storeDueLocked(s);
    const tLapStack& from = s.pdValid ? s.powerDown : s.live;
    const int n = from.count >= LAPSTACK_SLOTS ? LAPSTACK_SLOTS : from.count;
    const int first = from.count >= LAPSTACK_SLOTS ? from.count % LAPSTACK_SLOTS : 0;
    size_t copied = 0;
    for (int k = 0; k < n; ++k) {
        const size_t needed = 2 + 6 * (copied + 1);
        if (needed > size - 2) {
            syslogx(LOG_PRIO_DEBUG,
                    "sb_lapstack_get(): canceled copy of LapStack to SB. Size error. alloc. remsize: %d, "
                    "size: %d ",
                    int(size - 2), int(needed));
            break;
        }
        const tLapStackEntry& e = from.entries[(first + k) % LAPSTACK_SLOTS];
        uint8_t* p = destination + 2 + 6 * copied;
        p[0] = e.lap;
        p[1] = e.minutes;
        p[2] = e.seconds;
        p[3] = e.hundredths;
        p[4] = uint8_t(e.fuel >> 8);
        p[5] = uint8_t(e.fuel);
        ++copied;
    }
    destination[0] = uint8_t(copied >> 8);
    destination[1] = uint8_t(copied);
    return 2 + 6 * copied;
}

int sb_lapstack_reset_history() {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    resetLocked(s);
    return 0;
}

void sb_lapstack_power_down() {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    s.pdOccurred = true;
    storeDueLocked(s);
}

void sb_lapstack_expect_entry(uint8_t lap, uint32_t laptime) {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    s.entryDue = true;
    s.dueLap = lap;
    s.dueLaptime = laptime;
}

bool sb_lapstack_add_due_entry(float fuel) {
    LapStackState& s = st();
    std::unique_lock<std::mutex> lk(s.lock);
    if (!s.entryDue) return false;
    checkLocked(s, lk); // may read NV (not at start-up): the lock is let go meanwhile
    if (!s.entryDue) return false;
    s.entryDue = false;
    appendLocked(s, sb_lapstack_make_entry(s.dueLap, s.dueLaptime, fuel));
    return true;
}

void sb_lapstack_forget() {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    s.known = Known::Nothing;
    ++s.generation;
    std::memset(&s.live, 0, sizeof s.live);
    s.nvEmpty.reset();
    s.slotDue.reset();
    s.countersDue = s.clearDue = false;
    s.pdOccurred = s.pdValid = false;
    s.entryDue = false;
}

int sb_lapstack_unwritten() {
    return int(nvram_writeBehindPending(NV_REC_LAPSTACK_COUNT) +
               nvram_writeBehindPending(NV_REC_LAPSTACK_ENTRY));
}
