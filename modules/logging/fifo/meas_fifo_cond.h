// Condition FIFOs: rings of time-stamped condition states, so that each logged record is judged by
// the condition that held at its own time stamp, whatever the delays of data and condition. A
// window before each change of a condition is marked uncertain (state 2). And the write counters
// of the two logging instances with the write rates derived from them.
#pragma once

#include <cstdint>

inline constexpr int COND_FIFO_COUNT = 124;       // m01 0..61, m03 62..123
inline constexpr uint32_t COND_FIFO_DEPTH = 6768; // about 34 s of 5 ms entries

// Results of the condition and block FIFOs.
enum : int {
    MF_ERR_COND_NUM = -1,
    MF_ERR_FIFO_IN_USE = -2,
    MF_ERR_FIFO_INVALID = -3,
    MF_ERR_TYPE = -4,
    MF_ERR_MEM_ALLOC = -5,
    MF_ERR_FIFO_RELEASE = -6,
    MF_ERR_RASTER = -9,
    MF_ERR_TS_INVALID = -10,
    MF_ERR_TS_WAIT = -11,    // later than the newest entry, which is less than 200 ms old
    MF_ERR_TS_TOO_OLD = -12, // earlier than the oldest entry
    MF_ERR_FIFO_EMPTY = -14,
    MF_ERR_COND_STOPPED = -15, // later than the newest entry, which is 200 ms old or older
};

enum : uint8_t { COND_FALSE = 0, COND_TRUE = 1, COND_UNCERTAIN = 2, COND_INVALID = 0xFF };

// The request of a condition FIFO, copied whole into the FIFO.
struct fifo_cond_request_t {
    uint8_t fifoNo;       // 0..123
    uint8_t valueSize;    // 1, 2 or 4
    uint16_t delayMs;     // delay of the device (0 without a start reply)
    uint16_t raster;      // raster code; must be 2 (5 ms)
    uint16_t pid;         // device of the condition
    uint16_t blockId;     // for messages
    uint16_t uncertainMs; // uncertainty time of the condition
};

// Clears the "reported" marks of missing FIFOs; at every measurement start.
void fifo_condition_init();
// The current time stamp (100 us), once per logging tick.
void fifo_cond_set_curr_ts(uint32_t timestamp);
int fifo_condition_request(const fifo_cond_request_t* request);
// A gateway sample: big-endian u32 time stamp, then the value (only zero or not zero matters).
int fifo_condition_put(uint32_t fifoNo, const uint8_t* record);
// The state at time stamp `t` (that of the last entry not later than t), or a negative code.
int fifo_condition_check(uint32_t fifoNo, uint32_t t);
int fifo_condition_release(uint32_t fifoNo);
int fifo_condition_release_all();
// FIFOs requested now.
uint32_t fifo_condition_count();

// What a file writer counts per completed write.
struct dataWriteCounts_t {
    uint32_t* writes;
    uint32_t* bytes;
};
// The counters of instance 0 (m01) or 2 (m03) for kind 0 (logging drive) or 4 (USB drive); any
// other gives two null pointers (nothing is counted).
void meas_cnt_reference(dataWriteCounts_t* out, int instance, int kind);
// One completed write of `bytes` (the writers run beside the reader of the counters).
void meas_cnt_add(const dataWriteCounts_t& counts, uint32_t bytes);
// Sums and, once a second, the write rates in bytes per second; once per logging tick.
void meas_cnt_update();
