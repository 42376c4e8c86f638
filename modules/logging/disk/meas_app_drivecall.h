// Drive calls that the logging makes itself (the D flag and the deletion of downloaded files at a
// start or a stick's arrival), bounded as the writers' calls are: each runs on a task of its drive
// that may hang in the drive, never on the caller's. A drive whose call has not answered within its
// bound counts as hung, named at error: its later calls fail at once, and the writers leave its
// files unfinished while it hangs, so that logging goes on on the other drives. The call that hung
// keeps its task; when it returns, the drive is usable again (and says so).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

inline constexpr int MEAS_DRIVECALL_BOUND_MS = 10000;

// Starts the task of `drive` (the logging's start-up does, for each logging drive, so that no task
// comes later); false when it cannot.
bool meas_app_driveCallStart(const char* drive);
// Runs `call` on the task of `drive` ("meas:") and waits up to `boundMs` for its result. -1 when the
// drive hangs (now, or still from an earlier call). `call` owns what it uses: it may outlive the
// caller. `what` names the call in the log.
int meas_app_driveCall(const char* drive, const char* what, std::function<int()> call,
                       int boundMs = MEAS_DRIVECALL_BOUND_MS);
// Runs `call` on the task of `drive` without waiting for it; false when the drive hangs or the call
// cannot be queued.
bool meas_app_driveCallAsync(const char* drive, const char* what, std::function<int()> call);
// Whether a call of the logging on the drive has hung past its bound and not returned yet; `what`
// (may be null) gets what hangs.
bool meas_app_driveHung(const char* drive, std::string* what = nullptr);
