// The NV record store of the kernel side, as the application reads and writes it.
// Records 0 to 21 and 256 to 262; each element stored twice with a CRC and a write counter.
//
// A write goes through to the medium, each copy on its own (two write-throughs an element, four for
// a new one). A disk that holds a write-through for seconds would hold its writer as long: the
// real-time tasks (the rasters, the measurement task, the lap function, the status block) and the
// display never write themselves, they queue the value for the NV store's own task, "r_nvStore", and
// go on; the start writes only one copy of the boot counter itself. A read sees a value still
// queued, so its writer reads back what it wrote, and waits for no other element's write-through.
#pragma once

#include <cstddef>
#include <cstdint>

// Records the framework keeps for itself.
inline constexpr uint32_t NV_REC_BOOTCOUNT = 257; // index = application index, u32
inline constexpr uint32_t NV_REC_ERRMEM = 258;    // index = application index, the entry table

// Start-up: opens the store in the parameter block's NV directory and reads every element once
// (a copy found not good is queued for its rewrite). Writes queued from now on wait until
// nvram_writeBehindStart: the start-up's reads come first.
bool nvram_init();
// Closes the store; a write the NV task has in hand is not waited for (the store stays open for it
// until the exit, and false is returned: the task may be held in the kernel).
bool nvram_close();
// Bytes copied (at most the stored size), or -1 when no valid record exists. A value queued and not
// yet written (or being written) is the one read; else the store's, which waits for no other
// element's write. A copy found not good is rewritten from the other by the NV store's task (logged).
int nvram_dbs_read(uint32_t id, uint32_t index, void* buffer, size_t length);
// Non-zero (the length) when stored, 0 on failure. For the start-up and tasks that may wait: it waits
// for a queued write of the element in hand and takes the place of one not begun.
int nvram_dbs_write(uint32_t id, uint32_t index, const void* buffer, size_t length);
// As nvram_dbs_write, but only one copy is written through (with its folder entry when new) before it
// returns: from then on the element reads as the new value, also after a power cut. The other copy
// follows on the NV store's task. For a value the start must have stored before it goes on.
int nvram_dbs_writeOneCopy(uint32_t id, uint32_t index, const void* buffer, size_t length);
// Many elements stored together, each as nvram_dbs_write stores it (each copy written through), the
// store held meanwhile; their order among themselves is not kept through a power cut. `count` when
// all are stored, 0 on failure (logged).
struct NvramElement {
    uint32_t id;
    uint32_t index;
    const void* data;
    size_t length;
};
size_t nvram_dbs_writeMany(const NvramElement* elements, size_t count);

// How a queued value takes its turn. The record kinds (`what`) take turns at the store, one write
// each, so that no kind waits behind another's backlog (the lap counters behind the lap stack's
// slots); within a kind the values go in the order they were queued.
enum class NvramOrder : uint8_t {
    // A later value of the element replaces it while it waits, and is written behind everything of
    // its kind queued before that later value; but the element's first value in turn keeps its place
    // once another element of its kind was queued after it (the later value then follows it), so
    // that an element that changes more often than the store writes is never starved. Values of
    // different elements of a kind reach the medium in the order they were queued: a caller that
    // queues A, then B, finds A on the medium whenever B is (a power cut between them loses B, never
    // A alone).
    Latest,
    // As Latest, but a later value does not replace it, and nothing queued after it, of any kind,
    // is written before it: what follows needs this value on the medium first (a cleared count
    // before the slots it no longer counts are refilled, and before the counters of the new outing).
    Keep,
    // Written once nothing else waits (a clear of slots that no count holds): nothing may need it
    // first, and no one waits for it.
    Idle,
};

// Queues the element's value for the NV store's task and returns at once: the write's number
// (above 0) for nvram_writeLaterDone, or 0 when it is refused (a bad id or length, or the queue at
// its bound of 1024 elements or 512 KiB: logged). `what` names the record kind in the log (a text
// that lives as long as the process, e.g. "the lap stack").
uint64_t nvram_dbs_writeLater(uint32_t id, uint32_t index, const void* buffer, size_t length,
                              const char* what, NvramOrder order = NvramOrder::Latest);
// Whether the write numbered `ticket`, and every write of kind `what` queued before it (Idle ones
// aside), is made: stored, failed (logged) or replaced by a later value that is made.
bool nvram_writeLaterDone(uint64_t ticket, const char* what);
// Start-up, once its reads are done: the queued writes begin.
void nvram_writeBehindStart();
// Waits up to `ms` until nothing is queued or being written; true when so.
bool nvram_writeBehindFlush(int ms);
// The shutdown: writes what is queued for up to `ms`, then names what is not stored, one line per
// record kind, and drops it: a write in hand that has not begun is let go and named with them (the
// next start reads what NV held before), one whose first copy's write-through is under way is named
// as what may not be stored (the next start reads it or what NV held before). True when everything
// was stored.
bool nvram_writeBehindEnd(int ms);
// Elements of record `id` queued or being written.
size_t nvram_writeBehindPending(uint32_t id);
