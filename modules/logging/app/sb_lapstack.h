// The lap stack: the last 256 laps (lap number, lap time, fuel used) for the status blocks, kept in
// the NV records 1 (sequence and entry count) and 2 (the 256 entry slots) so that it survives a
// power cycle, and cleared when a new outing begins. Every append and every copy re-reads the NV
// records first (a slot whose clear has not reached NV yet reads as cleared) and repairs what a
// power loss inside an append left behind; a slot beyond the entries that cannot be read (a clear
// broken off) is written anew as empty, and only an entry that cannot be read clears the stack.
//
// Appends come from the command task (lap messages, lap-stack information) and from the status
// block; copies from the status block. One mutex serialises them all, so interleaved appends never
// leave counters that a later check would take for a corrupt stack.
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
// Checks the NV records and appends the entry of a lap.
void sb_lapstack_add_entry(uint8_t lap, uint32_t laptime, float fuel);
// The append itself: sequence + 1 (record 1), the slot (record 2), entry count + 1 (record 1).
void sb_lapstack_add2hist(const tLapStackEntry& entry);
// Checks the NV records, then copies a big-endian u16 count and the entries, oldest first, from the
// power-down copy when it holds data, else from the live stack. Bytes written; 0 below 2 bytes.
size_t sb_lapstack_get(uint8_t* destination, size_t size);
// Keeps the stack in the power-down copy when a power-down has occurred and none is held yet, then
// clears the stack in memory and in NV: the counters (record 1, both copies written through) before
// it returns, then the 256 slots on a task of their own, each slot's copies written through (a slot
// that is zero with both copies whole already is left as it is). Returns 0.
int sb_lapstack_reset_history();
// A power-down has occurred: the next clearing keeps the old history for the status blocks.
void sb_lapstack_power_down();

// One lap event gets at most one entry. When its entry has to wait for the fuel-consumption master
// (lap-stack information, or the status block's time-out), the lap is noted here and the first of
// them to add it wins; a later one adds nothing.
void sb_lapstack_expect_entry(uint8_t lap, uint32_t laptime);
// Adds the noted lap with `fuel`; false (nothing added) when no lap entry is due.
bool sb_lapstack_add_due_entry(float fuel);

// Host and tests: forgets the power-down, its copy, a due entry and the slots a clear has still to
// write (tests change NV stores).
void sb_lapstack_forget_power_down();
// Slots whose clear has not reached NV yet.
int sb_lapstack_slots_to_clear();
