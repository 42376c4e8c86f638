// What lap timing calls in the subsystems above it, given at start-up: the lap function and the
// fuel-consumption channel that the lap-trigger commands drive (calculation channels), and what the
// counters and the lap events hand on to the logging (lap stack, status block, the measurements'
// segmentation). Until a table is given lap timing goes on alone: no lap function is configured, a
// lap used no fuel, and the logging hears nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LapFunctionHooks {
    bool (*configured)();  // the lap-function channel is set up completely
    void (*checkOutCtr)(); // ends the outing when the car stopped or left the track
    // Requests to the lap model, each taken at its next 10 ms step.
    void (*resetLap)();
    void (*resetOut)();
    void (*resetLapDist)();
    void (*resetBestLapTime)();
    void (*incrOuting)();
    void (*incrLap)();
    void (*resetSegments)();
    // Marks a lap for the fuel-consumption channel: the fuel used on the lap just completed.
    float (*fuelLaptrigger)();
};

struct LapLoggingHooks {
    // A new outing: the lap stack's history goes.
    int (*lapStackResetHistory)();
    // A lap event of the master: the lap-stack entry of the lap just completed, and its status block.
    void (*lapStackAddEntry)(uint8_t lap, uint32_t laptime, float fuel);
    int (*statusBlockLap)(uint16_t previousLap, uint16_t previousOuting, uint32_t timestamp,
                          uint32_t laptime);
    // A new lap: the measurements cut their files.
    void (*clearSegmentation)();
    // New lap or outing counts from the master.
    void (*lapOutChanged)(uint16_t lap, uint16_t outing);
    // Runs `job(drive)` on the task of `drive` ("meas:"), beside the caller: a look into a large
    // folder on a slow drive holds no one else. False when it cannot be queued.
    bool (*onDrive)(const char* drive, const char* what, int (*job)(const char* drive));
    // The drives that take the measurement files (the logging drives and the stick): the start's
    // search reads each of their folders.
    std::vector<std::string> (*dataDrives)();
    // The start's search has read every folder it reads: the files may be named. The logging fixes
    // the names on its own task (LapOutFra_settleNames), where it names its files.
    void (*searchEnded)();
};

// Complete tables that live as long as the process; null goes back to lap timing alone.
void lap_setLapFunction(const LapFunctionHooks* hooks);
void lap_setLogging(const LapLoggingHooks* hooks);
// The tables in force.
const LapFunctionHooks& lap_lapFunction();
const LapLoggingHooks& lap_logging();
