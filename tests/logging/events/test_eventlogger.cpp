// The event service's queue and the event logger: what leaves the device when the queue is full,
// how received events are filed, held back and written as type-6 records, and the application
// names of "cfg:/apps.xml".
#include "logcfg_fixture.h"

#include "framework/appman.h"
#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/time_util.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "measdata/seram.h"
#include "msdcom/ci/comint.h"
#include "msdcom/measman/meas_man_internal.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/hostclock.h"

#include <mutex>

using logcfgtest::contains;

namespace {

struct Record {
    std::vector<uint8_t> bytes;
    uint32_t time;
    uint8_t type;
};

class Sink : public EventRecordSink {
public:
    bool putMetaData(const uint8_t* r, uint32_t n, uint32_t t, uint8_t type) override {
        std::lock_guard<std::mutex> g(m);
        got.push_back({std::vector<uint8_t>(r, r + n), t, type});
        return true;
    }
    std::vector<Record> take() {
        std::lock_guard<std::mutex> g(m);
        return std::exchange(got, {});
    }
    std::mutex m;
    std::vector<Record> got;
};

class EventLoggerTest : public logcfgtest::LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        std::string err;
        ASSERT_TRUE(nvdb_open(nv.path(), &err)) << err;
        error_mgr_init();
        ASSERT_TRUE(comint_queue_ini());
        mm::copyOfflineEnabled.store(true);
        ASSERT_EQ(eventlogging_service_init(), 1);
        appNames_reset();
        hostclock_setManual(true);
        log();
    }
    void TearDown() override {
        error_mgr_setEventHook(nullptr);
        eventLoggerDelete(logger);
        eventlogging_service_exit();
        comint_exit();
        error_mgr_stop();
        nvram_writeBehindEnd(10000); // the error memory queued at the stop goes into this test's store
        nvdb_close();
        mm::copyOfflineEnabled.store(false);
        appNames_reset();
        LogTest::TearDown();
    }
    // A 0x1500 message as a device with PID `src` sends it.
    comint_msg message(uint16_t src, uint32_t id, uint32_t time, uint32_t duration, const char* name,
                       const char* text) {
        const uint16_t own = app_pid;
        app_pid = src;
        comint_msg m;
        const evlog_event_t ev{id, time, duration, 2, 1};
        eventlogging_build(&m, &ev, name, text);
        app_pid = own;
        return m;
    }
    bool active(uint16_t path) {
        ErrorMemEntry e[ERROR_MEM_ENTRIES];
        const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
        for (size_t i = 0; i < n; ++i)
            if (e[i].path == path && e[i].active) return true;
        return false;
    }

    testsupport::TempDir nv;
    Sink sink;
    eventlogger* logger = nullptr;
};

} // namespace

TEST_F(EventLoggerTest, RecordOfAnEventCarriesPayloadAndApplicationName) {
    // The logging application's way: the store of its measurement takes the records.
    static Sink* store = &sink;
    static void* handle = nullptr;
    eventlogger_setMetaDataStore(
        [](void* h, const void* payload, uint32_t length, uint32_t ts, uint8_t type) {
            handle = h;
            store->putMetaData(static_cast<const uint8_t*>(payload), length, ts, type);
        });
    int measurement = 0;
    void* l = eventLoggerInit(0, &measurement);
    ASSERT_NE(l, nullptr);
    logger = static_cast<eventlogger*>(l);
    EXPECT_TRUE(contains(log(), "Eventlogging logger setup for m01"));
    comint_msg m = message(10, 7, 0x1000, 0, "OilP", "low");
    eventlogging_cmd(&m);
    eventLoggerFlushUntil(l, 0x1000);
    eventlogger_setMetaDataStore(nullptr);
    EXPECT_EQ(handle, &measurement);
    const auto r = sink.take();
    ASSERT_EQ(r.size(), 1u);
    const std::vector<uint8_t> want = {0x00, 0x01, 0x00, 0x01, 0,   0,   0, 7,   0,   0,   0x10,
                                       0,    0,    0,    0,    0,   2,   1, 0,   10,  'O', 'i',
                                       'l',  'P',  0,    'l',  'o', 'w', 0, 'E', 'C', 'U', 0};
    EXPECT_EQ(r[0].bytes, want);
    EXPECT_EQ(r[0].bytes.size(), 33u);
    EXPECT_EQ(r[0].type, 6);
    EXPECT_EQ(r[0].time, 0x1000u);
}

TEST_F(EventLoggerTest, EventsAreFiledByTimeAndPidAndHeldForTheDataDelay) {
    seramCalPage(SERAM_PAGE_REFERENCE).DATADELAY = 100;
    logger = eventLoggerCreate(1, &sink);
    seramCalPage(SERAM_PAGE_REFERENCE).DATADELAY = 300;
    ASSERT_NE(logger, nullptr);
    const uint32_t at = time_getTimestamp() - 10;
    comint_msg open = message(20, 1, at, EVLOG_DURATION_NONE, "A", ""); // filed at its time
    comint_msg closed = message(12, 2, at - 50, 50, "B", "");           // filed at its end
    comint_msg far = message(64, 3, at, 0, "C", ""); // no application name for PID 64 and above
    for (comint_msg* m : {&open, &closed, &far}) eventlogging_cmd(m);
    // A payload shorter than its fixed fields never reaches a logger.
    comint_msg shortMsg = message(12, 4, at - 100, 0, "", "");
    ci_set_len(&shortMsg, 17);
    eventlogging_cmd(&shortMsg);
    EXPECT_TRUE(contains(log(), "eventlogging_cmd(): event from PID C with 17 bytes, dropped"));

    // Written 100 ms after their time, in one flush, lower PIDs first. The logger's task polls every
    // tick; the hand-driven clock moves while it waits.
    const TASK_ID task = taskNameToId("r_evLog_1");
    auto waiting = [&] { return testsupport::waitUntil([&] { return taskIsDelayed(task); }); };
    ASSERT_TRUE(waiting());
    hostclock_advanceMs(98);
    logger->flushUntil(time_getTimestamp() - 1000);
    EXPECT_TRUE(sink.take().empty());
    ASSERT_TRUE(waiting());
    hostclock_advanceMs(1);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        std::lock_guard<std::mutex> g(sink.m);
        return sink.got.size() >= 3; // the flush writes them one by one
    }));
    const auto r = sink.take();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].bytes.size(), 4u + 18 + 1 + 8 + 1); // "B" from "ECU_APP2"
    EXPECT_EQ(r[1].bytes.size(), 4u + 18 + 1 + 0 + 1); // PID 20 has no name
    EXPECT_EQ(r[2].bytes.size(), 4u + 18 + 1 + 0 + 1);
    for (const Record& x : r) EXPECT_EQ(x.time, at);
    EXPECT_EQ(r[2].bytes[4 + 15], 64);
}

TEST_F(EventLoggerTest, PoolOfFiveHundredTwelveItemsDropsAndReportsOnce) {
    logger = eventLoggerCreate(2, &sink);
    ASSERT_NE(logger, nullptr);
    const uint32_t later = time_getTimestamp() + 100000; // held back
    // A payload of 120 bytes is kept as 98, its texts terminated.
    std::vector<uint8_t> big(120, 'x');
    logger->putEvent(big.data(), uint32_t(big.size()), 11, later);
    EXPECT_TRUE(contains(log(), "event from pid 0x0b truncated from 120 to 98 bytes"));
    for (int i = 0; i < 510; ++i) logger->putEvent(big.data(), 30, 11, later);
    EXPECT_EQ(logger->poolFree(), 0u);
    EXPECT_FALSE(active(EVLOG_ERR_PATH_POOL));
    logger->putEvent(big.data(), 30, 11, later);
    logger->putEvent(big.data(), 30, 5, later);
    logger->putEvent(big.data(), 30, 30, later);
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "pool full (4), discarding event from pid b"));
    EXPECT_TRUE(contains(lines, "pool full (2), discarding event from pid 5"));
    EXPECT_TRUE(contains(lines, "pool full (3), discarding event from pid 1e"));
    EXPECT_TRUE(active(EVLOG_ERR_PATH_POOL));
    ASSERT_EQ(logger->flushUntil(later), 1);
    const auto r = sink.take();
    ASSERT_EQ(r.size(), 511u);
    EXPECT_EQ(r[0].bytes.size(), 4u + 98 + 8 + 1);
    EXPECT_EQ(r[0].bytes[4 + 96], 0);
    EXPECT_EQ(r[0].bytes[4 + 97], 0);
    logger->putEvent(big.data(), 30, 11, later);
    EXPECT_FALSE(active(EVLOG_ERR_PATH_POOL)) << "the next allocation clears it";
}

TEST_F(EventLoggerTest, FullQueueSendsOneDiscardedNoticeUntilItTakesAgain) {
    const evlog_event_t ev{0x02000001, 1234, 0, 2, 4};
    for (int i = 0; i < EVLOG_QUEUE_MSGS; ++i) eventlogging_send(&ev, "E", "t");
    EXPECT_FALSE(active(EVLOG_ERR_PATH_QUEUE));
    comint_msg m;
    EXPECT_FALSE(comint_receive(&m, 0));
    for (int i = 0; i < 3; ++i) eventlogging_send(&ev, "E", "t");
    ASSERT_TRUE(comint_receive(&m, 0));
    EXPECT_EQ(ci_cmd(&m), EVLOG_CMD);
    EXPECT_EQ(ci_get32(m.data), 0u);
    EXPECT_EQ(ci_get32(m.data + 4), 1234u);
    EXPECT_EQ(m.data[13], 3);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.data + 16), "Event(s) discarded");
    EXPECT_FALSE(comint_receive(&m, 0)) << "one notice per full period";
    EXPECT_TRUE(active(EVLOG_ERR_PATH_QUEUE));

    // At most ten leave per cycle; then the queue takes events again and the entry clears.
    eventloggingServiceTask();
    int sent = 0;
    while (comint_receive(&m, 0)) ++sent;
    EXPECT_EQ(sent, EVLOG_SENDS_PER_CYCLE);
    eventlogging_send(&ev, "E", "t");
    EXPECT_FALSE(active(EVLOG_ERR_PATH_QUEUE));

    // A new error of the error memory goes out as an event too.
    for (int i = 0; i < 7; ++i) eventloggingServiceTask();
    while (comint_receive(&m, 0)) {
    }
    eventlogging_register();
    error_mgr_set(483, 15, 0);
    eventloggingServiceTask();
    ASSERT_TRUE(comint_receive(&m, 0));
    EXPECT_EQ(ci_get32(m.data), 0x0101E30Fu);
    EXPECT_STREQ(reinterpret_cast<const char*>(m.data + 16), "Error 483/15");
}

TEST_F(EventLoggerTest, AppsFileNamesApplicationsOrIsRefusedWhole) {
    const struct {
        std::string text;
        const char* error;
        const char* name12;
    } rows[] = {
        {"<Applicationlist><Application pid=\"12\" name=\"Engine control unit two\"/><Application "
         "pid=\"13\"/><Other/></Applicationlist>",
         nullptr, "Engine control u"},
        {"<Applicationlist><Application pid=\"12\" name=\"X\"/><Application pid=\"64\" name=\"Y\"/>"
         "</Applicationlist>",
         "pid too high in line 1 column", "ECU_APP2"},
        {"<Applicationlist><Application pid=\"-1\" name=\"Y\"/></Applicationlist>", "pid too high",
         "ECU_APP2"},
        {"<Applicationlist><Application pid=\"x\" name=\"Y\"/></Applicationlist>",
         "attribute has wrong number", "ECU_APP2"},
    };
    for (const auto& r : rows) {
        AppNameTable t = appNames_defaults();
        std::string error;
        EXPECT_EQ(appNames_parse(r.text.c_str(), &t, &error), r.error == nullptr) << error;
        if (r.error) {
            EXPECT_NE(error.find(r.error), std::string::npos) << error;
        }
        EXPECT_STREQ(t.name[12], r.name12);
        EXPECT_STREQ(t.name[13], "ECU_APP3");
        EXPECT_STREQ(t.name[10], "ECU");
    }
    // Read by the first logger of the run; a faulty file is logged and changes nothing.
    cfgFile("apps.xml", rows[1].text);
    logger = eventLoggerCreate(0, &sink);
    ASSERT_NE(logger, nullptr);
    EXPECT_TRUE(contains(log(), "cfg:/apps.xml: pid too high in line 1 column"));
    EXPECT_STREQ(appNames_get(12), "ECU_APP2");
    EXPECT_STREQ(appNames_get(64), "");
}
