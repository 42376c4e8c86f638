// The receiver's tasks in the process: lines from "/tyCo/1" (here a FIFO) are assembled and
// parsed, and 2.5 s of silence on the hand-driven clock clears the status part once, at the output
// task's next pass.
#include "gps_test_util.h"

#include "laptiming/gps_nmea.h"
#include "laptiming/gps_task.h"
#include "platform/board/serial.h"
#include "platform/rtos/hostclock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace gpstest;

namespace {

bool waitForLog(const std::string& text, std::vector<std::string>* seen) {
    return testsupport::waitUntil(
        [&] {
            for (auto& l : testsupport::drainSyslog()) seen->push_back(l);
            return logged(*seen, text) > 0;
        },
        10000);
}

} // namespace

TEST(GpsReceiver, LinesFromThePortAndTheSilenceTimeOutOnTheHandDrivenClock) {
    startLog();
    testsupport::TempDeviceRoot root;
    SerialPortMap maps[SERIAL_PORTS];
    std::string err;
    ASSERT_TRUE(serial_parseMapping("fifo:gps.fifo", root.path(), &maps[1], &err)) << err;
    serial_configure(root.path(), 0, maps);
    seramCalPage(SERAM_PAGE_REFERENCE).GPS_BAUDRATE = 9600;
    std::memset(&sig(), 0, sizeof(SeramSigPage));
    hostclock_setManual(true);
    const uint64_t start = hostclock_ticks();

    gps_init();
    std::vector<std::string> seen;
    ASSERT_TRUE(waitForLog("gps_intf_open() fOpened '/tyCo/1' for gps at 9600baud", &seen));
    const int fifo = open(root.file("gps.fifo").c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    auto send = [&](const std::string& bytes) {
        ASSERT_EQ(write(fifo, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    };
    auto counts = [](int msg, int err) {
        return testsupport::waitUntil(
            [&] { return var(sig().gps_msg_cnt) == msg && var(sig().gps_err_cnt) == err; }, 10000);
    };

    const std::string gga = nmea("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    send(gga + "\r\n");
    ASSERT_TRUE(counts(1, 0));
    // A NUL drops what came before it on the line.
    send(std::string("$GPGGA,12\0", 10) + gga + "\n");
    ASSERT_TRUE(counts(2, 0));
    ASSERT_TRUE(waitForLog("gps_task() received NULL Byte, dumping sentence '$GPGGA,12'", &seen));
    // An 83-character sentence arrives as a piece of 82 and a piece of 1: both rejected.
    const std::string longGga =
        nmea("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,000000000000000000545.4,M,46.9,M,,");
    ASSERT_EQ(longGga.size(), 83u);
    send(longGga + "\n");
    ASSERT_TRUE(counts(2, 1));
    ASSERT_TRUE(waitForLog("gps_parse: parameter error", &seen));
    EXPECT_NEAR(var(sig().gps_alt), 545.4, 1e-3);

    // Silence on the hand-driven clock. The output task runs every 100 ms of that clock, counted from
    // its last pass: once it has run and waits again, the clock is moved on to its next pass, and
    // each pass is seen by a mark in gps_smask that it writes over. The first pass ran at the start.
    const TASK_ID output = taskNameToId("r_gpsTaskOut");
    ASSERT_NE(output, TASK_ID_ERROR);
    uint64_t nextPass = start + 100;
    auto toPass = [&]() {
        ASSERT_TRUE(testsupport::waitUntil([&] { return taskIsDelayed(output); }, 10000));
        std::atomic_ref<int32_t>(sig().gps_smask).store(77);
        hostclock_advanceMs(uint32_t(nextPass - hostclock_ticks()));
        nextPass += 100;
        ASSERT_TRUE(testsupport::waitUntil([&] { return var(sig().gps_smask) != 77; }, 10000));
    };
    // The last position sentence at a pass and 50 ms after one: the status part is cleared at the
    // first pass after 2.5 s of silence, within the next 100 ms, and at none before.
    for (const uint32_t afterPass : {0u, 50u}) {
        toPass();
        if (HasFatalFailure()) return;
        hostclock_advanceMs(afterPass);
        const uint16_t before = var(sig().gps_msg_cnt);
        send(gga + "\n");
        ASSERT_TRUE(testsupport::waitUntil([&] { return var(sig().gps_msg_cnt) == before + 1; }, 10000));
        const uint64_t last = hostclock_ticks();
        uint64_t silence = 0;
        do {
            silence = nextPass - last;
            toPass();
            if (HasFatalFailure()) return;
            ASSERT_EQ(var(sig().gps_smask) == 0, silence > 2500) << "after " << silence << " ms of silence";
        } while (silence <= 2500);
        EXPECT_LE(silence, 2600u);
        ASSERT_TRUE(waitForLog("gps_task_output() gps data on serial timeouted", &seen));
        EXPECT_EQ(var(sig().gps_fix), 1);
        EXPECT_EQ(var(sig().gps_sig), 0);
        EXPECT_FLOAT_EQ(var(sig().gps_HDOP), 100.0f);
        EXPECT_NEAR(var(sig().gps_lat), 48.1173, 1e-4) << "the position stays";
    }
    // Once per silence.
    for (int i = 0; i < 20; ++i) toPass();
    for (auto& l : testsupport::drainSyslog()) seen.push_back(l);
    EXPECT_EQ(logged(seen, "timeouted"), 2);

    close(fifo);
    gps_stop();
    gps_stopOutput();
    EXPECT_EQ(taskNameToId("r_gpsTask"), TASK_ID_ERROR);
    serial_shutdown();
    hostclock_setManual(false);
}
