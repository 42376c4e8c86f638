// What the drives lose when a fault of the seam (drive_fault.h) strikes, as a real drive loses it.
//
// The file API (bfs.cpp) reports what it does to the files it opens for writing; this module keeps
// per file (by host inode) the size at its last good write-through, and which files were created
// since their drive root's last good write-through (FIOSYNC on the root: until then a new file's
// entry is not on the drive). A file the process did not create in this run counts as written
// through at its size when opened.
//
// Only faults of the seam make a drive lose anything; a real host error deletes nothing:
// - a file's failed FIOFLUSH/FIOSYNC cuts the file back to its last good write-through (0 for a
//   file never written through): the pages are clean after the error, a later sync proves nothing;
// - a drive root's failed FIOSYNC removes the files created since its last good one (with their
//   attribute lines in the drive's state);
// - a power cut does both on every drive of the device root, for every file of the process, and
//   brings back the files the file API deleted since their drive root's last good write-through
//   (their attribute lines as the drive's state has them then: the state's rewrites are durable);
// - a file deleted or renamed under its writer (driveloss_takeAway).
// Nothing is kept while the seam is off (drive_fault.h): a file opened before it was engaged loses
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A descriptor of a file opened for writing in `drive` ("meas:"), `rel` its name there and `host`
// its host path; `created` when this open made the file.
void driveloss_opened(int fd, const std::string& drive, const std::string& rel, const std::string& host,
                      bool created);
void driveloss_duped(int fd, int copy);
// Before the descriptor is closed.
void driveloss_closing(int fd);
void driveloss_truncated(int fd, uint64_t length);

// A file's write-through: what it surely covers is taken before it starts (-1: an untracked file).
int64_t driveloss_fileSyncStarts(int fd);
void driveloss_fileWrittenThrough(int fd, int64_t covered);
// A fault failed the file's write-through: the file is cut back to its last good one.
void driveloss_fileWriteThroughFailed(int fd);

// A drive root's write-through: it covers the files created before it starts.
uint64_t driveloss_rootSyncStarts();
void driveloss_rootWrittenThrough(const std::string& drive, uint64_t started);
// A fault failed the root's write-through: the files created since its last good one are removed.
void driveloss_rootWriteThroughFailed(const std::string& drive);

// The file API renamed or removed a file (host paths).
void driveloss_renamed(const std::string& fromHost, const std::string& toHost);
void driveloss_removed(const std::string& host);
// The file API deletes the file of `drive` named `rel` (host path `host`): before its unlink, a
// link to it is kept aside (under the device root) until its drive root is written through, so
// that a power cut brings it back; a file whose own entry was never written through is not kept.
// The token for driveloss_deleted (0: nothing kept). `done` tells whether the unlink succeeded.
uint64_t driveloss_deleting(const std::string& drive, const std::string& rel, const std::string& host);
void driveloss_deleted(uint64_t token, const std::string& host, bool done);
// The drive's folder was emptied for good (a format): nothing deleted from it comes back.
void driveloss_emptied(const std::string& drive);

// Deletes the file of `drive` named `rel` (host path `host`), or renames it to "<rel>.moved", as
// someone does under its writer; its attribute line goes or moves with it.
void driveloss_takeAway(const std::string& drive, const std::string& rel, const std::string& host,
                        bool rename);

// The folder of a store outside the drives (drive_store.h) that goes through the seam as `drive`
// ("nv:"); an empty folder forgets it. A power cut takes its files as a drive's.
void driveloss_setStoreFolder(const std::string& drive, const std::string& folder);
// The store's folder as set; empty for none.
std::string driveloss_storeFolder(const std::string& drive);
// The whole file system of the drive's folder written through (syncfs): every file of the drive, with
// its entry, at the size it has now.
void driveloss_driveWrittenThrough(const std::string& drive);

// A power cut: every drive of the device root, and every store, loses what was not written through.
void driveloss_powerCut();
// The files (drive, name) a power cut now would cut back or remove: their data or their entry not
// written through.
std::vector<std::pair<std::string, std::string>> driveloss_unsafe();
