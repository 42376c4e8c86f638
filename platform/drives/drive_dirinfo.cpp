#include "platform/drives/drive_dirinfo.h"

#include "platform/drives/devroot.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The drive's size as its state holds it: false when the drive is not there; *sizeValid: whether
// a size was set.
bool stateSize(const char* drive, bool* sizeValid, uint32_t* dirSize) {
    bool available = false;
    return drive_stateView(drive,
                           [&](const DriveState& s) {
                               available = drive_stateAvailable(s, drive);
                               *sizeValid = s.dirSizeValid;
                               *dirSize = s.dirSize;
                           }) &&
           available;
}

} // namespace

int drive_dirInfo(const char* drive, DriveDirInfo* info) {
    std::string dir;
    bool sizeValid = false;
    uint32_t dirSize = 0;
    if (!info || !devpath_driveDir(drive, &dir) || !stateSize(drive, &sizeValid, &dirSize))
        return DRIVE_DIRINFO_NO_DRIVE;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return DRIVE_DIRINFO_NO_DRIVE;
    uint64_t used = 0;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return DRIVE_DIRINFO_NO_DRIVE;
        if (it->is_regular_file(ec)) ++used;
    }
    if (!sizeValid) return DRIVE_DIRINFO_FAILED;
    info->used = used > UINT32_MAX ? UINT32_MAX : uint32_t(used);
    info->free = dirSize > info->used ? dirSize - info->used : 0;
    return DRIVE_DIRINFO_OK;
}

int drive_dirSize(const char* drive, uint32_t* size) {
    bool sizeValid = false;
    uint32_t dirSize = 0;
    if (!size || !stateSize(drive, &sizeValid, &dirSize)) return DRIVE_DIRINFO_NO_DRIVE;
    if (!sizeValid) return DRIVE_DIRINFO_FAILED;
    *size = dirSize;
    return DRIVE_DIRINFO_OK;
}
