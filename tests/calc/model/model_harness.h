// The lap model on its own: its inputs are set by the test, its lap messages are recorded, and its
// steps run in the order the rasters run them (per 1 ms tick: step 0, then step 1 every 10 ms,
// then step 2 every 100 ms), after the start-up of the framework (initialise, every step once,
// the slowest first).
#pragma once

#include "calc/model/application_dor.h"

#include <cstdint>
#include <vector>

namespace modeltest {

struct Inputs {
    uint8_t trigger = 0;
    uint8_t gps = 0;
    int64_t gpsEarlierMs = 0; // how long before the step's time the line was crossed
    uint64_t step1LateMs = 0; // how long after its due time the host runs each step 1
    float speed = 0;
    uint8_t outIncrReq = 0;  // taken once
    uint16_t gpsSegment = 0; // taken once
    uint8_t fuelReset = 0;
    float fuel = 0;
    uint8_t fuelLap = 0;       // taken once
    uint32_t lapTimestamp = 0; // 100 us
};

struct LapMessage {
    bool event; // false: update
    uint16_t lap, outing;
    float laptime;
    uint64_t tick;      // the 1 ms tick it was sent in
    uint32_t timestamp; // the event's (100 us)
};

extern Inputs in;
extern std::vector<LapMessage> sent;
extern uint64_t ticks;

// Parameters as a freshly set-up lap function leaves them (beacon active high, 20 ms minimum,
// retrigger locks 1 s, counters from 1), inputs 0, nothing sent.
void defaults();
// The framework's start-up: initialise, then every step once, the slowest first.
void boot();
inline void start() {
    defaults();
    boot();
}
// Runs `ms` ticks.
void run(uint64_t ms);
// The host held the process back: `ms` ticks pass with no step run.
void drop(uint64_t ms);
// Holds the beacon for `ms` ticks, then releases it.
void pulse(uint64_t ms);

} // namespace modeltest
