// The channel manager of the calculation channels, as far as this build has channel modules:
// formula (0x10) and condition-function (0x11) channels and FIR filter instances (256, 257).
//
// At start-up it sets up every entry of the channel table (awm_vc_config.h) of the active
// calibration page: a formula or condition channel gets its state cells and input handles and its
// cyclic function at the head of its raster's queue. It then serves the calculation-channel
// addresses (source 31): each measurement of a channel's value (sub-channel 0) has a value cell of
// its own, filled by its measure function at the tail of the measurement's raster; equal filter
// measurements share one.
#pragma once

#include <cstdint>

// Start-up, at the calculation-channel place (after the gateway): the raster queues, the channels
// of the table, the producer of source 31, the calculation task's step (before the measurement
// manager's copy), then meas_man_virtChan_registered = 1. An entry that cannot be set up is logged
// and skipped. Storing the calibration dataset stops the channels (AWM_sched_STOP).
void awm_man_ini();
// Ordered shutdown: no queue is called any more.
void awm_man_stop();
// Host and tests: unqueues and frees every channel and measurement and stops serving source 31.
// Handles of calculation channels must have been freed before.
void awm_man_exit();

struct awm_man_stats {
    uint32_t channels;     // set up and running
    uint32_t skipped;      // table entries refused
    uint32_t measurements; // value cells in use (a shared one counts once)
};
awm_man_stats awm_man_get_stats();
