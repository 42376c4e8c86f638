// The lap function (calculation-channel module 0x08): configures the lap model from its record in
// the channel table (awm_model_cfg.h), feeds the model's 1 ms and 10 ms steps with the beacon
// level, the GPS lap trigger (with track detection), the GPS segment boundaries and the speed, and
// turns operator requests into model requests. The best lap time lives in a cell of its own, kept
// in NV record 12 (awm_model_cfg.h), so that it survives a restart.
//
// One lap function per device. Its model inputs are called from the model's raster tasks; the
// requests come from any task.
#pragma once

#include <cstdint>

struct awm_lapfunc_cfg;

// Set-up from the channel table (channel manager): the model's parameters, the inputs, the best
// lap cell, the GPS trigger point and track detection. False (logged) for a second lap function.
bool awm_0x08_lapfunc_ini(uint32_t channel, const awm_lapfunc_cfg& cfg);
// Host and tests: inputs and track detection stop; the lap function is no longer configured.
void awm_0x08_lapfunc_exit();
// The model's event init: start values of the counters and the lap, outing and fragment counters
// for this start (a new outing unless the speed is valid and the lap distance below the outing
// distance); nothing on a device without a lap function.
void awm_0x08_lapfunc_ini_lof();

// Model inputs.
uint8_t awm_0x08_lapfunc_getTrigger();              // beacon level (1 ms)
uint8_t awm_0x08_lapfunc_getGpsTrigger();           // 1 = GPS lap line crossed (10 ms)
uint32_t awm_0x08_lapfunc_getGpsTriggerTimestamp(); // when it was crossed (time stamp, 100 us)
uint16_t awm_0x08_lapfunc_getGpsSegmentTrigger();   // boundary passed since the last call, 0 none
float awm_0x08_lapfunc_getSpeed();                  // m/s; 0 while not configured, stopped or invalid
uint8_t awm_0x08_lapfunc_getOutIncrReq();           // 1 once after an outing increment was requested

// True when the lap-function channel is set up completely.
bool awm_0x08_lapfunc_configured();
// Ends the current outing when the speed is invalid or the car drove further than the outing
// distance since the outing began: the model increments the outing. Logs
// "awm_0x08_lapfunc_checkOutCtr(): lapfunc not operational" without a lap function.
void awm_0x08_lapfunc_checkOutCtr();

// The 10 ms raster around the model step: before it, pending requests become model requests for
// one step each; after it, the GPS distances to the trigger point are published and the best lap
// time is stored when it changed.
void awm_0x08_lapfunc_requests();
void awm_0x08_lapfunc_cyclicCall();
// Published GPS distances: 0 to the trigger point, 1 along, 2 across the direction of travel.
const float* awm_0x08_lapfunc_dist2trig(int which);

// The GPS segment module's side: the boundary it saw passed, and the lap function's GPS inputs
// (latitude, longitude, speed km/h, heading; NaN when not configured or not valid).
void awm_0x08_lapfunc_setGpsSegmentTrigger(uint16_t boundary);
void awm_0x08_lapfunc_gpsInputs(float* lat, float* lon, float* speedKmh, float* heading);

// Start-up, at the lap counters' place: gives the lap-trigger commands the lap function's requests
// and the fuel-consumption channel's lap mark (lap_setLapFunction).
void awm_0x08_lapfunc_connect();

// Requests to the lap model, each taken at its next 10 ms step.
void lapfunc_resetLap();         // lap counter preset (MACRO_LAP_SET)
void lapfunc_resetOut();         // outing counter preset (MACRO_OUT_SET)
void lapfunc_resetLapDist();     // lap distance reset (MACRO_LAPDIST_SET)
void lapfunc_resetBestLapTime(); // best lap preset (MACRO_LAPTIBEST_SET)
void lapfunc_incrOuting();       // also logs "lapfunc_incrOuting(): outing increment requested from extern"
void lapfunc_incrLap();          // lap trigger (MACRO_LAPTRG_SET)
void lapfunc_resetSegments();    // segment tables reset (MACRO_SEGTIME_SET)
