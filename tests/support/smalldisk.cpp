#include "smalldisk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

SmallDisk::SmallDisk(size_t bytes, const std::string& at) : at_(at.empty() ? dir_.path() : at) {
    origNs_ = open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (unshare(CLONE_NEWNS) != 0) {
        reason_ = std::string("mount namespaces are not permitted here (unshare: ") + strerror(errno) + ")";
        return;
    }
    // Nothing mounted here may reach the machine's own namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        reason_ = std::string("cannot make the mounts private: ") + strerror(errno);
        return;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("msdtest", at_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        reason_ = std::string("cannot mount a small file system: ") + strerror(errno);
        return;
    }
    ok_ = true;
}

SmallDisk::~SmallDisk() {
    if (ok_) umount2(at_.c_str(), MNT_DETACH);
    if (origNs_ >= 0) {
        setns(origNs_, CLONE_NEWNS);
        close(origNs_);
    }
}

void SmallDisk::fill() {
    const int fd = open(file("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::vector<char> block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    // The last pages of a nearly full disk take smaller pieces.
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
}

void SmallDisk::free() {
    unlink(file("filler").c_str());
}

} // namespace testsupport
