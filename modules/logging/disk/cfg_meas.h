// The logging drives: where each measurement instance finds its configuration and writes its files,
// drive names mapped to drive and hardware indices, and the file counts of the logging drives,
// refreshed once a second by the task "r_CfgMeasFrmtInfo" for the PC side.
#pragma once

#include <cstdint>

inline constexpr int CFG_MEAS_INSTANCES = 3; // m01, m02 (telemetry, no files), m03
inline constexpr int CFG_MEAS_DRIVES = 4;    // "cfg:", "meas:", "meas2:", "usb_meas:"
inline constexpr int CFG_MEAS_HW = 2;        // 0 internal flash, 1 USB drive
inline constexpr int CFG_MEAS_NAME_LEN = 40;

inline constexpr int CFG_MEAS_FRMTINFO_PRIORITY = 162;
inline constexpr int CFG_MEAS_FRMTINFO_STACK = 50000;

// One measurement instance.
struct cfg_meas_t {
    char cfgDrive[CFG_MEAS_NAME_LEN];
    char xmlFile[CFG_MEAS_NAME_LEN];
    char datFile[CFG_MEAS_NAME_LEN];
    char dcpFile[CFG_MEAS_NAME_LEN];
    char targetPartition[CFG_MEAS_NAME_LEN]; // the logging drive
    char usbDrive[CFG_MEAS_NAME_LEN];
    uint32_t fileLess; // 1: writes no files (telemetry)
};
extern cfg_meas_t cfg_meas[CFG_MEAS_INSTANCES];

// One drive: its hardware, its configured and actual maximum file count (directory size), marks.
struct cfg_meas_drv2Hw_t {
    char drive[CFG_MEAS_NAME_LEN];
    int8_t hwIndex;
    uint32_t (*configuredMaxFileCnt)(); // the calibration parameter, null for none
    uint32_t* actualMaxFileCnt;         // the variable receiving the partition's maximum, null for none
    uint8_t internal;                   // 1 on the internal flash
    uint8_t loggingPartition;           // 1 for a logging partition
};
extern cfg_meas_drv2Hw_t cfg_meas_drv2Hw[CFG_MEAS_DRIVES];

// Availability debouncing per hardware index (kept by the drive preparation).
struct cfg_meas_devHwInfo_t {
    uint32_t debounceMs;
    uint64_t firstSeenNs;
    uint8_t availableBefore;
    uint32_t status;
};
extern cfg_meas_devHwInfo_t cfg_meas_devHwInfo[CFG_MEAS_HW];

// The second logging's partition at start-up (LOGGING2_TARGET_PARTITION): with 0 there is no
// second partition, so m03 logs to "meas:" (USB drive "usb_meas:") and "meas2:" is no logging
// partition; any other value keeps "meas2:".
void cfg_meas_iniPartitions(uint8_t logging2TargetPartition);

// The configured directory size of a logging partition ("meas:", "meas2:") as the calibration
// dataset gives it (the reference page is loaded from it at start-up); false for another drive or
// a size left unconfigured (0xFFFFFFFF). The host's drive service reads it as the kernel side reads
// its dataset.
bool cfg_meas_datasetMaxFileCnt(const char* drive, uint32_t* entries);

// Device index 0..3 of a drive name (first 40 characters compared), -1 when not found or null.
int cfg_meas_getDevIdxFromDrvName(const char* name);
// Hardware index 0..1 of a drive name, -1 when unknown or null.
int cfg_meas_getHwIdxFromDrvName(const char* name);
// The logging drive and the record of an instance; null for an index outside 0..2.
const char* cfg_meas_getTargetPartition(int index);
const cfg_meas_t* cfg_meas_getCfgPartition(int index);

// File counts of a drive: count = used directory entries, max = used + free. 0 ok; -1 when the
// drive cannot be read or no name is given (count 0, max 0xFFFFFFFF); another value is the failed
// directory request's result (count 0, max 0xFFFFFFFF).
int cfg_meas_getBfsFileCounts(const char* drive, uint32_t* count, uint32_t* max);

// Refresh of the file counts of "meas:", "meas2:" and, through the task, "usb_meas:". viaTask 0
// refreshes at once without the USB drive; 1 wakes the task (started on first use).
void cfg_meas_formatInfos_start(uint8_t viaTask);
void cfg_meas_formatInfos_1s(); // the 1 s raster: start with 1
void cfg_meas_formatInfos();    // start with 0
// Host and tests: refreshes the task has finished since start.
uint32_t cfg_meas_formatInfos_runs();
