// The logging drives on the hand-driven clock: USB debounce, the boot wait with its time-out, the
// directory check and format through the drive service, and the copy of a closed file to the USB
// drive.
#include "logcfg_fixture.h"
#include "smalldisk.h"

#include "framework/board_io.h"
#include "framework/fileutil.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_disk.h"
#include "measdata/seram.h"
#include "platform/drives/bfs.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_calls.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_service.h"
#include "platform/drives/drive_state.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace logcfgtest;
using testsupport::readFile;
using testsupport::waitUntil;
using testsupport::writeFile;

namespace {

void setState(const char* drive, const std::string& text) {
    writeFile(drive_stateFile(drive), text);
}

// Runs `work` in a thread of its own while the hand-driven clock moves on, a millisecond at a time.
template <class F> auto whileClockRuns(F work) {
    std::atomic<bool> done{false};
    decltype(work()) result{};
    std::thread t([&] {
        result = work();
        done = true;
    });
    while (!done) {
        // The device's drive service answers within its tick: no time passes while it works.
        if (drivesvc_idle()) hostclock_advanceMs(1);
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // the waits see each tick
    }
    t.join();
    return result;
}

std::string closedFile(const char* path, size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char(i * 7 + i / 251);
    const int fd = bfs_open(path, O_WRONLY | O_CREAT, 0777);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, data.data(), data.size()), ssize_t(size));
    EXPECT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0);
    bfs_close(fd);
    return data;
}

// What a writer of this run left of a file on the stick (a pulled stick's piece): a copy of the
// file may replace it.
void leftByThisRun(const char* path, const std::string& data) {
    const int fd = bfs_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0777);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, data.data(), data.size()), ssize_t(data.size()));
    bfs_fileId id{};
    ASSERT_EQ(bfs_identity(fd, &id), 0);
    meas_app_fileMade("usb_meas:", id);
    bfs_close(fd);
}

struct DiskTest : LogTest {
    void SetUp() override {
        LogTest::SetUp();
        SeramCalData& cal = seramCalPage(SERAM_PAGE_REFERENCE);
        cal.MEAS_MAXFILECNT_PART1 = cal.MEAS_MAXFILECNT_PART2 = 0xFFFFFFFF;
        seramSetActivePage(SERAM_PAGE_REFERENCE);
        ASSERT_TRUE(drivesvc_start(cfg_meas_datasetMaxFileCnt));
        hostclock_setManual(true);
    }
    void TearDown() override {
        drivesvc_stop();
        LogTest::TearDown();
    }
};

} // namespace

TEST_F(DiskTest, UsbDebounceAndInternalFlash) {
    setState("usb_meas:", "inserted 0\n");
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), -1);
    setState("usb_meas:", "inserted 1\nstatus 0x10000\n");
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), 3000);
    EXPECT_EQ(cfg_meas_devHwInfo[1].status, 0x10000u) << "the status word of the call";
    hostclock_advanceBurstMs(1000);
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), 2000);
    hostclock_advanceBurstMs(2000);
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), 0);
    hostclock_advanceBurstMs(5000);
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), 0);
    setState("usb_meas:", "inserted 0\n");
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), -1);
    setState("usb_meas:", "");
    EXPECT_EQ(meas_app_driveAvDebounce("usb_meas:"), 3000) << "a new insertion settles again";

    EXPECT_EQ(meas_app_driveAvDebounce("meas:"), 0);
    setState("meas:", "present 0\n");
    EXPECT_EQ(meas_app_driveAvDebounce("meas:"), -1);
    EXPECT_EQ(meas_app_driveAvDebounce("c:"), -1) << "no drive of the table";
    EXPECT_EQ(std::vector<int>({meas_app_DiskReady(0), meas_app_DiskReady(1), meas_app_DiskReady(2),
                                meas_app_DiskReady(3), meas_app_DisksReady()}),
              (std::vector<int>{-1, 0, 0, -1, -1}));
    EXPECT_EQ(meas_led_status & MEAS_LED_DRIVES_READY, 0u);
    setState("meas:", "");
    EXPECT_EQ(meas_app_DisksReady(), 0);
    EXPECT_NE(meas_led_status & MEAS_LED_DRIVES_READY, 0u);

    const struct {
        const char* path;
        size_t size;
        int result;
        const char* drive;
    } paths[] = {{"usb_meas:/A0101000.001", 40, 0, "usb_meas:"},
                 {"A0101000.001", 40, -1, ""},
                 {"a_drive_name_longer_than_forty_one_chars_x:/x", 60, -1, ""},
                 {"usb_meas:/x", 9, -1, ""}};
    for (const auto& p : paths) {
        char drive[64] = {};
        EXPECT_EQ(meas_app_filenameGetDrive(p.path, drive, p.size, nullptr), p.result) << p.path;
        EXPECT_STREQ(drive, p.drive);
    }
    EXPECT_TRUE(contains(log(),
                         "meas_app_filenameGetDrive():posTerminator 0 could not find terminator char ':' in "
                         "A0101000.001"));
}

TEST_F(DiskTest, BootWaitsForTheDrivesAndFormatsAChangedDirectory) {
    // "meas2:" never comes: about 2 s of polling, then the time-out with its mask bit.
    setState("meas2:", "present 0\n");
    const uint64_t start = hostclock_ticks();
    EXPECT_EQ(whileClockRuns([] { return meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()); }), -1);
    EXPECT_GE(hostclock_ticks() - start, 2000u);
    EXPECT_TRUE(contains(log(), "meas_app_BootPrepareDisks() timeout checking mask '0x04' "));
    EXPECT_EQ(meas_led_status & MEAS_LED_DRIVES_READY, 0u);

    // 1000 directory entries where 2000 are configured: reported, formatted, and then left alone.
    setState("meas2:", "");
    setState("meas:", "dirsize 1000\n");
    writeFile(root.file("meas/A0101000.001"), "old");
    seramCalPage(SERAM_PAGE_REFERENCE).MEAS_MAXFILECNT_PART1 = 2000;
    const uint32_t formats = drivesvc_formatCount();
    EXPECT_EQ(whileClockRuns([] { return meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()); }), 0);
    EXPECT_TRUE(contains(log(),
                         "meas_app_BootPrepareDisks_checkDir(meas:) should be reformated NOW: directory size "
                         "1000 -> 2000 "));
    EXPECT_EQ(drivesvc_formatCount(), formats + 1);
    EXPECT_FALSE(std::filesystem::exists(root.file("meas/A0101000.001")));
    EXPECT_NE(meas_led_status & MEAS_LED_DRIVES_READY, 0u);
    EXPECT_EQ(whileClockRuns([] { return meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()); }), 0);
    EXPECT_EQ(drivesvc_formatCount(), formats + 1) << "the directory matches now";
    EXPECT_EQ(seramSig().meas_maxFileCnt_part1, 2000u);

    // 86,700 entries would wrap the request's block count into a tiny directory: nothing is sent.
    seramCalPage(SERAM_PAGE_REFERENCE).MEAS_MAXFILECNT_PART1 = 86700;
    EXPECT_EQ(meas_app_BootPrepareDisks_checkDir(1), -1);
    EXPECT_EQ(meas_app_BootPrepareDisks_format(1), -1);
    EXPECT_TRUE(
        contains(log(), "meas_app_BootPrepareDisks_format(meas:) directory size 86700 cannot be requested"));
    seramCalPage(SERAM_PAGE_REFERENCE).MEAS_MAXFILECNT_PART1 = 86699;
    EXPECT_EQ(whileClockRuns([] { return meas_app_BootPrepareDisks_format(1); }), 0);
    EXPECT_EQ(drivesvc_formatCount(), formats + 2);
    EXPECT_EQ(meas_app_BootPrepareDisks_format(-1), -1);
}

TEST_F(DiskTest, ClosedFileReachesUsbIdenticalAndReadOnly) {
    meas_app_driveAvDebounce("usb_meas:"); // the stick has been in for a while
    hostclock_advanceBurstMs(3000);
    const std::string data = closedFile("meas:/A0102003.405", 300000);
    leftByThisRun("usb_meas:/A0102003.405", std::string(400000, 'x')); // a broken earlier copy
    char* target = strdup("usb_meas:");
    const TASK_ID tid = taskSpawn("r_FileCpyTaskA", MEAS_FILECOPY_PRIORITY, VX_FP_TASK, MEAS_FILECOPY_STACK,
                                  [target] { meas_app_copyFileTask(1, 2, 0x34, 5, 0, target, 1); });
    ASSERT_NE(tid, TASK_ID_ERROR);
    whileClockRuns([tid] { return taskJoin(tid, 60000); });
    EXPECT_TRUE(contains(log(), "meas_app_copyLastFile() copy success from 'meas:/A0102003.405' to "
                                "'usb_meas:/A0102003.405'"));
    EXPECT_EQ(readFile(root.file("usb_meas/A0102003.405")), data);
    const int fd = bfs_open("usb_meas:/A0102003.405", O_RDONLY);
    bfs_stat st{};
    ASSERT_EQ(bfs_ioctl(fd, FIOFSTATGET, reinterpret_cast<intptr_t>(&st)), 0);
    EXPECT_EQ(st.st_attrib, 0x21);
    bfs_close(fd);

    // A pulled stick gets nothing; a missing source is reported.
    setState("usb_meas:", "inserted 0\n");
    EXPECT_EQ(meas_app_copyFile("meas:/A0102003.405", "usb_meas:/again.000"), -1);
    EXPECT_FALSE(std::filesystem::exists(root.file("usb_meas/again.000")));
    EXPECT_TRUE(contains(log(), "meas_app_copyLastFile() err open 'usb_meas:/again.000', usb not available"));
}

TEST_F(DiskTest, AFileStillBeingWrittenIsCopiedOnceItsWriterClosesIt) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    const std::string head(100000, 'a'), tail(50000, 'z');
    const int fd = bfs_open("meas:/A0102003.405", O_WRONLY | O_CREAT, 0777);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, head.data(), head.size()), ssize_t(head.size()));
    char* target = strdup("usb_meas:");
    const uint64_t start = tickGet64();
    const TASK_ID tid = taskSpawn("r_FileCpyTaskA", MEAS_FILECOPY_PRIORITY, VX_FP_TASK, MEAS_FILECOPY_STACK,
                                  [target] { meas_app_copyFileTask(1, 2, 0x34, 5, 0, target, 1); });
    ASSERT_NE(tid, TASK_ID_ERROR);
    // The writer closes the file 7 s after the copy started: past its 5 s wait and its first look.
    whileClockRuns([&] {
        while (tickGet64() - start < 7000) std::this_thread::sleep_for(std::chrono::microseconds(100));
        EXPECT_EQ(::write(fd, tail.data(), tail.size()), ssize_t(tail.size()));
        EXPECT_EQ(bfs_ioctl(fd, FIOATTRIBSET, 0x21), 0);
        bfs_close(fd);
        return taskJoin(tid, 60000);
    });
    EXPECT_EQ(readFile(root.file("usb_meas/A0102003.405")), head + tail);
}

TEST_F(DiskTest, AFailedCopyLeavesTheStickAsItWas) {
    testsupport::SmallDisk disk(1 << 20);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    const std::string saved = devroot_path();
    devroot_set(disk.file("root"));
    std::string error;
    ASSERT_TRUE(devroot_prepare(&error)) << error;
    closedFile("meas:/A0101000.001", 700000);
    // What the stick kept of the file when it was pulled.
    const std::string piece(1000, 'p');
    meas_app_driveAvDebounce("usb_meas:");
    leftByThisRun("usb_meas:/A0101000.001", piece);
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false); // the copy's own short waits run on the real clock
    // The stick runs full: the piece stays as it was, and nothing of the copy is left.
    EXPECT_EQ(meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"), MEAS_COPY_RESULT_FAILED);
    EXPECT_EQ(readFile(disk.file("root/usb_meas/A0101000.001")), piece);
    EXPECT_FALSE(std::filesystem::exists(disk.file("root/usb_meas/A0101000.001.part")));
    EXPECT_TRUE(contains(log(), "meas_app_copyLastFile() err fwrite 'usb_meas:/A0101000.001.part'"));
    devroot_set(saved);
}

// A copy that fails names the error its failed step met: before its rename it leaves the stick's
// piece as it was, after it the file writable.
TEST_F(DiskTest, AFailedStepOfACopyNamesTheErrorItMet) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false); // the copy's own short waits run on the real clock
    const std::string data = closedFile("meas:/A0101000.001", 100000), piece(1000, 'p');
    const struct {
        const char* fault;
        int result;
        const char* line;
    } rows[] = {
        {"usb_meas:sync:2:EIO", MEAS_COPY_RESULT_FAILED,
         "err folder: the entry of 'usb_meas:/A0101000.001.part' could not be written through "
         "(Input/output error)"},
        {"usb_meas:sync:3:EIO", MEAS_COPY_RESULT_DAMAGED,
         "usb_meas:/A0101000.001 is not finished: its entry could not be written through (Input/output "
         "error)"},
        {"usb_meas:chmod:1:EROFS", MEAS_COPY_RESULT_DAMAGED,
         "usb_meas:/A0101000.001 is not finished: it cannot be made read-only (Read-only file system)"},
    };
    for (const auto& r : rows) {
        leftByThisRun("usb_meas:/A0101000.001", piece);
        drivefault_clear();
        DriveFault fault;
        std::string error;
        ASSERT_TRUE(drivefault_parse(r.fault, &fault, &error)) << error;
        drivefault_arm(fault);
        EXPECT_EQ(meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"), r.result) << r.fault;
        drivefault_clear();
        EXPECT_TRUE(contains(log(), std::string("meas_app_copyLastFile() ") + r.line)) << r.fault;
        EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) ==
                    (r.result == MEAS_COPY_RESULT_FAILED ? piece : data))
            << r.fault;
    }
}

// A copy replaces only what this run left of the file on the stick: a file of that name that an
// earlier run (or anyone) left there, writable or read-only, is never written over, and one this run
// made whole there is not copied again.
TEST_F(DiskTest, ACopyNeverWritesOverAFileOfItsNameThatThisRunDidNotMake) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false); // the copy's own short waits run on the real clock
    const std::string data = closedFile("meas:/A0101000.001", 100000), theirs(5000, 't');
    const struct {
        const char* what;
        bool made;
        uint8_t attr;
        int result;
        const char* line;
    } rows[] = {
        {"an earlier run's piece", false, 0x20, MEAS_COPY_RESULT_FAILED,
         "'usb_meas:/A0101000.001' is not copied: a file of that name is there that this run did not make "
         "(an earlier run's, or another's), which is never written over"},
        {"an earlier run's whole file", false, 0x21, MEAS_COPY_RESULT_FAILED,
         "'usb_meas:/A0101000.001' is not copied: a file of that name is there that this run did not make"},
        {"this run's whole file", true, 0x21, MEAS_COPY_RESULT_DONE,
         "'usb_meas:/A0101000.001' is whole there already: nothing is copied"},
        {"this run's piece", true, 0x20, MEAS_COPY_RESULT_DONE,
         "'usb_meas:/A0101000.001' replaced the piece of it that this run left there"},
    };
    for (const auto& r : rows) {
        std::filesystem::remove(root.file("usb_meas/A0101000.001"));
        drive_stateUpdate("usb_meas:", [](DriveState& s) { return s.attrs.erase("A0101000.001") != 0; });
        if (r.made) {
            leftByThisRun("usb_meas:/A0101000.001", theirs);
        } else {
            writeFile(root.file("usb_meas/A0101000.001"), theirs);
        }
        const int fd = bfs_open("usb_meas:/A0101000.001", O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(bfs_ioctl(fd, FIOATTRIBSET, r.attr), 0);
        bfs_close(fd);
        EXPECT_EQ(meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"), r.result) << r.what;
        EXPECT_TRUE(contains(log(), std::string("meas_app_copyLastFile() ") + r.line)) << r.what;
        const bool replaced = r.made && !(r.attr & 0x01);
        EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == (replaced ? data : theirs)) << r.what;
        EXPECT_FALSE(std::filesystem::exists(root.file("usb_meas/A0101000.001.part"))) << r.what;
    }
}

// Parts left read-only by copies cut off in their close hold no copy up, the copy of the file in
// hand is left alone by their removal, and the copy in place turns read-only only once the folder
// holds its rename: held there, where a power cut would leave the old piece under the name, nothing
// of that name is marked read-only. A copy that is whole and read-only is told done before the last
// close of its descriptor, which a slow stick may hold.
TEST_F(DiskTest, APartIsNeverAFinishedFileAndOnlyTheWholeCopyIsReadOnly) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    const std::string data = closedFile("meas:/A0101000.001", 300000);
    leftByThisRun("usb_meas:/A0101000.001", std::string(1000, 'p')); // the piece the stick kept
    for (const char* left : {"usb_meas:/A0101000.001.part", "usb_meas:/A0101000.002.part"})
        closedFile(left, 500);
    hostclock_setManual(false); // the copy's own short waits run on the real clock
    auto attrOf = [](const char* name) {
        DriveState s;
        drive_stateRead("usb_meas:", &s);
        return s.attrOf(name);
    };
    drivefault_clear();
    // The copy's write-throughs: its data, its entry, then the folder after the rename; and the last
    // close of its descriptor (after those of its look at the target, its part and its source).
    for (const char* fault : {"usb_meas:sync:1:hold0", "usb_meas:sync:3:hold0", "usb_meas:close:6:hold0"}) {
        DriveFault hold;
        std::string error;
        ASSERT_TRUE(drivefault_parse(fault, &hold, &error)) << error;
        drivefault_arm(hold);
    }
    std::atomic<int> result{1}, known{1};
    std::thread copy([&] {
        result =
            meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001", {}, [&](int r) { known = r; });
    });
    EXPECT_TRUE(waitUntil([] { return drivefault_holding() == 1; }));
    EXPECT_EQ(meas_app_copyRemoveParts("usb_meas:"), 1) << "the part being written stays";
    EXPECT_TRUE(std::filesystem::exists(root.file("usb_meas/A0101000.001.part")));
    drivefault_release();
    const std::string part = root.file("usb_meas/A0101000.001.part");
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(part) && drivefault_holding() == 1; }));
    EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == data) << "renamed into place";
    EXPECT_EQ(attrOf("A0101000.001") & DRIVE_ATTR_READONLY, 0) << "read-only before its folder holds it";
    drivefault_release();
    EXPECT_TRUE(waitUntil([&] { return known.load() == MEAS_COPY_RESULT_DONE; }))
        << "a copy whose last close hangs is not told done";
    // The result is told before the close is made: the close comes next and is held there.
    EXPECT_TRUE(waitUntil([] { return drivefault_holding() == 1; })) << "told before its last close";
    EXPECT_EQ(attrOf("A0101000.001"), 0x21);
    drivefault_release();
    copy.join();
    drivefault_clear();
    EXPECT_EQ(result, MEAS_COPY_RESULT_DONE);
    EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == data);
    EXPECT_EQ(attrOf("A0101000.001"), 0x21);
    EXPECT_EQ(meas_app_copyRemoveParts("usb_meas:"), 0);
    for (const auto& e : std::filesystem::directory_iterator(root.file("usb_meas")))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
}

// The parts on a stick that arrived go before a copy to it writes its own, while no removal has gone
// over the stick's whole folder since the arrival (the arrival's own one met by a pull); once one
// has, a copy leaves the folder alone.
TEST_F(DiskTest, ACopyRemovesThePartsLeftWhileItsStickArrivalsRemovalIsNotMade) {
    const std::string data = closedFile("meas:/A0101000.001", 100000);
    const std::string left = root.file("usb_meas/A0109000.001.part"),
                      own = root.file("usb_meas/A0101000.001.part");
    closedFile("usb_meas:/A0109000.001.part", 500);
    meas_app_copyPartsLeft("usb_meas:");
    setState("usb_meas:", "inserted 0\n");
    EXPECT_EQ(meas_app_copyRemoveParts("usb_meas:"), -1) << "met by the pull";
    setState("usb_meas:", "inserted 1\n");
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false); // the copy's own short waits run on the real clock
    ASSERT_TRUE(std::filesystem::exists(left));
    drivefault_clear();
    DriveFault hold;
    std::string error;
    ASSERT_TRUE(drivefault_parse("usb_meas:sync:1:hold0", &hold, &error))
        << error; // its data's write-through
    drivefault_arm(hold);
    std::atomic<int> result{1};
    std::thread copy([&] { result = meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"); });
    EXPECT_TRUE(waitUntil([] { return drivefault_holding() == 1; }));
    EXPECT_TRUE(std::filesystem::exists(own));
    EXPECT_FALSE(std::filesystem::exists(left)) << "removed before the copy wrote its own part";
    drivefault_release();
    copy.join();
    drivefault_clear();
    EXPECT_EQ(result, MEAS_COPY_RESULT_DONE);
    EXPECT_TRUE(contains(log(), "meas_app_copyRemoveParts() 'usb_meas:/A0109000.001.part' removed"));
    // The copy's removal went over the whole folder: the arrival's parts are removed.
    closedFile("usb_meas:/A0109000.001.part", 500);
    EXPECT_EQ(meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"), MEAS_COPY_RESULT_DONE);
    EXPECT_TRUE(std::filesystem::exists(left));
    EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == data);
}

// One copy of a file at a time: a second copy of it (the stick put in again while the first runs)
// waits for the first, leaves its part alone and is done with it; and a copy makes read-only only
// the file it wrote: a part put in its place meanwhile is neither renamed into place nor marked.
TEST_F(DiskTest, OneCopyOfAFileAtATimeMakesOnlyWhatItWroteReadOnly) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    const std::string data = closedFile("meas:/A0101000.001", 3 << 20);
    const std::string piece(1000, 'p'); // what the stick kept of the file
    leftByThisRun("usb_meas:/A0101000.001", piece);
    hostclock_setManual(false); // the copies' own short waits run on the real clock
    const std::string part = root.file("usb_meas/A0101000.001.part");
    auto attrOf = [] {
        DriveState s;
        drive_stateRead("usb_meas:", &s);
        return s.attrOf("A0101000.001");
    };
    auto holdTheFirstWriteThrough = [] {
        drivefault_clear();
        DriveFault hold;
        std::string error;
        ASSERT_TRUE(drivefault_parse("usb_meas:sync:1:hold0", &hold, &error)) << error;
        drivefault_arm(hold);
    };

    holdTheFirstWriteThrough();
    std::vector<std::string> lines;
    auto linesWith = [&](const char* text) {
        for (std::string& l : log()) lines.push_back(std::move(l));
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    std::atomic<int> first{1}, second{1}, third{1};
    std::thread one([&] { first = meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"); });
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() == 1; }));
    // Two more (the stick re-seated twice): both wait for the first, and neither copies again.
    std::thread two([&] { second = meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"); });
    std::thread twoMore([&] { third = meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"); });
    EXPECT_TRUE(waitUntil([&] {
        return linesWith("meas_app_copyLastFile() 'usb_meas:/A0101000.001.part' is being copied: this "
                         "copy waits for that one") == 2;
    }));
    std::error_code ec;
    EXPECT_EQ(std::filesystem::file_size(part, ec), data.size())
        << "the first copy's part stays as it wrote it";
    drivefault_release();
    one.join();
    two.join();
    twoMore.join();
    EXPECT_EQ(first, MEAS_COPY_RESULT_DONE);
    EXPECT_EQ(second, MEAS_COPY_RESULT_DONE);
    EXPECT_EQ(third, MEAS_COPY_RESULT_DONE);
    EXPECT_EQ(linesWith("was copied whole by the copy this one waited for"), 2);
    EXPECT_EQ(linesWith("'usb_meas:/A0101000.001' replaced"), 1) << "only the first replaced the piece";
    EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == data);
    EXPECT_EQ(attrOf(), 0x21);
    EXPECT_FALSE(std::filesystem::exists(part));

    // A part replaced while its copy writes it through: the copy fails, the target is as it was.
    writeFile(root.file("usb_meas/A0101000.001"), piece);
    ASSERT_TRUE(drive_stateUpdate("usb_meas:", [](DriveState& s) {
        s.attrs.erase("A0101000.001");
        return true;
    }));
    holdTheFirstWriteThrough();
    std::thread three([&] { first = meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"); });
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() == 1; }));
    writeFile(root.file("usb_meas/other"), std::string(2 << 20, 'o'));
    ASSERT_EQ(bfs_rename("usb_meas:/other", "usb_meas:/A0101000.001.part"), 0);
    drivefault_release();
    three.join();
    drivefault_clear();
    EXPECT_EQ(first, MEAS_COPY_RESULT_FAILED);
    EXPECT_TRUE(readFile(root.file("usb_meas/A0101000.001")) == piece) << "the target is as it was";
    EXPECT_EQ(attrOf(), DRIVE_ATTR_DEFAULT) << "nothing of that name is marked read-only";
    EXPECT_TRUE(contains(log(),
                         "meas_app_copyLastFile() err 'usb_meas:/A0101000.001.part' no longer holds the "
                         "file this copy wrote"));
}

// Every call that may block in a drive is a call of that drive for the watch over hung calls: the
// looks of fexist and fsize, the identity of an open file, and the copy's reads of its source and
// the source's close.
TEST_F(DiskTest, EveryCallThatMayBlockInADriveIsOneOfItsCalls) {
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    hostclock_setManual(false);
    closedFile("meas:/A0101000.001", (3 << 20) + 1000);
    const int fd = bfs_open("meas:/A0101000.001", O_RDONLY);
    ASSERT_GE(fd, 0);
    bfs_fileId id;
    const struct {
        const char* what;
        std::function<void()> call;
    } rows[] = {
        {"fexist", [] { EXPECT_EQ(fexist("meas:/A0101000.001"), 1); }},
        {"fexist of no file", [] { EXPECT_EQ(fexist("meas:/none"), 0); }},
        {"fsize", [] { EXPECT_EQ(fsize("meas:/A0101000.001"), (3 << 20) + 1000); }},
        {"bfs_identity", [&] { EXPECT_EQ(bfs_identity(fd, &id), 0); }},
    };
    for (const auto& r : rows) {
        const uint64_t before = drivecalls_returned("meas:");
        r.call();
        EXPECT_EQ(drivecalls_returned("meas:") - before, 1u) << r.what;
    }
    bfs_close(fd);
    const uint64_t before = drivecalls_returned("meas:");
    EXPECT_EQ(meas_app_copyFile("meas:/A0101000.001", "usb_meas:/A0101000.001"), MEAS_COPY_RESULT_DONE);
    EXPECT_GE(drivecalls_returned("meas:") - before, 4u + 5u + 1u)
        << "the four calls that open the source, its five reads (the last one at its end), its close";
}
