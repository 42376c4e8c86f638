// The calls of each drive that are in flight. A drive hangs when one of its calls has not returned
// for a while; a job of many calls that each return (a walk over thousands of files, a slow medium
// whose every call takes a second) is working, however long it takes as a whole. The file API
// (bfs.h) marks every call it makes on a drive; the logging asks here whether a drive hangs.
#pragma once

#include <chrono>
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

// How long (ms) the calls of `drive` take now: the longest of those in flight (each counted from
// its start) and of those that returned in the last kDriveCallsRecentMs. A long call that returned
// before that says nothing of the drive now: a drive that came back from a hang is judged by its
// calls since.
inline constexpr uint32_t kDriveCallsRecentMs = 5000;
uint32_t drivecalls_longestMs(const char* drive);
// The process ends by `end` (the shutdown's bound): a call in flight then would hold it, since the
// kernel keeps a process until its threads' calls return. From now on a new call of a drive that
// might not return before `end` (now plus how long that drive's calls take now, at least
// kDriveCallsEndFloorMs) is not made yet, nor one of a drive with a call in flight for `hungMs` (it
// hangs): its thread waits, in no call, and asks again every 50 ms, so that a drive whose calls
// return promptly again gets the call while time is left; past `end` the thread waits there for the
// end of the process. `refused` (may be null) hears of the first such wait of each drive, with how
// long that drive's calls took, and `resumed` of the first call of that drive made after one, each
// on the thread that was to make it. A call inside a call in flight is part of it and goes on.
inline constexpr uint32_t kDriveCallsEndFloorMs = 1000;
void drivecalls_endBy(std::chrono::steady_clock::time_point end, uint32_t hungMs,
                      void (*refused)(const char* drive, uint32_t longestMs) = nullptr,
                      void (*resumed)(const char* drive, uint32_t longestMs) = nullptr);
// Whether `calls` more calls of `drive`, one after the other and each as long as that drive's
// calls take now, would all be made before the end set by drivecalls_endBy (true while none is).
bool drivecalls_timeFor(const char* drive, uint32_t calls);
// While one lives, the calling thread waits for calls of `drive` that another task makes for it (a
// write-through it queued, the drive's turn for a write-through of its folder): it counts as busy
// with the drive while those calls go on (drivecalls_threadQuietMs).
class DriveWaitMark {
public:
    explicit DriveWaitMark(const std::string& drive);
    ~DriveWaitMark();
    DriveWaitMark(const DriveWaitMark&) = delete;
    DriveWaitMark& operator=(const DriveWaitMark&) = delete;

private:
    int before_ = -1; // the wait it nests in (-1: it marks nothing)
};
// How long (ms) the thread has shown no work on a drive: 0 while it is in a call, or waits for a
// drive (DriveWaitMark) that has a call in flight; else the time since its own last call returned,
// or, while it waits, since the drive's last call did. UINT32_MAX when there was none.
uint32_t drivecalls_threadQuietMs(DriveCallThread thread);
