#include "loopdisk.h"

#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

// The program's path from PATH, or from the folders of the system's tools; empty when none.
std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream in(std::string(path ? path : "") + ":/usr/sbin:/sbin");
    for (std::string dir; std::getline(in, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Runs a program to its end; its exit code (-1 when it could not run or was killed), its output in
// `output`.
int runProgram(const std::vector<std::string>& argv, const std::string& outputFile, std::string* output) {
    ChildStreams io;
    io.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    io.out = io.err = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = startTiedChild(argv, nullptr, io);
    for (int fd : {io.in, io.out})
        if (fd >= 0) close(fd);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    *output = readFile(outputFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The frozen file system of a freeze's child, for its thaw when its test ends first.
volatile sig_atomic_t gFrozen = -1;

void thawAndEnd(int) {
    if (gFrozen >= 0) ioctl(gFrozen, FITHAW, 0);
    _exit(3);
}

} // namespace

LoopDisk::LoopDisk(size_t bytes, const std::string& at) : at_(at) {
    if (geteuid() != 0) {
        reason_ = "mounting a disk file system needs root";
        return;
    }
    const std::string mkfs = findProgram("mkfs.ext4"), mountProgram = findProgram("mount");
    if (mkfs.empty() || mountProgram.empty()) {
        reason_ = "mkfs.ext4 and mount (e2fsprogs, util-linux) are needed";
        return;
    }
    if (access("/dev/loop-control", R_OK | W_OK) != 0) {
        reason_ = "no loop devices here (/dev/loop-control)";
        return;
    }
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
    const std::string image = dir_.file("drive.img");
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool sized = fd >= 0 && ftruncate(fd, off_t(bytes)) == 0;
    if (fd >= 0) close(fd);
    if (!sized) {
        reason_ = "cannot make the disk image " + image;
        return;
    }
    std::string output;
    if (runProgram({mkfs, "-q", "-F", "-m", "0", image}, dir_.file("mkfs.txt"), &output) != 0) {
        reason_ = "mkfs.ext4 failed: " + output;
        return;
    }
    if (runProgram({mountProgram, "-o", "loop", "-t", "ext4", image, at_}, dir_.file("mount.txt"), &output) !=
        0) {
        reason_ = "cannot mount the disk image through a loop device: " + output;
        return;
    }
    mounted_ = true;
    // A drive's folder holds its files only.
    rmdir((at_ + "/lost+found").c_str());
    ok_ = true;
}

LoopDisk::~LoopDisk() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    if (origNs_ >= 0) {
        setns(origNs_, CLONE_NEWNS);
        close(origNs_);
    }
}

DiskFreeze::DiskFreeze(const std::string& mountPoint, int seconds) : at_(mountPoint) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        reason_ = std::string("pipe: ") + strerror(errno);
        return;
    }
    const pid_t parent = getpid();
    child_ = fork();
    if (child_ == 0) {
        // Only calls that are safe after a fork of a process with threads. A test that ends before
        // the thaw (its thread, as child_process.h says) has it at once: the child ends with it.
        struct sigaction thaw {};
        thaw.sa_handler = thawAndEnd;
        sigaction(SIGTERM, &thaw, nullptr);
        if (!tieToParent(parent, SIGTERM)) _exit(1);
        const int fd = open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        gFrozen = fd;
        int error = fd < 0 || ioctl(fd, FIFREEZE, 0) != 0 ? errno : 0;
        if (write(report[1], &error, sizeof error) != ssize_t(sizeof error) || error != 0) _exit(1);
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_sec += seconds;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
        _exit(ioctl(fd, FITHAW, 0) == 0 ? 0 : 2);
    }
    close(report[1]);
    int error = 0;
    const bool heard = child_ > 0 && read(report[0], &error, sizeof error) == ssize_t(sizeof error);
    close(report[0]);
    if (heard && error == 0) {
        ok_ = true;
        return;
    }
    reason_ = std::string("cannot freeze ") + mountPoint + ": " + (heard ? strerror(error) : "no report");
    if (child_ > 0) waitpid(child_, nullptr, 0);
    child_ = -1;
}

bool DiskFreeze::waitThawed() {
    if (child_ <= 0) return false;
    int status = 0;
    const bool ended = waitpid(child_, &status, 0) == child_;
    child_ = -1;
    thawed_ = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return thawed_;
}

DiskFreeze::~DiskFreeze() {
    if (child_ <= 0) return;
    const int fd = open(at_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ioctl(fd, FITHAW, 0);
        close(fd);
    }
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
}

namespace {
constexpr const char* kThrottle[] = {"/sys/fs/cgroup/blkio/blkio.throttle.read_iops_device",
                                     "/sys/fs/cgroup/blkio/blkio.throttle.write_iops_device"};

bool writeThrottle(const std::string& device, unsigned iops) {
    bool ok = true;
    for (const char* file : kThrottle) {
        const int fd = open(file, O_WRONLY | O_CLOEXEC);
        const std::string line = device + " " + std::to_string(iops) + "\n";
        ok = fd >= 0 && write(fd, line.data(), line.size()) == ssize_t(line.size()) && ok;
        if (fd >= 0) close(fd);
    }
    return ok;
}
} // namespace

DiskThrottle::DiskThrottle(const std::string& mountPoint, unsigned iops) {
    struct stat st {};
    if (stat(mountPoint.c_str(), &st) != 0) {
        reason_ = "'" + mountPoint + "' cannot be looked at";
        return;
    }
    device_ = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    if (access(kThrottle[1], W_OK) != 0) {
        reason_ = "no block I/O throttle here (cgroup v1 blkio, as root)";
        return;
    }
    ok_ = writeThrottle(device_, iops);
    if (!ok_) reason_ = "the block I/O throttle of " + device_ + " cannot be set";
}

DiskThrottle::~DiskThrottle() {
    if (ok_) writeThrottle(device_, 0);
}

} // namespace testsupport
