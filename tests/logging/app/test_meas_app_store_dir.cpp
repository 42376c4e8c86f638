// The PC's delete request: with the D flag on the drive's root, files without the archive
// attribute are deleted (the last one of the directory too) and the flag is cleared; without it
// every file stays.
#include "logcfg_fixture.h"

#include "logging/app/meas_app_store.h"
#include "platform/drives/drive_state.h"

#include <filesystem>

using namespace logcfgtest;

TEST_F(LogTest, DeleteFlagRemovesDownloadedFilesAndIsCleared) {
    struct File {
        const char* name;
        uint8_t attr;
        bool stays;
    };
    const File files[] = {
        {"A0101000.001", 0x21, true},  // archive, read-only: not yet downloaded
        {"A0102000.101", 0x01, false}, // downloaded, closed
        {"A0103000.201", 0x20, true},
        {"A0104000.301", 0x00, false}, // the last of the directory
    };
    std::string state = "dirattr 0\n";
    for (const File& f : files) {
        testsupport::writeFile(root.file(std::string("meas/") + f.name), "data");
        char line[64];
        std::snprintf(line, sizeof line, "attr %s 0x%02X\n", f.name, f.attr);
        state += line;
    }
    testsupport::writeFile(root.file("meas.drive"), state);
    EXPECT_EQ(MeasAppStore_driveCheckDirectoryFlags("meas:"), 1);
    EXPECT_TRUE(contains(log(), "D-Flag on 'meas:' not set: 0x0"));
    for (const File& f : files)
        EXPECT_TRUE(std::filesystem::exists(root.file(std::string("meas/") + f.name)));

    ASSERT_TRUE(drive_stateUpdate("meas:", [](DriveState& s) {
        s.dirAttr = 1;
        return true;
    }));
    EXPECT_EQ(MeasAppStore_driveCheckDirectoryFlags("meas:"), 1);
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "MeasAppStore_cleanup_old_measfiles() ... 2 files deleted")) << lines.size();
    for (const File& f : files)
        EXPECT_EQ(std::filesystem::exists(root.file(std::string("meas/") + f.name)), f.stays) << f.name;
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas:", &s));
    EXPECT_EQ(s.dirAttr, 0);

    EXPECT_EQ(MeasAppStore_driveCheckDirectoryFlags("nodrive:"), -1);
}
