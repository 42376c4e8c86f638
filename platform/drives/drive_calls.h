// The calls of each drive that are in flight. A drive hangs when one of its calls has not returned
// for a while; a job of many calls that each return (a walk over thousands of files, a slow medium
// whose every call takes a second) is working, however long it takes as a whole. The file API
// (bfs.h) marks every call it makes on a drive; the logging asks here whether a drive hangs.
#pragma once

#include <cstdint>
#include <string>

// Marks a call of `drive` ("meas:") for as long as it lives; `op` names it ("write", a string that
// lives as long as the process). A call inside another call of the same thread counts as part of it.
class DriveCallMark {
public:
    DriveCallMark(const std::string& drive, const char* op);
    ~DriveCallMark();
    DriveCallMark(const DriveCallMark&) = delete;
    DriveCallMark& operator=(const DriveCallMark&) = delete;

private:
    bool outer_ = false;
};

// How long (ms) the oldest call of `drive` now in flight has been in it; 0 when none is. `what`
// (may be null) gets that call, e.g. "a write of r_BFSWriter1".
uint32_t drivecalls_oldestMs(const char* drive, std::string* what = nullptr);
// The calls of `drive` that have returned so far (whatever their result).
uint64_t drivecalls_returned(const char* drive);

// A thread, for asking after its calls from another: the calling thread's handle (null when the
// table of threads is full).
using DriveCallThread = const void*;
DriveCallThread drivecalls_thisThread();
// How long (ms) that thread has been in its call now; 0 when it is in none.
uint32_t drivecalls_threadMs(DriveCallThread thread);
