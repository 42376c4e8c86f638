#include "framework/fileutil.h"

#include "framework/syslog.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_service.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opened without blocking, so that a FIFO in place of a file cannot stall the caller.
int openForReading(const char* path) {
    return dev_open(path, O_RDONLY | O_NONBLOCK);
}

bool readAll(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

// A drive call of the path's drive for as long as it lives (drive_calls.h): a hang in it is seen.
struct PathCall {
    PathCall(const char* path, const char* op)
        : mark(std::strchr(path, ':') ? devpath_drive(path) : std::string(), op) {}
    const DriveCallMark mark;
};

} // namespace

int fexist(const char* path) {
    if (!path) return 0;
    const PathCall call(path, "look");
    const int fd = openForReading(path);
    if (fd < 0) return 0;
    ::close(fd);
    return 1;
}

char* fload(const char* path, size_t* length) {
    if (!path) return nullptr;
    const int fd = openForReading(path);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return nullptr;
    }
    const size_t size = size_t(st.st_size);
    char* buf = static_cast<char*>(std::malloc(size + 1));
    const bool ok = buf && readAll(fd, buf, size);
    ::close(fd);
    if (!ok) {
        std::free(buf);
        return nullptr;
    }
    buf[size] = '\0';
    if (length) *length = size;
    return buf;
}

long fsize(const char* path) {
    if (!path) return 0;
    const PathCall call(path, "look");
    std::string host;
    struct stat st;
    if (!devpath_toHost(path, &host) || stat(host.c_str(), &st) != 0) {
        syslogx(LOG_PRIO_ERR, "fsize() file '%s' does not exist", path);
        return 0;
    }
    const int fd = openForReading(path);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR, "fsize() file '%s' open failed", path);
        return 0;
    }
    const bool ok = fstat(fd, &st) == 0;
    ::close(fd);
    if (!ok) {
        syslogx(LOG_PRIO_ERR, "fsize() fdopen file '%s' failed", path);
        return 0;
    }
    return long(st.st_size);
}

namespace {
void copyPart(char* out, size_t size, const char* begin, size_t n) {
    if (!out || size == 0) return;
    if (n >= size) n = size - 1;
    std::memcpy(out, begin, n);
    out[n] = '\0';
}
} // namespace

void measPathSplitn(const char* path, char* drive, char* dir, char* file, size_t size) {
    if (!path) path = "";
    const char* colon = std::strchr(path, ':');
    const char* rest = path;
    if (colon) {
        copyPart(drive, size, path, size_t(colon - path) + 1);
        rest = colon + 1;
    } else {
        copyPart(drive, size, "", 0);
    }
    const char* slash = std::strrchr(rest, '/');
    const char* name = slash ? slash + 1 : rest;
    copyPart(dir, size, rest, size_t(name - rest));
    copyPart(file, size, name, std::strlen(name));
}

int driveAvailable(const char* drive) {
    return drivesvc_available(drive, 0, nullptr) == 1 ? 0 : -1;
}
