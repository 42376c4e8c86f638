// The files of a store that is no drive of the file API (the NV store) through the drive layer's
// fault seam (drive_fault.h), as a drive of its own name ("nv:"): each call is counted as that
// drive's operation and takes the faults armed for it, and a failed write-through or a power cut
// loses what the store had not written through, as on the drives (drive_loss.h); a delete or rename
// fault takes no file of a store away (its write goes on). Each call returns as the system call it
// stands for (-1 with errno); while the seam is off it is that system call.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// The store's folder as the seam knows it (for what a power cut takes); "" when the store closes.
void drivestore_setFolder(const std::string& drive, const std::string& folder);
// openat in the store's folder for writing (operation open); `created` tells the seam that the call
// makes the file.
int drivestore_open(const std::string& drive, int dirFd, const std::string& name, int flags, mode_t mode,
                    bool created);
// All of `n` bytes, or -1 (operation write).
ssize_t drivestore_write(const std::string& drive, int fd, const void* data, size_t n);
// A file's fsync (operation sync).
int drivestore_fsync(const std::string& drive, int fd);
// The fsync of the store's folder, which makes the entries of new files durable (operation sync).
int drivestore_fsyncFolder(const std::string& drive, int dirFd);
// syncfs of the folder's file system (operation syncfs): on the seam it covers every file of the
// store at the size it has when the call returns (a store makes one call at a time), unless the
// fault "nothing" makes it answer 0 without writing anything.
int drivestore_syncfs(const std::string& drive, int fd);
// close (operation close).
int drivestore_close(const std::string& drive, int fd);
