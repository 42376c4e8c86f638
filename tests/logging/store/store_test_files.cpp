// Measurement files written through the store's C interface: header, descriptor table, header
// records, frames and meta records in the order handed over, on the logging drive and the USB drive.
#include "store_fixture.h"

#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "measdata/crc.h"
#include "measfile.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_fault.h"
#include "platform/drives/drive_loss.h"
#include "smalldisk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

using namespace storetest;
using testsupport::readBinary;
using testsupport::waitUntil;

// A record before the first frame opens the file; bytes whose count lands on exactly 16384 still
// reach the drive within a second; a frame that comes after the close leaves the closed file alone.
// The store's tasks, the drive's write-through tasks among them, run on processor 0.
TEST_F(StoreTest, WritesOpenLazilyAndFlushInTime) {
    setUsbInserted(false);
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    const uint32_t t0 = time_getTimestamp();
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001", t0);
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    ASSERT_GE(vf, 0);
    size_t total = f->headerLength;
    const std::vector<uint8_t> sb = {'S', 't', 'a', 't', 'e'};
    meas_app_PreTrigPutMetaDataVfCopy(h, vf, sb.data(), uint32_t(sb.size()), MEAS_META_STATUSBLOCK);
    total += 6 + sb.size();
    for (int i = 0; i < 5; ++i) {
        uint32_t first, last;
        const auto fr = codedFrame(1, 6, t0 + 1000 * uint32_t(i), 10, uint32_t(i), &first, &last);
        put(h, vf, fr, first, last);
        total += fr.size();
    }
    // A large event, then a small one that ends exactly at 16384 bytes and stays in the stream's buffer.
    const std::vector<uint8_t> pad(16384 - 10 - total - 6, 0x5A);
    meas_app_PreTrigPutMetaDataVfCopy(h, vf, pad.data(), uint32_t(pad.size()), MEAS_META_EVENT);
    const std::vector<uint8_t> last = {1, 2, 3, 4};
    meas_app_PreTrigPutMetaDataVfCopy(h, vf, last.data(), 4, MEAS_META_EVENT);
    EXPECT_TRUE(waitUntil([&] { return readBinary(measFile("A0101000.001")).size() == 16384; }, 3000));
    EXPECT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 3000));

    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([&] { return readOnly(measFile("A0101000.001")); }, 5000));
    put(h, vf, codedFrame(1, 6, t0 + 9000, 3, 9), t0 + 9000, t0 + 9020);
    ASSERT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
    const measfile::File file = measfile::readFile(measFile("A0101000.001"));
    ASSERT_TRUE(file.ok()) << file.error;
    EXPECT_FALSE(file.truncated);
    EXPECT_EQ(readBinary(measFile("A0101000.001")).size(), 16384u);
    EXPECT_EQ(file.records.size(), 50u);
    ASSERT_EQ(file.metas.size(), 6u); // configuration, start, car, status block, two events
    EXPECT_EQ(file.metas[3].type, MEAS_META_STATUSBLOCK);
    EXPECT_EQ(file.metas[3].payload, sb);
    EXPECT_EQ(headerWritten, 1);
    for (const char* task : {"r_MeasPretrig0", "r_MeasBackend1", "r_BFSWriter1", "r_BFSSync_meas",
                             "r_BFSSync1_meas", "r_BFSSync2_meas", "r_BFSSync3_meas"}) {
        cpuset_t cpus = 0;
        EXPECT_EQ(taskCpuAffinityGet(taskNameToId(task), &cpus), OK) << task;
        EXPECT_EQ(cpus, cpuset_t(1)) << task;
    }
    meas_app_PreTrigDelete(h);
}

// A drive that runs full cuts the file back to its last complete record, and the writer holds the
// rest; with room again the same file is finished whole: nothing lost, then read-only.
TEST_F(StoreTest, FullDriveKeepsCompleteRecordsAndFinishesTheFileOnceThereIsRoom) {
    testsupport::SmallDisk disk(256 * 1024);
    if (!disk.ok()) GTEST_SKIP() << disk.reason();
    const std::string saved = devroot_path();
    devroot_set(disk.file("root"));
    std::string error;
    ASSERT_TRUE(devroot_prepare(&error)) << error;
    setUsbInserted(false);
    testsupport::writeFile(disk.file("room"), std::string(128 * 1024, 'r'));
    config.blk[0].recordSize = 64;
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    const uint32_t t0 = time_getTimestamp();
    MeasAppStore_FileInfo_s* f1 = fileInfo("A0101000.001", t0);
    meas_app_PreTrigOpenFile(h, f1);
    const int vf1 = f1->vfIdx;
    constexpr int kFrames = 60; // about 190 KiB: more than the drive has room for, less than it holds
    for (int i = 0; i < kFrames; ++i) {
        uint32_t first, last;
        put(h, vf1, codedFrame(1, 64, t0 + 1000 * uint32_t(i), 50, uint32_t(i), &first, &last), first, last);
    }
    meas_app_PreTrigCloseFile(h, vf1);
    const std::string path = disk.file("root/meas/A0101000.001");
    ASSERT_TRUE(
        waitUntil([&] { return testsupport::countContaining(log(), "last complete record") > 0; }, 10000));
    const measfile::File cut = measfile::readFile(path);
    ASSERT_TRUE(cut.ok()) << cut.error;
    EXPECT_FALSE(cut.truncated);
    EXPECT_LT(cut.records.size(), kFrames * 50u);
    EXPECT_EQ(cut.records.size() % 50, 0u); // whole frames only
    EXPECT_EQ(meas_app_PreTrigIsOfflineDataFlushed(), 0) << "the writer holds what did not fit";

    std::remove(disk.file("room").c_str());
    ASSERT_TRUE(waitUntil([&] { return readOnly(path); }, 20000));
    const measfile::File whole = measfile::readFile(path);
    ASSERT_TRUE(whole.ok()) << whole.error;
    ASSERT_EQ(whole.records.size(), kFrames * 50u) << "nothing lost while the drive was full";
    for (size_t k = 0; k < whole.records.size(); ++k)
        ASSERT_EQ(whole.records[k].ts, t0 + 1000 * uint32_t(k / 50) + 10 * uint32_t(k % 50))
            << "record " << k;
    meas_app_PreTrigDelete(h);
    devroot_set(saved);
}

// A drive that takes a part of each try at going on (half of it, then fails for want of room):
// the log always says where the file ends as it is on the drive.
TEST_F(StoreTest, ADriveThatTakesALittleMoreAtEachTryIsToldWhereTheFileEnds) {
    setUsbInserted(false);
    DriveFault full;
    std::string error;
    ASSERT_TRUE(drivefault_parse("meas:write:2:ENOSPC:0", &full, &error)) << error;
    drivefault_arm(full);
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    meas_app_PreTrigOpenFile(h, f);
    for (int handOver = 0; handOver < 2; ++handOver) { // the second is the drive's second write
        for (int i = 0; i < 40; ++i)
            put(h, f->vfIdx, frame(1, 1, {uint8_t(i), 1, 2, 3, 4, 5, 6, 7}), 1000, 1000);
        meas_app_PreTrigFlushFile(h, f->vfIdx);
        ASSERT_TRUE(
            waitUntil([&] { return drivefault_calls("meas:", DRIVE_OP_WRITE) > uint32_t(handOver); }));
    }
    const std::string path = devroot_path() + "/meas/A0101000.001";
    std::string told;
    auto agree = [&] {
        for (const std::string& line : log()) {
            const size_t at = line.find("ends with its last complete record at ");
            if (at != std::string::npos) told = line.substr(at + 38);
        }
        return !told.empty() && std::stoull(told) == testsupport::readBinary(path).size();
    };
    // Each new record tries to go on (once a second): three tries after the first cut, each taking
    // a little more.
    for (int i = 0; i < 200 && drivefault_calls("meas:", DRIVE_OP_WRITE) < 5; ++i) {
        put(h, f->vfIdx, frame(1, 1, {uint8_t(i), 9, 9, 9, 9, 9, 9, 9}), 1000, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the records' pace
    }
    EXPECT_GE(drivefault_calls("meas:", DRIVE_OP_WRITE), 5u);
    EXPECT_TRUE(waitUntil(agree, 2000))
        << "told " << told << ", the file holds " << testsupport::readBinary(path).size();
    drivefault_clear();
    meas_app_PreTrigDelete(h);
}

// The header of a known file: its CRC leaves out length, CRC and date; the name follows the counters.
TEST_F(StoreTest, GoldenHeader) {
    OneBlockConfig two(2);
    config = two;
    config.cfg.BlkInfo = config.blk.data();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    char name[40];
    ASSERT_GT(LapOutFra_genFilenameAbsLap(name, sizeof name, 0, 3, 12, 2, 0x01A7), 0);
    EXPECT_STREQ(name, "A030c01a.702");
    MeasAppStore_FileInfo_s* f = fileInfo(name, 0, 12);
    f->outing = 3;
    f->fragment = 2;
    f->absLap = 0x01A7;
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    put(h, vf, frame(2, 1, {9, 9}), 777, 777);
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([&] { return readOnly(measFile(name)); }, 10000));
    const auto file = readBinary(measFile(name));
    ASSERT_GE(file.size(), 42u);
    const std::vector<uint8_t> fixed = {0x00, 0x2A, 'M', 'e', 'a', 's', 'D', 'a', 't',  'a',  ' ',  'v',
                                        '6',  '.',  '0', 0,   0,   0,   0,   6,   0xDA, 0x07, 0xED, 0xCB,
                                        0x12, 0x34, 0,   12,  0,   3,   0,   2,   2,    0};
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 34), fixed);
    EXPECT_EQ(file[40], 0x01);
    EXPECT_EQ(file[41], 0xA7);
    // Zeroing length, CRC and date gives back the CRC.
    std::vector<uint8_t> copy(file.begin(), file.begin() + 42);
    for (int i : {0, 1, 20, 21, 34, 35, 36, 37, 38, 39}) copy[size_t(i)] = 0;
    EXPECT_EQ(crc16_ccitt_lsb_accu(copy.data(), 42, 0xFFFF), 0xDA07);
    // A start stamp of 0 becomes the first sample's stamp of the first frame.
    const size_t start = 42 + 2 * 9 + 6 + blob.size();
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + long(start), file.begin() + long(start) + 10),
              (std::vector<uint8_t>{0xFF, 4, 0, 0, 0, 4, 0, 0, 0x03, 0x09}));
    meas_app_PreTrigDelete(h);
}

// A close goes on beside its writer, on the drive's write-through tasks: a store that goes
// meanwhile (a destroy answered at its bound) leaves the file to it, which ends it whole.
TEST_F(StoreTest, AStoreThatGoesWhileACloseGoesOnLeavesTheFileToIt) {
    setUsbInserted(false);
    drivefault_clear();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001");
    f->refs = 1; // the test's own, to read its record
    meas_app_PreTrigOpenFile(h, f);
    put(h, f->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 1000, 1000);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(measFile("A0101000.001")); }, 5000));
    DriveFault held;
    std::string error;
    ASSERT_TRUE(drivefault_parse("meas:chmod:1:hold0@r_BFSSync*", &held, &error)) << error;
    drivefault_arm(held);
    meas_app_PreTrigCloseFile(h, f->vfIdx);
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() > 0; }, 5000));
    meas_app_PreTrigDelete(h);
    drivefault_release();
    EXPECT_TRUE(waitUntil([&] { return readOnly(measFile("A0101000.001")); }, 5000));
    EXPECT_TRUE(waitUntil([&] { return f->closedOn.load() != 0; }, 5000));
    EXPECT_EQ(f->failedOn.load(), 0u) << f->reason;
    meas_app_PreTrigFileInfoRelease(f);
    drivefault_clear();
}

// A file that could not be created for want of room is created once there is room by the rule of
// its open: never over a file of that name that came meanwhile, on either drive (it stays, and the
// file is named).
TEST_F(StoreTest, AFileCreatedOnceThereIsRoomNeverWritesOverAFileOfThatNameThatCameMeanwhile) {
    struct Row {
        const char* fault;
        bool stick;
    };
    for (const Row& row :
         {Row{"meas:open:1:ENOSPC@r_BFSWriter1", false}, Row{"usb_meas:open:1:ENOSPC@r_USBWriter1", true}}) {
        SCOPED_TRACE(row.fault);
        drivefault_clear();
        setUsbInserted(row.stick);
        DriveFault full;
        std::string error;
        ASSERT_TRUE(drivefault_parse(row.fault, &full, &error)) << error;
        drivefault_arm(full);
        const std::string name = row.stick ? "A0101000.002" : "A0101000.001";
        const std::string path = row.stick ? usbFile(name) : measFile(name);
        void* h = meas_app_PreTrigInit(0, 0.0f);
        ASSERT_NE(h, nullptr);
        MeasAppStore_FileInfo_s* f = fileInfo(name.c_str());
        meas_app_PreTrigOpenFile(h, f);
        put(h, f->vfIdx, frame(1, 1, {1, 2, 3, 4, 5, 6}), 1000, 1000);
        std::vector<std::string> lines;
        auto logged = [&](const std::string& text) {
            return waitUntil(
                [&] {
                    for (std::string& l : log()) lines.push_back(std::move(l));
                    return testsupport::countContaining(lines, text) > 0;
                },
                10000);
        };
        ASSERT_TRUE(logged(name + " cannot be created yet: the drive is full"));
        const std::string theirs = "a file of someone else's";
        testsupport::writeFile(path, theirs);
        meas_app_PreTrigCloseFile(h, f->vfIdx); // goes on at once, with room again
        EXPECT_TRUE(logged(name + " is not finished on " + (row.stick ? "usb_meas:" : "meas:") +
                           " a file of that name is on the drive and is never written over"));
        EXPECT_EQ(readBinary(path), std::vector<uint8_t>(theirs.begin(), theirs.end()));
        EXPECT_FALSE(readOnly(path));
        meas_app_PreTrigDelete(h);
        drivefault_clear();
    }
    std::string why;
    while (meas_app_PreTrigTakeNewFileAsk(nullptr, &why)) {
    }
}

namespace {

bool unsafeOnMeas(const std::string& name) {
    for (const auto& [drive, file] : driveloss_unsafe())
        if (drive == "meas:" && file == name) return true;
    return false;
}

void arm(const char* text) {
    DriveFault fault;
    std::string error;
    ASSERT_TRUE(drivefault_parse(text, &fault, &error)) << error;
    drivefault_arm(fault);
}

} // namespace

// Closes that wait for a slow drive (each read-only mark held) hold back neither the next file's
// write-throughs nor its folder's: its records and its entry reach the disk while five closes wait.
TEST_F(StoreTest, ClosesThatWaitForTheDriveHoldBackNoOpenFilesWriteThrough) {
    setUsbInserted(false);
    drivefault_clear();
    arm("meas:chmod:1:hold0:0@r_BFSSync*");
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    const uint32_t t0 = time_getTimestamp();
    const char* const names[] = {"A0101000.001", "A0102000.101", "A0103000.201",
                                 "A0104000.301", "A0105000.401", "A0106000.501"};
    for (int i = 0; i < 5; ++i) {
        MeasAppStore_FileInfo_s* f = fileInfo(names[i], t0, uint16_t(i + 1));
        meas_app_PreTrigOpenFile(h, f);
        put(h, f->vfIdx, codedFrame(1, 6, t0 + 100 * i, 5, i), t0 + 100 * i, t0 + 100 * i + 40);
        meas_app_PreTrigCloseFile(h, f->vfIdx);
    }
    // At least as many as the drive has write-through tasks to begin with.
    ASSERT_TRUE(waitUntil([] { return drivefault_holding() >= 4; }, 10000))
        << drivefault_holding() << " of the five closes wait at their read-only mark";
    MeasAppStore_FileInfo_s* f = fileInfo(names[5], t0, 6);
    meas_app_PreTrigOpenFile(h, f);
    put(h, f->vfIdx, codedFrame(1, 6, t0 + 1000, 10, 6), t0 + 1000, t0 + 1090);
    EXPECT_TRUE(waitUntil(
        [&] { return readBinary(measFile(names[5])).size() > f->headerLength && !unsafeOnMeas(names[5]); },
        5000))
        << "the open file's records or its entry are not written through";
    drivefault_clear(); // the marks go on
    meas_app_PreTrigCloseFile(h, f->vfIdx);
    for (const char* name : names)
        EXPECT_TRUE(waitUntil([&] { return readOnly(measFile(name)); }, 5000)) << name;
    meas_app_PreTrigDelete(h);
    drivefault_clear();
}

// Records that reach no drive are named once, with the file and each block's span in the device's
// time: a file its only drive failed at its create (every record skipped), or at a later hand-over
// (those of each block after the last it handed over: the 10 ms block's frame, older than the 1 ms
// block's frames handed before it, too), or whose writer hangs with records in hand and more in the
// store; when its record is let go, or at the exit while it is held. A file whole on its drive is
// named never.
TEST_F(StoreTest, RecordsThatReachNoDriveAreNamedOnceWithEachBlocksSpan) {
    OneBlockConfig two(2);
    struct Row {
        const char* fault;
        int handed;       // frames handed over (and looked for in the file) before the fault
        bool closed;      // else still held at the exit
        const char* fast; // block 1's span named, in tenths of a millisecond after t0 ("" none)
        const char* slow; // block 2's
    };
    // Frames in the store's order: block 1 [0, 90], block 2 [0, 90]; block 1 [1000, 1090]; block 2
    // [500, 1490]; block 1 [2000, 2090]; block 1 [3000, 3090].
    int rowNo = 0;
    for (const Row row : {
             Row{"meas:open:1:EIO@r_BFSWriter1", 0, true, "from 0 to 3090", "from 0 to 1490"},
             Row{"meas:write:2:EIO", 2, true, "after 90 to 3090", "after 90 to 1490"},
             Row{"meas:write:3:EIO", 3, true, "after 1090 to 3090", "after 90 to 1490"},
             Row{"meas:open:1:EIO@r_BFSWriter1", 0, false, "from 0 to 3090", "from 0 to 1490"},
             Row{"meas:write:2:hold0", 2, false, "after 90 to 3090", "after 90 to 1490"},
             Row{"", 6, true, "", ""},
         }) {
        // A file of its own each row.
        const std::string name = "A0101000.00" + std::to_string(++rowNo);
        SCOPED_TRACE(std::string(*row.fault ? row.fault : "no fault") +
                     (row.closed ? ", closed" : ", held at the exit"));
        setUsbInserted(false);
        drivefault_clear();
        if (*row.fault) arm(row.fault);
        void* h = meas_app_PreTrigInit(0, 0.0f);
        ASSERT_NE(h, nullptr);
        const uint32_t t0 = time_getTimestamp();
        MeasAppStore_FileInfo_s* f = fileInfo(name.c_str(), t0);
        f->config = &two.cfg;
        std::snprintf(two.blk[0].name, sizeof two.blk[0].name, "Fast");
        std::snprintf(two.blk[1].name, sizeof two.blk[1].name, "Counters");
        meas_app_PreTrigOpenFile(h, f);
        const int vf = f->vfIdx;
        struct Frame {
            uint8_t block;
            uint32_t at;
            int n;
        };
        const Frame frames[] = {{1, 0, 10},    {2, 0, 10},    {1, 1000, 10},
                                {2, 500, 100}, {1, 2000, 10}, {1, 3000, 10}};
        size_t bytes = f->headerLength;
        for (int i = 0; i < 6; ++i) {
            const Frame& fr = frames[i];
            const auto data = codedFrame(fr.block, fr.block == 1 ? 6 : 8, t0 + fr.at, fr.n, uint32_t(i));
            put(h, vf, data, t0 + fr.at, t0 + fr.at + 10 * uint32_t(fr.n - 1));
            bytes += data.size();
            // The first two frames go in one hand-over, the others one each.
            if (i >= 1 && i < row.handed) {
                meas_app_PreTrigFlushFile(h, vf);
                ASSERT_TRUE(waitUntil([&] { return readBinary(measFile(name)).size() >= bytes; }, 5000))
                    << seenWithLog("frame " + std::to_string(i) + " not handed over");
            }
        }
        auto span = [&](const char* block, const char* text) -> std::string {
            if (!*text) return "";
            char word[8];
            unsigned a = 0, b = 0;
            if (std::sscanf(text, "%7s %u to %u", word, &a, &b) != 3) return "?";
            char out[96];
            std::snprintf(out, sizeof out, "block %s %s %.2f s to %.2f s", block, word, (t0 + a) / 10000.0,
                          (t0 + b) / 10000.0);
            return out;
        };
        std::string named;
        for (const std::string& s : {span("1 (Fast)", row.fast), span("2 (Counters)", row.slow)})
            if (!s.empty()) named += (named.empty() ? ": " : ", ") + s;
        if (!named.empty())
            named = "the records of " + name + " are on no drive (not finished on meas:)" + named;
        if (row.closed) {
            // Its record is let go once the store has passed its close (at once when the store goes).
            meas_app_PreTrigCloseFile(h, vf);
            ASSERT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
            meas_app_PreTrigDelete(h);
            const std::vector<std::string> lines = log();
            const auto told = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
                return l.find("meas_app_PreTrigFileInfoRelease(): the records of ") != std::string::npos;
            });
            if (named.empty()) {
                EXPECT_EQ(told, 0) << "a file whole on its drive is named";
                EXPECT_TRUE(readOnly(measFile(name)));
            } else {
                EXPECT_EQ(told, 1);
                EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) {
                                            return l.find("meas_app_PreTrigFileInfoRelease(): " + named) !=
                                                   std::string::npos;
                                        }),
                          1)
                    << "not named once: " << named;
            }
            EXPECT_TRUE(meas_app_PreTrigRecordsOnNoDrive().empty()) << "named again at the exit";
        } else {
            if (std::string(row.fault).find("hold0") == std::string::npos)
                ASSERT_TRUE(waitUntil([] { return meas_app_PreTrigIsOfflineDataFlushed() == 1; }, 5000));
            else
                ASSERT_TRUE(waitUntil([] { return drivefault_holding() == 1; }, 5000));
            EXPECT_EQ(meas_app_PreTrigRecordsOnNoDrive(), std::vector<std::string>{named});
            EXPECT_TRUE(meas_app_PreTrigRecordsOnNoDrive().empty()) << "named twice";
            drivefault_release();
            meas_app_PreTrigDelete(h);
        }
        drivefault_clear();
        log();
    }
}
