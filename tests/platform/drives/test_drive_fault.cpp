// What the faults of the drive layer do to the drives: a failed write-through, a power cut, a file
// taken away under its writer, a hung call.
#include "testsupport.h"

#include "platform/drives/bfs.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"
#include "platform/drives/drive_state.h"
#include "platform/drives/drive_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

// Arms the fault at the next call of its operation: "meas:sync:+1:EIO" is armed as the call after
// those counted so far.
void armNext(const std::string& drive, const std::string& op, const std::string& what) {
    DriveFault f;
    std::string why;
    ASSERT_TRUE(drivefault_parse(drive.substr(0, drive.size() - 1) + ":" + op + ":1:" + what, &f, &why))
        << why;
    f.nth = drivefault_calls(drive.c_str(), f.op) + 1;
    drivefault_arm(f);
}

void put(int fd, const std::string& data) {
    ASSERT_EQ(bfs_write(fd, data.data(), data.size()), ssize_t(data.size())) << std::strerror(errno);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int openDrive(const char* drive) {
    const int fd = bfs_open(drive, O_RDONLY);
    EXPECT_GE(fd, 0) << drive << ": " << std::strerror(errno);
    return fd;
}

std::atomic<int> gCuts{0};
void countCut() {
    ++gCuts;
}

} // namespace

// A file's failed write-through cuts it back to its last good one, and a later write-through that
// succeeds does not bring the lost bytes back.
TEST(DriveLoss, AFailedWriteThroughOfAFileLosesWhatItCovered) {
    TempDeviceRoot root;
    const struct {
        const char* what;
        const char* before; // the file before this run; nullptr: the run creates it
        const char* first;
        bool flushFirst;
        const char* second;
        bool throughCopy; // the failing write-through on a second descriptor, as the store's
        const char* kept;
    } rows[] = {
        {"never written through", nullptr, "abcd", false, "efgh", false, ""},
        {"written through once", nullptr, "abcd", true, "efgh", false, "abcd"},
        {"failed on a second descriptor", nullptr, "abcd", true, "efgh", true, "abcd"},
        {"there before this run", "old", "new", false, "more", false, "old"},
    };
    drivefault_clear();
    int n = 0;
    for (const auto& r : rows) {
        const std::string name = "F" + std::to_string(n++) + ".000";
        if (r.before) writeFile(root.file("meas/" + name), r.before);
        const int fd = bfs_open(("meas:/" + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        ASSERT_GE(fd, 0) << r.what;
        put(fd, r.first);
        if (r.flushFirst) {
            EXPECT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0) << r.what;
        }
        put(fd, r.second);
        const int through = r.throughCopy ? bfs_dup(fd) : fd;
        armNext("meas:", "sync", "EIO");
        errno = 0;
        EXPECT_EQ(bfs_ioctl(through, FIOFLUSH, 0), -1) << r.what;
        EXPECT_EQ(errno, EIO) << r.what;
        EXPECT_EQ(readFile(root.file("meas/" + name)), r.kept) << r.what;
        EXPECT_EQ(bfs_ioctl(fd, FIOSYNC, 0), 0) << r.what;
        EXPECT_EQ(readFile(root.file("meas/" + name)), r.kept) << r.what << ": a later sync proves nothing";
        if (through != fd) bfs_close(through);
        EXPECT_EQ(bfs_close(fd), 0) << r.what;
    }
    drivefault_clear();
}

// A drive root's failed write-through loses the files created since its last good one, with their
// attribute lines; files created before it, and files the run only opened, stay.
TEST(DriveLoss, AFailedWriteThroughOfARootLosesTheFilesCreatedSinceItsLastGoodOne) {
    TempDeviceRoot root;
    drivefault_clear();
    const int drive = openDrive("meas:");
    int fd = bfs_open("meas:/A.000", O_WRONLY | O_CREAT, 0666);
    put(fd, "a");
    bfs_close(fd);
    ASSERT_EQ(bfs_ioctl(drive, FIOSYNC, 0), 0);
    writeFile(root.file("meas/D.000"), "d");
    fd = bfs_open("meas:/D.000", O_WRONLY | O_APPEND);
    put(fd, "d");
    bfs_close(fd);
    fd = bfs_open("meas:/B.000", O_WRONLY | O_CREAT, 0666);
    put(fd, "b");
    ASSERT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0);
    bfs_close(fd);
    const int open = bfs_open("meas:/C.000", O_WRONLY | O_CREAT, 0666);
    put(open, "c");

    armNext("meas:", "sync", "EIO");
    EXPECT_EQ(bfs_ioctl(drive, FIOSYNC, 0), -1);
    EXPECT_EQ(std::vector<bool>({exists(root.file("meas/A.000")), exists(root.file("meas/B.000")),
                                 exists(root.file("meas/C.000")), exists(root.file("meas/D.000"))}),
              (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(readFile(drive_stateFile("meas:")).find("B.000"), std::string::npos);
    EXPECT_EQ(readFile(root.file("meas/D.000")), "dd");

    // Written through again, a new file stays when a later one fails.
    fd = bfs_open("meas:/E.000", O_WRONLY | O_CREAT, 0666);
    bfs_close(fd);
    ASSERT_EQ(bfs_ioctl(drive, FIOSYNC, 0), 0);
    armNext("meas:", "sync", "EIO");
    EXPECT_EQ(bfs_ioctl(drive, FIOSYNC, 0), -1);
    EXPECT_TRUE(exists(root.file("meas/E.000")));
    bfs_close(open);
    bfs_close(drive);
    drivefault_clear();
}

// A power cut loses on every drive what was not written through, before the call it strikes (a
// deletion too: the file comes back); the hook stands in for the kill.
TEST(DriveLoss, APowerCutLosesWhatWasNotWrittenThroughOnEveryDrive) {
    TempDeviceRoot root;
    drivefault_clear();
    drivefault_setPowerCut(countCut);
    gCuts = 0;
    const int meas = openDrive("meas:"), meas2 = openDrive("meas2:");
    // Created, written through with its root, then written on.
    const int a = bfs_open("meas:/A.000", O_WRONLY | O_CREAT, 0666);
    put(a, "aaaa");
    ASSERT_EQ(bfs_ioctl(a, FIOFLUSH, 0), 0);
    ASSERT_EQ(bfs_ioctl(meas, FIOSYNC, 0), 0);
    put(a, "AAAA");
    // Created and written through, its root not.
    int fd = bfs_open("meas:/B.000", O_WRONLY | O_CREAT, 0666);
    put(fd, "bb");
    ASSERT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    bfs_close(fd);
    // There before, written on and closed without a write-through.
    writeFile(root.file("meas2/C.000"), "cc");
    fd = bfs_open("meas2:/C.000", O_WRONLY | O_APPEND);
    put(fd, "CC");
    bfs_close(fd);
    // Created and written through on the other drive, written on after, closed read-only.
    fd = bfs_open("meas2:/D.000", O_WRONLY | O_CREAT, 0666);
    ASSERT_EQ(bfs_ioctl(meas2, FIOSYNC, 0), 0);
    put(fd, "dd");
    ASSERT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    put(fd, "DD");
    ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0);
    bfs_close(fd);
    // Not the process's.
    writeFile(root.file("meas/E.000"), "ee");
    // Deleted: one with its deletion written through, one without (it comes back, its attribute
    // line as the state has it), and one made and deleted since the last write-through of its root.
    for (const char* name : {"F.000", "G.000"}) writeFile(root.file(std::string("meas2/") + name), name);
    writeFile(drive_stateFile("meas2:"), "attr F.000 0x01\nattr G.000 0x01\n");
    ASSERT_EQ(bfs_unlink("meas2:/F.000"), 0);
    ASSERT_EQ(bfs_ioctl(meas2, FIOSYNC, 0), 0);
    ASSERT_EQ(bfs_unlink("meas2:/G.000"), 0);
    fd = bfs_open("meas2:/H.000", O_WRONLY | O_CREAT, 0666);
    bfs_close(fd);
    ASSERT_EQ(bfs_unlink("meas2:/H.000"), 0);
    // What the cut will lose, named beforehand.
    std::set<std::string> unsafe;
    for (const auto& [drive, name] : driveloss_unsafe()) unsafe.insert(drive + name);
    EXPECT_EQ(unsafe, (std::set<std::string>{"meas:A.000", "meas:B.000", "meas2:C.000", "meas2:D.000"}));

    armNext("meas:", "write", "cut");
    errno = 0;
    EXPECT_EQ(bfs_write(a, "xx", 2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(gCuts.load(), 1);
    EXPECT_EQ(readFile(root.file("meas/A.000")), "aaaa");
    EXPECT_FALSE(exists(root.file("meas/B.000")));
    EXPECT_EQ(readFile(root.file("meas2/C.000")), "cc");
    EXPECT_EQ(readFile(root.file("meas2/D.000")), "dd");
    EXPECT_TRUE(readOnly(root.file("meas2/D.000")));
    EXPECT_EQ(readFile(root.file("meas/E.000")), "ee");
    EXPECT_FALSE(exists(root.file("meas2/F.000")));
    EXPECT_EQ(readFile(root.file("meas2/G.000")), "G.000");
    EXPECT_FALSE(exists(root.file("meas2/H.000")));
    DriveState s;
    ASSERT_TRUE(drive_stateRead("meas2:", &s));
    EXPECT_EQ(s.attrOf("G.000"), DRIVE_ATTR_DEFAULT) << "its line went with the deletion, for good";
    bfs_close(a);
    bfs_close(meas);
    bfs_close(meas2);
    drivefault_setPowerCut(nullptr);
    drivefault_clear();
}

// A store outside the drives (the NV store is "nv:") goes through the seam as a drive: a power cut
// loses what its file's fsync, its folder's or a syncfs did not cover, and a syncfs that writes
// nothing (as some FUSE file systems answer it) covers nothing.
TEST(DriveLoss, AStoresSyncfsThatWritesNothingCoversNothingAtAPowerCut) {
    TempDir dir;
    drivefault_clear();
    drivefault_setPowerCut(countCut);
    gCuts = 0;
    drivestore_setFolder("st:", dir.path());
    const int folder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    const struct {
        const char* what;
        const char* syncfs; // "": none; else what the seam makes of it
        bool fsync;
        bool kept;
    } rows[] = {
        {"its fsync and its folder's", "", true, true},
        {"a syncfs", "writes", false, true},
        {"a syncfs that writes nothing", "nothing", false, false},
        {"no write-through", "", false, false},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::string name = "s" + std::to_string(i);
        const int fd = drivestore_open("st:", folder, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644, true);
        ASSERT_GE(fd, 0) << rows[i].what;
        ASSERT_EQ(drivestore_write("st:", fd, "abc", 3), 3);
        if (rows[i].fsync) {
            EXPECT_EQ(drivestore_fsync("st:", fd), 0);
            EXPECT_EQ(drivestore_fsyncFolder("st:", folder), 0);
        }
        if (*rows[i].syncfs) {
            if (std::string(rows[i].syncfs) == "nothing") armNext("st:", "syncfs", "nothing");
            EXPECT_EQ(drivestore_syncfs("st:", fd), 0) << rows[i].what;
        }
        EXPECT_EQ(drivestore_close("st:", fd), 0);
    }
    EXPECT_EQ(drivefault_calls("st:", DRIVE_OP_SYNCFS), 2u);
    armNext("st:", "open", "cut");
    EXPECT_EQ(drivestore_open("st:", folder, "after", O_WRONLY | O_CREAT, 0644, true), -1);
    EXPECT_EQ(gCuts.load(), 1);
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(exists(dir.file("s" + std::to_string(i))), rows[i].kept) << rows[i].what;
    EXPECT_EQ(readFile(dir.file("s0")), "abc");
    ::close(folder);
    drivestore_setFolder("st:", "");
    drivefault_setPowerCut(nullptr);
    drivefault_clear();
}

// A power cut stops every call at once: its loss is made only once the calls already past the seam
// have left (what they did lands before it, never after it); a call the seam holds is not waited
// for and fails once it wakes; every new call fails from the cut's start, an unlink too.
// The write cannot end before its reader has begun: a loss made while nothing was read yet came
// while the write was under way (the write's own return is seen a moment after the seam's).
std::atomic<bool> gReading{false}, gCutAfterWrite{false};
void cutAfterWrite() {
    gCutAfterWrite = gReading.load();
    ++gCuts;
}

TEST(DriveLoss, APowerCutLosesOnlyOnceTheCallsUnderWayHaveLeft) {
    TempDeviceRoot root;
    drivefault_clear();
    drivefault_setPowerCut(cutAfterWrite);
    gCuts = 0;
    gReading = false;
    // A write that stays in the kernel until the test reads: a FIFO it fills.
    ASSERT_EQ(::mkfifo(root.file("meas/F.000").c_str(), 0666), 0);
    const int fifo = bfs_open("meas:/F.000", O_RDWR);
    ASSERT_GE(fifo, 0) << std::strerror(errno);
    const std::string big(1 << 20, 'f');
    ssize_t written = 0;
    std::thread writer([&] { written = bfs_write(fifo, big.data(), big.size()); });
    ASSERT_TRUE(waitUntil([] { return drivefault_calls("meas:", DRIVE_OP_WRITE) == 1; }));
    // A call the seam holds.
    const int held = bfs_open("meas:/H.000", O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(held, 0);
    armNext("meas:", "truncate", "hold0");
    int heldRc = 0, heldErrno = 0;
    std::thread holder([&] {
        heldRc = bfs_truncate(held, 0);
        heldErrno = errno;
    });
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() == 1; }));
    const int other = bfs_open("meas:/C.000", O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(other, 0);
    armNext("meas:", "close", "cut");
    std::thread cutter([&] { bfs_close(other); });
    ASSERT_TRUE(waitUntil([] { return drivefault_hits() == 2; }));
    // From the cut's start no new call gets through.
    errno = 0;
    EXPECT_EQ(bfs_unlink("meas:/H.000"), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(exists(root.file("meas/H.000")));
    EXPECT_EQ(bfs_write(held, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    // The write under way goes on to its end; the cut comes after it.
    const int reader = ::open(root.file("meas/F.000").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string got(big.size(), '\0');
    gReading = true;
    for (size_t done = 0; done < got.size();) {
        const ssize_t n = ::read(reader, got.data() + done, got.size() - done);
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += size_t(n);
    }
    writer.join();
    cutter.join();
    EXPECT_EQ(written, ssize_t(big.size()));
    EXPECT_EQ(gCuts.load(), 1);
    EXPECT_TRUE(gCutAfterWrite.load()) << "the cut's loss came while a write was under way";
    // The held call, released after the cut, finds no power.
    EXPECT_EQ(drivefault_holding(), 1u);
    drivefault_release();
    holder.join();
    EXPECT_EQ(heldRc, -1);
    EXPECT_EQ(heldErrno, EIO);
    ::close(reader);
    bfs_close(fifo);
    bfs_close(held);
    drivefault_setPowerCut(nullptr);
    drivefault_clear();
}

// A power cut kills the process; one in the state's rewrite of a file turning read-only leaves no
// file read-only by its mode without its byte (a whole file the drive's state holds unfinished).
TEST(DriveLoss, APowerCutKillsTheProcess) {
    TempDeviceRoot root;
    drivefault_clear();
    drivefault_setPowerCut(nullptr);
    const int fd = bfs_open("meas:/K.000", O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    EXPECT_EXIT(
        {
            armNext("meas:", "close", "cut");
            bfs_close(fd);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    bfs_close(fd);
    const int whole = bfs_open("meas:/L.000", O_WRONLY | O_CREAT, 0666);
    put(whole, "ll");
    ASSERT_EQ(bfs_ioctl(whole, FIOFLUSH, 0), 0);
    const int drive = openDrive("meas:");
    ASSERT_EQ(bfs_ioctl(drive, FIOSYNC, 0), 0); // with its entry
    bfs_close(drive);
    EXPECT_EXIT(
        {
            armNext("meas:", "rename", "cut");
            bfs_ioctl(whole, FIOATTRIBSET, 0x21);
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    ASSERT_TRUE(exists(root.file("meas/L.000")));
    const bool byte = readFile(drive_stateFile("meas:")).find("attr L.000 0x21") != std::string::npos;
    EXPECT_TRUE(byte || !readOnly(root.file("meas/L.000"))) << "read-only by its mode without its byte";
    bfs_close(whole);
    drivefault_clear();
}

// Deleted or renamed under its writer: the write still succeeds, into the open file; its attribute
// line goes or moves with it.
TEST(DriveFault, AFileIsDeletedOrRenamedUnderItsWriter) {
    TempDeviceRoot root;
    drivefault_clear();
    const struct {
        const char* what;
        const char* stays; // "" for nothing
    } rows[] = {{"delete", ""}, {"rename", "R.000.moved"}};
    for (const auto& r : rows) {
        const int fd = bfs_open("meas:/R.000", O_RDWR | O_CREAT | O_TRUNC, 0666);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x00), 0);
        put(fd, "abcd");
        armNext("meas:", "write", r.what);
        put(fd, "efgh");
        EXPECT_FALSE(exists(root.file("meas/R.000"))) << r.what;
        char back[8] = {};
        EXPECT_EQ(::pread(fd, back, sizeof back, 0), 8) << r.what;
        EXPECT_EQ(std::string(back, 8), "abcdefgh") << r.what;
        const std::string state = readFile(drive_stateFile("meas:"));
        EXPECT_EQ(state.find("attr R.000 "), std::string::npos) << r.what << "\n" << state;
        if (*r.stays) {
            EXPECT_EQ(readFile(root.file(std::string("meas/") + r.stays)), "abcdefgh") << r.what;
            EXPECT_NE(state.find(std::string("attr ") + r.stays + " 0x0"), std::string::npos) << state;
        }
        EXPECT_EQ(bfs_close(fd), 0);
    }
    drivefault_clear();
}

// A fault that lasts its time takes every call of its drive from its nth call on, whatever the
// operation: EIOfor fails them (a failed write-through losing what it covered) and slow makes them
// return late; once its time has passed, the drive works again and the calls return at once.
TEST(DriveFault, EioForAndSlowTakeEveryCallOfTheDriveForTheirTime) {
    TempDeviceRoot root;
    drivefault_clear();
    using Clock = std::chrono::steady_clock;
    auto msSince = [](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
    };
    const int fd = bfs_open("meas:/S.000", O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    put(fd, "abcd");
    ASSERT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    put(fd, "efgh");

    armNext("meas:", "write", "EIOfor300");
    auto begun = Clock::now();
    const struct {
        const char* call;
        std::function<int()> run;
    } failing[] = {
        {"write", [&] { return int(bfs_write(fd, "x", 1)); }},
        {"FIOFLUSH", [&] { return bfs_ioctl(fd, FIOFLUSH, 0); }},
        {"open", [] { return bfs_open("meas:/T.000", O_WRONLY | O_CREAT, 0666); }},
        {"FIOATTRIBSET", [&] { return bfs_ioctl(fd, FIOATTRIBSET, 0x21); }},
    };
    for (const auto& c : failing) {
        errno = 0;
        EXPECT_EQ(c.run(), -1) << c.call;
        EXPECT_EQ(errno, EIO) << c.call;
    }
    EXPECT_EQ(readFile(root.file("meas/S.000")), "abcd") << "the failed write-through lost what it covered";
    const int other = bfs_open("meas2:/T.000", O_WRONLY | O_CREAT, 0666);
    EXPECT_GE(other, 0) << "another drive works";
    bfs_close(other);
    EXPECT_TRUE(waitUntil([&] { return bfs_write(fd, "i", 1) == 1; }, 10000));
    EXPECT_GE(msSince(begun), 300) << "the drive worked again before its time";

    armNext("meas:", "sync", "slow100for600");
    begun = Clock::now();
    auto call = Clock::now();
    EXPECT_EQ(bfs_ioctl(fd, FIOFLUSH, 0), 0);
    EXPECT_GE(msSince(call), 100) << "the nth call is late";
    call = Clock::now();
    EXPECT_EQ(bfs_write(fd, "j", 1), 1);
    EXPECT_GE(msSince(call), 100) << "so is any other of the drive";
    // Once the span has passed, no call is made to wait any more.
    EXPECT_TRUE(waitUntil(
        [&] {
            const uint32_t hits = drivefault_hits();
            bfs_write(fd, "k", 1);
            return drivefault_hits() == hits;
        },
        10000));
    EXPECT_GE(msSince(begun), 600) << "the drive was prompt again before its time";
    EXPECT_EQ(bfs_close(fd), 0);
    drivefault_clear();
}

// hold0 holds any call, the opening of a drive's root and the rewrite of its state included, until
// it is released; meanwhile it is the drive's call in flight, and the length of the drive's calls now
// until a few seconds after it returned.
TEST(DriveFault, Hold0HoldsEveryOperationUntilReleased) {
    TempDeviceRoot root;
    drivefault_clear();
    const int drive = openDrive("meas:");
    int fd = bfs_open("meas:/H.000", O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    uint32_t dirAttr = 0;
    const struct {
        const char* what;
        const char* op;
        std::function<void()> call;
    } rows[] = {
        {"a file's open", "open", [] { bfs_close(bfs_open("meas:/O.000", O_WRONLY | O_CREAT, 0666)); }},
        {"a root's open", "open", [] { bfs_close(bfs_open("meas:", O_RDONLY)); }},
        {"write", "write", [&] { bfs_write(fd, "w", 1); }},
        {"a file's sync", "sync", [&] { bfs_ioctl(fd, FIOFLUSH, 0); }},
        {"a root's sync", "sync", [&] { bfs_ioctl(drive, FIOSYNC, 0); }},
        {"chmod", "chmod", [&] { bfs_ioctl(fd, FIOATTRIBSET, 0x20); }},
        {"a file's rename", "rename", [] { bfs_rename("meas:/O.000", "meas:/P.000"); }},
        {"the state's rewrite", "rename",
         [&] { bfs_ioctl(drive, IO_IOCTL_BFS_SET_DIR_ATTR, ++dirAttr & 1); }},
        {"truncate", "truncate", [&] { bfs_truncate(fd, 0); }},
        {"close", "close", [&] { bfs_close(fd); }},
    };
    // Another drive goes on meanwhile, its state's rewrite too.
    const int other = openDrive("meas2:");
    uint32_t otherAttr = 0;
    for (const auto& r : rows) {
        armNext("meas:", r.op, "hold0");
        std::atomic<bool> done{false}, otherDone{false};
        std::thread caller([&] {
            r.call();
            done = true;
        });
        EXPECT_TRUE(waitUntil([] { return drivefault_holding() == 1; })) << r.what;
        std::thread beside([&] {
            bfs_ioctl(other, IO_IOCTL_BFS_SET_DIR_ATTR, ++otherAttr & 1);
            otherDone = true;
        });
        EXPECT_TRUE(waitUntil([&] { return otherDone.load(); }, 5000)) << r.what << ": the other drive waits";
        EXPECT_FALSE(done.load()) << r.what;
        // The held call is the drive's call in flight, growing older; the other drive has none.
        std::string inFlight;
        EXPECT_TRUE(waitUntil([&] { return drivecalls_oldestMs("meas:", &inFlight) >= 20; })) << r.what;
        EXPECT_EQ(inFlight.rfind("a", 0), 0u) << r.what << ": " << inFlight;
        EXPECT_EQ(drivecalls_oldestMs("meas2:"), 0u) << r.what;
        // How long the drive's calls take now counts the held one from its start, and once it has
        // returned, for a few seconds.
        const uint32_t held = drivecalls_oldestMs("meas:");
        EXPECT_GE(drivecalls_longestMs("meas:"), held) << r.what;
        const uint64_t returned = drivecalls_returned("meas:");
        drivefault_release();
        EXPECT_TRUE(waitUntil([&] { return done.load(); })) << r.what;
        EXPECT_EQ(drivecalls_oldestMs("meas:"), 0u) << r.what;
        EXPECT_GT(drivecalls_returned("meas:"), returned) << r.what;
        EXPECT_GE(drivecalls_longestMs("meas:"), held) << r.what;
        caller.join();
        beside.join();
        drivefault_clear();
    }
    bfs_close(other);
    bfs_close(drive);
    // Held calls that returned before the last seconds say nothing of the drive now.
    EXPECT_TRUE(waitUntil([] { return drivecalls_longestMs("meas:") < 20; }, kDriveCallsRecentMs + 5000))
        << drivecalls_longestMs("meas:") << " ms";
}
