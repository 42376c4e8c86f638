// Writing handed-over file data through to the medium, in the background.
//
// A writer hands its bytes over (the stream is flushed into the file) once the oldest of them is
// 0.5 s old; from then on they survive anything but a power cut. Writing them through (FIOFLUSH on
// the file, FIOSYNC on the drive's root) can take seconds on a busy disk, and a writer that waited
// for it would hold back its next hand-over and keep newer data in its own buffers. So the writers
// only queue the write-through here, and tasks of each drive do it ("r_BFSSync_<drive>",
// "r_BFSSync1_<drive>" to "r_BFSSync3_<drive>", more while every one is in hand, up to 16): those of
// different files and of the folder side by side, each file's (and the folder's) one after the
// other; a drive that hangs in one holds back only its own. A file's hand-overs go on meanwhile (the
// write-through has a descriptor of its own), and its next write-through covers them.
#pragma once

#include "platform/drives/bfs.h"

#include <cstdint>
#include <functional>
#include <string>

namespace measure::store {

// Queues the write-through of the file open on `fd` (a duplicate of it is kept until it is done);
// a file already waiting is written through once for both. False when it could not be queued (the
// queue is full): the writer asks again at its next flush.
bool syncFileLater(int fd);
// Queues FIOSYNC on the root of `drive` ("meas:"); one request per drive waits at a time. Its end
// is recorded for the entries it covers (meas_app_dirsync.h).
bool syncDirLater(const char* drive);
// Runs `work` on a write-through task of the drive of `path`, once the write-throughs of `file`
// queued before it are done (a closed file's last steps, beside the next file's hand-overs). False
// when it could not be queued.
bool syncFileThen(const std::string& path, const bfs_fileId& file, std::function<void()> work);
// What is known of a file's write-throughs is kept by the file itself (its identity), not by its
// name: a writer left behind with an earlier file of a name never touches what is known of the
// file that has the name now.
// The error of a write-through of the file that failed since it was last asked (0: none); asking
// forgets it. Waits first for a write-through of the file that is queued or under way.
int syncFailed(const bfs_fileId& file);
// The same, without waiting and without forgetting it.
int syncFailedYet(const bfs_fileId& file);
// Whether a write-through of the file is queued or under way. A file system holds a file's writes
// while it writes it through: its writer hands nothing over meanwhile, so that it never waits
// there and holds back no other file of the drive.
bool syncBusy(const bfs_fileId& file);
// Forgets what is known of the file (its writer has given it up, or it is new).
void syncForget(const bfs_fileId& file);
// The length of the file that its last good write-through covered (0 when none succeeded yet).
uint64_t syncGoodLength(const bfs_fileId& file);
// Write-throughs queued and not yet done (for tests and the shell).
uint32_t syncPending();

} // namespace measure::store
