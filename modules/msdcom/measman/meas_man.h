// The measurement manager (`meas_man_*`): the server side of live measurement. Any device, this
// one's own gateway included, asks it for values by address (0x0500) or by name (0x0510), a raster
// index and a divisor; the manager resolves the values, opens a data path with a data FIFO,
// answers with the record layout and from then on writes one record per due raster tick into the
// FIFO. It also serves stop, speed, state and kill requests, stops stored-data lists whose time
// stamps run backwards, and counts records lost to full FIFOs.
//
// Request handlers run in "r_Comint"; meas_man_copy runs in the calculation task "r_tAWM_SS" and
// the lap rasters; meas_man_10ms in the 10 ms raster.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <atomic>
#include <cstdint>

inline constexpr int MEAS_MAN_RASTERS = 20;
inline constexpr uint32_t MEAS_MAN_RASTER_MASTER = 13; // lists a CCP/XCP master acquires itself

// List marks.
inline constexpr uint32_t MEAS_MAN_MARK_DEAD = 0xDEAD0EA5;  // path being opened, or stopped
inline constexpr uint32_t MEAS_MAN_MARK_VALID = 0x0EA5E518; // chained and producing

// List flags (request flags).
inline constexpr uint16_t MEAS_MAN_FLAG_QUEUE = 0x0001;   // queue mode ("offline", no loss)
inline constexpr uint16_t MEAS_MAN_FLAG_STORED = 0x0002;  // stored data, time stamps checked
inline constexpr uint16_t MEAS_MAN_FLAG_ZERO_TS = 0x0004; // a caller's time stamp 0 stays 0

// Address-list group markers; a head word from 1 to 511 is a byte count (raw copy group).
inline constexpr uint32_t MEAS_MAN_MARK_8 = 0xFFFFFFF8;
inline constexpr uint32_t MEAS_MAN_MARK_4 = 0xFFFFFFFC;
inline constexpr uint32_t MEAS_MAN_MARK_2 = 0xFFFFFFFE;
inline constexpr uint32_t MEAS_MAN_MARK_1 = 0xFFFFFFFF;
inline constexpr uint32_t MEAS_MAN_RAW_MAX = 511;

// The largest record: one DK frame must fit a send-buffer half.
inline constexpr uint16_t MEAS_MAN_RECORD_MAX = 1464;
// Signals of one name request: the 0x0511 answer (16 + 20 per signal) fits one queue slot.
inline constexpr uint32_t MEAS_MAN_NAME_SIGNALS_MAX = 23;
inline constexpr uint32_t MEAS_MAN_NAME_LEN_MAX = 200;

// Error-memory entry of a lost time synchronisation while stored data is measured.
inline constexpr uint16_t MEAS_MAN_ERRMEM_SYNC = 482;
inline constexpr uint8_t MEAS_MAN_ERRMEM_SYNC_TYPE = 32;

struct meas_list;

// Readiness flags, each set once during start-up by its module (virtual channels registered, CAN
// I/O initialised). State requests (0x0505, 0x0516) are answered only when both are set.
extern std::atomic<uint8_t> meas_man_virtChan_registered;
extern std::atomic<uint8_t> meas_man_CanIO_initialized;

// Start-up, with the network stack (after comint_ini and net_ini): clears the raster chains and
// the stored-data state, creates the handle table (collected once a second), registers the
// handlers and hooks the copy into the calculation task, the lap rasters and the 10 ms raster.
// False when the handle table could not be made ("meas_man_ini(): failed to initialize magic
// number table"); address requests are served anyway.
bool meas_man_ini();
// Host and tests: stops and frees every list and resets counters and stored-data state; the
// handle table stays (its collector holds it). meas_man_ini may run again afterwards.
void meas_man_exit();

// Command handlers (ci_table.h).
void meas_man_create(comint_msg* message);                 // 0x0500
void meas_man_break(comint_msg* message);                  // 0x0502
void meas_man_speed(comint_msg* message);                  // 0x0503
void meas_man_kill_my_measurements(comint_msg* message);   // 0x0504
void meas_man_get_measurement_state(comint_msg* message);  // 0x0505
void meas_man_create2_cmd(comint_msg* message);            // 0x0510
void meas_man_break2(comint_msg* message);                 // 0x0512
void meas_man_speed2(comint_msg* message);                 // 0x0514
void meas_man_get_measurement_state2(comint_msg* message); // 0x0516

// One raster tick: a record into the FIFO of every due list of `raster`. A time stamp of 0 means
// "now" (unless the chain's first list asks to keep 0).
void meas_man_copy(int raster, uint32_t timestamp);
// Where the lap raster's copy of raster indices 11 and 12 takes its time stamp: the lap event's,
// once the lap-trigger exchange names its source; until then (null) the time of the copy.
void meas_man_setLapTimestampSource(uint32_t (*source)());
// 10 ms raster hook: stored-data enable by time synchronisation, error 482, loss and stop logs.
void meas_man_10ms();

// Sum of the data-loss counters at the last 1 s update.
uint32_t meas_man_get_data_loss_cnt();
// Whether stored-data lists are being copied.
bool meas_man_copy_offline_data_enabled();

// Stops a list: 1 stopped (also for no list), 0 when it is not valid or not in its raster chain.
// Unless keep_path is set its data path is closed. The list is freed.
int meas_man_stop(meas_list* list, int keep_path);
// Builds and sends the 0x0501 answer of an address request (FIFO word 0: refused).
void meas_man_send_createreply(uint16_t requester_pid, const meas_list* list, uint32_t context,
                               uint32_t fifo_word);
// Reply function of dynkomm_openpath: the path of an address request is open (or refused).
void meas_man_openreply(comint_msg* message, uint16_t pid);

// A float's bit pattern in big-endian order, as it travels.
uint32_t htonl_float(float value);

// Diagnostics and tests.
struct meas_man_stats {
    uint32_t data_loss_cnt[MEAS_MAN_RASTERS];
    uint32_t measblock_stopped[MEAS_MAN_RASTERS];
    uint32_t data_loss_cnt_sum;
    uint32_t lists;        // lists in existence (pending ones included)
    uint32_t chained;      // lists in the raster chains
    uint32_t handles_used; // list handles in use
};
meas_man_stats meas_man_get_stats();
