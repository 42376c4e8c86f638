// The device root and the drive mapping.
#include "platform/drives/devroot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kDrives[] = {"cfg", "meas", "meas2", "usb_meas", "c"};

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

bool devroot_prepare(std::string* error) {
    const std::string root = devroot_path();
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root)) {
        if (error) *error = "device root '" + root + "' cannot be used: " + (ec ? ec.message() : "not a folder");
        return false;
    }
    for (const char* sub : {"cfg", "meas", "meas2", "usb_meas", "c", "nv", "log", "tty"}) {
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

bool devpath_driveDir(const char* drive, std::string* hostDir) {
    if (!drive) return false;
    std::string d(drive);
    if (!d.empty() && d.back() == ':') d.pop_back();
    if (!knownDrive(d)) return false;
    if (hostDir) *hostDir = devroot_path() + "/" + d;
    return true;
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
    std::string out = devroot_path() + "/" + drive;
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
