// Directory information of the logging drives, as their flash file system reports it: how many
// directory entries the drive's directory uses and how many are still free.
//
// How the host differs from the device:
// - The device's file system has a directory of fixed size, chosen when the partition is formatted.
//   Here the used entries are the files and folders under the drive's folder, and the directory
//   size (used + free) is kept in a small state file beside the folder in the device root,
//   "<drive>.drive" (e.g. "meas.drive" next to "meas/"), one "key value" pair per line; this file
//   reads the line "dirsize <entries>" and passes over the others, which the logging's drive
//   preparation may add. A drive without that line (or without the file) has the directory size of
//   a partition formatted with the defaults, DRIVE_DIRSIZE_DEFAULT; a malformed one makes the
//   request fail, as it does on a damaged partition.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t DRIVE_DIRSIZE_DEFAULT = 2048;

enum : int {
    DRIVE_DIRINFO_OK = 0,
    DRIVE_DIRINFO_NO_DRIVE = -1, // unknown drive name or its folder cannot be read
    DRIVE_DIRINFO_FAILED = -2,   // the drive's directory size is unreadable
};

struct DriveDirInfo {
    uint32_t used; // directory entries in use
    uint32_t free; // directory entries left (0 when more are used than the size allows)
};

// Directory information of a drive ("meas:", "meas2", "usb_meas:"). DRIVE_DIRINFO_OK with `info`
// filled, or one of the failures above (then `info` is left alone).
int drive_dirInfo(const char* drive, DriveDirInfo* info);

// Host path of a drive's state file; empty for an unknown drive.
std::string drive_stateFile(const char* drive);
