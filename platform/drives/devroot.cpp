// The device root and the drive mapping.
#include "platform/drives/devroot.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kDrives[] = {"cfg", "meas", "meas2", "usb_meas", "c"};
const char* const kLoggingDrives[] = {"meas", "meas2", "usb_meas"};
std::atomic<int> gApplication{0};
std::atomic<uint64_t> gGeneration{0};

std::mutex gRootMutex;
std::string& rootStorage() {
    static auto* s = new std::string;
    return *s;
}

std::string absolute(const std::string& p) {
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    return ec ? p : abs.lexically_normal().string();
}

bool knownDrive(const std::string& d) {
    for (const char* k : kDrives)
        if (d == k) return true;
    return false;
}

// The folder of a known drive under the root.
std::string driveFolder(const std::string& d) {
    if (gApplication.load() != 0)
        for (const char* k : kLoggingDrives)
            if (d == k) return d + "-" + std::to_string(gApplication.load());
    return d;
}

// The process holding the flock on the file open as `fd`, from the kernel's list of locks (0 when
// it is not there, e.g. a holder outside this PID namespace): only for naming it to the user.
pid_t flockHolder(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        char kind[16] = {};
        int pid = 0;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        // "1: FLOCK  ADVISORY  WRITE 4711 fd:01:393220 0 EOF"; a waiter's line has "->" for the kind.
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &maj, &min, &ino) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && maj == major(st.st_dev) && min == minor(st.st_dev) &&
            ino == st.st_ino && pid > 0)
            return pid;
    }
    return 0;
}

} // namespace

std::string devroot_path() {
    std::lock_guard<std::mutex> lk(gRootMutex);
    std::string& r = rootStorage();
    if (r.empty()) {
        const char* env = std::getenv("DEVICE_ROOT");
        r = absolute(env && *env ? env : "./run");
        while (r.size() > 1 && r.back() == '/') r.pop_back();
    }
    return r;
}

void devroot_set(const std::string& path) {
    std::lock_guard<std::mutex> lk(gRootMutex);
    rootStorage() = absolute(path);
    while (rootStorage().size() > 1 && rootStorage().back() == '/') rootStorage().pop_back();
    gGeneration.fetch_add(1);
}

void devroot_setApplication(int index) {
    gApplication = index;
    gGeneration.fetch_add(1);
}

uint64_t devroot_generation() {
    return gGeneration.load();
}

bool devroot_check(std::string* error) {
    const std::string root = devroot_path();
    struct stat st {};
    const bool there = ::stat(root.c_str(), &st) == 0;
    if (there && S_ISDIR(st.st_mode)) return true;
    const int why = errno;
    if (error)
        *error = "device root '" + root + "' " +
                 (there           ? std::string("cannot be used: not a folder")
                  : why == ENOENT ? std::string("does not exist")
                                  : "cannot be used: " + std::string(std::strerror(why)));
    return false;
}

bool devroot_prepare(std::string* error) {
    const std::string root = devroot_path();
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root)) {
        if (error)
            *error = "device root '" + root + "' cannot be used: " + (ec ? ec.message() : "not a folder");
        return false;
    }
    std::vector<std::string> subs{"nv", "log", "tty"};
    for (const char* d : kDrives) subs.push_back(driveFolder(d));
    for (const std::string& sub : subs) {
        fs::create_directories(root + "/" + sub, ec);
        if (ec) {
            if (error) *error = "device root '" + root + "': cannot create '" + sub + "': " + ec.message();
            return false;
        }
    }
    if (access(root.c_str(), W_OK) != 0) {
        if (error) *error = "device root '" + root + "' is not writable";
        return false;
    }
    return true;
}

namespace {

// The folders this process holds, by their identity, and the descriptors that keep the locks.
struct HeldFolder {
    dev_t dev;
    ino_t ino;
    int fd;
};
std::mutex gHeldMutex;
std::vector<HeldFolder>& heldFolders() {
    static auto* v = new std::vector<HeldFolder>;
    return *v;
}

bool isHeld(const struct stat& st) {
    std::lock_guard<std::mutex> lk(gHeldMutex);
    for (const HeldFolder& h : heldFolders())
        if (h.dev == st.st_dev && h.ino == st.st_ino) return true;
    return false;
}

// Locks `folder` for this process; false with the refusal in `error`. The lock sits on the folder
// itself, so a symlink to it or a second path finds it too; the descriptor is kept open for the
// process's life, since closing it would drop the lock. A folder that is not there is made first
// only with `make`: without, nothing is taken and the call succeeds, so that a start takes what is
// there before it makes anything. A folder held already is not taken again.
bool lockFolder(const std::string& folder, const std::string& kind, const std::string& reason, bool make,
                std::string* error) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) { // a root that is no folder is prepare's to refuse
            if (error) *error = "the " + kind + " '" + folder + "' cannot be locked: " + std::strerror(errno);
            return false;
        }
        if (!make) return true;
        std::error_code ec;
        fs::create_directories(folder, ec);
    } else if (isHeld(st)) {
        return true;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = "the " + kind + " '" + folder + "' cannot be locked: " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0) {
        std::lock_guard<std::mutex> lk(gHeldMutex);
        heldFolders().push_back({st.st_dev, st.st_ino, fd});
        return true;
    }
    const int why = errno;
    const pid_t holder = why == EWOULDBLOCK ? flockHolder(fd) : 0;
    ::close(fd);
    if (error) {
        if (why != EWOULDBLOCK)
            *error = "the " + kind + " '" + folder + "' cannot be locked: " + std::strerror(why);
        else
            *error = "the " + kind + " '" + folder + "' is in use by another running process" +
                     (holder > 0 ? " (pid " + std::to_string(holder) + ")" : std::string()) + ": " + reason;
    }
    return false;
}

} // namespace

bool devroot_claimLoggingFolders(std::string* error) {
    for (const char* d : kLoggingDrives)
        if (!lockFolder(devroot_path() + "/" + driveFolder(d), "logging folder",
                        "two processes never log into one folder", false, error))
            return false;
    return true;
}

bool devroot_claimFolder(const std::string& folder, const std::string& kind, const std::string& reason,
                         bool make, std::string* error) {
    return lockFolder(folder, kind, reason, make, error);
}

bool devroot_isLoggingFolder(const std::string& folder) {
    std::error_code ec;
    const fs::path given = fs::weakly_canonical(folder, ec);
    if (ec) return false;
    for (const char* d : kLoggingDrives) {
        const fs::path own = fs::weakly_canonical(devroot_path() + "/" + driveFolder(d), ec);
        if (!ec && own == given) return true;
    }
    return false;
}

bool devpath_driveDir(const char* drive, std::string* hostDir) {
    if (!drive) return false;
    std::string d(drive);
    if (!d.empty() && d.back() == ':') d.pop_back();
    if (!knownDrive(d)) return false;
    if (hostDir) *hostDir = devroot_path() + "/" + driveFolder(d);
    return true;
}

std::string devpath_drive(const std::string& devicePath) {
    const size_t colon = devicePath.find(':');
    return colon == std::string::npos ? devicePath : devicePath.substr(0, colon + 1);
}

bool devpath_driveOfFolder(const std::string& folder, std::string* drive) {
    for (const char* d : kDrives)
        if (folder == driveFolder(d)) {
            if (drive) *drive = d;
            return true;
        }
    return false;
}

bool devpath_toHost(const char* devicePath, std::string* hostPath) {
    if (!devicePath) return false;
    const char* colon = std::strchr(devicePath, ':');
    if (!colon) return false;
    const std::string drive(devicePath, size_t(colon - devicePath));
    if (!knownDrive(drive)) return false;
    std::string rest(colon + 1);
    // Every component must stay inside the drive: no "..", no empty tricks with backslashes.
    fs::path rel;
    for (const auto& part : fs::path(rest)) {
        const std::string s = part.string();
        if (s.empty() || s == "/" || s == ".") continue;
        if (s == ".." || s.find('\\') != std::string::npos) return false;
        rel /= part;
    }
    std::string out = devroot_path() + "/" + driveFolder(drive);
    if (!rel.empty()) out += "/" + rel.string();
    if (hostPath) *hostPath = out;
    return true;
}

FILE* dev_fopen(const char* devicePath, const char* mode) {
    std::string host;
    if (!devpath_toHost(devicePath, &host)) {
        errno = ENOENT;
        return nullptr;
    }
    return std::fopen(host.c_str(), mode);
}

int dev_open(const char* devicePath, int flags, int mode) {
    std::string host;
    if (!devpath_toHost(devicePath, &host)) {
        errno = ENOENT;
        return -1;
    }
    return ::open(host.c_str(), flags | O_CLOEXEC, mode);
}
