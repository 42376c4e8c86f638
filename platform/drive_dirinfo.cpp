#include "platform/drive_dirinfo.h"

#include "platform/devroot.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// The directory size of the state file (the default without one); false for a malformed one.
bool readDirSize(const std::string& stateFile, uint32_t* size) {
    *size = DRIVE_DIRSIZE_DEFAULT;
    std::ifstream in(stateFile);
    std::string line;
    while (in && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key, value, extra;
        if (!(fields >> key) || key != "dirsize") continue;
        if (!(fields >> value) || (fields >> extra) || value.empty() || value[0] < '0' || value[0] > '9')
            return false;
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
        if (errno || *end || v > UINT32_MAX) return false;
        *size = uint32_t(v);
        return true;
    }
    return true;
}

} // namespace

std::string drive_stateFile(const char* drive) {
    std::string dir;
    if (!devpath_driveDir(drive, &dir)) return {};
    return dir + ".drive";
}

int drive_dirInfo(const char* drive, DriveDirInfo* info) {
    std::string dir;
    if (!info || !devpath_driveDir(drive, &dir)) return DRIVE_DIRINFO_NO_DRIVE;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec);
    if (ec) return DRIVE_DIRINFO_NO_DRIVE;
    uint64_t used = 0;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return DRIVE_DIRINFO_NO_DRIVE;
        ++used;
    }
    uint32_t size = 0;
    if (!readDirSize(dir + ".drive", &size)) return DRIVE_DIRINFO_FAILED;
    info->used = used > UINT32_MAX ? UINT32_MAX : uint32_t(used);
    info->free = size > info->used ? size - info->used : 0;
    return DRIVE_DIRINFO_OK;
}
