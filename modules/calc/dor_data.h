// The lap model's data glue: calibration data, NV records and board inputs into measurement
// variables of the signal page, run in the 1 ms, 10 ms and 100 ms rasters before the model steps.
// It keeps the ECU annotation (256 bytes, NV record 10) and the car id (32 bytes, NV record 11),
// mirrors the SIMU* test values, publishes date and time and the power-on time, and latches the
// lap-trigger pin (digital input 0) into B_Laptriggerpin. The annotation is a byte field: it may
// hold no NUL, so it is copied whole and never read as a text of its own.
//
// The same file holds a factory echo test of the serial ports that the application never starts.
#pragma once

#include "framework/time_util.h"
#include "platform/rtos/rtos.h"

#include <cstdint>

inline constexpr uint32_t NV_REC_ANNOTATION = 10; // 256 bytes
inline constexpr uint32_t NV_REC_CARID = 11;      // 32 bytes

// Once, at start-up (else from the first dor_data_100ms): the two NV records (rewritten from
// calibration data when missing or damaged, on the NV store's task) and the default gateway. The
// 100 ms task never reads the NV store: a read waits while the store's task writes.
void dor_data_init();
void dor_data_1ms();
void dor_data_10ms();
void dor_data_100ms();
void dor_ftest_100ms();
// The time_* variables from a system time.
void dor_data_setTime(const timeserv_time_t& now);
// Host and tests: the glue's own state as at start.
void dor_data_reset();

// The factory echo test: "r_rs232_loopback_0" and "r_rs232_loopback_1" echo what they read on
// "/tyCo/0" and "/tyCo/1". The id of the second task, or the log call's result when a spawn fails.
TASK_ID rs232_loopback();
void rs232_loopback_task(int port);
