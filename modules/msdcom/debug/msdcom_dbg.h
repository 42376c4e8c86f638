// Network diagnostics as measurement variables: the global DivoVur2 counters, the link and gateway
// counters of two peers chosen by calibration (MSDCOM_DBG_PID_1/2), and the response time of a
// third (MSDCOM_DBG_PING_PID) by the CI bounce command, pinged every 100 ms or 10 ms
// (MSDCOM_DBG_PING_FREQ 1 or 2).
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int MSDCOM_PING_ENTRIES = 100;
inline constexpr uint16_t MSDCOM_PING_CMD = 0x0105;
inline constexpr uint16_t MSDCOM_PING_PAYLOAD = 8;

enum : uint32_t { PING_FREE = 0, PING_SENT = 1, PING_ANSWERED = 2 };

struct msdcom_ping_t {
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> sendTime; // time stamp, 100 us units
    std::atomic<uint16_t> loop;
    std::atomic<uint16_t> response; // 100 us units, at most 0xFFFF
};

// 100 ms raster: global and per-slot variables.
void msdcom_dbg();
// 10 ms raster: the ping sender.
void msdcom_dbg_10ms();
// The bounced ping (0x0106 on r_Comint): its 8-byte payload.
void pingCallBack(const uint8_t* payload, uint16_t length);
// Start-up: hooks both into their rasters.
void msdcom_dbg_ini();

// Diagnostics and tests: the ping table, the passes through it, and a fresh start of the sender.
extern msdcom_ping_t pings[MSDCOM_PING_ENTRIES];
extern std::atomic<uint32_t> pingLoop;
void msdcom_dbg_reset();
