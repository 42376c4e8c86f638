// The device root and the drive mapping.
#include "platform/drives/devroot.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kDrives[] = {"cfg", "meas", "meas2", "usb_meas", "c"};
const char* const kLoggingDrives[] = {"meas", "meas2", "usb_meas"};
std::atomic<int> gApplication{0};

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
}

void devroot_setApplication(int index) {
    gApplication = index;
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

bool devroot_claimLoggingFolders(std::string* error) {
    for (const char* d : kLoggingDrives) {
        const std::string folder = devroot_path() + "/" + driveFolder(d);
        const std::string lock = folder + ".lock";
        // Kept open for the process's life: closing any descriptor of the file would drop the lock.
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (error)
                *error = "the logging folder '" + folder + "' cannot be locked: '" + lock +
                         "': " + std::strerror(errno);
            return false;
        }
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &l) == 0) continue;
        const int why = errno;
        struct flock held {};
        held.l_type = F_WRLCK;
        held.l_whence = SEEK_SET;
        const bool known = fcntl(fd, F_GETLK, &held) == 0 && held.l_type != F_UNLCK;
        ::close(fd);
        if (error) {
            if (why == EACCES || why == EAGAIN)
                *error = "the logging folder '" + folder + "' is in use by another running process" +
                         (known ? " (pid " + std::to_string(held.l_pid) + ")" : std::string()) +
                         ": two processes never log into one folder";
            else
                *error = "the logging folder '" + folder + "' cannot be locked: '" + lock +
                         "': " + std::strerror(why);
        }
        return false;
    }
    return true;
}

bool devpath_driveDir(const char* drive, std::string* hostDir) {
    if (!drive) return false;
    std::string d(drive);
    if (!d.empty() && d.back() == ':') d.pop_back();
    if (!knownDrive(d)) return false;
    if (hostDir) *hostDir = devroot_path() + "/" + driveFolder(d);
    return true;
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
