// An event received from the network in a measurement file: the logger of the measurement writes it
// through the store as a meta-data record of type 6, read back by the test suite's file reader.
#include "store_fixture.h"

#include "framework/appman.h"
#include "logging/events/eventlogger.h"
#include "logging/events/eventlogging.h"
#include "measfile.h"

#include <algorithm>

using namespace storetest;
using testsupport::readBinary;
using testsupport::waitUntil;

TEST_F(StoreTest, EventOfThePeerIsATypeSixRecordWithItsApplicationName) {
    setUsbInserted(false);
    appNames_reset();
    void* h = meas_app_PreTrigInit(0, 0.0f);
    ASSERT_NE(h, nullptr);
    MeasAppStore_FileInfo_s* f = fileInfo("A0101000.001", 0x0800);
    meas_app_PreTrigOpenFile(h, f);
    const int vf = f->vfIdx;
    ASSERT_GE(vf, 0);
    eventlogger_setMetaDataStore(meas_app_PreTrigPutMetaDataCopy);
    void* logger = eventLoggerInit(0, h);
    ASSERT_NE(logger, nullptr);

    // Event 7 at 0x1000 without duration, kind 2, severity 1, from PID 10 ("ECU").
    comint_msg m;
    const evlog_event_t ev{7, 0x1000, 0, 2, 1};
    const uint16_t own = app_pid;
    app_pid = 10;
    eventlogging_build(&m, &ev, "OilP", "low");
    app_pid = own;
    eventlogging_cmd(&m);
    eventLoggerFlushUntil(logger, 0x1000);
    eventLoggerDelete(logger);
    eventlogger_setMetaDataStore(nullptr);
    meas_app_PreTrigCloseFile(h, vf);
    ASSERT_TRUE(waitUntil([&] { return readOnly(measFile("A0101000.001")); }, 5000));
    meas_app_PreTrigDelete(h);

    const std::vector<uint8_t> want = {0xFF, 0x06, 0,   0,    0, 0x21, 0x00, 0x01, 0x00, 0x01, 0,   0,   0,
                                       7,    0,    0,   0x10, 0, 0,    0,    0,    0,    2,    1,   0,   10,
                                       'O',  'i',  'l', 'P',  0, 'l',  'o',  'w',  0,    'E',  'C', 'U', 0};
    const std::vector<uint8_t> bytes = readBinary(measFile("A0101000.001"));
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), want.begin(), want.end()), bytes.end());
    const measfile::File file = measfile::readFile(measFile("A0101000.001"));
    ASSERT_TRUE(file.ok()) << file.error;
    const auto events = file.metaOfType(MEAS_META_EVENT);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->payload, std::vector<uint8_t>(want.begin() + 6, want.end()));
}
