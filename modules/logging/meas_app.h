// What the lap counters and the drive tables ask of the logging application. The logging state
// machine is not part of this build; until it is, the lap operations do what a device without it
// needs: new lap or outing counts are applied at once.
#pragma once

#include "logging/meas_app_disk.h"

#include <cstdint>

// New lap/outing counts from the master: applied at once (LapOutFra_initLapOutCnt), as logging
// does while no measurement runs.
void meas_app_laptrigger_update(uint16_t lap, uint16_t outing);
// Cuts the files of m01 and m03 at their pretrigger: no file is open in this build.
void meas_app_clearsegmentation();
