// Block FIFOs: one ring of time-stamped samples per logged data block, between the gateway's data
// callback (producer) and the measurement raster that packs frames (consumer). The consumer takes
// the samples decimated to the block's current recording rate (one of two, chosen by its
// condition), optionally held back by the lap-trigger data delay; signals that arrive a known
// number of samples late are put back into the sample they belong to. Per-raster fill peaks are
// published as measurement variables, and errors are reported once per logging cycle.
#pragma once

#include "logging/fifo/meas_fifo_cond.h"

#include <cstdint>

inline constexpr int DATA_FIFO_COUNT = 500;
inline constexpr int DATA_FIFO_MAX_SIGNALS = 512;

// Further results of the block FIFOs (the others are shared with the condition FIFOs).
enum : int {
    MF_ERR_FIFO_FULL = -7,
    MF_ERR_MEM_DEST = -8,
    MF_ERR_COND_WAIT = -13, // the condition is not yet known for the sample's time
    MF_ERR_NO_SAMPLE = -16, // nothing recorded was taken
};

// The request of a block FIFO, copied whole into the FIFO.
struct fifo_data_request_t {
    uint16_t fifoNo;                           // 0..499
    uint16_t signalCount;                      // up to 512
    uint8_t widths[DATA_FIFO_MAX_SIGNALS];     // bytes per value: 1, 2 or 4
    uint16_t latencies[DATA_FIFO_MAX_SIGNALS]; // samples each signal's value arrives late
    uint16_t raster;                           // raster code 0-12 or 14-18
    uint16_t factorA;   // recording period in raster periods while the condition is false
    uint16_t factorB;   // ... while it is true
    uint8_t condNo;     // 1-based condition FIFO, 0 = none
    uint16_t condFlags; // the block's, carried along
    uint16_t pid;       // for messages
    uint16_t blockNo;   // for messages
};

// 0, or MF_ERR_FIFO_INVALID (number), MF_ERR_FIFO_IN_USE, MF_ERR_TYPE (width or signal count),
// MF_ERR_MEM_ALLOC (no memory or deeper than a FIFO may be), MF_ERR_RASTER (raster code, latencies
// on an event raster, or both factors 0 on a periodic raster).
int fifo_data_request(const fifo_data_request_t* request);
// One sample: big-endian u32 time stamp, then each signal's value of its width (times the burst
// samples), `length` bytes delivered. 0 stored or dropped (a repeated time stamp), or
// MF_ERR_FIFO_INVALID, MF_ERR_TYPE (shorter than the FIFO's record), MF_ERR_TS_INVALID (more than
// 0.1 s ahead of the logging clock), MF_ERR_FIFO_FULL.
// A sample one raster period or more after the last one stored logs the samples lost between them.
int fifo_data_put(uint32_t fifoNo, const uint8_t* sample, uint32_t length);
// The block is paused: its next gap is no loss.
void fifo_data_pause(uint32_t fifoNo);
// The block runs again after a pause: its next sample stored ends the pause's excuse, gap or not, so
// that a later loss is named. Samples stored before it (still on their way at the pause) leave the
// excuse to the gap to come.
void fifo_data_resume(uint32_t fifoNo);
// Takes at most one recorded sample into `dest` (the FIFO's record size, which it returns); the
// samples its rate skips are taken on the way. MF_ERR_NO_SAMPLE when none is left, MF_ERR_MEM_DEST,
// MF_ERR_FIFO_INVALID, MF_ERR_TS_WAIT (not yet due; the sample stays), MF_ERR_COND_WAIT,
// MF_ERR_TS_INVALID. `outTs` (may be null) gets the time stamp of the sample looked at.
int fifo_data_get(uint32_t fifoNo, uint8_t* dest, bool holdBack, uint32_t* outTs);
// The record size of a FIFO (bytes of one sample), or MF_ERR_FIFO_INVALID.
int fifo_data_record_size(uint32_t fifoNo);
// 0, or MF_ERR_FIFO_RELEASE when there is no such FIFO.
int fifo_data_release(uint32_t fifoNo);
int fifo_data_release_all();
// FIFOs requested now.
uint32_t fifo_data_count();

// The logging clock, once per logging cycle, and whether it was just set anew.
void fifo_data_set_curr_ts(uint32_t ts);
void fifo_data_time_resync(bool resynced);

void meas_fifo_data_init_load_vars();
// Every 100 ms: publishes the fill peaks of the rasters that changed (fifo_load_max_*).
void meas_fifo_data_update_load_vars();
// Once per logging cycle: one line per FIFO with new errors; status bit 0x20000 set when none.
void meas_fifo_data_syslog();
