// A drive that fails beside a healthy one: the stick's failure cuts no file of the logging drive,
// the stick is probed meanwhile and joins again once it takes a new file, by a call for the newest
// file only; the writers' other bounds: a cut-back the drive never took is named, a writer stuck
// outside a drive call is dropped, and a drive's record of failed folder write-throughs stays small.
#include "store_fixture.h"

#include "campaign.h"
#include "framework/time_util.h"
#include "logging/disk/meas_app_dirsync.h"
#include "logging/store/store_bfswriter.h"
#include "logging/store/store_sync.h"
#include "logging/store/store_vfile.h"
#include "measfile.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

using namespace storetest;
using testsupport::countContaining;
using testsupport::waitUntil;

namespace {

DriveFault faultOf(const std::string& text) {
    DriveFault f;
    std::string error;
    EXPECT_TRUE(drivefault_parse(text, &f, &error)) << text << ": " << error;
    return f;
}

// The asks for a new file that the logging takes (each would cut every drive), with their reasons.
std::vector<std::string> takeAsks() {
    std::vector<std::string> asks;
    std::string why;
    while (meas_app_PreTrigTakeNewFileAsk(nullptr, &why)) asks.push_back(why);
    return asks;
}

// Every file has data on the stick and nothing is left to write through: a file's data are handed
// over after its creation asked for the folder's write-through, so each entry is settled too.
bool settledOnStick(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::error_code error;
        if (std::filesystem::file_size(path, error) == 0 || error) return false;
    }
    for (const auto& [drive, name] : driveloss_unsafe())
        if (drive == "usb_meas:") return false;
    return measure::store::syncPending() == 0;
}

size_t recordsIn(const std::string& path) {
    return measfile::readFile(path).records.size();
}

} // namespace

// Ten minutes (on the hand-driven clock) of a stick that fails every open: no new file is asked
// for, so the logging drive's files follow the laps alone, while the stick is probed all along and
// nothing says it takes data. Once it takes opens again it is logged on within a second and has
// records within 2 s, by one cut; no spare file follows, nor after a start that follows a stop whose
// file failed there, and its probes left nothing on it. A join whose file fails while the probes
// succeed is followed by another, until a file holds.
TEST_F(StoreTest, ABrokenStickCutsNothingAndJoinsOnceItTakesANewFile) {
    hostclock_setManual(true);
    drivefault_clear();
    takeAsks();
    // A probe takes no device time: the clock moves on once none is under way.
    auto step = [](uint32_t ms) {
        waitUntil([] { return taskNameToId("r_Prb_usb_meas") == TASK_ID_ERROR; }, 2000);
        hostclock_advanceBurstMs(ms);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    };
    // While it waits for a state, the hand-driven clock runs no faster than the wall clock: on a
    // loaded host the tasks that bring the state about get the time that the clock says they had.
    auto stepUntil = [&](const std::function<bool()>& ready, uint32_t maxMs) {
        const auto began = std::chrono::steady_clock::now();
        for (uint32_t ms = 0; ms < maxMs; ms += 10) {
            if (ready()) return true;
            step(10);
            std::this_thread::sleep_until(began + std::chrono::milliseconds(ms + 10));
        }
        return ready();
    };
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(stepUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
    uint32_t seq = 0;
    auto feed = [&](MeasAppStore_FileInfo_s* f) {
        uint32_t first = 0, last = 0;
        put(h, f->vfIdx, codedFrame(1, 6, time_getTimestamp(), 1, seq++, &first, &last), first, last);
    };
    auto close = [&](MeasAppStore_FileInfo_s* f) {
        const std::vector<uint8_t> sb = {'S', 'B'};
        meas_app_PreTrigPutMetaDataVfCopy(h, f->vfIdx, sb.data(), uint32_t(sb.size()), MEAS_META_STATUSBLOCK);
        meas_app_PreTrigCloseFile(h, f->vfIdx);
    };
    MeasAppStore_FileInfo_s* f1 = fileInfo("A0101000.001", time_getTimestamp());
    meas_app_PreTrigOpenFile(h, f1);
    ASSERT_TRUE(stepUntil(
        [&] {
            feed(f1);
            return recordsIn(usbFile("A0101000.001")) > 0;
        },
        5000));

    // From now on every open of the stick fails; the lap's file cannot be made there. The test
    // cuts a file at each ask, as the logging does.
    DriveFault broken = faultOf("usb_meas:open:1:EIO:0");
    broken.nth = drivefault_calls("usb_meas:", DRIVE_OP_OPEN) + 1;
    drivefault_arm(broken);
    const uint32_t probesBefore = drivefault_taskCalls("usb_meas:", DRIVE_OP_OPEN, "r_Prb_usb_meas");
    MeasAppStore_FileInfo_s* cur = f1;
    int fragment = 0;
    auto cut = [&] {
        char name[16];
        std::snprintf(name, sizeof name, "A0102000.0%02x", ++fragment);
        MeasAppStore_FileInfo_s* next = fileInfo(name, time_getTimestamp(), 2);
        meas_app_PreTrigOpenFile(h, next);
        feed(next);
        close(cur);
        cur = next;
    };
    std::vector<std::string> asks;
    auto second = [&] {
        feed(cur);
        for (int i = 0; i < 10; ++i) step(100);
        for (const std::string& a : takeAsks()) {
            asks.push_back(a);
            cut();
        }
    };
    cut(); // the lap
    for (int s = 0; s < 600; ++s) second();
    EXPECT_TRUE(asks.empty()) << asks.size() << " new files asked for, the first: " << asks.front();
    EXPECT_EQ(campaign::measurementFiles(root.file("meas")),
              (std::vector<std::string>{"A0101000.001", "A0102000.001"}));
    const uint32_t probes = drivefault_taskCalls("usb_meas:", DRIVE_OP_OPEN, "r_Prb_usb_meas") - probesBefore;
    // About four times a second; a probe that the loaded host has not ended when the clock moves on
    // takes the next one's turn.
    EXPECT_GE(probes, 900u) << "the stick is probed all along";
    std::vector<std::string> lines = log();
    EXPECT_EQ(countContaining(lines, "usb_meas: takes no new file (a probe failed at its create"), 1);
    EXPECT_EQ(countContaining(lines, "takes data again"), 0);
    EXPECT_EQ(countContaining(lines, "failed its last new file"), 0);

    // The stick takes opens again: one new file is asked for, and the stick has records in it
    // within 2 s.
    drivefault_clear();
    asks.clear();
    const uint32_t back = time_getTimestamp();
    auto since = [&] { return (time_getTimestamp() - back) / 10; }; // ms
    ASSERT_TRUE(stepUntil(
        [&] {
            feed(cur);
            asks = takeAsks();
            return !asks.empty();
        },
        5000));
    EXPECT_EQ(asks, (std::vector<std::string>{"the drive 'usb_meas:' answers again"}));
    EXPECT_LE(since(), 1000u);
    cut();
    const std::string joined = usbFile("A0102000.002");
    ASSERT_TRUE(stepUntil(
        [&] {
            feed(cur);
            return recordsIn(joined) > 0;
        },
        5000));
    EXPECT_LE(since(), 2000u);
    ASSERT_TRUE(stepUntil(
        [&] {
            feed(cur);
            return countContaining(
                       log(), "usb_meas: takes data again: logging goes on in usb_meas:/A0102000.002") > 0;
        },
        5000));
    // No spare file once it is back.
    for (int s = 0; s < 10; ++s) second();
    EXPECT_EQ(asks.size(), 1u) << asks.back();

    // A stop whose file fails on the stick (its read-only byte), then a start: the new file asked
    // for while stopped cuts nothing, and the start's file is no reason for another.
    DriveFault once = faultOf("usb_meas:chmod:1:EIO");
    once.nth = drivefault_calls("usb_meas:", DRIVE_OP_CHMOD) + 1;
    drivefault_arm(once);
    close(cur);
    ASSERT_TRUE(stepUntil(
        [&] { return countContaining(log(), "A0102000.002 is not finished on usb_meas:") > 0; }, 5000));
    for (int i = 0; i < 30; ++i) step(100);
    asks = takeAsks(); // logging does not run: no file is cut
    MeasAppStore_FileInfo_s* started = fileInfo("A0102000.003", time_getTimestamp(), 2);
    meas_app_PreTrigOpenFile(h, started);
    cur = started;
    for (int s = 0; s < 10; ++s) second();
    EXPECT_LE(asks.size(), 1u) << asks.back();
    close(cur);
    ASSERT_TRUE(stepUntil([&] { return readOnly(usbFile("A0102000.003")); }, 5000));
    EXPECT_EQ(campaign::measurementFiles(root.file("usb_meas")),
              (std::vector<std::string>{"A0101000.001", "A0102000.002", "A0102000.003"}));
    EXPECT_FALSE(std::filesystem::exists(root.file(std::string("usb_meas/") + measure::store::kProbeName)));

    // Its writer's opens fail 3 times while its probes succeed: a join's file is not its last try.
    // It joins again, one file each time, 1 s to 10 s apart, and nothing more once a file holds.
    cur = fileInfo("A0103000.001", time_getTimestamp(), 3);
    meas_app_PreTrigOpenFile(h, cur);
    fragment = 3;
    ASSERT_TRUE(stepUntil(
        [&] {
            feed(cur);
            return recordsIn(usbFile(cur->name)) > 0;
        },
        5000));
    DriveFault refused = faultOf("usb_meas:open:1:EIO:3@r_USBWriter1");
    refused.nth = drivefault_taskCalls("usb_meas:", DRIVE_OP_OPEN, "r_USBWriter1") + 1;
    drivefault_arm(refused);
    cut();                    // a lap whose file fails there
    std::vector<uint32_t> at; // ms, as the test's steps of 0.1 s see them
    for (uint32_t ms = 0; ms < 30000; ms += 100) {
        feed(cur);
        step(100);
        for (const std::string& a : takeAsks()) {
            EXPECT_TRUE(at.empty() ||
                        a.find("answers its probes but failed its last new file") != std::string::npos)
                << a;
            at.push_back(time_getTimestamp() / 10);
            cut();
        }
    }
    ASSERT_EQ(at.size(), 3u) << "the lap's file, the join's and a try again fail, the next holds";
    for (size_t i = 1; i < at.size(); ++i)
        EXPECT_TRUE(at[i] - at[i - 1] >= 900 && at[i] - at[i - 1] <= 10100);
    EXPECT_GT(recordsIn(usbFile(cur->name)), 0u);
    hostclock_setManual(false); // the store's tasks end on the clock's ticks
    meas_app_PreTrigDelete(h);
    drivefault_clear();
}

// Files whose write-through failed on a stick that never takes their cut-back: the 17th finds 16
// waiting and is named at once, and the 16 left when the store goes are named then. None is
// dropped without a line.
TEST_F(StoreTest, ACutBackTheDriveNeverTakesIsNamed) {
    drivefault_clear();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    constexpr int kFiles = 17;
    std::vector<MeasAppStore_FileInfo_s*> files;
    for (int k = 1; k <= kFiles; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "A0101000.%03d", k);
        MeasAppStore_FileInfo_s* f = fileInfo(name);
        meas_app_PreTrigOpenFile(h, f);
        for (int i = 0; i < 5; ++i) put(h, f->vfIdx, frame(1, 1, {uint8_t(i), 1, 2, 3, 4, 5}), 1000, 1000);
        files.push_back(f);
    }
    // The write-through tasks write the folder through as well: its files' entries are on the stick
    // before the write-throughs fail, so that each file fails for its data. A file's data are handed
    // over after its creation asked for the folder's write-through, so once every file has data and
    // no write-through is left, each entry is settled.
    std::vector<std::string> paths;
    for (MeasAppStore_FileInfo_s* f : files) paths.push_back(usbFile(f->name));
    ASSERT_TRUE(waitUntil([&] { return settledOnStick(paths); }, 10000));
    drivefault_arm(faultOf("usb_meas:sync:1:EIO:0@r_BFSSync*")); // each write-through
    drivefault_arm(faultOf("usb_meas:truncate:1:EIO:0"));
    for (MeasAppStore_FileInfo_s* f : files) {
        const std::vector<uint8_t> sb = {'S', 'B'};
        meas_app_PreTrigPutMetaDataVfCopy(h, f->vfIdx, sb.data(), uint32_t(sb.size()), MEAS_META_STATUSBLOCK);
        meas_app_PreTrigCloseFile(h, f->vfIdx);
    }
    // A close's failure reaches its writer after its line: the 17th cut-back finds 16 waiting.
    std::vector<std::string> lines;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const std::string& l : log()) lines.push_back(l);
            return countContaining(lines,
                                   "is not finished on usb_meas: its data could not be written through") ==
                       kFiles &&
                   countContaining(lines, "(16 other cut-backs wait for the drive)") > 0;
        },
        20000));
    meas_app_PreTrigDelete(h);
    for (const std::string& l : log()) lines.push_back(l);
    EXPECT_EQ(countContaining(lines, "(16 other cut-backs wait for the drive)"), 1);
    EXPECT_EQ(countContaining(lines, "(its writer ended before the drive took it)"), kFiles - 1);
    // Its last good write-through: none, or the writer's background one, if it came first.
    for (int k = 1; k <= kFiles; ++k) {
        char name[64];
        std::snprintf(name, sizeof name, "usb_meas:/A0101000.%03d is not cut back to its last good", k);
        EXPECT_EQ(countContaining(lines, name), 1) << name;
    }

    // A close still under way when its store goes: its cut-back is named once it fails.
    drivefault_clear();
    h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* late = fileInfo("A0102000.001", 2000, 2);
    meas_app_PreTrigOpenFile(h, late);
    put(h, late->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 2000, 2000);
    ASSERT_TRUE(waitUntil([&] { return settledOnStick({usbFile("A0102000.001")}); }, 10000));
    drivefault_arm(faultOf("usb_meas:sync:1:hold0@r_BFSSync*")); // the close's hand-over
    drivefault_arm(faultOf("usb_meas:sync:2:EIO:0@r_BFSSync*"));
    drivefault_arm(faultOf("usb_meas:truncate:1:EIO:0"));
    put(h, late->vfIdx, frame(1, 1, {7, 8, 9, 1, 2, 3}), 2001, 2001);
    meas_app_PreTrigCloseFile(h, late->vfIdx);
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() > 0; }, 10000));
    meas_app_PreTrigDelete(h);
    drivefault_release();
    EXPECT_TRUE(waitUntil(
        [&] {
            return countContaining(log(),
                                   "usb_meas:/A0102000.001 is not cut back to its last good write-through "
                                   "at") > 0;
        },
        10000));
    drivefault_clear();
    takeAsks();
}

// A stick that failed the newest file and took the next one is logged on again by a call for that
// one: the close of an older file that ends whole meanwhile (its news comes after its entry is let
// go) says nothing of the drive, and the newest one's says that it takes data again: a whole close
// is no join, and asks for no file.
TEST_F(StoreTest, ADriveTakesDataAgainOnlyForTheNewestFile) {
    drivefault_clear();
    takeAsks();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    auto open = [&](const char* name, uint32_t ts) {
        MeasAppStore_FileInfo_s* f = fileInfo(name, ts, 2);
        meas_app_PreTrigOpenFile(h, f);
        put(h, f->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), ts, ts);
        return f;
    };
    MeasAppStore_FileInfo_s* older = open("A0101000.001", 1000);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(usbFile("A0101000.001")); }, 5000));
    DriveFault refused = faultOf("usb_meas:open:1:EIO@r_USBWriter1");
    refused.nth = drivefault_taskCalls("usb_meas:", DRIVE_OP_OPEN, "r_USBWriter1") + 1;
    drivefault_arm(refused);
    MeasAppStore_FileInfo_s* failed = open("A0101000.002", 2000);
    ASSERT_TRUE(waitUntil([] { return !takeAsks().empty(); }, 5000)); // a probe succeeded
    // The new file is closed at once, its read-only byte held; the older one closes whole.
    drivefault_arm(faultOf("usb_meas:chmod:1:hold0@r_BFSSync*"));
    MeasAppStore_FileInfo_s* newer = open("A0101000.003", 3000);
    // A join asked before the newer file was cut is overtaken by it: that file is the drive's try.
    meas_app_PreTrigAskNewFile(0, "before", failed->vfIdx);
    meas_app_PreTrigAskNewFile(0, "after", newer->vfIdx);
    std::map<std::string, bool> overtaken;
    std::string why;
    for (bool over = false; meas_app_PreTrigTakeNewFileAsk(nullptr, &why, &over);) overtaken[why] = over;
    EXPECT_TRUE(overtaken["before"]);
    EXPECT_FALSE(overtaken["after"]);
    meas_app_PreTrigCloseFile(h, newer->vfIdx);
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() > 0; }, 5000));
    meas_app_PreTrigCloseFile(h, older->vfIdx);
    ASSERT_TRUE(waitUntil([&] { return readOnly(usbFile("A0101000.001")); }, 5000));
    std::vector<std::string> lines = log();
    EXPECT_EQ(countContaining(lines, "takes data again"), 0)
        << "the older file's close says nothing of the drive";
    drivefault_release();
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const std::string& l : log()) lines.push_back(l);
            return countContaining(
                       lines, "usb_meas: takes data again: logging goes on in usb_meas:/A0101000.003") > 0;
        },
        5000));
    EXPECT_TRUE(takeAsks().empty()) << "a whole close is no join";
    meas_app_PreTrigCloseFile(h, failed->vfIdx);
    meas_app_PreTrigDelete(h);
    drivefault_clear();
    takeAsks();
}

// A probe that hangs when its store goes (as at the shutdown) is named, with the file it may leave;
// the next store's start removes that file on the stick and names it.
TEST_F(StoreTest, AProbeThatHangsAtTheEndIsNamedAndItsFileRemovedAtTheNextStart) {
    drivefault_clear();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    drivefault_arm(faultOf("usb_meas:open:1:EIO@r_USBWriter1"));
    drivefault_arm(faultOf("usb_meas:write:1:hold0@r_Prb_usb_meas")); // after the probe's create
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    meas_app_PreTrigOpenFile(h, f);
    put(h, f->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 1000, 1000);
    const std::string left = usbFile(measure::store::kProbeName);
    ASSERT_TRUE(waitUntil([&] { return drivefault_holding() > 0 && std::filesystem::exists(left); }, 10000));
    meas_app_PreTrigCloseFile(h, f->vfIdx);
    meas_app_PreTrigDelete(h);
    std::vector<std::string> lines = log();
    EXPECT_EQ(countContaining(lines, "a probe of usb_meas: has not ended: usb_meas:/~msdprob.tmp may stay"),
              1);
    h = meas_app_PreTrigInit(0, 0.0f);
    EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(left); }, 10000));
    EXPECT_TRUE(waitUntil([&] {
        for (const std::string& l : log()) lines.push_back(l);
        return countContaining(lines,
                               "usb_meas:/~msdprob.tmp, left by a probe that did not end, is removed") == 1;
    }));
    drivefault_release();
    meas_app_PreTrigDelete(h);
    drivefault_clear();
    takeAsks();
}

// A writer stuck outside a drive call (here on the store's file table, held elsewhere) is dropped
// once it has not come round for 10 s, as one stuck in a call of its drive is: its file is
// unfinished on the drive, and once it is free it logs on again in the next file.
TEST_F(StoreTest, AWriterStuckOutsideItsDriveIsDroppedAfterTenSeconds) {
    setUsbInserted(false);
    takeAsks();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f1 = fileInfo("A0101000.001");
    meas_app_PreTrigOpenFile(h, f1);
    ASSERT_TRUE(waitUntil(
        [&] {
            put(h, f1->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 1000, 1000);
            return testsupport::readBinary(measFile("A0101000.001")).size() > f1->headerLength;
        },
        5000));
    const auto stuck = std::chrono::steady_clock::now();
    MeasAppStore_FileInfo_s* f2 = fileInfo("A0102000.001", 2000, 2);
    f2->refs = 1; // the test's own, to read its record
    {
        measure::store::ScopeLock table(measure::store::virtualFiles, "the test");
        meas_app_PreTrigOpenFile(h, f2);
        put(h, f2->vfIdx, frame(1, 1, {7, 8, 9, 1, 2, 3}), 2000, 2000);
        // The Backend looks at its writers from its start on.
        std::vector<std::string> lines;
        EXPECT_TRUE(waitUntil(
            [&] {
                for (std::string& l : log()) lines.push_back(std::move(l));
                return countContaining(lines, "removing writer r_BFSWriter1") > 0;
            },
            45000));
        // Its drive answers all along: it is the writer that stopped.
        EXPECT_EQ(countContaining(lines, "removing writer r_BFSWriter1 (0) that is no longer alive!"), 1);
        EXPECT_GE(std::chrono::steady_clock::now() - stuck, std::chrono::seconds(10));
    }
    // Free again: it logs on in the next file, which closes whole.
    EXPECT_TRUE(waitUntil([] { return !takeAsks().empty(); }, 5000));
    MeasAppStore_FileInfo_s* f3 = fileInfo("A0102000.002", 3000, 2);
    meas_app_PreTrigOpenFile(h, f3);
    meas_app_PreTrigCloseFile(h, f2->vfIdx);
    put(h, f3->vfIdx, frame(1, 1, {4, 5, 6, 7, 8, 9}), 3000, 3000);
    meas_app_PreTrigCloseFile(h, f3->vfIdx);
    EXPECT_TRUE(waitUntil([&] { return readOnly(measFile("A0102000.002")); }, 10000));
    EXPECT_FALSE(readOnly(measFile("A0102000.001")));
    EXPECT_STREQ(f2->reason, "its writer is stuck: nothing for 10 s");
    meas_app_PreTrigFileInfoRelease(f2);
    meas_app_PreTrigCloseFile(h, f1->vfIdx);
    meas_app_PreTrigDelete(h);
}

// A drive's failed folder write-throughs are kept as runs, at most 256 of them: a drive that fails
// for long is one run, and an entry older than the runs kept counts as lost, never as written
// through. The entries of the runs kept are told right.
TEST_F(StoreTest, FailedFolderWriteThroughsAreKeptInBoundedRuns) {
    drivefault_clear();
    auto writeThrough = [](bool good, uint32_t times = 1) {
        if (!good) {
            DriveFault f = faultOf("meas:sync:1:EIO");
            f.nth = drivefault_calls("meas:", DRIVE_OP_SYNC) + 1;
            f.times = times;
            drivefault_arm(f);
        }
        for (uint32_t i = 0; i < times; ++i) EXPECT_EQ(meas_app_dirSync("meas:", false), good);
    };
    const uint32_t runs = meas_app_dirSyncLostRuns("meas:"); // earlier tests' failures
    const uint32_t old = meas_app_dirSyncMark("meas:");
    writeThrough(true);
    const uint32_t lost = meas_app_dirSyncMark("meas:");
    writeThrough(false, 5000);
    EXPECT_EQ(meas_app_dirSyncLostRuns("meas:"), std::min(runs + 1, 256u));
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", old), 1);
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", lost), -1);
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", lost + 4000), -1);
    uint32_t good = 0, failed = 0;
    for (int i = 0; i < 1000; ++i) {
        failed = meas_app_dirSyncMark("meas:");
        writeThrough(false);
        good = meas_app_dirSyncMark("meas:");
        writeThrough(true);
    }
    EXPECT_EQ(meas_app_dirSyncLostRuns("meas:"), 256u);
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", good), 1);
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", failed), -1);
    EXPECT_EQ(meas_app_dirSyncEntry("meas:", old), -1) << "no longer known: lost";
    drivefault_clear();
}
