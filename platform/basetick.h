// The kernel side's 1 ms base tick: the named counting semaphore "/BASETICK0", given once per
// millisecond of the host clock (by the ticker thread, or by hand in tests).
#pragma once

#include "platform/rtos.h"

inline constexpr const char* BASETICK_NAME = "/BASETICK0";

// Opens (creates) "/BASETICK0" and connects it to the clock; in real mode starts the ticker.
SEM_ID basetick_start();
// Disconnects the semaphore from the clock and stops the ticker.
void basetick_stop();
