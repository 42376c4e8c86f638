// The error memory: the device faults of this run and earlier runs, kept in NV records.
// 20 entries; a new entry beyond them pushes out the oldest. Each new error is also handed to the
// event hook (the event logger fills it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

struct ErrorMemEntry {
    uint16_t path;
    uint8_t type;
    uint8_t mil;
    uint8_t active; // 1 while the fault is present
    uint8_t reserved;
    uint16_t count;   // activations of this entry (saturating)
    uint32_t firstTs; // time stamp (100 us) of the first and the last activation
    uint32_t lastTs;
    uint32_t bootCount; // boot counter of the run that entered it
};

inline constexpr size_t ERROR_MEM_ENTRIES = 20;

void error_mgr_init(); // loads the entries from NV (start-up)
void error_mgr_stop(); // stores and freezes the entries (ordered shutdown)
// Stores the entries when they changed. Changes are written behind (each second and at the stop)
// so that a caller in a raster never waits for the NV store.
void error_mgr_flush();
void error_mgr_set(uint16_t path, uint8_t type, uint8_t mil);
// Deactivates the path's entries. While none of them is active it returns at once without taking
// the table's lock, so callers may clear their path every cycle.
void error_mgr_clear(uint16_t path);
void error_mgr_clear_all();
// Copies the entries, oldest first; returns their number.
size_t error_mgr_list(ErrorMemEntry* out, size_t max);

// Called for every new error (not for a repeat of an active one).
using ErrorEventHook = std::function<void(const ErrorMemEntry&)>;
void error_mgr_setEventHook(ErrorEventHook hook);
