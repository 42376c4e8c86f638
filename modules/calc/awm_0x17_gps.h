// The GPS segment module (calculation-channel module 0x17): up to 50 fixed segment points of its
// record (awm_model_cfg.h), each a point of the GPS trigger line, fed every 10 ms with the lap
// function's GPS inputs and carried forward by dead reckoning between fixes. Passing point i ends
// segment i: its number goes to the lap function (awm_0x08_lapfunc_getGpsSegmentTrigger).
//
// Learned segment points are not part of this module: nothing says how they would be learned.
#pragma once

#include <cstdint>

struct awm_gpsseg_cfg;

// Set-up from the channel table; the cyclic function runs at raster index 3 (10 ms), the step of
// its dead reckoning. False (logged) for a second module, another raster or more than 50 points.
bool awm_0x17_gps_ini(uint32_t channel, uint8_t raster, const awm_gpsseg_cfg& cfg);
// Host and tests: unqueued; the module no longer exists.
void awm_0x17_gps_exit();
// The cyclic function (raster queue).
void awm_0x17_gps_cyclicCall(void* instance, uint32_t timestamp);
