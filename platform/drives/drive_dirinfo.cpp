#include "platform/drives/drive_dirinfo.h"

#include "platform/drives/devroot.h"

#include <filesystem>

namespace fs = std::filesystem;

int drive_dirInfo(const char* drive, DriveDirInfo* info) {
    std::string dir;
    DriveState state;
    if (!info || !devpath_driveDir(drive, &dir) || !drive_stateRead(drive, &state) ||
        !drive_stateAvailable(state, drive))
        return DRIVE_DIRINFO_NO_DRIVE;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return DRIVE_DIRINFO_NO_DRIVE;
    uint64_t used = 0;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return DRIVE_DIRINFO_NO_DRIVE;
        if (it->is_regular_file(ec)) ++used;
    }
    if (!state.dirSizeValid) return DRIVE_DIRINFO_FAILED;
    info->used = used > UINT32_MAX ? UINT32_MAX : uint32_t(used);
    info->free = state.dirSize > info->used ? state.dirSize - info->used : 0;
    return DRIVE_DIRINFO_OK;
}
