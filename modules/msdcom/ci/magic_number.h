// Handle numbers ("magic numbers"): 32-bit names of FIFOs, measurement lists and gateway requests
// that both ends of a network path know. Bits 24..31 carry the low byte of the boot counter,
// bits 0..23 a running counter; the low 16 bits index the table. Index 0 is never used, so a
// handle number is never 0 and 0 means "none". A deleted handle is held for a number of
// collection ticks before its index can be issued again, so late frames and replies for it are
// rejected; a handle of an earlier boot never validates.
#pragma once

#include <cstdint>

struct magic_table;

inline constexpr uint32_t MAGIC_TABLE_SIZE = 65536;
inline constexpr uint32_t MAGIC_HOLD_TICKS = 240;
inline constexpr uint32_t MAGIC_INVALID = 0xFFFFFFFF;

// A table of `size` entries (a power of two, 2..65536) with `hold` collection ticks (at most
// 255). The boot byte is the low byte of boot_count_get() at creation. nullptr for a bad size or
// no memory; a failed mutex is logged and the table still returned (its operations then fail).
magic_table* magicNumber_createMem(uint32_t size, uint32_t hold);
// Frees a table (start-up failures and tests); nobody may use it any more.
void magicNumber_destroyMem(magic_table* table);

// A new handle number; 0 when the table is full or absent.
uint32_t magicNumber_getNewMagic(magic_table* table);
// The index of a valid handle; MAGIC_INVALID when it does not validate or the table is absent.
uint32_t magicNumber_magic2index(magic_table* table, uint32_t handle);
// 1 deleted (held), 0 not found or handle 0, MAGIC_INVALID mutex failure.
uint32_t magicNumber_deleteMagic(magic_table* table, uint32_t handle);
// As above, the entry is free at once.
uint32_t magicNumber_deleteMagic_noTimeout(magic_table* table, uint32_t handle);
// One collection tick: held entries count down; those found at 0 become free.
void magicNumber_garbageCollection(magic_table* table);

// Runs the table's collection tick once a second in the 1000 ms raster. The table must live for
// the rest of the run.
bool magicNumber_collectEverySecond(magic_table* table, const char* name);

// Diagnostics: handles in use, handles held, the running counter, the boot byte of the table.
uint32_t magicNumber_usedCount(const magic_table* table);
uint32_t magicNumber_deletedCount(const magic_table* table);
uint32_t magicNumber_counter(const magic_table* table);
uint8_t magicNumber_bootByte(const magic_table* table);
