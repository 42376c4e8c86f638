// Data paths (`dynkomm_*`): the FIFO handle table and the life of handle-based FIFOs, the
// address-based paths of the older request format, the slot counts by raster, the tidy-up
// command 0x1100 and the path error ring.
#pragma once

#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/ci_msg.h"
#include "msdcom/ci/dynkomm_fifo.h"
#include "msdcom/ci/magic_number.h"

#include <cstdint>

// Start-up (network stack, before comint_ini): creates the FIFO handle table and schedules its
// collection tick (dynkomm_1s) once a second. False with "dynkomm_ini(): failed to initialize
// magic number table".
bool dynkomm_ini();
// One collection tick of the FIFO handle table and of released FIFOs.
void dynkomm_1s();
// Host and tests: drops the FIFO handle table (FIFOs stay as they are); dynkomm_ini may run again.
void dynkomm_exit();
magic_table* dynkomm_magic_table();

// FIFO handle numbers for the serial-network manager.
uint32_t dynkomm_get_magic();                 // 0 when none is free (logged)
uint32_t dynkomm_free_magic(uint32_t handle); // delete with hold
uint32_t dynkomm_free_magic_direct(uint32_t handle);

// Handle-based FIFOs (measurement requests by name). Entry states of a handle:
enum : uint32_t { DYNKOMM_FIFO_RESERVED = 0, DYNKOMM_FIFO_PREPARED = 1, DYNKOMM_FIFO_CREATED = 2 };

// A new FIFO handle with a cleared entry; for another target the sink is prepared by the
// serial-network manager. 0 when no handle is free.
uint32_t dynkomm_fifo_reserve(uint16_t target_pid);
// 1 and state prepared; 0 for a handle that does not validate.
int dynkomm_fifo_prepare(uint32_t handle);
// Creates the FIFO of a prepared handle and enters it (state created). nullptr when the handle
// does not validate, is not prepared, or the FIFO cannot be made.
dynkomm_fifo* dynkomm_fifo_create(uint32_t handle, uint16_t src_pid, uint32_t peer_handle, uint16_t dst_pid,
                                  uint16_t raster, uint16_t depth, uint16_t slot_size, uint16_t flags);
// Enters a FIFO made elsewhere under `handle` (state created). 1, or 0 for an invalid handle.
int dynkomm_fifo_set(uint32_t handle, dynkomm_fifo* fifo);
// This device at both ends: prepare and create under `handle`, peer = the same handle. The handle,
// or 0 (the handle is then deleted).
uint32_t dynkomm_fifo_create_local(uint32_t handle, uint16_t raster, uint16_t depth, uint16_t slot_size,
                                   uint16_t flags);
// Server side of a name request: the local FIFO, or a source FIFO towards the requester. The
// handle of the FIFO on this device, or 0.
uint32_t dynkomm_fifo_link(uint32_t req_handle, uint16_t own_pid, uint16_t req_pid, uint16_t raster,
                           uint16_t depth, uint16_t slot_size, uint16_t flags);
// Requester side, on the answer: makes the receiving FIFO for another source. The handle, or 0.
uint32_t dynkomm_fifo_activate(uint32_t handle, uint16_t src_pid, uint16_t raster, uint16_t depth,
                               uint16_t slot_size, uint16_t flags);
// 1 and the FIFO when created; 2 when the handle is valid but has no FIFO yet; 0 when it does not
// validate. `out` is nullptr in both failure cases.
int dynkomm_get_fifo(uint32_t handle, dynkomm_fifo** out);
// Server side of a stop: clears the entry, deletes the handle (held) and ends the FIFO. 0 for a
// local FIFO, the requester's handle (the FIFO's peer word) for a remote one, 0 when the handle
// does not validate.
uint32_t dynkomm_fifo_unlink(uint16_t req_pid, uint16_t own_pid, uint32_t handle);
// Requester side, on the stop answer: deletes the handle, clears the entry and ends the sink.
int dynkomm_fifo_free(uint32_t handle);

// Address-based paths (the older request format). The reply function gets a 0x0107-style message
// whose payload is u32 reply context, u32 FIFO identifier, u32 peer FIFO word, u16 PID
// (identifiers 0: refused) and the PID of the path (0 when refused).
void dynkomm_openpath(uint16_t own_pid, uint16_t req_pid, uint16_t slot_size, uint16_t raster, uint16_t depth,
                      uint16_t flags, ci_reply_fn reply, uint32_t reply_ctx);
// 1 when the FIFO was live and its path is closed, 0 otherwise.
int dynkomm_closepath(uint16_t own_pid, dynkomm_fifo* fifo, uint16_t req_pid);
// Reply function of the remote open (reached through 0x0107).
void dynkomm_open_serial_network_path_reply(comint_msg* message, uint16_t pid);
// Handler of 0x1100.
void dynkomm_tidy_up(comint_msg* message);

// Slot counts by raster index: for gateway FIFOs and requests of depth 0, and for remote
// address-based paths.
uint16_t gw_getslotnum(int raster);
uint16_t dynkomm_getslotnum_SerNet(int raster);

// Path error ring `dynkomm_err_mem`: 8 entries of a code and the first 40 bytes of the message.
inline constexpr int DYNKOMM_ERR_ENTRIES = 8;
struct dynkomm_err_entry {
    uint32_t code;
    uint8_t msg[40];
};
void dynkomm_error(uint16_t code, const comint_msg* message);
uint32_t dynkomm_error_count();
dynkomm_err_entry dynkomm_error_entry(int index);
