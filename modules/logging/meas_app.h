// What the lap counters and the drive tables ask of the logging application. The logging state
// machine and the drive preparation are not part of this build; until they are, these operations
// do what a device without them needs: drives count as available when their folder is there, and
// new lap or outing counts are applied at once.
#pragma once

#include <cstdint>

// 0 when the drive is usable now, -1 when not (no debounce without the drive preparation).
int meas_app_driveAvDebounce(const char* driveName);
// New lap/outing counts from the master: applied at once (LapOutFra_initLapOutCnt), as logging
// does while no measurement runs.
void meas_app_laptrigger_update(uint16_t lap, uint16_t outing);
// Cuts the files of m01 and m03 at their pretrigger: no file is open in this build.
void meas_app_clearsegmentation();
