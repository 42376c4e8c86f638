#include "platform/drives/drive_store.h"

#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The fault due at the call, or 0; kinds that take a file away or pull a stick fail nothing here.
int faultAt(bool seam, const std::string& drive, DriveOp op) {
    if (!seam) return 0;
    const int e = drivefault_enter(drive, op);
    return e == DRIVE_FAULT_NOTHING_HERE || e > 0 ? e : 0;
}

int fail(int error) {
    errno = error;
    return -1;
}

} // namespace

void drivestore_setFolder(const std::string& drive, const std::string& folder) {
    driveloss_setStoreFolder(drive, folder);
}

int drivestore_open(const std::string& drive, int dirFd, const std::string& name, int flags, mode_t mode,
                    bool created) {
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    if (const int e = faultAt(seam, drive, DRIVE_OP_OPEN)) return fail(e);
    const int fd = ::openat(dirFd, name.c_str(), flags, mode);
    if (fd >= 0 && seam) {
        const std::string folder = driveloss_storeFolder(drive);
        if (!folder.empty()) driveloss_opened(fd, drive, name, folder + "/" + name, created);
    }
    return fd;
}

ssize_t drivestore_write(const std::string& drive, int fd, const void* data, size_t n) {
    const DriveFaultCall call;
    if (const int e = faultAt(drivefault_on(), drive, DRIVE_OP_WRITE)) return fail(e);
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return -1;
        if (w == 0) return fail(ENOSPC);
        done += size_t(w);
    }
    return ssize_t(done);
}

int drivestore_fsync(const std::string& drive, int fd) {
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    if (const int e = faultAt(seam, drive, DRIVE_OP_SYNC)) {
        driveloss_fileWriteThroughFailed(fd);
        return fail(e);
    }
    const int64_t covered = seam ? driveloss_fileSyncStarts(fd) : -1;
    if (::fsync(fd) != 0) return -1;
    if (seam) driveloss_fileWrittenThrough(fd, covered);
    return 0;
}

int drivestore_fsyncFolder(const std::string& drive, int dirFd) {
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    if (const int e = faultAt(seam, drive, DRIVE_OP_SYNC)) {
        driveloss_rootWriteThroughFailed(drive);
        return fail(e);
    }
    const uint64_t started = seam ? driveloss_rootSyncStarts() : 0;
    if (::fsync(dirFd) != 0) return -1;
    if (seam) driveloss_rootWrittenThrough(drive, started);
    return 0;
}

int drivestore_syncfs(const std::string& drive, int fd) {
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    const int e = faultAt(seam, drive, DRIVE_OP_SYNCFS);
    if (e == DRIVE_FAULT_NOTHING_HERE) return 0;
    if (e) return fail(e);
    if (::syncfs(fd) != 0) return -1;
    if (seam) driveloss_driveWrittenThrough(drive);
    return 0;
}

int drivestore_close(const std::string& drive, int fd) {
    const DriveFaultCall call;
    const bool seam = drivefault_on();
    const int e = faultAt(seam, drive, DRIVE_OP_CLOSE);
    // A failed close lets go of the descriptor all the same, as the kernel's does.
    if (seam) driveloss_closing(fd);
    const int rc = ::close(fd);
    return e ? fail(e) : rc;
}
