// The write-through of a drive's folder, which makes the entries of files created there survive a
// power cut: a new file is on the drive only once a folder write-through begun after its creation
// has succeeded. A failed one is final: the drive may have dropped the entries it covered, and a
// later write-through that succeeds proves nothing about them (the error is reported once).
//
// Every folder write-through of the logging (the writers' background ones, a close's own, a copy's)
// goes through here, one at a time per drive, so that "the first one begun after a file's creation"
// is well defined and decides for its entry.
#pragma once

#include <cstdint>

// The folder write-throughs of `drive` ("meas:") begun so far. Taken right after a file was
// created: the next one begun covers its entry.
uint32_t meas_app_dirSyncMark(const char* drive);
// Where the entry of a file created at `mark` stands: 1 written through, -1 lost (the first folder
// write-through begun after it failed), 0 not yet known. A lost one's `*error` (where given) gets
// the error that write-through met, whichever task made it (0: too long ago to tell).
int meas_app_dirSyncEntry(const char* drive, uint32_t mark, int* error = nullptr);
// Writes the folder of `drive` through now unless the entry of `mark` is settled already; 1 or -1
// as above. A write-through that fails is logged, with the drive and the reason.
int meas_app_dirSyncNow(const char* drive, uint32_t mark, int* error = nullptr);
// Writes the folder through now (the background write-through, or a look at a drive that failed:
// `tell` false keeps a failure out of the log): true when it succeeded.
bool meas_app_dirSync(const char* drive, bool tell = true);
// The runs of failed folder write-throughs of `drive` that are kept (for tests): at most 256, the
// oldest let go first; an entry whose write-through is older than those kept counts as lost.
uint32_t meas_app_dirSyncLostRuns(const char* drive);
