// FIR filter instances: the filter of one calculation channel (channel types 256 and 257) of one
// device, measured at one raster. Equal requests share one instance and its measurement
// (awm_sched_check_filter_in_queue), so the filter runs once per raster whatever the number of
// readers.
//
// The filter arithmetic (taps, coefficients) is not part of this build: an instance's measure
// function gives NaN, and the channel manager says so when it sets such a channel up.
#pragma once

#include <cstdint>

inline constexpr uint16_t AWM_FIR_TYPE_A = 256;
inline constexpr uint16_t AWM_FIR_TYPE_B = 257;

struct awm_fir_filter {
    uint8_t pid;     // device of the filtered channel
    uint16_t vc_num; // channel number (0..1023)
    uint16_t raster; // raster index of the measurement
    double* output;  // the measurement's value cell
};

uint8_t awm_fir_filter_get_pid(const void* instance);
uint16_t awm_fir_filter_get_VC_NUM(const void* instance);
uint16_t awm_fir_filter_get_raster(const void* instance);

// Measure function of a filter measurement (queued at the tail of its raster).
void awm_fir_filter_measure(void* instance, uint32_t timestamp);
