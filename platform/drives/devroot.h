// The device root: one host folder that stands for the device's drives and kernel-side stores.
//
// Layout under the root (environment variable DEVICE_ROOT, default "./run"):
//   cfg/ meas/ meas2/ usb_meas/ c/   the drives "cfg:", "meas:", "meas2:", "usb_meas:", "c:"
//   meas-1/ meas2-1/ usb_meas-1/     application 1's logging drives: no two logging applications
//                                    share a folder; the process logging into a folder holds a
//                                    flock on the folder itself
//   nv/ nv1/                         the NV record database of application 0 and 1, each held by
//                                    its process as the logging folders are
//   appparam-<index>.conf            optional overrides of the parameter block
//   log/syslog-<index>.log           the system log as written by the log reader (.1: the older)
//   shell-<index>.sock               the debug shell of application <index>
//   tty/                             the published ends of the serial ports
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The device root folder (absolute). Read once from DEVICE_ROOT; tests may set it explicitly.
std::string devroot_path(); // a copy: tests may set another root while tasks read it
void devroot_set(const std::string& path);
// The application whose drives the paths name (0 or 1; default 0): application 1's logging drives
// "meas:", "meas2:" and "usb_meas:" are folders of their own.
void devroot_setApplication(int index);
// Moves on at every devroot_set and devroot_setApplication: what was derived from the paths before
// (a drive's state file) is derived again.
uint64_t devroot_generation();
// True when the root is there. The device's start makes none: a mistyped DEVICE_ROOT would start
// an empty device in a new folder. False, naming the root, when it does not exist or is no folder.
bool devroot_check(std::string* error);
// Creates the root and its folders when missing. False (with the reason in `error`) when the root
// cannot be used.
bool devroot_prepare(std::string* error);
// Takes the application's logging folders for this process until it ends: a flock on each folder's
// own descriptor, so a symlink to the folder or deleted files beside it do not matter, and the
// kernel drops it when the process dies, also when it is killed. Only the folders that are there
// are taken: a start calls it before devroot_prepare, so that a folder in use refuses the start
// before anything is made, and again after it for the folders made then. False, naming the folder
// and (where the kernel's list of locks shows it) the process that holds it, when another running
// process logs into one of them.
bool devroot_claimLoggingFolders(std::string* error);
// Takes any other folder of one process, e.g. the NV store's, in the same way; one that is not
// there is made first with `make`, and left for a later call without. A folder this process holds
// already is not taken again. The refusal reads "the <kind> '<folder>' is in use by another running
// process (pid <pid>): <reason>".
bool devroot_claimFolder(const std::string& folder, const std::string& kind, const std::string& reason,
                         bool make, std::string* error);
// True when `folder` is one of the application's logging folders under the root, by whatever path
// (a symlink to it too), whether or not it is there yet.
bool devroot_isLoggingFolder(const std::string& folder);

// Translates a device path ("cfg:/display.xml", "cfg:rtracks.xml", "meas:/A0101000.001",
// "usb_meas:dir/x", "c:/psts/upload/x.xml") into a host path under the root. Returns false for an
// unknown drive or a path that would leave the drive's folder ("..", absolute host paths).
// A path without a drive (starting with "/" or relative) is refused as well.
bool devpath_toHost(const char* devicePath, std::string* hostPath);
// Host folder of a drive name with or without the colon ("meas", "meas:"); false when unknown.
bool devpath_driveDir(const char* drive, std::string* hostDir);

// The drive of a device path, with its colon: "meas:" of "meas:/A0101000.001"; a path without a
// colon is taken for a drive name as it stands.
std::string devpath_drive(const std::string& devicePath);
// The drive (without the colon) whose folder under the root is `folder`; false when none is.
bool devpath_driveOfFolder(const std::string& folder, std::string* drive);

// Convenience wrappers that translate first; nullptr/-1 with errno = ENOENT on refusal.
FILE* dev_fopen(const char* devicePath, const char* mode);
int dev_open(const char* devicePath, int flags, int mode = 0644);
