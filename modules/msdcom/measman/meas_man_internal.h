// Inside the measurement manager: the list record, the raster chains with their locks, the list
// registry and handle table, and the helpers the request, copy and tick code share.
#pragma once

#include "framework/raster.h"
#include "measdata/seram_meas.h"
#include "msdcom/ci/ci_msg.h"
#include "msdcom/ci/dynkomm_fifo.h"
#include "msdcom/ci/magic_number.h"
#include "msdcom/measman/meas_man.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

// Returned by a CCP/XCP master that fills a list itself; called when the list stops.
using meas_man_master_stop = void (*)();

// One accepted request.
struct meas_list {
    std::atomic<uint32_t> mark{MEAS_MAN_MARK_DEAD};
    dynkomm_fifo* fifo = nullptr;
    uint32_t reqCtx = 0;       // address requests: the request's context word
    uint32_t peerWord = 0;     // address: second FIFO word of the path answer; name: requester's FIFO handle
    meas_list* next = nullptr; // next list of the same raster
    uint32_t lastTs = 0;       // stored-data lists: time stamp of the last record
    uint32_t raster = 0;
    uint16_t divisor = 0;
    uint16_t countdown = 0;
    // A divisor change takes effect in the data's time: the records of ticks stamped before it came
    // are still copied when a late calculation task gets to them.
    uint16_t nextDivisor = 0;
    uint8_t nextReload = 0;
    uint8_t changePending = 0;
    uint32_t changeTs = 0;
    uint32_t handle = 0; // list handle (name requests); 0 for address requests
    meas_man_master_stop masterStop = nullptr;
    uint16_t reqPid = 0;
    uint16_t pathPid = 0;
    uint16_t flags = 0;
    uint16_t listLen = 0; // bytes of the address list
    uint16_t valueCount = 0;
    uint8_t stopped = 0; // a stored-data time-stamp error
    uint8_t byName = 0;
    uint8_t lastTsValid = 0; // lastTs holds the time stamp of a record
    // Host bookkeeping.
    uint32_t ident = 0;                     // identity on the wire of an address list (ci_ident.h)
    uint32_t fifoHandle = 0;                // name requests: handle of the FIFO on this device
    uint16_t recordSize = 0;                // slot bytes the copy may fill
    std::vector<uint32_t> words;            // the address list, host order
    std::vector<seramMeasHandle_t> handles; // one per list word (cleared for markers and 0)
};

namespace mm {

// Rasters 0 to 9 are copied on the calculation task's ticks, stamped with each tick's due time.
inline constexpr uint32_t kPacedRasters = RASTER_INDICES;

// A divisor in force, the countdown started again when asked (the chain's lock held).
inline void applyDivisor(meas_list* list, uint16_t divisor, bool reloadCountdown) {
    list->divisor = divisor;
    if (reloadCountdown) list->countdown = divisor;
}

// A raster chain: the copy of that raster holds the lock while it walks the chain, so a list
// unchained under the lock is never touched by the copy again and may be freed.
struct Chain {
    std::mutex lock;
    std::atomic<meas_list*> head{nullptr};
};
Chain& chain(uint32_t raster);

// Under the chain's lock: puts the list at the head. Not under it: unchains; true when it was in.
void chainList(meas_list* list);
bool unchainList(meas_list* list);

// Registry of every list in existence (pending ones included), so that identities that come back
// from the network are checked before a list is touched.
void registerList(meas_list* list);
bool isList(const meas_list* list);
// The list of an address request's identity, or nullptr.
meas_list* listByIdent(uint32_t ident);
// The list of a valid list handle, or nullptr.
meas_list* listByHandle(uint32_t handle);
// Enters a name list under its handle (measHdrMagicArr).
void enterHandle(meas_list* list);
// Deletes the list's handle (held) and clears its entry, when the handle still validates.
void releaseHandle(meas_list* list);
// Frees the list: measurement handles, identity, registry entry, memory. Not while chained.
void freeList(meas_list* list);
// Every list in existence.
std::vector<meas_list*> allLists();

magic_table* magics();

// Counters of the copy (single writer per raster under the chain lock; read by the 10 ms tick).
extern std::atomic<uint32_t> data_loss_cnt[MEAS_MAN_RASTERS];
extern std::atomic<uint32_t> measblock_stopped[MEAS_MAN_RASTERS];

// Stored-data state shared by the path answers, the copy and the 10 ms tick.
extern std::atomic<bool> copyOfflineEnabled;
extern std::atomic<bool> offlineRequested;
extern std::atomic<uint32_t> syncErrDelay; // 10 ms ticks before a sync error may be raised
void resetTick();

// Group widths of the address list: 8, 4, 2 or 1 for a marker, the byte count for a raw group,
// 0 for anything else.
inline uint32_t groupWidth(uint32_t head) {
    switch (head) {
    case MEAS_MAN_MARK_8:
        return 8;
    case MEAS_MAN_MARK_4:
        return 4;
    case MEAS_MAN_MARK_2:
        return 2;
    case MEAS_MAN_MARK_1:
        return 1;
    default:
        return head >= 1 && head <= MEAS_MAN_RAW_MAX ? head : 0;
    }
}
inline bool isMarker(uint32_t w) {
    return w == MEAS_MAN_MARK_8 || w == MEAS_MAN_MARK_4 || w == MEAS_MAN_MARK_2 || w == MEAS_MAN_MARK_1;
}
inline bool isRawHead(uint32_t w) {
    return w >= 1 && w <= MEAS_MAN_RAW_MAX;
}

// Sends a message through the command interpreter; true when it was accepted.
bool send(const comint_msg& m);

} // namespace mm
