// The serial-network path manager: serves the path commands on the target side (0x0300 open,
// 0x0301 close), keeps on the producer side the lists of source FIFOs to send, one online and one
// offline list per raster index, and runs the senders that the 10 ms send rasters call.
#pragma once

#include "msdcom/ci/ci_msg.h"
#include "msdcom/ci/dynkomm_fifo.h"

#include <cstdint>

inline constexpr int SERNET_RASTERS = 20;
inline constexpr uint16_t SERNET_MAX_SLOTS = 512;
// The largest record whose frame fits one send-buffer half (1472 - 8).
inline constexpr uint16_t SERNET_MAX_RECORD = 1464;

extern uint32_t sernet_man_lost_data_cnt;

// Start-up: empties the 40 lists, creates their mutexes and registers the handlers 0x0300 and
// 0x0301. False when a mutex could not be made (logged).
bool SerNet_man_ini();

void SerNet_man_openpath(comint_msg* message);  // 0x0300
void SerNet_man_closepath(comint_msg* message); // 0x0301
void SerNet_man_send_openreply(uint16_t destination, uint32_t replyContext, uint32_t context, uint32_t value,
                               uint32_t handle, uint16_t ownPid, dynkomm_fifo* fifo);

// A receiving FIFO: `slots` slots of `slotSize` bytes, this device as destination.
dynkomm_fifo* SerNet_man_reserve(uint16_t slotSize, uint16_t slots, uint16_t flags, uint16_t raster,
                                 uint16_t srcPid, uint32_t context);
int SerNet_man_release_fifo(dynkomm_fifo* fifo); // 1 released, 0 not a live FIFO

void SerNet_man_start_sending(dynkomm_fifo* fifo);
int SerNet_man_stop_sending(dynkomm_fifo* fifo); // 1 removed, 0 not in its list

// Senders of one raster index: online sends the newest record of each FIFO, offline drains them.
void SerNet_man_sender_online(int rasterIndex);
void SerNet_man_sender_offline(int rasterIndex);
void SerNet_man_flush_online();  // Dynkom_flush_eth(0)
void SerNet_man_flush_offline(); // Dynkom_flush_eth(1)
void SerNet_man_1s();

// FIFO wrappers of the data paths.
int sernet_man_fifo_prepare_sink(uint32_t handle);
uint32_t sernet_man_fifo_create_sink(uint32_t handle, uint16_t srcPid, uint16_t ownPid, uint16_t raster,
                                     uint16_t depth, uint16_t slotSize, uint16_t flags);
uint32_t sernet_man_fifo_create_source(uint32_t reqHandle, uint32_t localHandle, uint16_t ownPid,
                                       uint16_t reqPid, uint16_t raster, uint16_t slotSize, uint16_t flags);
int sernet_man_fifo_delete_source(dynkomm_fifo* fifo);
int sernet_man_fifo_delete_sink(dynkomm_fifo* fifo);

// The send schedule: the raster indices due in send cycle `cycle`, in sending order. Returns
// their number (at most 11).
int sernet_man_due_rasters(uint32_t cycle, int out[11]);
// Bodies of the two 10 ms send rasters: the senders of the due indices, then the flush.
void rEthSend_online();
void rEthSend_offline();
