// Data FIFO of the dynamic data paths: one writer task, one reader task, no lock. One allocation
// holds the header followed by `depth` slots of `slot_size` bytes. Queue mode ("offline", stored
// data) refuses a write when full; latest-value mode ("online") overwrites and reads the newest.
//
// Life of a FIFO: dynkomm_fifo_new() makes it live; dynkomm_fifo_release() takes it out of the
// live set, marks it dead (every later write or read finds nothing) and retires it; the memory is
// freed by a later collection tick (dynkomm_1s), when no writer or reader can still hold it.
// Code that names a FIFO from outside (identifiers, handles) checks membership, never the mark
// of memory that may be gone.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr uint16_t DYNKOMM_FIFO_MARK = 0xA710;
inline constexpr uint16_t DYNKOMM_FIFO_DEAD = 0xDEAD;
inline constexpr uint16_t DYNKOMM_ROUTE_LOCAL = 0;
inline constexpr uint16_t DYNKOMM_ROUTE_ETH = 0xF0;     // next hop over an Ethernet route (kind 2)
inline constexpr uint16_t DYNKOMM_ROUTE_LOCSOCK = 0xF1; // next hop over a local-socket route (kind 3)
inline constexpr uint16_t DYNKOMM_FLAG_QUEUE = 0x0001;  // flags bit 0: queue mode
// The most memory one FIFO may take (slots only); larger requests are refused.
inline constexpr uint32_t DYNKOMM_FIFO_MAX_BYTES = 8u << 20;

struct dynkomm_fifo {
    dynkomm_fifo* link; // next FIFO in the sender list of its raster (serial-network manager)
    uint32_t handle;    // handle number in the FIFO handle table; 0 for address-based paths
    uint32_t peer;      // the peer's handle or FIFO identifier; the open-reply function while opening
    std::atomic<uint32_t> read_index;  // free-running count of slots consumed (reader only)
    std::atomic<uint32_t> write_index; // free-running count of slots written (writer only)
    uint16_t route_tag;
    std::atomic<uint16_t> mark;
    uint16_t src_pid;
    uint16_t dst_pid;
    uint16_t depth; // a power of two
    uint16_t mask;  // depth - 1
    uint16_t slot_size;
    uint16_t raster;
    uint16_t flags;
    // Host bookkeeping, not part of the record layout.
    uint32_t ident;       // identifier of this FIFO on the wire (ci_ident.h)
    uint32_t retire_tick; // collection ticks seen since release
    uint32_t pins;        // holders that found it by handle and may still write (dynkomm_fifo_pin)
    uint8_t opening;      // an address-based remote path waits for its open answer
    uint8_t* slots() { return reinterpret_cast<uint8_t*>(this + 1); }
};

struct dynkomm_fifo_params {
    uint32_t handle = 0;
    uint32_t peer = 0;
    uint16_t route_tag = DYNKOMM_ROUTE_LOCAL;
    uint16_t src_pid = 0;
    uint16_t dst_pid = 0;
    uint16_t depth = 0;
    uint16_t slot_size = 0;
    uint16_t raster = 0;
    uint16_t flags = 0;
};

// A new live FIFO, zeroed, mark 0xA710, indices 0, with its identifier registered. nullptr (logged
// under the flood rule) for a depth that is not a power of two, a slot size of 0, more than
// DYNKOMM_FIFO_MAX_BYTES, no memory or no identifier.
dynkomm_fifo* dynkomm_fifo_new(const dynkomm_fifo_params& params);
// Releases a live FIFO: 1 done, 0 when it is not live (already released or never made).
int dynkomm_fifo_release(dynkomm_fifo* fifo);
// True while the FIFO is live.
bool dynkomm_fifo_isLive(const dynkomm_fifo* fifo);
// The FIFO's identifier on the wire, and the live FIFO of an identifier (nullptr otherwise).
uint32_t dynkomm_fifo_ident(const dynkomm_fifo* fifo);
dynkomm_fifo* dynkomm_fifo_byIdent(uint32_t ident);
// A holder that found the FIFO through a handle (a network receiver) pins it for as long as it
// holds a slot, however long the peer takes to send the record: a pinned FIFO is never freed.
// False (nothing pinned) when the FIFO is no longer live.
bool dynkomm_fifo_pin(dynkomm_fifo* fifo);
void dynkomm_fifo_unpin(dynkomm_fifo* fifo);
// One collection tick for released FIFOs: frees those released before the previous tick and not
// pinned.
void dynkomm_fifo_collect();
// Diagnostics: live FIFOs, released FIFOs waiting to be freed.
uint32_t dynkomm_fifo_liveCount();
uint32_t dynkomm_fifo_retiredCount();

// Writer: the slot to fill next, or nullptr when the FIFO is dead or a queue-mode FIFO is full.
uint8_t* dynkomm_write(dynkomm_fifo* fifo);
// Writer: publishes the filled slot.
void dynkomm_writedone(dynkomm_fifo* fifo);
// Reader: the slot to consume (queue mode the oldest, latest-value mode the newest), or nullptr
// when the FIFO is dead or empty.
uint8_t* dynkomm_read(dynkomm_fifo* fifo);
// Reader: releases the slot read (latest-value mode drops everything older too).
void dynkomm_readdone(dynkomm_fifo* fifo);
