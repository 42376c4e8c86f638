// The kernel side's 1 ms base tick: the named counting semaphore "/BASETICK0", given once per
// millisecond of the host clock (by the clock as its taker waits, or by hand in tests).
#pragma once

#include "platform/rtos/rtos.h"

#include <cstdint>

inline constexpr const char* BASETICK_NAME = "/BASETICK0";

// Opens (creates) "/BASETICK0" and connects it to the clock; in real mode the ticks start.
SEM_ID basetick_start();
// Disconnects the semaphore from the clock: no more ticks.
void basetick_stop();

// Takes one tick from the semaphore, like semTake, and gives its due time in device nanoseconds
// (hostclock_nowNs): ticks given late in a burst keep the times they were due at. The one task that
// counts the ticks takes them this way.
STATUS basetick_take(SEM_ID tick, _Vx_ticks_t timeout, uint64_t* dueNs);
