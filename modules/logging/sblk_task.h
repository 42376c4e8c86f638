// The status block's shared state as far as the lap exchange and the lap stack use it. The status
// block itself (its task, requests and check steps) is not part of this build.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr uint32_t SB_STATIC_VERSIONS_AWAITED = 0x0001;
inline constexpr uint32_t SB_STATIC_LAPSTACK_AWAITED = 0x0002;

extern std::atomic<uint32_t> sb_static_status;
extern std::atomic<uint8_t> sb_SwOff; // set at power-down: no lap-stack entry from the network

// An accepted lap event: the lap-stack request masks start again, and when the fuel-consumption
// master is another device the lap's entry waits for its lap-stack information (bit 1 of
// sb_static_status). Returns 1.
int sblk_task_laptrigger(uint16_t previousLap, uint16_t previousOuting, uint32_t timestamp, uint32_t laptime);
