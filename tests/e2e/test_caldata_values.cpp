// Calibration values by name: vcconfig's value lines write the dataset that the device loads, and a
// faulty text writes nothing and names the line and the reason. Channel lines keep every channel's
// extension records its own, a failed write leaves the old dataset whole, and runs at once (each
// once its text is read), a dataset's mode and its link all survive a write.
#include "app_process.h"
#include "caldataset.h"
#include "netns.h"
#include "testsupport.h"

#include "calc/awm_vc_config.h"
#include "measdata/seram_layout.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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
        {"channel 10 lapfunc mode gps lat NOPE\n",
         "line 1: 'NOPE' is neither a calibration value nor a measurement variable"},
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

TEST(CaldataE2E, VcconfigKeepsChannelsApartAndTheDatasetWhole) {
    TempDir root, work;
    const std::string path = caldata::datasetPath(root.path());
    std::string out;
    EXPECT_EQ(runVcconfig(root.file("rooot"), "value GPS_BAUDRATE 9600\n", &out, "", work.path()), 1);
    EXPECT_NE(out.find("vcconfig: device root " + root.file("rooot") + " does not exist"), std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(root.file("rooot")));
    // A text that cannot be read (a folder given as the text) is no empty text.
    const int status = std::system((buildDir() + "/tools/caldata/vcconfig " + root.path() + " " +
                                    work.path() + " >" + work.file("folder.txt") + " 2>&1")
                                       .c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(readFile(work.file("folder.txt")),
              "vcconfig: cannot read " + work.path() + ": Is a directory\n");
    EXPECT_FALSE(std::filesystem::exists(path));

    // The GPS lap function at channel 10 takes channels 10 to 18, the GPS segments at 20 take 20 to 23.
    const std::string lap = "channel 10 lapfunc mode gps gps_radius 25 lat gps_lat lon gps_long\n";
    const std::string count = " formula program 03 01000000 03 00000000 A6 00000000 FF\n";
    ASSERT_EQ(runVcconfig(root.path(), lap + "channel 20 gpsseg point 48.1,11.5\n", &out), 0) << out;
    const struct {
        std::string text;
        int exit;
        std::string says;
        std::string args = "";
    } kCases[] = {
        {"value CL_DISP_BRIGHT_BG[4] 3.4028235e38\nvalue CL_DISP_BRIGHT_BG[5] -3.40282347e38\n"
         "value GPS_BAUDRATE +4800\n",
         0, "3 values and 0 channel entries written"},
        {"value CL_DISP_BRIGHT_BG[4] 3.5e38\n", 1,
         "line 1: value '3.5e38' of CL_DISP_BRIGHT_BG[4] does not fit its type float"},
        {"value GPS_BAUDRATE 9600baud\n", 1, "line 1: value '9600baud' of GPS_BAUDRATE is not a number\n"},
        // Value lines and channel fields read floats alike: what rounds to a finite float is taken,
        // what rounds beyond the largest, or is not 0 but would become 0, does not fit.
        {"value CL_DISP_BRIGHT_BG[4] -1e-50\n", 1,
         "line 1: value '-1e-50' of CL_DISP_BRIGHT_BG[4] does not fit its type float (not 0"},
        {"channel 40 lapfunc gps_radius 1e-40 lap_length 3.40282347e38\n", 0, "1 channel entries written"},
        {"channel 40 lapfunc lap_length 3.4028236e38\n", 1,
         "line 1: lap_length '3.4028236e38' does not fit its type float (-3.4028235e+38 to 3.4028235e+38)"},
        {"channel 40 lapfunc lapseg 0.5,1e-50\n", 1,
         "line 1: lapseg '1e-50' does not fit its type float (not 0"},
        // The lap model's channels take fields (and extension records) that a bare module id cannot.
        {"channel 50 0x08\n", 1, "line 1: module id 0x08 is a lapfunc channel: name its kind"},
        {"channel 50 0x17\n", 1, "line 1: module id 0x17 is a gpsseg channel: name its kind"},
        {"channel 50 0x0A\n", 1, "line 1: module id 0x0A is a fuelcons channel: name its kind"},
        // A device ignores a dataset of another program.
        {"value GPS_BAUDRATE 4800\n", 1,
         "vcconfig: " + path + " is for program '" + SERAM_PROGRAM_IDENTIFIER +
             "', not 'MSD_APPL_0999' as --program gives (the dataset there is unchanged)",
         "--program MSD_APPL_0999"},
        {"value " + std::string(10000, 'A') + " 1\n", 1,
         "line 1: unknown calibration value '" + std::string(64, 'A') + "...' (10000 characters)\n"},
        {"channel 3" + count + "\nchannel 3 off\n", 1, "line 3: channel 3 is given twice (line 1 sets it)"},
        {lap + "channel 11" + count, 1,
         "line 2: channel 11 is an extension record of the lapfunc channel 10 of line 1 (channels 10 to 18)"},
        {"channel 11" + count + lap, 1,
         "line 2: the lapfunc channel 10 takes channels 10 to 18, over channel 11 of line 1"},
        {"channel 11" + count, 1,
         "line 1: channel 11 is an extension record of the lapfunc channel 10 in the dataset (channels 10 "
         "to 18)"},
        {"channel 19 gpsseg\n", 1,
         "line 1: the gpsseg channel 19 takes channels 19 to 22, over the gpsseg channel 20 in the dataset"},
        // Channel 10 given anew as a formula gives up its extension records.
        {"channel 11" + count + "channel 10" + count, 0, "2 channel entries written"},
    };
    for (const auto& c : kCases) {
        const std::vector<uint8_t> before = readBinary(path);
        EXPECT_EQ(runVcconfig(root.path(), c.text, &out, "", "", c.args), c.exit) << c.text.substr(0, 100);
        EXPECT_NE(out.find(c.says), std::string::npos) << out.substr(0, 300);
        if (c.exit != 0) {
            EXPECT_TRUE(readBinary(path) == before) << "written for " << c.text.substr(0, 100);
        }
    }
    caldata::CalDataset data;
    std::string program, error;
    ASSERT_TRUE(data.load(readBinary(path), &program, &error)) << error;
    const std::vector<uint8_t> table = data.bytes("CfgMat_VC_config");
    for (uint32_t n = 12; n <= 18; ++n) EXPECT_EQ(awm_vc_module(table.data(), n), AWM_MODULE_NONE) << n;
    EXPECT_EQ(awm_vc_module(table.data(), 21), AWM_MODULE_EXTENSION);

    // Two runs at once each land their value.
    TempDir workB;
    const auto baudrate = [&](uint32_t i) {
        caldata::CalDataset now;
        uint32_t v = 0;
        if (now.load(readBinary(path), &program, &error))
            std::memcpy(&v, now.bytes("CAN_BAUDRATES").data() + 4 * i, 4);
        return v;
    };
    for (int pair = 0; pair < 20; ++pair) {
        const std::string a = std::to_string(1000 + pair), b = std::to_string(2000 + pair);
        std::string outB;
        int exitB = -1;
        std::jthread other([&] {
            exitB = runVcconfig(root.path(), "value CAN_BAUDRATES[1] " + b + "\n", &outB, "", workB.path());
        });
        EXPECT_EQ(runVcconfig(root.path(), "value CAN_BAUDRATES[0] " + a + "\n", &out, "", work.path()), 0)
            << out;
        other.join();
        EXPECT_EQ(exitB, 0) << outB;
        EXPECT_EQ(baudrate(0), 1000u + pair);
        EXPECT_EQ(baudrate(1), 2000u + pair);
    }

    // A run reads its whole text before it takes its turn: one whose input is still coming holds no
    // other up (the other would time out), and one that finds another's turn says that it waits.
    FILE* slow = popen(
        (buildDir() + "/tools/caldata/vcconfig " + root.path() + " - >" + work.file("slow.txt") + " 2>&1")
            .c_str(),
        "w");
    ASSERT_NE(slow, nullptr);
    std::fputs("value CAN_BAUDRATES[0] 7\n", slow);
    std::fflush(slow);
    EXPECT_TRUE(waitUntil([&] {
        int unread = -1;
        return ioctl(fileno(slow), FIONREAD, &unread) == 0 && unread == 0;
    }));
    EXPECT_EQ(runVcconfig(root.path(), "value CAN_BAUDRATES[1] 8\n", &out, "timeout 30 "), 0) << out;
    EXPECT_EQ(pclose(slow), 0) << readFile(work.file("slow.txt"));
    EXPECT_EQ(baudrate(0), 7u);
    EXPECT_EQ(baudrate(1), 8u);
    const int held = open(root.file("caldata").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    int exitB = -1;
    std::jthread waiting(
        [&] { exitB = runVcconfig(root.path(), "value CAN_BAUDRATES[1] 9\n", &out, "", workB.path()); });
    EXPECT_TRUE(waitUntil([&] {
        return readFile(workB.file("vcconfig-out.txt")) ==
               "vcconfig: waiting for another vcconfig run on " + root.path() + "/caldata ...\n";
    }));
    close(held);
    waiting.join();
    EXPECT_EQ(exitB, 0) << out;
    EXPECT_EQ(baudrate(1), 9u);

    // A write keeps the dataset's mode, and a linked dataset stays linked and is written where the
    // link leads.
    for (const mode_t mode : {0600, 0444}) {
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        EXPECT_EQ(runVcconfig(root.path(), "value CAN_BAUDRATES[2] " + std::to_string(mode) + "\n", &out), 0)
            << out;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(baudrate(2), mode);
    }
    std::filesystem::create_directory(root.file("kept"));
    std::filesystem::rename(path, root.file("kept/dataset.bin"));
    std::filesystem::create_symlink("../kept/dataset.bin", path);
    EXPECT_EQ(runVcconfig(root.path(), "value CAN_BAUDRATES[3] 125000\n", &out), 0) << out;
    EXPECT_TRUE(std::filesystem::is_symlink(path) &&
                std::filesystem::read_symlink(path) == "../kept/dataset.bin");
    EXPECT_EQ(baudrate(3), 125000u);

    // A drive that fills up (16 blocks of at most 1 kB) fails the write, and the old dataset stays.
    const std::vector<uint8_t> before = readBinary(path);
    ASSERT_GT(before.size(), 16384u);
    EXPECT_EQ(runVcconfig(root.path(), "value GPS_BAUDRATE 4800\n", &out, "ulimit -f 16; "), 1) << out;
    EXPECT_NE(out.find("vcconfig: cannot write " + path + ": File too large"), std::string::npos) << out;
    EXPECT_TRUE(readBinary(path) == before) << "the dataset changed";
    for (const auto& f : std::filesystem::directory_iterator(root.file("caldata")))
        EXPECT_EQ(f.path().filename(), "dataset.bin");

    // A dataset that is no file is named, and left alone.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(runVcconfig(root.path(), "value GPS_BAUDRATE 4800\n", &out), 1) << out;
    EXPECT_NE(out.find("vcconfig: cannot read " + path + ": Is a directory\n"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::is_empty(path));
}
