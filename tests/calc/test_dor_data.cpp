// The lap model's data glue: annotation and car id between NV and calibration data, write requests
// on their rise, date, time and power-on time, the latched lap-trigger pin, and the serial echo test.
#include "calc/dor_data.h"

#include "framework/board_io.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "measdata/seram.h"
#include "platform/board/board.h"
#include "platform/board/serial.h"
#include "platform/kernel/nvdb.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class DorData : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(nvdb_open(nv.path(), &err)) << err;
        static const bool log = syslog_init(0);
        (void)log;
        std::memset(&seramCalPage(SERAM_PAGE_REFERENCE), 0, sizeof(SeramCalData));
        std::memset(&seramSig(), 0, sizeof(SeramSigPage));
        board_reset();
        dor_data_reset();
        testsupport::drainSyslog();
    }
    void TearDown() override {
        nvram_writeBehindEnd(10000); // the NV writes queued go into this test's store
        nvdb_close();
        board_reset();
    }
    static SeramCalData& cal() { return seramCalPage(SERAM_PAGE_REFERENCE); }
    static int logged(const std::string& text) {
        return testsupport::countContaining(testsupport::drainSyslog(), text);
    }
    testsupport::TempDir nv;
};

template <size_t N> std::array<char, N> text(const std::string& s) {
    std::array<char, N> a{};
    std::memcpy(a.data(), s.data(), std::min(s.size(), N));
    return a;
}

} // namespace

TEST_F(DorData, AnnotationAndCarIdFromNvOrRewrittenFromCalibration) {
    cal().ECU_ANNOTATION = text<256>(std::string(256, 'A')); // no NUL anywhere
    cal().CARID_DOR = text<32>("CAR-7");
    cal().DEFAULT_GATEWAY_DEVICE_IP = {192, 168, 1, 254};
    dor_data_100ms();
    dor_data_100ms();
    // A warning, with its facility as every line of the log.
    SyslogRecord first{};
    ASSERT_EQ(msgQReceive(msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr), &first, sizeof first, NO_WAIT),
              ssize_t(sizeof first));
    EXPECT_STREQ(first.message, "dor_data_init(): no valid ECU_ANNOTATION in nvram, initializing");
    EXPECT_EQ(first.priority, LOG_PRIO_WARNING);
    const auto log = testsupport::drainSyslog();
    EXPECT_EQ(testsupport::countContaining(log, "no valid ECU_ANNOTATION"), 0) << "once";
    EXPECT_EQ(testsupport::countContaining(log, "dor_data_init(): no valid CARID_DOR in nvram, initializing"),
              1);
    EXPECT_EQ(testsupport::countContaining(log, "setDefaultGateway(): gateway 192.168.1.254"), 1);
    EXPECT_EQ(seramSig().ecu_annotation_info, cal().ECU_ANNOTATION);
    EXPECT_EQ(seramSig().carid_dor_info, cal().CARID_DOR);
    std::array<char, 256> stored{};
    ASSERT_TRUE(nvram_writeBehindFlush(10000)) << "queued for the NV store's task";
    EXPECT_EQ(nvdb_read(NV_REC_ANNOTATION, 0, stored.data(), stored.size()), 256);
    EXPECT_EQ(stored, cal().ECU_ANNOTATION) << "all 256 bytes";

    // Next start: NV wins over changed calibration data.
    cal().ECU_ANNOTATION = text<256>("new");
    cal().CARID_DOR = text<32>("CAR-8");
    std::memset(&seramSig(), 0, sizeof(SeramSigPage));
    dor_data_reset();
    dor_data_100ms();
    EXPECT_EQ(logged("initializing"), 0);
    EXPECT_EQ(seramSig().ecu_annotation_info, text<256>(std::string(256, 'A')));
    EXPECT_EQ(seramSig().carid_dor_info, text<32>("CAR-7"));

    // A request held at 1 writes once; the next rise writes again.
    cal().CARID_DOR_WRITE = 1;
    dor_data_100ms();
    EXPECT_EQ(seramSig().carid_dor_info, text<32>("CAR-8"));
    cal().CARID_DOR = text<32>("CAR-9");
    dor_data_100ms();
    EXPECT_EQ(seramSig().carid_dor_info, text<32>("CAR-8"));
    cal().CARID_DOR_WRITE = 0;
    dor_data_100ms();
    cal().CARID_DOR_WRITE = 1;
    dor_data_100ms();
    EXPECT_EQ(seramSig().carid_dor_info, text<32>("CAR-9"));
    std::array<char, 32> id{};
    ASSERT_TRUE(nvram_writeBehindFlush(10000));
    EXPECT_EQ(nvdb_read(NV_REC_CARID, 0, id.data(), id.size()), 32);
    EXPECT_EQ(id, text<32>("CAR-9"));
}

TEST_F(DorData, TimeOfDayAndPowerOnTime) {
    dor_data_setTime({2026, 6, 14, 13, 45, 30, 250});
    const SeramSigPage& s = seramSig();
    EXPECT_EQ(s.time_hhmmss, 49530u);
    EXPECT_EQ((std::vector<int>{s.time_year, s.time_mon, s.time_day, s.time_hour, s.time_min, s.time_sec}),
              (std::vector<int>{26, 6, 14, 13, 45, 30}));
    EXPECT_EQ(s.time_msec, 250);

    cal().SIMU16_3 = 777;
    seramSig().time_on = 65528;
    for (int i = 0; i < 10; ++i) dor_data_100ms();
    EXPECT_EQ(s.time_on, 65529);
    EXPECT_EQ(s.simu16_3, 777);
    for (int i = 0; i < 30; ++i) dor_data_100ms();
    EXPECT_EQ(s.time_on, 65530) << "stops at 65530 s";
}

TEST_F(DorData, AOneMillisecondPinPulseIsPublishedForATenMillisecondPeriod) {
    board_dinSet(0, 1);
    dor_data_1ms();
    dor_data_10ms();
    EXPECT_EQ(seramSig().B_Laptriggerpin, 0) << "not before the first 100 ms run allows it";
    board_dinSet(0, 0);
    dor_data_100ms();
    dor_data_10ms();

    board_dinSet(0, 1);
    dor_data_1ms();
    board_dinSet(0, 0);
    for (int i = 0; i < 9; ++i) dor_data_1ms();
    dor_data_10ms();
    EXPECT_EQ(seramSig().B_Laptriggerpin, 1);
    for (int i = 0; i < 10; ++i) dor_data_1ms();
    dor_data_10ms();
    EXPECT_EQ(seramSig().B_Laptriggerpin, 0);
}

TEST_F(DorData, SerialEchoTestAnswersOnBothPorts) {
    testsupport::TempDir root;
    SerialPortMap maps[SERIAL_PORTS];
    serial_configure(root.path(), 0, maps);
    ASSERT_NE(rs232_loopback(), TASK_ID_ERROR);
    std::vector<std::string> seen;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            for (auto& l : testsupport::drainSyslog()) seen.push_back(l);
            return testsupport::countContaining(seen, "' for ftest.") == 2;
        },
        5000));
    EXPECT_EQ(testsupport::countContaining(seen, "Opened '/tyCo/0' for ftest."), 1);
    for (int port = 0; port < SERIAL_PORTS; ++port) {
        const int peer = open(serial_publishedPath(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(write(peer, "a\0b", 3), 3);
        std::string echo;
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                char c = 0;
                while (read(peer, &c, 1) == 1 && c != '\0') echo += c;
                return echo.size() >= 2;
            },
            5000));
        EXPECT_EQ(echo, "ab") << "a NUL is not echoed";
        close(peer);
    }
    serial_shutdown(); // the echo tasks end with their ports
    EXPECT_TRUE(
        testsupport::waitUntil([] { return taskNameToId("r_rs232_loopback_0") == TASK_ID_ERROR; }, 5000));
}
