// The system configuration record `cfg_system`: whether logging is active, which devices are the
// lap-trigger master and the fuel-consumption master, and the ECU code of the status blocks; built
// once at start-up from the calibration parameters ECU_TYPE, DEVICE_CONFIG and OUTINGCTR_MODE and
// the PIDs the companion process publishes. Read by the lap functions, lap timing and the logging.
#pragma once

#include <cstdint>

inline constexpr uint16_t CFG_SYSTEM_PID_NONE = 0xFFFF;

// Error-memory entry of a logging device without a lap-trigger master.
inline constexpr uint16_t CFG_SYSTEM_ERRMEM_NO_LTM = 498;
inline constexpr uint8_t CFG_SYSTEM_ERRMEM_NO_LTM_TYPE = 20;

struct cfg_system_t {
    uint8_t loggingActive;   // 1 when the logging application is enabled
    uint8_t devCfgBit1Clear; // 1 when DEVICE_CONFIG bit 1 is clear (and for ECU type 0)
    uint8_t laptrigSlave;    // 1 when the lap-trigger master is another device than this one
    uint8_t reserved3;
    uint16_t ltmPid;  // lap-trigger master PID, CFG_SYSTEM_PID_NONE when none
    uint16_t fcmPid;  // fuel-consumption master PID, CFG_SYSTEM_PID_NONE when none
    uint16_t ecuCode; // ECU code of the status blocks
    uint8_t reserved10;
    uint8_t reserved11;
};
static_assert(sizeof(cfg_system_t) == 12, "the record is 12 bytes");

extern cfg_system_t cfg_system;

// Start-up, at the system-configuration place (before the logging starts): fills `cfg_system` and
// the external name, logs the configuration and raises error 498 for a logging device that names
// no lap-trigger master.
void cfg_system_ini();
// Short name of the ECU type (up to 7 characters).
const char* get_external_name();
