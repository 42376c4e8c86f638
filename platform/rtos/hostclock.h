// The one clock of the process. Every time the system reads (ticks, the 1 ms base tick, time
// stamps, the millisecond clock, the application clock, the date) comes from here.
//
// Two modes:
// - real: device time follows CLOCK_MONOTONIC from the moment the clock was started; the base
//   tick comes due once per millisecond on absolute deadlines, and late ticks are counted.
// - manual (tests): time stands still until hostclock_advanceMs() moves it; each millisecond
//   moved gives one base tick, so rasters and time-outs run without sleeping.
#pragma once

#include <cstdint>
#include <functional>

// Nanoseconds of device time (monotonic). In real mode it is the host's CLOCK_MONOTONIC, so that
// two application processes on one machine share one time base, as synchronised devices do.
uint64_t hostclock_nowNs();
// Milliseconds of device time: the tick count of the 1000 Hz clock.
uint64_t hostclock_ticks();
// Wall-clock time (UTC) in nanoseconds since 1970: host realtime in real mode; in manual mode the
// realtime at the switch plus the time advanced by hand.
int64_t hostclock_realtimeNs();

// Switches to manual mode (tests): time stands at its current value until advanced.
void hostclock_setManual(bool manual);
bool hostclock_isManual();
// Manual mode: moves time forward by `ms` milliseconds, one tick at a time; after each tick the
// tick sinks run. Waits (in real time, bounded) until each tick has been taken by its consumer
// before giving the next, so a hand-driven second is 1000 distinct ticks.
void hostclock_advanceMs(uint32_t ms);
// Manual mode: moves time forward by `ms` at once and then gives the `ms` ticks back to back, as
// the real ticker makes up ticks after a late wake-up, the last 1000 of them (those before are
// dropped, as for a host suspended for over a second); waits until the last has been taken.
void hostclock_advanceBurstMs(uint32_t ms);

// Functions called once per hand-driven base tick (from hostclock_advanceMs) with the tick's due time in
// device nanoseconds; a tick given late (in a burst) keeps its own due time. `consumed` (may be empty) tells
// manual stepping whether the tick's work is done.
using TickSink = std::function<void(uint64_t dueNs)>;
using TickConsumed = std::function<bool()>;
void hostclock_setTickSink(TickSink sink, TickConsumed consumed);

// Real mode: the base tick runs on absolute deadlines 1 ms apart from its start. Its ticks are
// handed out when the one who waits for them looks (nothing runs while nobody waits): a look after
// a late wake-up hands out the missed ticks at once, each with its own due time, and more than
// 1000 missed ticks (a host suspended for over a second) are dropped and counted.
void hostclock_startTicker();
void hostclock_stopTicker();
// Hands out the ticks that have come due since the last look: their number and the due time of
// the first (device ns; the others follow 1 ms apart). Returns the due time of the next tick, or
// UINT64_MAX when none will come by itself (stopped, or the clock is driven by hand).
uint64_t hostclock_takeDueTicks(uint64_t* firstDueNs, uint32_t* count);

struct HostTickStats {
    uint64_t ticks;         // ticks given
    uint64_t overruns;      // deadlines missed by more than one period (ticks handed out late, in a burst)
    uint64_t maxLatenessNs; // largest lateness of a tick against its deadline
};
HostTickStats hostclock_tickStats();
