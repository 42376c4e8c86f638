// Between the parts of the logging application.
#pragma once

#include "logging/fifo/meas_app_blk.h"
#include "logging/store/meas_app_pretrig.h"
#include "msdcom/gateway/gw_meas.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// A node of the list of devices taking part: one per started block.
struct meas_pidnode {
    meas_pidnode* prev;
    meas_pidnode* next;
    meas_blk* block;
    uint16_t pid;
};
meas_pidnode* meas_app_add2pidlist(meas_blk* block, uint16_t pid);
void meas_app_pidlist_walk(const std::function<void(const meas_pidnode&)>& fn);

// The callbacks given to gw_connect.
extern const callback_list meas_app_callbacks;
// Telemetry blocks are started once per creation of m02.
extern std::atomic<uint8_t> meas_app_tele_started;
// Numbering of the block FIFOs (from 0 at every stop).
void meas_app_fifo_numbering_reset();

// Running lists, doubly linked, newest first. The callers also hold the instance's semaphore; the
// lists themselves are guarded by one lock, so that tasks that walk them (the measurement raster,
// the status-block task) take a copy.
void meas_list_push(meas_blk** head, meas_blk* block);
void meas_list_unlink(meas_blk** head, meas_blk* block);
std::vector<meas_blk*> meas_list_snapshot(meas_blk* const* head);

// The block's file part: store data set up and released (0 ok).
int MeasAppStore_initData(MeasAppStore_data* store, uint32_t maxRecords, uint32_t maxBytes,
                          uint32_t recordSize, uint32_t factor, uint32_t cnt4, uint32_t cnt2, uint32_t cnt1);
int MeasAppStore_deinitData(MeasAppStore_data* store);

// The file queue's lock for a scope (gFileQueueSem), logged when it cannot be taken.
struct MeasAppStore_QueueLock {
    bool held;
    // `timeoutTicks`: a caller that must not hang (the shutdown's watchdog) waits that long at most.
    explicit MeasAppStore_QueueLock(const char* who, int timeoutTicks = WAIT_FOREVER);
    ~MeasAppStore_QueueLock();
    MeasAppStore_QueueLock(const MeasAppStore_QueueLock&) = delete;
    MeasAppStore_QueueLock& operator=(const MeasAppStore_QueueLock&) = delete;
};
// The record of a node of the file queue (the node is its first member).
inline MeasAppStore_FileInfo_s* MeasAppStore_fileOfNode(NODE* n) {
    return reinterpret_cast<MeasAppStore_FileInfo_s*>(n);
}

// An instance's configuration, blocks, locks and store are made and freed under this lock, and the
// start-condition check (its own raster task) reads them under it.
std::mutex& meas_app_instanceLock();
