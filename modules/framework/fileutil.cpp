#include "framework/fileutil.h"

#include "framework/syslog.h"
#include "platform/devroot.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

int fexist(const char* path) {
    if (!path) return 0;
    FILE* f = dev_fopen(path, "rb");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

char* fload(const char* path, size_t* length) {
    if (!path) return nullptr;
    FILE* f = dev_fopen(path, "rb");
    if (!f) return nullptr;
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        std::fclose(f);
        return nullptr;
    }
    const size_t size = size_t(st.st_size);
    char* buf = static_cast<char*>(std::malloc(size + 1));
    if (!buf) {
        std::fclose(f);
        return nullptr;
    }
    const size_t got = std::fread(buf, 1, size, f);
    std::fclose(f);
    if (got != size) {
        std::free(buf);
        return nullptr;
    }
    buf[size] = '\0';
    if (length) *length = size;
    return buf;
}

long fsize(const char* path) {
    if (!path) return 0;
    std::string host;
    struct stat st;
    if (!devpath_toHost(path, &host) || stat(host.c_str(), &st) != 0) {
        syslogx(LOG_PRIO_ERR, "fsize() file '%s' does not exist", path);
        return 0;
    }
    FILE* f = std::fopen(host.c_str(), "rb");
    if (!f) {
        syslogx(LOG_PRIO_ERR, "fsize() file '%s' open failed", path);
        return 0;
    }
    struct stat fst;
    const bool ok = fstat(fileno(f), &fst) == 0;
    std::fclose(f);
    if (!ok) {
        syslogx(LOG_PRIO_ERR, "fsize() fdopen file '%s' failed", path);
        return 0;
    }
    return long(fst.st_size);
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
    std::string host;
    struct stat st;
    if (!devpath_driveDir(drive, &host) || stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return 0;
}
