// The store of a logging measurement as the logging application, the status block and the event
// logger see it: flat functions over an opaque handle (the measurement's Pretrigger). Each call
// turns into an action that travels through the Pretrigger and the Backend to the writer tasks,
// which write the measurement files on the logging drive and the USB drive. A null handle makes
// every function a no-op (0 where a value is returned).
#pragma once

#include "logging/disk/meas_app_disk.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct MEASConfiguration;

inline constexpr int MEAS_FILENAME_LEN = 40;
inline constexpr uint32_t MEAS_TS_NONE = 0xFFFFFFFF;

// Record types of the meta-data records of a measurement file.
enum : uint8_t {
    MEAS_META_SB_FRAME = 0, // raw one-sample frame of a status-block block, no record header
    MEAS_META_CONFIG = 1,   // the configuration blob
    MEAS_META_STATUSBLOCK = 2,
    MEAS_META_CARID = 3,
    MEAS_META_START_TS = 4,
    MEAS_META_CLOSE_TS = 5,
    MEAS_META_EVENT = 6,
    MEAS_META_TIMEMASTER = 7,
};

// Where a file's close stands, in its record: decided (the close type and stamp are fixed then),
// status block asked for, closed towards the writers (its status block and close action handed
// over), and closed on every drive it is written to (read-only there). The record stays in the file
// queue until the last step, so that a stop, a destroy and the shutdown wait on it.
enum : uint32_t {
    MEAS_CLOSE_OPEN = 0,
    MEAS_CLOSE_PERIOD = 1,   // decided: forced fragment, stop, destroy, shutdown (no close stamp record)
    MEAS_CLOSE_COUNTERS = 2, // decided: the counters moved on at a lap (close stamp record)
    MEAS_CLOSE_SB = 3,       // its status block is asked for
    MEAS_CLOSE_WRITERS = 4,  // handed to the writers: status block and close action in the store
    MEAS_CLOSE_DONE = 5,     // every writer of the file has closed it
};

// One measurement file of the file store (allocated zeroed with malloc by the file store, which
// holds one reference for its file queue). From meas_app_PreTrigOpenFile on its virtual file holds
// another; the last one let go (meas_app_PreTrigFileInfoRelease) frees the record.
struct MeasAppStore_FileInfo_s {
    NODE node;   // membership in the file queue
    LIST blocks; // the store data of every block writing into the file
    void* meas;  // the measurement instance
    void* store; // the store it is written by (used only while that store is alive)
    // ... and that store's identity, set when the file is opened in it: a store made later at the
    // same address is not the file's.
    uint32_t storeId;
    uint16_t index;        // instance index: 0 m01, 2 m03
    uint8_t createTime[6]; // BCD: year mod 100, month, day, hour, minute, second
    char name[MEAS_FILENAME_LEN];
    uint16_t outing;
    uint16_t lap;
    uint16_t absLap;
    uint16_t fragment;
    uint32_t cutSeq; // the cut of the counters it holds the records of (LapOutFraCut::seq); 0 none
    std::atomic<uint32_t> closeState; // MEAS_CLOSE_*
    uint32_t initTimestamp;           // start of the file (100 us); 0 when not known
    uint32_t closeTimestamp;          // MEAS_TS_NONE while open
    uint32_t closeDeadline;           // MEAS_TS_NONE = none
    std::atomic<uint8_t> closeable;   // the oldest file of its instance (set by the writer side too)
    // Set by meas_app_PreTrigOpenFile; -1 not open or closed. The store clears it in the task that
    // closes the file (the status-block task, say) while the logging task looks at it.
    std::atomic<int32_t> vfIdx;
    uint32_t bytesWritten; // sum of the frames handed over
    uint32_t headerLength; // set by the store: bytes of the file before its first frame
    // What the file header takes from the measurement, filled by the file store before the open:
    const MEASConfiguration* config; // blocks and their frame ids (may be null: no blocks)
    const void* configBlob;          // record type 1, copied by the store
    uint32_t configBlobSize;
    std::atomic<uint8_t>*
        headerWritten;             // the instance's file-written flag, set when a file writer wrote a header
    uint32_t loggerId;             // record type 7
    std::atomic<uint32_t> refs;    // the file queue's, the virtual file's and each writer's that has it open
    std::atomic<uint32_t> writers; // writer bits of the writers that are to write the file
    std::atomic<uint32_t> stickWriters; // ... those among them that write a stick
    std::atomic<uint32_t> closedOn;     // ... that have closed it whole (status block last, read-only)
    // ... that cannot finish it: they left the store (stopped, hung), their drive failed them (not
    // for want of room), the stick was pulled, or their close failed. Such a file stays writable.
    std::atomic<uint32_t> failedOn;
    // ... whose close a write-through task of their drive still makes: one of them that leaves the
    // store meanwhile neither fails the file nor stops being one of its writers; its close tells.
    std::atomic<uint32_t> finishingOn;
    // Counts every piece of the file a writer got onto its drive and every change of its close: a
    // wait for the file sees from it whether anything still moves.
    std::atomic<uint32_t> progress;
    // The copies of the closed file to the stick (made at a stick's arrival), MEAS_COPY_*: pending
    // while one is under way, else as the last one that replaced the stick's file left it.
    std::atomic<uint8_t> copyState;
    uint32_t run;                        // the file store's logging run it belongs to
    std::atomic<uint8_t> toldUnfinished; // a wait gave up on it: its late finish is told too
    // Why it is unfinished, as the first writer (or the destroy) that could not finish it told it:
    // set once (reasonState 1 while it is written, 2 when it can be read).
    std::atomic<uint8_t> reasonState;
    char reasonDrive[16];
    char reason[96];
    // Where its records went, each block's on each drive, is kept beside it (meas_app_pretrig.cpp),
    // so that those that reached no drive are named.

    // Set while the file's name waits for the start's search of the drives' folders (its absolute
    // lap is provisional): its writers create it only once the name is fixed
    // (meas_app_PreTrigFileNamed), and what comes for it waits in the store meanwhile.
    std::atomic<uint8_t> namePending;
    // The name it had before it was fixed where fixing changed it ("" else): a status block
    // collected before carries that one, and its writers put the fixed one in its place.
    char provisionalName[MEAS_FILENAME_LEN];
};

// The stick's copy of a file: asked for, made (the stick holds the file whole), or failed (before
// the stick's file was touched, or after: the stick's file is lost then).
enum : uint8_t {
    MEAS_COPY_NONE = 0,
    MEAS_COPY_PENDING = 1,
    MEAS_COPY_DONE = 2,
    MEAS_COPY_FAILED = 3,
    MEAS_COPY_DAMAGED = 4,
};

// A writer whose drive cannot take the open file of its measurement asks for a new file (`why`
// says what happened, e.g. "A0101000.002 is not finished on meas:"); the logging takes each ask
// once and cuts the files of the measurement while it runs. `newestSeen`: the newest file (virtual
// file index) the writer had opened when it asked; a file cut after that one (a lap's, a
// fragment's) comes to the drive as to any, and the ask is dropped: a cut is never a second one.
void meas_app_PreTrigAskNewFile(int measIdx, const std::string& why, int newestSeen = INT32_MAX);
// The next ask not taken yet: true with its measurement and why; `overtaken` (may be null): a file
// was opened after the newest one its writer had seen, and no new file is needed for it.
// `cutSeen` (may be null): the cut of that newest file (MeasAppStore_FileInfo_s::cutSeq), 0 when it
// is not known: any cut made after it, its file opened yet or not, is the drive's new file.
bool meas_app_PreTrigTakeNewFileAsk(int* measIdx, std::string* why, bool* overtaken = nullptr,
                                    uint32_t* cutSeen = nullptr);

// Records why the file is unfinished on `drive`, unless a reason is recorded already.
void meas_app_PreTrigFileUnfinishedReason(MeasAppStore_FileInfo_s* file, const char* drive, const char* why);

// The start's names are fixed: the file takes the absolute lap and name given (its header with
// them, and the name in a status block collected before) and its writers may create it. The file
// store calls it once for each file whose name was pending, on the task that names files.
void meas_app_PreTrigFileNamed(MeasAppStore_FileInfo_s* file, uint16_t absLap, const char* name);

// Lets go of a reference to the record; the last one frees it, and names the file's records that
// reached no drive (it is whole on none, and none of its writers handed them to its drive), each
// block's span: "meas_app_PreTrigFileInfoRelease(): the records of A0104000.301 are on no drive (not
// finished on meas:, usb_meas:): block 1 (Fast) from 6848.19 s to 6851.20 s, block 2 (Counters) after
// 6847.80 s to 6851.20 s", "after <s>" where a part got to a drive.
void meas_app_PreTrigFileInfoRelease(MeasAppStore_FileInfo_s* file);
// A writer of `drive` got a frame of the file's block `block` (its frame id), its first and last
// samples stamped so.
void meas_app_PreTrigFileRecordsSeen(MeasAppStore_FileInfo_s* file, const char* drive, uint8_t block,
                                     uint32_t firstTs, uint32_t lastTs);
// A writer handed the block's records from `firstTs` to `lastTs` to its drive.
void meas_app_PreTrigFileRecordsHanded(MeasAppStore_FileInfo_s* file, const char* drive, uint8_t block,
                                       uint32_t firstTs, uint32_t lastTs);
// At the exit: the records of the files still held that reached no drive, those the stores hold that
// no writer took among them, one item per file ("the records of ... are on no drive (...): block
// ..."), each named once. Empty when there are none.
std::vector<std::string> meas_app_PreTrigRecordsOnNoDrive();
// How many files of this process have had records named on no drive.
uint32_t meas_app_PreTrigFilesWithRecordsLost();

// The file store (the logging application), given at its start-up: the store calls it when a file
// is closed towards the writers (its close action is created): the record is marked so, and the
// next file of the instance may become closeable. Without a file store there is no file queue.
struct meas_app_PreTrigFileQueue {
    void (*fileClosing)(MeasAppStore_FileInfo_s* file);
};
// A table that lives as long as the process; null: no file queue.
void meas_app_PreTrigSetFileQueue(const meas_app_PreTrigFileQueue* queue);
const meas_app_PreTrigFileQueue& meas_app_PreTrigFileQueueInForce();

// Builds the store of measurement `index` (0..2) with a pretrigger of `bufferTime` seconds (0:
// none): Backend, Pretrigger, the writer of the instance's logging drive and, when a USB drive is
// configured, the USB writer. The handle, or null (logged).
void* meas_app_PreTrigInit(int index, float bufferTime);
// Stops the writers (joined), the Pretrigger and the Backend and frees everything.
void meas_app_PreTrigDelete(void* handle);
void meas_app_PreTrigArm(void* handle);
void meas_app_PreTrigTrigger(void* handle);
// The trigger as the data tell it: `ts` is the stamp of the condition's sample that fired it, so that
// the window before it counts in the data's time however late the host let the check run.
void meas_app_PreTrigTriggerAt(void* handle, uint32_t ts);
// The start condition was checked up to its sample stamped `ts` and did not fire: a trigger can only
// come at a later sample. Held data stay for as long as such a trigger still needs them, however far
// the data have come past the check (by at most one pretrigger time more).
void meas_app_PreTrigConditionChecked(void* handle, uint32_t ts);
// The stamp of the newest sample given to meas_app_PreTrigConditionChecked; false when none was.
bool meas_app_PreTrigConditionCheckedAt(void* handle, uint32_t* ts);
// The Pretrigger's state and the counters of its holding list (any pointer may be null).
void meas_app_PreTrigGetMeasVarsPT(void* handle, uint8_t* state, uint32_t* bytes, uint32_t* peakBytes,
                                   uint32_t* entries, uint32_t* peakEntries);
// The counters of the Backend's list.
void meas_app_PreTrigGetMeasVarsBE(void* handle, uint32_t* bytes, uint32_t* peakBytes, uint32_t* entries,
                                   uint32_t* peakEntries);
// Creates the virtual file of the record; on success file->vfIdx is set, else it stays -1.
void meas_app_PreTrigOpenFile(void* handle, MeasAppStore_FileInfo_s* file);
// A data frame (malloc'ed; the store frees it from here on) with its first and last sample stamps.
void meas_app_PreTrigPutMeasFrame(void* handle, int vfIdx, uint8_t* frame, uint32_t length, uint32_t firstTs,
                                  uint32_t lastTs);
// The same, the frame stays the caller's.
void meas_app_PreTrigPutMeasFrameCopy(void* handle, int vfIdx, const uint8_t* frame, uint32_t length,
                                      uint32_t firstTs, uint32_t lastTs);
// A meta-data record for the file of this measurement whose time range holds `ts`.
void meas_app_PreTrigPutMetaDataCopy(void* handle, const void* payload, uint32_t length, uint32_t ts,
                                     uint8_t type);
// A meta-data record for a given file.
void meas_app_PreTrigPutMetaDataVfCopy(void* handle, int vfIdx, const void* payload, uint32_t length,
                                       uint8_t type);
void meas_app_PreTrigCloseFile(void* handle, int vfIdx);
void meas_app_PreTrigCopyFile(void* handle, CopyFile_t* request);
void meas_app_PreTrigFlushFile(void* handle, int vfIdx);
void meas_app_PreTrigFlushDir(void* handle);
// 1 when every drive and USB writer of every measurement with a store has written and flushed
// everything queued (and when no store exists); else 0.
int meas_app_PreTrigIsOfflineDataFlushed();
// What that finds not written yet, one item per writer: the records and bytes of a measurement
// for a drive, and whether its writer waits for room or a call of its drive has not returned.
// Empty when nothing is left.
std::vector<std::string> meas_app_PreTrigUnwritten();
// Where a file closed towards the writers stands on its drives: 0 a writer of it has yet to close
// it (the drives it waits for into `waitsFor`, which may be null; `handle` names them), 1 closed
// whole on every drive it is written to (a copy of it made on the stick counts as the stick's), -1
// settled, but unfinished on a drive (named into `waitsFor`). With `stallTicks`, a writer that has
// got nothing onto its drive for that long (100 us) counts as one that cannot finish the file (an
// answer waits no longer for it), and so does a copy to its drive.
int meas_app_PreTrigFileSettled(void* handle, const MeasAppStore_FileInfo_s* file, char* waitsFor,
                                size_t size, uint32_t stallTicks = 0);
// Stops measurements 0, 1, 2 (1 spared when `spareTelemetry` is non-zero): held data is dropped.
void meas_app_PreTrigMeasStop(int spareTelemetry);
// At the shutdown nothing triggers any more: what a pretrigger that never triggered holds is never
// kept. Its data are dropped and its file operations go on to the writers, so that its files are
// not waited for. Quiet, and cheap when nothing is held; the shutdown calls it while it waits.
void meas_app_PreTrigShutdown();
int meas_app_PreTrigMeasRunning(void* handle);
// 0 no new fragment needed, 1 size limit reached, 2 time limit reached.
int meas_app_PreTrigCheckFragment(void* handle);
void meas_app_PreTrigTriggerFragment(void* handle);

// Re-arming after a trigger needs the measurement's open frames handed over before holding
// starts again. The measurement raster asks on each tick: 1 means "hand over the open frames of
// this measurement now (MeasAppStore_checkForFlushIdx(1 << index)), then call
// meas_app_PreTrigArmFlushDone"; the Pretrigger waits for that (at most 1 s) before it holds again.
int meas_app_PreTrigArmFlushRequested(void* handle);
void meas_app_PreTrigArmFlushDone(void* handle);

// The streaming writer is not part of the running system: no handle.
void* meas_app_hst_create(int index);
