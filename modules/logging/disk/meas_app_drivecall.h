// Drive calls that the logging makes itself (the D flag and the deletion of downloaded files at a
// start or a stick's arrival) run on a task of their drive, never on the caller's, and whether a
// drive hangs. A drive hangs when one of its calls, by whatever task, has not returned for 10 s; a
// job of many calls that each return (a walk over thousands of files, a slow medium) is working,
// however long it takes. A hung drive is named at error once: the writers leave its files
// unfinished while it hangs, so that logging goes on on the other drives, and its jobs wait. Once
// the call returns the drive is usable again (and says so); the writers then log on there.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr uint32_t MEAS_DRIVECALL_BOUND_MS = 10000;

// Starts the task of `drive` (the logging's start-up does, for each logging drive, so that no task
// comes later); false when it cannot.
bool meas_app_driveCallStart(const char* drive);
// Runs `call` on the task of `drive` ("meas:") and waits for its result while the drive works: -1
// when the drive hangs (now, or before the call began). `call` owns what it uses: it may outlive
// the caller (a call not begun when its caller gives up is dropped). `what` names it in the log.
int meas_app_driveCall(const char* drive, const char* what, std::function<int()> call);
// Runs `call` on the task of `drive` without waiting for it; false when the drive hangs or the call
// cannot be queued. A call that `waitsForTheDrive` (the D-flag check of a start or an arrival) is
// queued while the drive hangs too, and runs once the hung call has returned; one of the same
// `what` that has not begun stands for it (it is not queued twice).
bool meas_app_driveCallAsync(const char* drive, const char* what, std::function<int()> call,
                             bool waitsForTheDrive = false);
// Whether a call of the drive has not returned for 10 s; `what` (may be null) gets that call.
bool meas_app_driveHung(const char* drive, std::string* what = nullptr);
// The watch over the drives whose task was started: a hang is named when its call has not
// returned for 10 s, from the first second on, whoever asks after the drive (called every 100 ms
// on the measurement raster).
void meas_app_driveWatch();
// How often the drive has answered again after it hung: a writer that left its files for the hang
// logs on once this moves.
uint32_t meas_app_driveBack(const char* drive);
