// The lap stack: the last 256 laps (lap number, lap time, fuel used) for the status blocks, kept in
// the NV records 1 (sequence and entry count) and 2 (the 256 entry slots) so that it survives a
// power cycle, and cleared when a new outing begins.
//
// The stack lives in memory. The NV records are read once (sb_lapstack_load at start-up, else the
// first use) and checked at the first append or copy, which repairs what a power loss inside an
// append left behind: a slot beyond the entries that cannot be read (a clear broken off) is written
// anew as empty, and only an entry that cannot be read clears the stack. From then on appends,
// clears and copies work on memory, and the NV image is written behind on the NV store's task
// (nvram_dbs_writeLater): a slot before the counters that count it, a clear's counters before the
// slots it empties. A value the queue refuses at its bound is queued again at the next append, copy
// or clear (and at the power-down), and holds back what must follow it (a refused slot its counters).
// A power cut leaves a stack that the next start reads as valid, if older.
//
// Appends come from the command task (lap messages, lap-stack information) and from the status
// block; copies from the status block; clears from the measurement task. One mutex serialises them
// all; it is never held across NV I/O.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t NV_REC_LAPSTACK_COUNT = 1; // u16 sequence, u16 entry count (little-endian)
inline constexpr uint32_t NV_REC_LAPSTACK_ENTRY = 2; // index 0..255: one 6-byte entry
inline constexpr int LAPSTACK_SLOTS = 256;

struct tLapStackEntry {
    uint8_t lap;        // lap number (low byte)
    uint8_t minutes;    // of the lap time
    uint8_t seconds;    // 0..59
    uint8_t hundredths; // 0..99
    uint16_t fuel;      // fuel used on the lap x 100
};
static_assert(sizeof(tLapStackEntry) == 6);

struct tLapStack {
    uint16_t sequence;                      // entry writes started
    uint16_t count;                         // entry writes completed
    tLapStackEntry entries[LAPSTACK_SLOTS]; // entry n in slot n mod 256
};
static_assert(sizeof(tLapStack) == 1540);

// The entry of a lap: lap time (1/100 s) split into minutes, seconds and hundredths, fuel x 100
// rounded half away from zero (negative and NaN give 0); values beyond their widths wrap.
tLapStackEntry sb_lapstack_make_entry(uint8_t lap, uint32_t laptime, float fuel);
// Start-up, off the real-time path: reads the NV records into memory (once).
void sb_lapstack_load();
// Appends the entry of a lap.
void sb_lapstack_add_entry(uint8_t lap, uint32_t laptime, float fuel);
// The append itself: sequence and entry count + 1, the slot (record 2) queued before the counters
// (record 1).
void sb_lapstack_add2hist(const tLapStackEntry& entry);
// Copies a big-endian u16 count and the entries, oldest first, from the power-down copy when it
// holds data, else from the live stack. Bytes written; 0 below 2 bytes.
size_t sb_lapstack_get(uint8_t* destination, size_t size);
// Keeps the stack in the power-down copy when a power-down has occurred and none is held yet, then
// clears the stack in memory and queues its NV image: the counters (record 1) first, then the slots
// that do not hold zero already, each written once nothing else waits for the NV store. Reads no NV
// record. Returns 0.
int sb_lapstack_reset_history();
// A power-down has occurred: the next clearing keeps the old history for the status blocks.
void sb_lapstack_power_down();

// One lap event gets at most one entry. When its entry has to wait for the fuel-consumption master
// (lap-stack information, or the status block's time-out), the lap is noted here and the first of
// them to add it wins; a later one adds nothing.
void sb_lapstack_expect_entry(uint8_t lap, uint32_t laptime);
// Adds the noted lap with `fuel`; false (nothing added) when no lap entry is due.
bool sb_lapstack_add_due_entry(float fuel);

// Host and tests: forgets all that is held in memory (the stack, the power-down and its copy, a due
// entry): the next use reads the NV records again, as a start does.
void sb_lapstack_forget();
// Elements of records 1 and 2 queued for NV and not written yet.
int sb_lapstack_unwritten();
