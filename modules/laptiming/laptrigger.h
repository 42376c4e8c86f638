// The lap-trigger exchange: the lap-trigger master announces each lap (CI command 0x1200) to every
// device, itself included; each device turns it into new lap, outing and fragment counters, a lap
// mark for the fuel-consumption channel, a run of the lap raster, a lap-stack entry and a
// status-block trigger. It also answers devices that ask for the counters (0x1201/0x1202), status
// requests (0x1203) and relays the lap function's reset and increment requests (0x1204-0x120B).
//
// Which device is the master comes from cfg_system alone. The master and receiver records are
// written by one side and read by the other without a lock; a reader may see a mix of two laps.
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

// Lap message codes (payload offset 0).
inline constexpr uint32_t LAPTRIGGER_EVENT = 0xFFFFFFFF;
inline constexpr uint32_t LAPTRIGGER_STATUS = 0xFFFFFFFE;
inline constexpr uint32_t LAPTRIGGER_UPDATE = 0xFFFFFFFD;
inline constexpr uint16_t LAPTRIGGER_MSG_LEN = 16;
// The status reply is sent at most once in this many time-stamp units (5.9 s).
inline constexpr uint32_t LAPTRIGGER_STATUS_INTERVAL = 59000;

// Lap-function request channels (lapfunc_ctrl_*).
enum LapfuncChannel : int {
    LAPFUNC_CH_RESET_LAP = 0,
    LAPFUNC_CH_RESET_OUT = 1,
    LAPFUNC_CH_RESET_LAPDIST = 2,
    LAPFUNC_CH_RESET_BEST = 3,
    LAPFUNC_CH_INCR_OUTING = 4,
    LAPFUNC_CH_INCR_LAP = 5,
    LAPFUNC_CH_RESET_SEGMENTS = 6,
    LAPFUNC_CHANNELS = 7,
};

// Start-up, at the lap-counter place: registers the handlers 0x1200-0x120B and gives the lap
// raster's measurement copy the lap event's time stamp.
void laptrigger_ini();

// Lap time in seconds as it travels: 1/100 s, halves away from zero, negative (and NaN) as 0.
uint32_t laptrigger_laptime(float seconds);

// Sender side. Events and updates are stamped with the due time of the raster pass that sends them
// (raster_passTimestamp), the time now outside one.
void laptrigger_init(uint16_t lap, uint16_t outing, float laptime);
void laptrigger_event(uint16_t lap, uint16_t outing, float laptime);
// A lap stamped with its own time: a crossing found from fixes that came late keeps the time it
// was made.
void laptrigger_eventAt(uint16_t lap, uint16_t outing, float laptime, uint32_t timestamp);
void laptrigger_update(uint16_t lap, uint16_t outing, float laptime);
void laptrigger_get_info_req(uint32_t pid);
void laptrigger_meas_req();
void laptrigger_check_outctr();
void laptrigger_resetlap();
void laptrigger_resetout();
void laptrigger_resetlapdist();
void laptrigger_reset_best_laptime();
void laptrigger_incr_outing();
void laptrigger_incr_lap();
void laptrigger_reset_segments();

// Time stamp of the last lap event received; the lap raster records under it.
uint32_t laptrigger_getLapTimeStamp();

// Command handlers (ci_table.h).
void laptrigger_signal_cmd(comint_msg* message);             // 0x1200
void laptrigger_get_info_cmd(comint_msg* message);           // 0x1201
void laptrigger_get_info_reply_cmd(comint_msg* message);     // 0x1202
void laptrigger_meas(comint_msg* message);                   // 0x1203
void laptrigger_check_outctr_cmd(comint_msg* message);       // 0x1204
void laptrigger_reset_lap_cmd(comint_msg* message);          // 0x1205
void laptrigger_reset_out_cmd(comint_msg* message);          // 0x1206
void laptrigger_reset_lapdist_cmd(comint_msg* message);      // 0x1207
void laptrigger_reset_best_laptime_cmd(comint_msg* message); // 0x1208
void laptrigger_incr_outing_cmd(comint_msg* message);        // 0x1209
void laptrigger_incr_lap_cmd(comint_msg* message);           // 0x120A
void laptrigger_reset_segments_cmd(comint_msg* message);     // 0x120B

// Request counters of the lap-function channels.
void lapfunc_ctrl_Set(int channel);
// Hands out at most one pending request of the channel per call (1 into `pending`), else 0.
void lapfunc_ctrl_Get(int channel, uint8_t* pending);
void lapfunc_ctrl_Send(int channel);

// Host and tests: the records as at start.
void laptrigger_reset();
