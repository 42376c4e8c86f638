// Telemetry: a compact live picture of the car for the pits. Frames of a fast block (in every
// frame) and one of up to seven slow blocks (in turn) go out over the serial port "/tyCo/0" or UDP,
// paced to the line's capacity, from the latest records of the telemetry measurement m02; and a
// small JSON status datagram goes out once a second over UDP.
#pragma once

#include "logging/config/meas_app_cfg.h"

#include <atomic>
#include <cstdint>

struct meas_blk;

inline constexpr int TELE_SLOTS = 8; // slot 0 the fast block, 1..7 the slow blocks
inline constexpr int TELE_PRIORITY = 105;
inline constexpr int TELE_STACK = 65536;
inline constexpr uint16_t TELE_JSON_PORT = 10001;
inline constexpr size_t TELE_FRAME_MAX = 255;

enum tele_transport : uint8_t { TELE_SERIAL = 0, TELE_SERIAL_HOLD = 1, TELE_UDP = 2 };

// The copy of the link settings, with the channel words as identifiers.
struct tele_run_config {
    uint32_t baudrate;
    uint32_t DataRate; // kbit/s budget of UDP, 0: one frame per second
    uint32_t projectCode;
    uint32_t ipAddress; // network byte order
    uint16_t TelePort;
    uint8_t TelemetrieMode;
    uint8_t pause;
    uint8_t SoftwareID;
    uint32_t lapdist, GPSLat, GPSLong, StartCond; // channel identifiers, 0 none
};

// 0 stopped, 1 serial sending, 2 serial held by input 3, 3 serial sending (held mode), 4 UDP
// without socket, 5 UDP sending, 6 disabled by the enable channel.
extern std::atomic<uint8_t> telemetry_state;
extern std::atomic<uint32_t> tele_fastblock_dt, tele_slowblock_dt, tele_data_rate, tele_data_rate_kBit;
extern std::atomic<uint32_t> teleUpdateRate;
extern std::atomic<uint8_t> telemetry_active;
extern std::atomic<uint32_t> tele_frames_sent;

// The block table: the logging enters every telemetry block of m02 under its telemetry id
// (1..8, slot id - 1) when it creates the instance, and clears the table when it frees it.
void tele_app_add_block(meas_blk* block);
void tele_app_clear_blocks();

// Start-up: spawns "r_tele" (the socket and the serial port are opened by the first start).
void tele_app_ini();
// Starts the frames of a telemetry configuration. 1 when started, 0 otherwise (no telemetry
// configured, socket failure, a frame longer than 255 bytes, a serial baud rate below 11).
int tele_app_start(const MEASConfiguration* config);
void tele_app_stop();
// Runs the current frame function; ms until the next call (1000 without one).
int tele_func();
// Builds and sends one frame; ms until the next call.
int vektaTele_func();
// Host and tests: ends both tasks and closes the socket and the serial port.
void tele_app_exit();
