// The file system of the device's drives as the logging sees it: open, close and unlink by device
// path, and the control requests of the flash file system (ioctl codes below).
//
// How the host differs from the device:
// - Files live in the drive's folder under the device root (devroot.h); the descriptors are host
//   descriptors, so read, write, fdopen and close work on them as usual.
// - What the folder cannot hold (the directory size, the D flag of the root, the DOS attribute
//   bytes, whether the drive is there) lives in the drive's state file (drive_state.h).
// - A file the process creates or opens for writing gets the archive bit, as on DOS; a file with
//   no recorded byte has the archive bit only. The read-only bit is mirrored by the file's mode
//   (chmod, written through with the file: its byte first when it turns read-only, its mode first
//   when it turns writable, so that a file read-only by its mode has its byte, also after a power
//   cut) and honoured here: a read-only file does not open for writing. Unlink ignores
//   it, as the device's file system does, so a closed (read-only) measurement file can be deleted.
// - A drive whose state file marks it absent (for "usb_meas:", not inserted) opens nothing (ENODEV),
//   and every call on a file of it that is open still fails with ENODEV (write, truncate, FIOFLUSH,
//   FIOSYNC, FIOATTRIBSET, close; the close lets go of the descriptor all the same), as a pulled
//   stick's do: a change of the state file counts from the next call after it (drive_state.h).
// - Tests can fail or hold any call on a chosen drive (drive_fault.h); a fault loses what a real
//   drive would lose (drive_loss.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// Control requests of bfs_ioctl.
enum : int {
    FIOFLUSH = 2,      // file: write its data through (fdatasync); flush the stream before
    FIOGETNAME = 18,   // arg char[BFS_PATH_MAX]: device path of the open file or drive root
    FIOSYNC = 21,      // file or drive root: write it through (fsync; on the root the directory)
    FIOATTRIBSET = 35, // arg: the attribute byte (0x23): bit 0x01 read-only, 0x20 archive
    FIOFSTATGET = 38,  // arg bfs_stat*: status with the attribute byte
    FIOUNLINK = 47,    // drive root, arg const char*: file name in the drive (or its device path)
    IO_IOCTL_BFS_DIR_INFO = 0x4201,     // drive root, arg DriveDirInfo*: used and free entries
    IO_IOCTL_BFS_GET_DIR_ATTR = 0x4202, // drive root, arg uint32_t*: the root's attributes
    IO_IOCTL_BFS_SET_DIR_ATTR = 0x4203, // drive root, arg: the attributes (bit 0 the D flag)
    IO_IOCTL_FIND_FIRST_FILE = 0x4204,  // drive root, arg bfs_find*: first file by name
    IO_IOCTL_FIND_NEXT_FILE = 0x4205,   // drive root, arg bfs_find*: the file after `name`
    // Drive root, arg const bfs_find*: deletes the file a find found (`name`, `id`), only while its
    // name still holds that file and its attribute byte has no archive bit (the PC has it). -1 with
    // ENOENT when nothing of that name is there, ESTALE when the name holds another file (one
    // renamed over it, made anew) or the file carries the archive bit again. Against the process's
    // own renames and opens for writing on the drive the look and the deletion are one step.
    IO_IOCTL_BFS_UNLINK_FOUND = 0x4206,
};

inline constexpr size_t BFS_PATH_MAX = 256;
inline constexpr size_t BFS_NAME_MAX = 64;

struct bfs_stat {
    uint64_t st_size;
    int64_t mtime; // seconds since 1970
    uint8_t st_attrib;
    bool directory;
};

// The identity of an open file (its device and inode on the host): two descriptors with the same
// identity hold the same file, whatever its name is now.
struct bfs_fileId {
    uint64_t dev = 0;
    uint64_t ino = 0;
    bool operator==(const bfs_fileId& o) const { return dev == o.dev && ino == o.ino; }
    bool operator<(const bfs_fileId& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// Find-first and find-next: regular files of the drive only, in byte order of their names.
// `name` holds the file found, "" when there is none (more); find-next continues after `name`,
// so files deleted during the walk do not disturb it. Find-first takes the folder's listing, which
// the find-next calls on the same root descriptor walk: a file made after the find-first is not
// found (a walk goes over the files there at its start), one deleted since is skipped. `id` is the
// identity of the file found. For the watch over hung calls (drive_calls.h) each read of the
// folder and each look at a file is a call of its own: a listing of many files is many calls.
struct bfs_find {
    char name[BFS_NAME_MAX];
    uint64_t size;
    uint8_t attrib;
    bfs_fileId id;
};

// The names in the folder of a drive ("meas:"). The drive's file system keeps no index over its
// folder: the folder's entries are read a block at a time, each read a drive call of its own as a
// find's are, with no look at each file, so that a folder of many files on a slow drive costs its
// blocks and no more. Names of entries that are not files may be among them. 0, or -1 with errno
// (ENODEV: the drive is not there; a read of its folder failed, what was read is kept).
int bfs_names(const char* drive, std::vector<std::string>* names);
// Opens a file ("meas:/A0101000.000") or the root of a drive ("meas:", "meas:/"; read-only, flags
// other than the access mode are ignored). -1 with errno on failure.
int bfs_open(const char* devicePath, int flags, mode_t mode = 0644);
int bfs_close(int fd);
// Writes up to `n` bytes at the file's position: the count written, or -1 with errno when nothing
// was written. A short count comes with errno set to the error of the call that stopped it: ENOSPC
// when the drive took only part, EIO (or another) when it failed, so that want of room is told
// from a failing drive.
ssize_t bfs_write(int fd, const void* data, size_t n);
// Cuts the file to `length` bytes. 0 or -1 with errno.
int bfs_truncate(int fd, uint64_t length);
// A second descriptor of the open file `fd`, for work that goes on after its owner closed it (the
// write-through of handed-over data). -1 with errno on failure.
int bfs_dup(int fd);
// 0 or -1 with errno; the read-only bit does not protect the file. The file's attribute line goes
// with it, or with the one change of the state of this thread's DriveStateBatch of the drive
// (drive_state.h) when one is open.
int bfs_unlink(const char* devicePath);
// Renames a file within one drive. A file of the target name is replaced only while it is writable
// (a read-only file is whole and never written over: EACCES) and, with `only`, only while the name
// holds that file (ESTALE for another; an `only` of identity {0, 0}: while it holds none, EEXIST).
// The look and the rename are one step against the process's own opens and renames on the drive.
// The file's attribute byte moves with it, the replaced file's goes. Counted (and failed by tests)
// as the operation "rename". 0 or -1 with errno: ENODEV when the drive is not there, EXDEV across
// drives, EISDIR for a drive's root or a folder.
int bfs_rename(const char* fromDevicePath, const char* toDevicePath, const bfs_fileId* only = nullptr);
// Whether `devicePath` still names the open file `fd`: 1 when it does (same file, a link left); 0
// when it does not, with errno ENOENT (deleted: nothing of that name and no link left) or ESTALE
// (renamed away, or the name holds another file: the open one was replaced); -1 with errno when it cannot be
// told (ENODEV for a drive not there, EINVAL for a path that names no file of a drive, EBADF).
int bfs_sameFile(int fd, const char* devicePath);
// The identity of an open file. 0 or -1 with errno.
int bfs_identity(int fd, bfs_fileId* id);
// 0 (OK) or -1 (ERROR) with errno; IO_IOCTL_BFS_DIR_INFO gives the directory request's result.
int bfs_ioctl(int fd, int request, intptr_t arg);
