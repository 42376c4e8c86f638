// The system configuration per ECU type and per device configuration, and the drive tables with
// the file counts of the logging drives.
#include "lapfixture.h"

#include "framework/errmem.h"
#include "logging/disk/cfg_meas.h"
#include "logging/disk/meas_app_disk.h"
#include "platform/drives/devroot.h"
#include "platform/drives/drive_dirinfo.h"
#include "platform/kernel/applcomm.h"

using namespace laptest;
using testsupport::countContaining;
using testsupport::drainSyslog;

namespace {

struct SystemTest : CounterTest {
    cfg_system_t configure(uint16_t ecuType, uint32_t deviceConfig, uint8_t outingMode = 0) {
        SeramCalData& cal = seramCalPage(SERAM_PAGE_REFERENCE);
        cal.ECU_TYPE = ecuType;
        cal.DEVICE_CONFIG = deviceConfig;
        cal.OUTINGCTR_MODE = outingMode;
        cfg_system_ini();
        return cfg_system;
    }
};

bool error498() {
    ErrorMemEntry e[ERROR_MEM_ENTRIES];
    const size_t n = error_mgr_list(e, ERROR_MEM_ENTRIES);
    for (size_t i = 0; i < n; ++i)
        if (e[i].path == 498 && e[i].type == 20 && e[i].active) return true;
    return false;
}

} // namespace

TEST_F(SystemTest, OneRecordPerEcuType) {
    const struct {
        uint16_t type;
        const char* name;
        uint8_t byte1, byte2;
        uint16_t masters, code;
    } rows[] = {
        {0x0000, "None", 1, 0, 0xFFFF, 0x0000},    {0x0500, "MS5-0", 0, 1, 10, 0x0005},
        {0x0501, "MS5-1", 0, 1, 10, 0x0005},       {0x0502, "MS5-2", 0, 1, 10, 0x0005},
        {0x0505, "MS5-5", 0, 1, 10, 0x0005},       {0x0604, "MS6-4", 0, 0, 0xFFFF, 0x0406},
        {0x0704, "MS7-4", 0, 0, 0xFFFF, 0x0407},   {0xFF01, "GEN-1", 0, 0, 0xFFFF, 0x01FF},
        {0xFF02, "GEN-2", 0, 0, 0xFFFF, 0x02FF},   {0x1234, "UNKNOWN", 0, 0, 0xFFFF, 0x3412},
        {0xFFFF, "UNKNOWN", 0, 0, 0xFFFF, 0x0000},
    };
    for (const auto& r : rows) {
        const cfg_system_t c = configure(r.type, 0);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&c);
        EXPECT_EQ(std::vector<int>(bytes, bytes + 12),
                  (std::vector<int>{1, r.byte1, r.byte2, 0, r.masters & 0xFF, r.masters >> 8,
                                    r.masters & 0xFF, r.masters >> 8, r.code & 0xFF, r.code >> 8, 0, 0}))
            << std::hex << r.type;
        EXPECT_STREQ(get_external_name(), r.name);
    }
    EXPECT_EQ(
        countContaining(drainSyslog(),
                        "ECU_TYPE: 0xffff, DEVICE_CONFIG: 0x00000000, fcm_pid: 0xFFFF, extName: UNKNOWN"),
        1);
}

TEST_F(SystemTest, DeviceConfigNamesLoggingAndMasters) {
    error_mgr_clear(498);
    error_mgr_clear_all();
    cfg_system_t c = configure(0, 0x00000001, 1);
    EXPECT_FALSE(error498()) << "test-bench mode needs no master";
    c = configure(0, 0x00000001);
    EXPECT_EQ(std::vector<int>({c.loggingActive, c.devCfgBit1Clear, c.laptrigSlave, c.ltmPid, c.fcmPid}),
              (std::vector<int>{1, 1, 0, 0xFFFF, 0xFFFF}));
    EXPECT_TRUE(error498());
    auto log = drainSyslog();
    EXPECT_EQ(countContaining(log, "cfg_system_ini() no laptrigger master defined in config"), 1);
    EXPECT_EQ(
        countContaining(log, "ECU_TYPE: 0x0000, DEVICE_CONFIG: 0x00000001 ltm_pid: 0xFFFF logging active"),
        2);

    c = configure(0, 0x00002A03);
    EXPECT_EQ(std::vector<int>({c.loggingActive, c.devCfgBit1Clear, c.laptrigSlave, c.ltmPid, c.fcmPid}),
              (std::vector<int>{1, 0, 1, 42, 0xFFFF}));
    c = configure(0x0505, 0x000A1000); // this device (16) is the master, PID 10 the fuel master
    EXPECT_EQ(
        std::vector<int>({c.loggingActive, c.devCfgBit1Clear, c.laptrigSlave, c.ltmPid, c.fcmPid, c.ecuCode}),
        (std::vector<int>{0, 1, 0, 16, 10, 5}));
    log = drainSyslog();
    EXPECT_EQ(
        countContaining(
            log, "DEVICE_CONFIG: 0x000A1000 ltm_pid: 0x10 logging INACTIVE, fcm_pid: 0x0A, extName: MS5-5"),
        1);

    // The companion process's PIDs override the configuration.
    std::string error;
    ApplComm* comm = applcomm_open(devroot_path(), &error);
    ASSERT_NE(comm, nullptr) << error;
    ASSERT_TRUE(applComm_init());
    applcomm_update(comm, RtpIndex, [](ApplCommApp& a) {
        a.laptrigPid = 16;
        a.fuelconsPid = 12;
    });
    c = configure(0, 0x00002A01);
    EXPECT_EQ(std::vector<int>({c.laptrigSlave, c.ltmPid, c.fcmPid}), (std::vector<int>{0, 16, 12}));
    EXPECT_EQ(countContaining(drainSyslog(), "PID override: ltm_pid: 0x10, fcm_pid: 0x0C"), 1);
    applComm_close();
    applcomm_close(comm);
    applcomm_unlink(devroot_path());
}

TEST_F(SystemTest, DriveTablesAndFileCounts) {
    const struct {
        const char* name;
        int dev, hw;
    } drives[] = {{"cfg:", 0, 0}, {"meas:", 1, 0}, {"meas2:", 2, 0}, {"usb_meas:", 3, 1}, {"meas", -1, -1}};
    for (const auto& d : drives) {
        EXPECT_EQ(cfg_meas_getDevIdxFromDrvName(d.name), d.dev) << d.name;
        EXPECT_EQ(cfg_meas_getHwIdxFromDrvName(d.name), d.hw) << d.name;
    }
    EXPECT_STREQ(cfg_meas_getTargetPartition(0), "meas:");
    EXPECT_STREQ(cfg_meas_getTargetPartition(1), "/tyCo/0");
    EXPECT_STREQ(cfg_meas_getTargetPartition(2), "meas2:");
    EXPECT_EQ(cfg_meas_getTargetPartition(3), nullptr);
    EXPECT_EQ(cfg_meas_getCfgPartition(1)->fileLess, 1u);
    EXPECT_EQ(cfg_meas_getDevIdxFromDrvName(nullptr), -1);
    EXPECT_EQ(countContaining(drainSyslog(), "cfg_meas_getDevIdxFromDrvName() drv NULL"), 1);

    testsupport::makeDirs(root.file("meas/sub"));
    for (const char* f : {"meas/A0101000.001", "meas/A0101000.002", "meas/sub/B0101000.001"})
        testsupport::writeFile(root.file(f), "x");
    testsupport::writeFile(drive_stateFile("meas:"), "dirsize 100\n");
    testsupport::writeFile(drive_stateFile("usb_meas:"), "dirsize many\n");
    const struct {
        const char* drive;
        int result;
        uint32_t count, max;
        const char* log;
    } counts[] = {{"meas:", 0, 2, 100, nullptr}, // the folder and what it holds take no entry
                  {"meas2:", 0, 0, DRIVE_DIRSIZE_DEFAULT, nullptr},
                  {"usb_meas:", DRIVE_DIRINFO_FAILED, 0, 0xFFFFFFFF,
                   "cfg_meas_getBfsFileCounts(usb_meas:) ioctl failed"},
                  {"x:", -1, 0, 0xFFFFFFFF, "cfg_meas_getBfsFileCounts(x:) could not read drive"},
                  {"", -1, 0, 0xFFFFFFFF, "cfg_meas_getBfsFileCounts() missing drive name"}};
    for (const auto& c : counts) {
        uint32_t count = 7, max = 7;
        EXPECT_EQ(cfg_meas_getBfsFileCounts(c.drive, &count, &max), c.result) << c.drive;
        EXPECT_EQ(count, c.count) << c.drive;
        EXPECT_EQ(max, c.max) << c.drive;
        if (c.log) {
            EXPECT_EQ(countContaining(drainSyslog(), c.log), 1);
        }
    }

    // The refresh: at once without the USB drive, through the task with it once it has settled.
    hostclock_setManual(true);
    meas_app_driveAvDebounce("usb_meas:");
    hostclock_advanceBurstMs(3000);
    SeramSigPage& sig = seramSig();
    sig.meas_fileCnt_usb = 9;
    cfg_meas_formatInfos();
    EXPECT_EQ(std::vector<uint32_t>({sig.meas_fileCnt_part1, sig.meas_maxFileCnt_part1,
                                     sig.meas_maxFileCnt_part2, sig.meas_fileCnt_usb}),
              (std::vector<uint32_t>{2, 100, DRIVE_DIRSIZE_DEFAULT, 9}));
    const uint32_t runs = cfg_meas_formatInfos_runs();
    cfg_meas_formatInfos_1s();
    ASSERT_TRUE(testsupport::waitUntil([&] { return cfg_meas_formatInfos_runs() > runs; }));
    EXPECT_EQ(std::atomic_ref<uint32_t>(sig.meas_maxFileCnt_usb).load(), 0xFFFFFFFFu);
    EXPECT_EQ(std::atomic_ref<uint32_t>(sig.meas_fileCnt_usb).load(), 0u);
}
