// Directory information of the logging drives, as their flash file system reports it: how many
// directory entries the drive's directory uses and how many are still free.
//
// How the host differs from the device: the device's file system has a directory of fixed size,
// chosen when the partition is formatted. Here the used entries are the regular files in the
// drive's folder, and the directory size (used + free) is the "dirsize" of the drive's state file
// (drive_state.h). A damaged dirsize makes the request fail, as it does on a damaged partition.
#pragma once

#include "platform/drives/drive_state.h"

#include <cstdint>
#include <string>

enum : int {
    DRIVE_DIRINFO_OK = 0,
    DRIVE_DIRINFO_NO_DRIVE = -1, // unknown drive, drive not there, or its folder cannot be read
    DRIVE_DIRINFO_FAILED = -2,   // the drive's directory size is unreadable
};

struct DriveDirInfo {
    uint32_t used; // directory entries in use
    uint32_t free; // directory entries left (0 when more are used than the size allows)
};

// Directory information of a drive ("meas:", "meas2", "usb_meas:"). DRIVE_DIRINFO_OK with `info`
// filled, or one of the failures above (then `info` is left alone).
int drive_dirInfo(const char* drive, DriveDirInfo* info);
// The directory size alone (used + free entries while the folder holds no more files than that),
// as the drive's file system keeps it: no read of the folder. DRIVE_DIRINFO_OK with `size` filled,
// or a failure above.
int drive_dirSize(const char* drive, uint32_t* size);
