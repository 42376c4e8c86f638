// The one clock of the process. Every time the system reads (ticks, the 1 ms base tick, time
// stamps, the millisecond clock, the application clock, the date) comes from here.
//
// Two modes:
// - real: device time follows CLOCK_MONOTONIC from the moment the clock was started; the base
//   tick thread gives one tick per millisecond on absolute deadlines and counts overruns.
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

// Functions called once per base tick (from the base tick thread in real mode, from
// hostclock_advanceMs in manual mode). `consumed` (may be empty) tells manual stepping whether the
// tick was taken.
using TickSink = std::function<void()>;
using TickConsumed = std::function<bool()>;
void hostclock_setTickSink(TickSink sink, TickConsumed consumed);

// Real mode: starts and stops the base tick thread (idempotent).
void hostclock_startTicker();
void hostclock_stopTicker();

struct HostTickStats {
    uint64_t ticks;          // ticks given
    uint64_t overruns;       // deadlines missed by more than one period (ticks given late in a burst)
    uint64_t maxLatenessNs;  // largest lateness of a tick against its deadline
};
HostTickStats hostclock_tickStats();
