// The PC's delete request: with the D flag on the drive's root, files without the archive
// attribute are deleted (the last one of the directory too) and the flag is cleared; without it
// every file stays.
#include "logcfg_fixture.h"

#include "logging/app/meas_app_store.h"
#include "logging/disk/meas_app_drivecall.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_state.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pthread.h>
#include <set>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

using namespace logcfgtest;
using testsupport::waitUntil;

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
// (not one per file), and only the files it found at its start, each only while its name still
// holds it and it is still downloaded: a file that looks downloaded, made while the walk deletes,
// stays, and so do one renamed over a name found (as a copy to the stick puts its file in place) and
// one that has the archive bit again. That is done at the walk's first deletion, to names it reaches
// last; a walk that had passed them by then proves nothing and runs again. A line of the drive's
// state that names no file goes with the walk. A file marked downloaded that the walk did not delete
// keeps the D flag set for the next walk, and the log names it once.
TEST_F(LogTest, TheDeleteWalkDeletesWhatItFoundDownloadedWithOneChangeOfTheState) {
    constexpr int kFiles = 3000;
    drivefault_clear();
    // (A read-only file is never renamed over: the one renamed over is a writable one.)
    const std::string renamedOver = "A0002998.001", archivedAgain = "A0002999.001";
    bool madeDuringTheWalk = false;
    for (int attempt = 0; attempt < 10 && !madeDuringTheWalk; ++attempt) {
        std::string state = "dirattr 1\nattr GONE.001 0x01\n";
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
        // At the first deletion, a file that sorts after every other and looks downloaded. On a
        // busy host the walk can pass the names before this thread runs: that attempt proves
        // nothing (the walk is joined whatever happens here).
        char event[sizeof(struct inotify_event) + 256];
        const bool woken = ::read(watch, event, sizeof event) > 0;
        ::close(watch);
        const auto makeDuringTheWalk = [&] {
            const int fd = bfs_open("meas:/Z0000000.001", O_WRONLY | O_CREAT, 0666);
            if (fd < 0) return false;
            const bool marked = bfs_ioctl(fd, FIOATTRIBSET, 0x00) == 0;
            bfs_close(fd);
            const int made = bfs_open("meas:/copy.part", O_WRONLY | O_CREAT, 0666);
            if (!marked || made < 0) return false;
            const bool looksDownloaded = bfs_ioctl(made, FIOATTRIBSET, 0x01) == 0;
            bfs_close(made);
            if (!looksDownloaded || bfs_rename("meas:/copy.part", ("meas:/" + renamedOver).c_str()) != 0)
                return false;
            const int again = bfs_open(("meas:/" + archivedAgain).c_str(), O_RDONLY);
            if (again < 0) return false;
            const bool archived = bfs_ioctl(again, FIOATTRIBSET, 0x20) == 0;
            bfs_close(again);
            return archived;
        };
        const bool made = woken && makeDuringTheWalk();
        // Done while the walk still had downloaded files before them to delete.
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas"))) {
            const std::string name = e.path().filename().string();
            if (made && !kept.count(name) && name < renamedOver) madeDuringTheWalk = true;
        }
        walk.join();
        const auto lines = log();
        if (!madeDuringTheWalk) {
            for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
                std::filesystem::remove(e.path());
            drivefault_clear();
            continue;
        }
        kept.insert({"Z0000000.001", renamedOver, archivedAgain});
        std::set<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, kept) << "exactly the downloaded files found at the start are deleted";
        EXPECT_EQ(walkRenames.load(), 1u) << "the state is rewritten once for the deletions";
        DriveState s;
        ASSERT_TRUE(drive_stateRead("meas:", &s));
        EXPECT_EQ(s.dirAttr, 1) << "two files marked downloaded are left for the next walk";
        for (const std::string& name : {std::string("Z0000000.001"), renamedOver})
            EXPECT_EQ(testsupport::countContaining(lines, "'meas:/" + name +
                                                              "' stays: marked downloaded after the walk "
                                                              "listed the folder"),
                      1)
                << name;
        EXPECT_EQ(testsupport::countContaining(lines, "stays: marked downloaded"), 2);
        EXPECT_EQ(s.attrs.size(), kept.size() - 1)
            << "the deleted files' lines are gone, and the line of none";
        EXPECT_EQ(s.attrOf("Z0000000.001"), 0x00);
        EXPECT_EQ(s.attrOf(renamedOver), 0x01);
        EXPECT_EQ(s.attrOf(archivedAgain), 0x20);
        for (const std::string& name : kept) std::filesystem::remove(root.file("meas/" + name));
        drivefault_clear();
    }
    EXPECT_TRUE(madeDuringTheWalk) << "no walk lasted until the file was made";
}

// The walk's two steps, the deletions written through and then their lines dropped from the drive's
// state, with the power cut before each call of them: after the cut no file the PC downloaded is
// there without its line (it would be taken for one not downloaded), the D flag stays set until the
// files and their lines are gone for good, and the next start's walk deletes what is left, drops the
// lines that name no file and clears the flag.
TEST_F(LogTest, AWalkCutByThePowerLeavesNoDownloadedFileWithoutItsLine) {
    constexpr int kFiles = 30;
    const struct {
        const char* cut;
        bool flagCleared;
    } rows[] = {
        {"meas:sync:1:cut", false},   // before the deletions' write-through
        {"meas:rename:1:cut", false}, // before the state drops their lines
        {"meas:rename:2:cut", false}, // before the flag's clear
        {"meas:sync:2:cut", true},    // before the write-through after the clear
    };
    for (const auto& r : rows) {
        std::set<std::string> downloaded, kept;
        std::string state = "dirattr 1\n";
        for (int i = 0; i < kFiles; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "A%07d.001", i);
            testsupport::writeFile(root.file(std::string("meas/") + name), "data");
            (i % 3 ? downloaded : kept).insert(name);
            state += std::string("attr ") + name + (i % 3 ? " 0x01\n" : " 0x21\n");
        }
        testsupport::writeFile(root.file("meas.drive"), state);
        drivefault_clear();
        drivefault_setPowerCut(nullptr);
        EXPECT_EXIT(
            {
                DriveFault cut;
                std::string error;
                if (!drivefault_parse(r.cut, &cut, &error)) std::_Exit(1);
                drivefault_arm(cut);
                MeasAppStore_driveCheckDirectoryFlags("meas:");
                std::_Exit(0);
            },
            ::testing::KilledBySignal(SIGKILL), "")
            << r.cut;
        // The walk's process took the events of the watch over the state files that this one shares
        // with it: what this one read before is read again.
        devroot_set(devroot_path());
        DriveState s;
        ASSERT_TRUE(drive_stateRead("meas:", &s));
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas"))) {
            const std::string name = e.path().filename().string();
            if (downloaded.count(name)) {
                EXPECT_EQ(s.attrOf(name) & DRIVE_ATTR_ARCHIVE, 0)
                    << r.cut << ": " << name << " lost its line";
            }
        }
        EXPECT_EQ(s.dirAttr == 0, r.flagCleared) << r.cut;

        drivefault_clear();
        EXPECT_EQ(MeasAppStore_driveCheckDirectoryFlags("meas:"), 1) << r.cut;
        std::set<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(root.file("meas")))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, kept) << r.cut;
        ASSERT_TRUE(drive_stateRead("meas:", &s));
        EXPECT_EQ(s.dirAttr, 0) << r.cut;
        EXPECT_EQ(s.attrs.size(), kept.size()) << r.cut << ": lines that name no file are dropped";
        for (const std::string& name : kept) std::filesystem::remove(root.file("meas/" + name));
    }
    drivefault_clear();
}

// A hang is one call that has not returned for 10 s. A walk over 20,000 downloaded files at 100 ms a
// call (each read of the folder a call of its own) takes longer than that and is working: it is
// never called hung, and a start's check that comes meanwhile is made after it. A walk that does
// hang (its deletions' write-through held past 10 s) is named so, and a start's check that comes
// then is still made once the call returns.
TEST_F(LogTest, AWalkOfManyCallsIsNoHangAndAStartAfterAHungWalkStillMakesItsCheck) {
    constexpr int kFiles = 20000;
    const char* const task = "r_DrvCall_meas";
    ASSERT_TRUE(meas_app_driveCallStart("meas:"));
    std::vector<std::string> lines;
    auto logged = [&](const std::string& text) {
        for (const std::string& l : log()) lines.push_back(l);
        return testsupport::countContaining(lines, text);
    };
    auto flagged = [&](int files) {
        std::string state = "dirattr 1\n";
        for (int i = 0; i < files; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "A%07d.001", i);
            testsupport::writeFile(root.file(std::string("meas/") + name), "");
            state += std::string("attr ") + name + " 0x01\n";
        }
        testsupport::writeFile(root.file("meas.drive"), state);
    };
    auto arm = [](const std::string& text) {
        DriveFault f;
        std::string error;
        ASSERT_TRUE(drivefault_parse(text, &f, &error)) << error;
        drivefault_arm(f);
    };
    auto check = [] { return MeasAppStore_driveCheckDirectoryFlags("meas:"); };
    const char* const took = "MeasAppStore_driveCheckDirectoryFlags() check on 'meas:' took";
    const char* const named =
        "meas_app_driveCall(): the drive 'meas:' does not answer: the D-flag check has hung";

    flagged(kFiles);
    drivefault_clear();
    arm(std::string("meas:open:1:slow100@") + task);
    ASSERT_TRUE(meas_app_driveCallAsync("meas:", "the D-flag check", check, true));
    ASSERT_TRUE(waitUntil([&] { return drivefault_taskCalls("meas:", DRIVE_OP_OPEN, task) > 0; }));
    ASSERT_TRUE(meas_app_driveCallAsync("meas:", "the D-flag check", check, true));
    bool hung = false;
    EXPECT_TRUE(waitUntil(
        [&] {
            meas_app_driveWatch();
            hung = hung || meas_app_driveHung("meas:");
            return logged(took) == 2;
        },
        300000));
    EXPECT_FALSE(hung);
    EXPECT_EQ(logged(named), 0);
    EXPECT_EQ(logged("MeasAppStore_cleanup_old_measfiles() ... 20000 files deleted"), 1);
    int walkMs = 0;
    for (const std::string& l : lines)
        if (l.find(took) != std::string::npos && walkMs == 0)
            walkMs = std::atoi(l.c_str() + l.rfind("took ") + 5);
    std::printf("the walk over %d files at 100 ms a call took %.1f s, not called hung\n", kFiles,
                walkMs / 1000.0);
    EXPECT_GT(walkMs, int(MEAS_DRIVECALL_BOUND_MS)) << "a walk shorter than the bound shows nothing";

    flagged(10);
    drivefault_clear();
    arm(std::string("meas:sync:1:hold0@") + task); // the deletions' write-through
    ASSERT_TRUE(meas_app_driveCallAsync("meas:", "the D-flag check", check, true));
    EXPECT_TRUE(waitUntil(
        [&] {
            meas_app_driveWatch();
            return logged(named) == 1;
        },
        60000));
    EXPECT_TRUE(meas_app_driveCallAsync("meas:", "the D-flag check", check, true))
        << "the next start's check waits for the drive";
    drivefault_release();
    EXPECT_TRUE(waitUntil([&] { return logged(took) == 4; }, 60000));
    EXPECT_EQ(logged("meas_app_driveCall(): the drive 'meas:' answers again (the D-flag check returned)"), 1);
    drivefault_clear();
}
