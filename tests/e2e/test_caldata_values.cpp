// Calibration values by name: vcconfig's value lines write the dataset that the device loads, and a
// faulty text writes nothing and names the line and the reason.
#include "app_process.h"
#include "caldataset.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <unistd.h>

using namespace testsupport;

TEST(CaldataE2E, ValueLinesSetTheDeviceByNameAndAFaultyTextWritesNothing) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    const struct {
        const char* text;
        const char* says;
    } kFaulty[] = {
        {"value DEVICE_CONFIG 0x001101\nvalue GPS_BAUD 4800\n",
         "line 2: unknown calibration value 'GPS_BAUD'"},
        {"value FILEFRAGMENTATION_SIZE 256\n",
         "line 1: value '256' of FILEFRAGMENTATION_SIZE does not fit its type uint8_t (0 to 255)"},
        {"value GPS_BAUDRATE -9600\n",
         "line 1: value '-9600' of GPS_BAUDRATE does not fit its type uint32_t"},
        {"value CL_DISP_BRIGHT_BG[2] 3,5\n", "line 1: value '3,5' of CL_DISP_BRIGHT_BG[2] is not a number"},
        {"value CAN_BAUDRATES[1] 500000\n# again\nvalue CAN_BAUDRATES[1] 250000\n",
         "line 3: 'CAN_BAUDRATES[1]' is given twice (line 1 sets it)"},
        {"value CAN_BAUDRATES 500000\n",
         "line 1: 'CAN_BAUDRATES' has 4 elements: give one as CAN_BAUDRATES[i]"},
        {"value CAN_BAUDRATES[4] 500000\n", "line 1: 'CAN_BAUDRATES[4]' is beyond the 4 elements"},
        {"value gps_lat 47.2\n", "line 1: 'gps_lat' is a measurement variable, not a calibration value"},
        {"value DATADELAY\n", "line 1: 'value' needs a name and a value"},
    };
    std::string out;
    for (const auto& f : kFaulty) {
        EXPECT_EQ(runVcconfig(root.path(), f.text, &out), 1) << f.text;
        EXPECT_NE(out.find(f.says), std::string::npos) << out;
        EXPECT_NE(access(caldata::datasetPath(root.path()).c_str(), F_OK), 0) << "written for " << f.text;
    }

    // Without a dataset one is made for this build's program: application 1 (PID 0x11) becomes its
    // own lap-trigger master with logging, and opens its GPS port at 4800 baud.
    ASSERT_EQ(runVcconfig(root.path(),
                          "value DEVICE_CONFIG 0x001101  # logging, lap-trigger master 0x11\n"
                          "value GPS_BAUDRATE 4800\nvalue CL_DISP_BRIGHT_BG[5] 55.5\n",
                          &out),
              0)
        << out;
    EXPECT_NE(out.find("3 values and 0 channel entries written"), std::string::npos) << out;
    AppProcess dev(root.path(), {"1"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    for (const char* line : {"calibration dataset of 'MSD_APPL_0100' loaded",
                             "DEVICE_CONFIG: 0x00001101 ltm_pid: 0x11 logging active",
                             "gps_intf_open() fOpened '/tyCo/1' for gps at 4800baud"})
        EXPECT_TRUE(waitUntil([&] { return dev.logText().find(line) != std::string::npos; }, 15000))
            << line << "\n"
            << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
