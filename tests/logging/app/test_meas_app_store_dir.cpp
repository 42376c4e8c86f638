// The PC's delete request: with the D flag on the drive's root, files without the archive
// attribute are deleted (the last one of the directory too) and the flag is cleared; without it
// every file stays.
#include "logcfg_fixture.h"

#include "logging/app/meas_app_store.h"
#include "platform/drives/bfs.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_state.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <set>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

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

// A walk over many files deletes exactly the downloaded ones with one change of the drive's state
// (not one per file), and only those there at its start: a file that looks downloaded, made while
// the walk deletes, stays. The file is made at the walk's first deletion; a walk that ended before
// it was made proves nothing and runs again.
TEST_F(LogTest, TheDeleteWalkDeletesWhatItFoundDownloadedWithOneChangeOfTheState) {
    constexpr int kFiles = 3000;
    drivefault_clear();
    bool madeDuringTheWalk = false;
    for (int attempt = 0; attempt < 5 && !madeDuringTheWalk; ++attempt) {
        std::string state = "dirattr 1\n";
        std::set<std::string> kept;
        for (int i = 0; i < kFiles; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "A%07d.001", i);
            testsupport::writeFile(root.file(std::string("meas/") + name), "data");
            const bool downloaded = i % 3 != 0;
            if (!downloaded) kept.insert(name);
            state += std::string("attr ") + name + (downloaded ? (i % 2 ? " 0x01\n" : " 0x00\n") : " 0x21\n");
        }
        testsupport::writeFile(root.file("meas.drive"), state);
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, root.file("meas").c_str(), IN_DELETE), 0);
        std::atomic<uint32_t> walkRenames{0};
        std::thread walk([&] {
            pthread_setname_np(pthread_self(), "t_walk");
            EXPECT_EQ(MeasAppStore_driveCheckDirectoryFlags("meas:"), 1);
            walkRenames = drivefault_taskCalls("meas:", DRIVE_OP_RENAME, "t_walk");
        });
        // At the first deletion, a file that sorts after every other and looks downloaded.
        char event[sizeof(struct inotify_event) + 256];
        ASSERT_GT(::read(watch, event, sizeof event), 0);
        ::close(watch);
        const int fd = bfs_open("meas:/Z0000000.001", O_WRONLY | O_CREAT, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x00), 0);
        bfs_close(fd);
        // Made while the walk still had downloaded files to delete.
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
            if (!kept.count(e.path().filename().string()) && e.path().filename() != "Z0000000.001")
                madeDuringTheWalk = true;
        walk.join();
        kept.insert("Z0000000.001");
        std::set<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, kept) << "exactly the downloaded files found at the start are deleted";
        EXPECT_LE(walkRenames.load(), 2u)
            << "the state is rewritten once for the deletions, once for the flag";
        DriveState s;
        ASSERT_TRUE(drive_stateRead("meas:", &s));
        EXPECT_EQ(s.dirAttr, 0);
        EXPECT_EQ(s.attrs.size(), kept.size()) << "the deleted files' lines are gone";
        EXPECT_EQ(s.attrOf("Z0000000.001"), 0x00);
        for (const std::string& name : kept) std::filesystem::remove(root.file("meas/" + name));
        drivefault_clear();
    }
    EXPECT_TRUE(madeDuringTheWalk) << "no walk lasted until the file was made";
}
