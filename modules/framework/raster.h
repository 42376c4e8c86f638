// The raster scheduler: the task "r_notifyRasterTask" counts the 1 ms base ticks ("/BASETICK0")
// and wakes every raster task whose period divides the count; each raster task calls the periodic
// functions that the subsystems registered with it, in their fixed order. The calculation task
// "r_tAWM_SS" walks the raster indices 0 to 9 every tick.
#pragma once

#include "platform/rtos/rtos.h"

#include <cstdint>
#include <functional>

// Raster indices 0..9: 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000 ms.
inline constexpr int RASTER_INDICES = 10;

// The framework's own raster tasks.
enum RasterTaskId {
    RASTER_R1MS = 0, // "r_r1ms" ... "r_r1000ms" follow raster indices 0..9
    RASTER_R1000MS = 9,
    RASTER_RMEAS,       // "r_rMeas", 1 ms, the measurement raster of the logging
    RASTER_ETH_ONLINE,  // "r_rEthSend_online", 10 ms
    RASTER_ETH_OFFLINE, // "r_rEthSend_offline", 10 ms
    RASTER_LAP,         // "r_Lap", woken by raster_triggerTask(-4)
    RASTER_SBLAP,       // "r_sbLapPer", woken by raster_triggerTask(-7)
    RASTER_BUILTIN_COUNT,
};

// Period in ms of a raster index (index 2 gives 5); 0 for an index outside 0..9.
int raster2rate(int code);

// Registers a periodic function with one of the framework's raster tasks. Functions of one
// raster run in ascending `order` (equal orders in registration order). May be called before or
// after the rasters start; false for an unknown raster.
using RasterFunction = std::function<void()>;
bool raster_addPeriodic(RasterTaskId raster, int order, const char* name, RasterFunction fn);

// The calculation task's steps for one due raster index at one tick: in ascending order, e.g. the
// calculation channels of that raster, then the measurement manager's copy.
using CalcStep = std::function<void(int rasterIndex, uint32_t timestamp)>;
bool raster_addCalcStep(int order, const char* name, CalcStep step);

// Creates a task "r_" + name running `function` once per period in ms (negative: event-driven,
// woken by raster_triggerTask(period)). processor -1 leaves it unbound; watchdog limit -1 gives
// it none (on the host the limit is recorded). True when hooked.
bool raster_hookFunction(const char* name, int priority, int period, void (*function)(), int stack,
                         int processor, int watchdogLimit);
bool raster_hookFunction(const char* name, int priority, int period, RasterFunction function, int stack,
                         int processor, int watchdogLimit);

// Wakes the event-driven raster of that base rate (-4 lap, -7 lap status block). 0 without effect
// before the rasters run or for a base rate not in the list (logged).
int raster_triggerTask(int baseRate);

// The due time (device ns, hostclock_nowNs) of the tick that gave the pass the calling raster task
// runs, however late the host runs it; 0 outside the pass of a periodic raster.
uint64_t raster_passDueNs();
// The time stamp (100 us, time_getTimestamp) of that due time; outside such a pass the time now.
uint32_t raster_passTimestamp();

// Sleeps the calling task `ms` milliseconds of base ticks on its own counting semaphore.
void raster_taskDelay(SEM_ID semaphore, int ms);

// Start-up step 0: creates the raster tasks (they wait). Step 1: connects them to the base tick.
bool raster_init();
bool raster_start();
// Ordered shutdown: the rasters stop and their tasks end.
void raster_stop();
bool raster_running();

// Diagnostics and tests: runs of a raster task, visits of the calculation task to an index,
// base ticks counted by the notify task.
uint64_t raster_runCount(RasterTaskId raster);
uint64_t raster_calcVisits(int rasterIndex);
uint64_t raster_tickCount();
