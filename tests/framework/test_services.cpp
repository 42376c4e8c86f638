// System log and flood rule, error memory, NV store through the framework, files and paths, time.
#include "framework/appman.h"
#include "framework/errmem.h"
#include "framework/fileutil.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logdrain.h"
#include "platform/kernel/nvdb.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using testlog::countContaining;
using testlog::drain;

TEST(Syslog, RecordCarriesPriorityTaskAndCutMessage) {
    ASSERT_TRUE(syslog_init(1));
    drain();
    std::string longText(300, 'x');
    syslogx(LOG_PRIO_ERR, "f(): %s", longText.c_str());
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    SyslogRecord rec;
    ASSERT_EQ(msgQReceive(q, &rec, sizeof(rec), NO_WAIT), ssize_t(sizeof(rec)));
    EXPECT_EQ(rec.priority, 147);
    EXPECT_EQ(std::strlen(rec.message), 200u);
    EXPECT_STREQ(rec.origin, "app1");
    EXPECT_NE(std::string(rec.tag).find(taskName(0)), std::string::npos);
    EXPECT_NE(syslogreader_format(rec).find("<147>"), std::string::npos);
    EXPECT_EQ(rec.flags, 0u);
    // The measurement's start marks the end of the session's first lines.
    syslogx_headEnd(LOG_PRIO_INFO, "New measurement started");
    ASSERT_EQ(msgQReceive(q, &rec, sizeof(rec), NO_WAIT), ssize_t(sizeof(rec)));
    EXPECT_EQ(rec.flags, SYSLOG_HEAD_END);
    EXPECT_STREQ(rec.message, "New measurement started");
}

TEST(Syslog, FloodRuleLogsThirteenThenWarnsOnceThenStaysSilent) {
    ASSERT_TRUE(syslog_init(0));
    drain();
    uint8_t counter = 0;
    for (int i = 0; i < 40; ++i) SYSLOGX_FLOOD(counter, LOG_PRIO_ERR, "flood test %d", i);
    const auto lines = drain();
    EXPECT_EQ(countContaining(lines, "flood test"), 13);
    EXPECT_EQ(countContaining(lines, "Flooding suspicion! Syslogx message 0x"), 1);
    EXPECT_EQ(lines.size(), 14u);
    EXPECT_EQ(counter, 14);
}

TEST(Syslog, ASharedCallSiteKeepsTheFloodRuleAcrossTasks) {
    ASSERT_TRUE(syslog_init(0));
    drain();
    std::vector<std::thread> tasks;
    for (int t = 0; t < 4; ++t)
        tasks.emplace_back([] {
            for (int i = 0; i < 20; ++i) SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "shared site %d", i);
        });
    for (auto& t : tasks) t.join();
    const auto lines = drain();
    EXPECT_EQ(countContaining(lines, "shared site"), 13);
    EXPECT_EQ(countContaining(lines, "Flooding suspicion!"), 1);
}

TEST(Syslog, FullQueueLosesRecordsWithoutBlocking) {
    ASSERT_TRUE(syslog_init(0));
    drain();
    const uint32_t lostBefore = syslog_lostCount();
    for (int i = 0; i < SYSLOG_QUEUE_DEPTH + 10; ++i) syslogx(LOG_PRIO_DEBUG, "fill %d", i);
    EXPECT_EQ(syslog_lostCount() - lostBefore, 10u);
    drain();
}

class ErrorMemoryTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(nvdb_open(dir.path(), &err)) << err;
        error_mgr_init();
    }
    void TearDown() override {
        nvram_writeBehindEnd(10000); // the NV writes queued go into this test's store
        nvdb_close();
    }
};

TEST_F(ErrorMemoryTest, TwentyFirstEntryPushesOutTheOldest) {
    for (uint16_t p = 1; p <= 21; ++p) error_mgr_set(p, 7, 0);
    ErrorMemEntry e[ERROR_MEM_ENTRIES + 1];
    ASSERT_EQ(error_mgr_list(e, ERROR_MEM_ENTRIES + 1), ERROR_MEM_ENTRIES);
    EXPECT_EQ(e[0].path, 2);
    EXPECT_EQ(e[19].path, 21);
}

TEST_F(ErrorMemoryTest, RepeatsCountAndOnlyNewErrorsReachTheEventHook) {
    std::vector<uint16_t> events;
    error_mgr_setEventHook([&](const ErrorMemEntry& x) { events.push_back(x.path); });
    error_mgr_set(482, 32, 1);
    error_mgr_set(482, 32, 1); // still active: not new
    error_mgr_clear(482);
    error_mgr_set(482, 32, 1); // active again: new
    error_mgr_set(498, 20, 0);
    error_mgr_setEventHook(nullptr);
    EXPECT_EQ(events, (std::vector<uint16_t>{482, 482, 498}));
    ErrorMemEntry e[ERROR_MEM_ENTRIES];
    ASSERT_EQ(error_mgr_list(e, ERROR_MEM_ENTRIES), 2u);
    EXPECT_EQ(e[0].count, 3);
    EXPECT_EQ(e[0].mil, 1);

    error_mgr_clear(498);
    error_mgr_clear_all(); // removes only inactive entries
    ASSERT_EQ(error_mgr_list(e, ERROR_MEM_ENTRIES), 1u);
    EXPECT_EQ(e[0].path, 482);
}

TEST_F(ErrorMemoryTest, EntriesSurviveARestart) {
    error_mgr_set(483, 15, 0);
    error_mgr_set(496, 46, 0);
    error_mgr_clear(483);
    error_mgr_stop();
    error_mgr_set(497, 46, 0); // after the stop nothing changes
    ASSERT_TRUE(nvram_writeBehindFlush(10000)) << "the stop queued the table for the NV store's task";
    nvdb_close();

    std::string err;
    ASSERT_TRUE(nvdb_open(dir.path(), &err));
    error_mgr_init();
    ErrorMemEntry e[ERROR_MEM_ENTRIES];
    ASSERT_EQ(error_mgr_list(e, ERROR_MEM_ENTRIES), 2u);
    EXPECT_EQ(e[0].path, 483);
    EXPECT_EQ(e[0].active, 0);
    EXPECT_EQ(e[1].path, 496);
    EXPECT_EQ(e[1].active, 1);
}

TEST(Files, LoadSizeAndExistenceThroughTheDrives) {
    testsupport::TempDeviceRoot root;
    testsupport::writeFile(root.file("cfg/apps.xml"), "<apps/>");
    size_t len = 0;
    char* buf = fload("cfg:/apps.xml", &len);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(buf[7], '\0');
    EXPECT_STREQ(buf, "<apps/>");
    std::free(buf);
    EXPECT_EQ(fsize("cfg:apps.xml"), 7);
    EXPECT_EQ(fexist("cfg:/apps.xml"), 1);
    EXPECT_EQ(fexist("cfg:/missing.xml"), 0);
    EXPECT_EQ(fsize("cfg:/missing.xml"), 0);
    EXPECT_EQ(fsize(nullptr), 0);
    EXPECT_EQ(fload("cfg:/missing.xml", nullptr), nullptr);
    EXPECT_EQ(fload("cfg:/../../etc/passwd", nullptr), nullptr) << "paths never leave the drive";
    EXPECT_EQ(fload("cfg:/", nullptr), nullptr) << "a folder is not a file";
    EXPECT_EQ(driveAvailable("meas:"), 0);
    EXPECT_EQ(driveAvailable("floppy:"), -1);
}

TEST(Files, AFifoInPlaceOfAFileNeverStallsTheReader) {
    testsupport::TempDeviceRoot root;
    const std::string fifo = root.file("cfg/display.xml");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    struct Result {
        int exists = -1;
        long size = -1;
        bool loaded = true;
    };
    auto result = std::make_shared<Result>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread reader([result, done] {
        result->exists = fexist("cfg:/display.xml");
        result->size = fsize("cfg:/display.xml");
        char* buffer = fload("cfg:/display.xml", nullptr);
        result->loaded = buffer != nullptr;
        std::free(buffer);
        *done = true;
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!*done && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool stalled = !*done;
    // A writer releases a reader stuck in open(), so that the test can end either way.
    while (!*done) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    ASSERT_FALSE(stalled) << "a read of the FIFO waited for a writer";
    EXPECT_EQ(result->exists, 1);
    EXPECT_LT(result->size, 1) << "a FIFO has no size: callers treat it as missing";
    EXPECT_FALSE(result->loaded) << "only a regular file is loaded";
}

TEST(Files, MeasPathSplitCutsEachPart) {
    char drive[16], dir[16], file[16];
    measPathSplitn("meas:/outing/A0101000.001", drive, dir, file, sizeof(drive));
    EXPECT_STREQ(drive, "meas:");
    EXPECT_STREQ(dir, "/outing/");
    EXPECT_STREQ(file, "A0101000.001");
    char small[6];
    measPathSplitn("usb_meas:/x", small, nullptr, nullptr, sizeof(small));
    EXPECT_STREQ(small, "usb_m") << "cut to the buffer and terminated";
    measPathSplitn("cfg:/m01.dcp", drive, dir, file, sizeof(file));
    EXPECT_STREQ(drive, "cfg:");
    EXPECT_STREQ(dir, "/");
    EXPECT_STREQ(file, "m01.dcp");
    measPathSplitn("nodrive", drive, nullptr, file, sizeof(file));
    EXPECT_STREQ(drive, "");
    EXPECT_STREQ(file, "nodrive");
}

TEST(Time, DateConversionAndDifferences) {
    appl_time_t t{1700000000u, 250000000u}; // 2023-11-14 22:13:20 UTC
    conv_date_t d{};
    ASSERT_TRUE(conv_time_to_date(&t, &d));
    EXPECT_EQ(d.year, 2023);
    EXPECT_EQ(d.month, 11);
    EXPECT_EQ(d.day, 14);
    EXPECT_EQ(d.hour, 22);
    EXPECT_EQ(d.minute, 13);
    EXPECT_EQ(d.second, 20);
    appl_time_t earlier{1699999999u, 750000000u}, diff{};
    clock_difftime(&t, &earlier, &diff);
    EXPECT_EQ(diff.sec, 0u);
    EXPECT_EQ(diff.nsec, 500000000u);
    EXPECT_EQ(time_getSyncState(), 3);
    uint32_t a = 0;
    EXPECT_EQ(timeserv_getMasterIds(&a, nullptr), 0);
    timeserv_setMasterIds(5, 6);
    EXPECT_EQ(timeserv_getMasterIds(&a, nullptr), 1);
    EXPECT_EQ(a, 5u);
}
