#include "logging/app/sb_lapstack.h"

#include "framework/nvram.h"
#include "framework/syslog.h"
#include "platform/rtos/rtos.h"

#include <bitset>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

constexpr int kClearPriority = 200; // below the logging's tasks: the slots wait, the records do not
constexpr size_t kClearStack = 16000;

struct LapStackState {
    std::mutex lock;
    tLapStack live{};
    // Slots whose NV copies a clear has still to zero, on its own task: a new outing's start does not
    // wait for 256 slots each written through. Meanwhile the stack reads them as cleared.
    std::bitset<LAPSTACK_SLOTS> toClear;
    SEM_ID clearWake = SEM_ID_NULL;
    TASK_ID clearTask = TASK_ID_ERROR;
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

// NV images, little-endian whatever the processor.
void writeCounters(const tLapStack& s) {
    const uint8_t b[4] = {uint8_t(s.sequence), uint8_t(s.sequence >> 8), uint8_t(s.count),
                          uint8_t(s.count >> 8)};
    nvram_dbs_write(NV_REC_LAPSTACK_COUNT, 0, b, sizeof b);
}

// A slot's NV image: the entry, fuel little-endian.
void slotImage(const tLapStack& s, int slot, uint8_t (&b)[6]) {
    const tLapStackEntry& e = s.entries[slot];
    b[0] = e.lap;
    b[1] = e.minutes;
    b[2] = e.seconds;
    b[3] = e.hundredths;
    b[4] = uint8_t(e.fuel);
    b[5] = uint8_t(e.fuel >> 8);
}

void writeSlot(const tLapStack& s, int slot) {
    uint8_t b[6];
    slotImage(s, slot, b);
    nvram_dbs_write(NV_REC_LAPSTACK_ENTRY, uint32_t(slot), b, sizeof b);
}

unsigned shown(int bytes) {
    return bytes < 0 ? 0u : unsigned(bytes);
}

// Zeroes the NV copies of the slots a clear left, one slot at a time, each written through. A slot
// that reads as zero with both copies whole is left as it is; one found damaged is written anew.
// The stack's lock is held for one slot at a time: an append waits for at most one, and writes its
// slot itself.
void clearTask() {
    LapStackState& s = st();
    for (;;) {
        semTake(s.clearWake, WAIT_FOREVER);
        for (;;) {
            std::lock_guard<std::mutex> g(s.lock);
            if (s.toClear.none()) break;
            int slot = 0;
            while (!s.toClear.test(size_t(slot))) ++slot;
            s.toClear.reset(size_t(slot));
            static constexpr uint8_t kEmpty[6] = {};
            uint8_t stored[6] = {1};
            if (nvram_dbs_read(NV_REC_LAPSTACK_ENTRY, uint32_t(slot), stored, sizeof stored) ==
                    int(sizeof stored) &&
                std::memcmp(stored, kEmpty, sizeof stored) == 0)
                continue;
            // A store that refuses (full, failing, closed at the end) keeps the rest as they are: they
            // hold no entry of the stack, and the next clear or look tries again.
            if (nvram_dbs_write(NV_REC_LAPSTACK_ENTRY, uint32_t(slot), kEmpty, sizeof kEmpty) == 0)
                s.toClear.reset();
        }
    }
}

// Hands the slots to the clear's task (all of them, or the one given).
void clearSlotsLater(LapStackState& s, int slot = -1) {
    if (s.clearTask == TASK_ID_ERROR) {
        if (!s.clearWake) s.clearWake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        if (s.clearWake)
            s.clearTask = taskSpawn("r_lapStackClr", kClearPriority, VX_FP_TASK, kClearStack, clearTask);
        if (s.clearTask == TASK_ID_ERROR) {
            // The stack is empty by its counters all the same; its slots keep what they held.
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "sb_lapstack: the task that clears the slots cannot be started");
            return;
        }
    }
    if (slot < 0)
        s.toClear.set();
    else
        s.toClear.set(size_t(slot));
    semGive(s.clearWake);
}

void resetLocked(LapStackState& s) {
    if (s.pdOccurred && !s.pdValid) {
        s.powerDown = s.live;
        s.pdValid = true;
    }
    std::memset(&s.live, 0, sizeof s.live);
    // The counters first, on their own: a power cut among the slots leaves an empty stack.
    writeCounters(s.live);
    clearSlotsLater(s);
}

// sb_lapstack_check_read: the NV records into memory, repairing an interrupted append.
void checkReadLocked(LapStackState& s) {
    uint8_t c[4];
    int n = nvram_dbs_read(NV_REC_LAPSTACK_COUNT, 0, c, sizeof c);
    if (n != int(sizeof c)) {
        syslogx(LOG_PRIO_ERR,
                "sb_lapstack_check_read: error reading lapstack entry, num %u != %u; initializing", shown(n),
                4u);
        resetLocked(s);
        return;
    }
    tLapStack read{};
    read.sequence = uint16_t(c[0] | c[1] << 8);
    read.count = uint16_t(c[2] | c[3] << 8);
    const int entries = read.count < LAPSTACK_SLOTS ? read.count : LAPSTACK_SLOTS;
    for (int i = 0; i < LAPSTACK_SLOTS; ++i) {
        if (s.toClear.test(size_t(i))) continue; // cleared, on its way to NV
        uint8_t b[6];
        n = nvram_dbs_read(NV_REC_LAPSTACK_ENTRY, uint32_t(i), b, sizeof b);
        if (n != int(sizeof b) && i >= entries) {
            // No entry of the stack: a clear that a power cut or a kill broke off left it. Written
            // anew as empty; the stack keeps its entries.
            clearSlotsLater(s, i);
            continue;
        }
        if (n != int(sizeof b)) {
            syslogx(LOG_PRIO_ERR,
                    "sb_lapstack_check_read: error reading lapstack cnt %u, num %u != %u; initializing",
                    unsigned(i), shown(n), 6u);
            resetLocked(s);
            return;
        }
        read.entries[i] = tLapStackEntry{b[0], b[1], b[2], b[3], uint16_t(b[4] | b[5] << 8)};
    }
    s.live = read;
    if (read.sequence == read.count) return;
    if (read.sequence == uint16_t(read.count + 1)) {
        // Power was lost inside an append after its first write: the slot is reused next time.
        syslogx(LOG_PRIO_ERR,
                "sb_lapstack_check_read: last entry not written correctly, deleting last entry");
        s.live.sequence = s.live.count;
        writeCounters(s.live);
        return;
    }
    syslogx(LOG_PRIO_ERR, "sb_lapstack_check_read: lapstack corrupt, deleting...");
    resetLocked(s);
}

void appendLocked(LapStackState& s, const tLapStackEntry& entry) {
    const uint16_t slot = s.live.sequence % LAPSTACK_SLOTS;
    ++s.live.sequence;
    writeCounters(s.live);
    s.live.entries[slot] = entry;
    s.toClear.reset(slot);
    writeSlot(s.live, slot);
    ++s.live.count;
    writeCounters(s.live);
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

void sb_lapstack_add_entry(uint8_t lap, uint32_t laptime, float fuel) {
    LapStackState& s = st();
    const tLapStackEntry entry = sb_lapstack_make_entry(lap, laptime, fuel);
    std::lock_guard<std::mutex> g(s.lock);
    checkReadLocked(s);
    appendLocked(s, entry);
}

void sb_lapstack_add2hist(const tLapStackEntry& entry) {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    appendLocked(s, entry);
}

size_t sb_lapstack_get(uint8_t* destination, size_t size) {
    if (!destination || size < 2) return 0;
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    checkReadLocked(s);
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
    std::lock_guard<std::mutex> g(s.lock);
    if (!s.entryDue) return false;
    s.entryDue = false;
    const tLapStackEntry entry = sb_lapstack_make_entry(s.dueLap, s.dueLaptime, fuel);
    checkReadLocked(s);
    appendLocked(s, entry);
    return true;
}

void sb_lapstack_forget_power_down() {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    s.pdOccurred = s.pdValid = false;
    s.entryDue = false;
    s.toClear.reset();
}

int sb_lapstack_slots_to_clear() {
    LapStackState& s = st();
    std::lock_guard<std::mutex> g(s.lock);
    return int(s.toClear.count());
}
