// A real disk file system of the test's own (ext4 on a loop device), which the kernel can freeze:
// while it is frozen every write, write-through and file creation on it waits in the kernel,
// uninterruptibly, until the thaw, as a drive that hangs in its driver does.
#pragma once

#include "testsupport.h"

#include <string>
#include <sys/types.h>

namespace testsupport {

// Moves the calling thread into a private mount namespace, makes an ext4 image of `bytes` and
// mounts it through a loop device on the folder `at` (which must exist); threads and processes
// started from the thread afterwards see it too. ok() is false (with the reason) where this cannot
// be done: not root, no mount namespaces, no loop devices, no mkfs.ext4 or mount. The destructor
// unmounts it.
class LoopDisk {
public:
    LoopDisk(size_t bytes, const std::string& at);
    ~LoopDisk();
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    const std::string& path() const { return at_; }

private:
    TempDir dir_; // the image
    std::string at_;
    int origNs_ = -1;
    bool mounted_ = false;
    bool ok_ = false;
    std::string reason_;
};

// Freezes the file system mounted at `mountPoint` (FIFREEZE, as fsfreeze -f does) for `seconds`,
// then thaws it. A child process of its own holds the time and thaws, so that the thaw comes even
// when the test ends early or dies: the child ends with the thread that made the object, and thaws
// at once then (child_process.h); the destructor thaws at once when it has not come yet.
class DiskFreeze {
public:
    DiskFreeze(const std::string& mountPoint, int seconds);
    ~DiskFreeze();
    DiskFreeze(const DiskFreeze&) = delete;
    DiskFreeze& operator=(const DiskFreeze&) = delete;
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }
    // Waits for the thaw; false when it failed.
    bool waitThawed();

private:
    std::string at_;
    pid_t child_ = -1;
    bool ok_ = false;
    bool thawed_ = false;
    std::string reason_;
};

// Makes the disk mounted at `mountPoint` slow, as a medium whose every I/O takes long: at most
// `iops` reads and `iops` writes a second reach it (the block layer's throttle, set in the root
// blkio cgroup of cgroup v1). A thread waits for its I/O in the kernel, uninterruptibly, but every
// call returns. The destructor lifts the throttle. ok() is false (with the reason) where it cannot
// be set.
class DiskThrottle {
public:
    DiskThrottle(const std::string& mountPoint, unsigned iops);
    ~DiskThrottle();
    DiskThrottle(const DiskThrottle&) = delete;
    DiskThrottle& operator=(const DiskThrottle&) = delete;
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }

private:
    std::string device_; // "major:minor"
    bool ok_ = false;
    std::string reason_;
};

} // namespace testsupport
