// Faults of the drives' file operations, for tests: the Nth call of an operation on a drive fails
// with a chosen error, pulls the stick, is held as a hung drive holds it, cuts the power, or has
// its file deleted or renamed under its writer. Every call of the file API (bfs.h) and every
// rewrite of a drive's state file is counted per drive and operation, with or without a fault, so
// that a test can first count what a run does and then fail each call in turn. The seam's own work
// (a pull, what a fault loses) is not counted.
//
// As a real file system, a write or truncate of a file waits while a write-through of that file is
// under way, a held or slow one included (the seam on; bfs.cpp).
// A fault does what a real drive does: a file's failed write-through loses what it covered (the
// file is cut back to its last good write-through: Linux reports a writeback error once, and a
// later sync that succeeds proves nothing), and a failed write-through of a drive's root loses the
// files created since its last good one (drive_loss.h).
//
// In-process tests arm faults with drivefault_arm. The application reads them once, at its first
// drive operation, from the environment variable MSD_DRIVE_FAULT: one or more faults separated by
// ';', each "<drive>:<operation>:<n>:<what>[:<times>][@<task>]", e.g. "meas:write:17:ENOSPC:0" (the
// 17th write on "meas:" and every one after it fail with ENOSPC: a drive that stays full), where
//   <operation>  open, write, sync (flush and sync requests), chmod (attribute changes), rename
//                (a file's rename or the drive state's rewrite), close, truncate, syncfs (a
//                write-through of a store's whole file system, drive_store.h);
//   <what>       ENOSPC, EIO, ENOENT, EROFS, EACCES: the call fails with that error;
//                pull: the stick is pulled (its state "inserted 0"), the call fails with ENODEV;
//                hold<ms>: the call waits that long, then goes on (a hung drive; hold0 waits
//                until drivefault_release);
//                EIOfor<ms>: from this call on, every call of the drive (any operation) fails with
//                EIO for <ms> milliseconds of wall time, then the drive works again (a failed
//                write-through meanwhile loses what it covered, as any);
//                slow<ms>, slow<ms>for<ms>: from this call on, every call of the drive (any
//                operation) waits <ms> milliseconds before it goes on, for good or until the second
//                span has passed (a slow drive: its calls all return, late);
//                EIOfor and slow also take each read of the drive's folder that a find-first makes
//                (a block of its entries each), which is not counted;
//                cut: the power is cut before the call: every drive of the device root loses what
//                was not written through (each file the process created or wrote is cut back to
//                its last good write-through, each file created since its drive root's last good
//                write-through is removed, each file deleted since then comes back), then the
//                process is killed (SIGKILL). As a real cut stops every call at once, from its start
//                every other call fails with EIO, and the loss is made only once the calls already
//                past the seam have left it (at most kDriveFaultCutWaitMs): what they did lands
//                before the loss, never after it. Calls the seam holds (hold, slow) are not waited
//                for: they fail with EIO when they wake;
//                delete, rename (write only): before the write goes on, its file is deleted, or
//                renamed to "<name>.moved" in its folder, as someone does under its writer; the
//                write then succeeds into the open file;
//                nothing (syncfs only): the call answers 0 and writes nothing through, as some file
//                systems (FUSE ones among them) answer syncfs: what only it covered is lost at a
//                power cut, e.g. "nv:syncfs:1:nothing:0" (every syncfs of the NV store's disk);
//   <n>          the nth call of the operation, from 1; for EIOfor and slow also 0: from the first
//                call of any kind on the drive (a drive slow before the process made a call there);
//   <times>      how many calls from the nth on (default 1; 0: every one from the nth on); not for
//                EIOfor and slow, which last their time;
//   <task>       only the calls of the task of that name count (its thread's name, at most 15
//                characters), e.g. "usb_meas:write:1:EIO@r_FileCpyTaskA": the first write of the
//                stick's copy, however the writers' calls interleave with it; for EIOfor and slow,
//                only that task's calls fail or wait. A name that ends in '*' takes the calls of
//                every task whose name begins with what comes before it, counted together, e.g.
//                "meas:chmod:1:hold9000:0@r_BFSSync*": every file of meas: turns read-only 9 s late,
//                whichever of the drive's write-through tasks closes it.
// The first call that an armed fault of MSD_DRIVE_FAULT hits writes "msdapp: drive fault hit:
// <fault> in <task>" to stderr (before a cut kills the process), so that a test sees when it came
// and which task made the call.
// With MSD_DRIVE_FAULT_COUNTS naming a file, drivefault_report writes the counts there, one
// "<drive> <operation> <calls>" line each, and one "<drive> <operation>@<task> <calls>" line for
// each task's part of them; then one "unsafe <drive> <name>" line for each file that a power cut
// would cut back or remove at that moment (its data or its entry not written through).
//
// The seam costs nothing until it is asked for: it counts calls, applies faults and keeps what a
// fault would lose (drive_loss.h) only once faults or counts come from MSD_DRIVE_FAULT or
// MSD_DRIVE_FAULT_COUNTS (read at the first drive call), or an in-process test arms a fault, clears
// the faults or engages it, before the calls it wants seen. Until then a drive call costs the seam
// one atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum DriveOp : int {
    DRIVE_OP_OPEN,
    DRIVE_OP_WRITE,
    DRIVE_OP_SYNC,
    DRIVE_OP_CHMOD,
    DRIVE_OP_RENAME,
    DRIVE_OP_CLOSE,
    DRIVE_OP_TRUNCATE,
    DRIVE_OP_SYNCFS,
    DRIVE_OP_COUNT
};

enum DriveFaultKind : int {
    DRIVE_FAULT_ERROR,
    DRIVE_FAULT_PULL,
    DRIVE_FAULT_HOLD,
    DRIVE_FAULT_CUT,
    DRIVE_FAULT_DELETE,
    DRIVE_FAULT_RENAME,
    DRIVE_FAULT_EIO_FOR, // EIOfor<ms>
    DRIVE_FAULT_SLOW,    // slow<ms>[for<ms>]
    DRIVE_FAULT_NOTHING, // syncfs answers 0 and writes nothing
};

struct DriveFault {
    std::string drive; // "meas:"
    DriveOp op = DRIVE_OP_WRITE;
    uint32_t nth = 1;   // counted from 1 since the last drivefault_clear
    uint32_t times = 1; // 0: every call from the nth on
    DriveFaultKind kind = DRIVE_FAULT_ERROR;
    int error = 0;       // DRIVE_FAULT_ERROR
    uint32_t holdMs = 0; // DRIVE_FAULT_HOLD; 0 until drivefault_release
    uint32_t slowMs = 0; // DRIVE_FAULT_SLOW: how much later each call goes on
    uint32_t spanMs = 0; // DRIVE_FAULT_EIO_FOR, DRIVE_FAULT_SLOW: how long it lasts (slow: 0 for good)
    std::string task;    // empty: every call counts; else only those of the task of that name
};

namespace drivefault_detail {
inline constexpr int kUnknown = 0, kOff = 1, kOn = 2;
extern std::atomic<int> seam;
int seamFromEnvironment();
} // namespace drivefault_detail

// Whether the seam counts, fails and keeps what faults lose (see above).
inline bool drivefault_on() {
    const int s = drivefault_detail::seam.load(std::memory_order_acquire);
    return s == drivefault_detail::kOn ||
           (s == drivefault_detail::kUnknown &&
            drivefault_detail::seamFromEnvironment() == drivefault_detail::kOn);
}
// Switches the seam on for the rest of the process (drivefault_arm and drivefault_clear do too).
void drivefault_engage();

const char* drivefault_opName(DriveOp op);
// Parses one fault in the form of MSD_DRIVE_FAULT; false with the reason.
bool drivefault_parse(const std::string& text, DriveFault* fault, std::string* error);
// Adds a fault; the counts go on. Engages the seam.
void drivefault_arm(const DriveFault& fault);
// No faults, the counts from 0, held calls released. Engages the seam.
void drivefault_clear();
// Lets every held call go on.
void drivefault_release();
// Calls held now (by hold0 or a hold that has not run out).
uint32_t drivefault_holding();
// What a power cut does once the drives have lost what was not written through; nullptr: kill the
// process (SIGKILL). When the hook returns, the call fails with EIO. In-process tests check the
// loss through it.
void drivefault_setPowerCut(void (*hook)());
uint32_t drivefault_calls(const char* drive, DriveOp op);
// The calls of `op` on `drive` that the task of that name made.
uint32_t drivefault_taskCalls(const char* drive, DriveOp op, const std::string& task);
// How many faults took effect since the last clear (each call that an EIOfor fails or a slow drive
// makes wait counts).
uint32_t drivefault_hits();
// The counts into the file MSD_DRIVE_FAULT_COUNTS names, when it names one.
void drivefault_report();

// The drive layer's side: counts the call of `op` on the drive of `devicePath` ("meas:/x" or
// "meas:") and applies a fault that is due. 0 to go on, or the error the call fails with; for a
// pull due at DRIVE_OP_RENAME, DRIVE_FAULT_PULL_HERE: the caller writes the stick's state as
// pulled (the drive state's own rewrite cannot nest), and fails a file's rename with ENODEV; for a
// delete or rename due at a write, DRIVE_FAULT_DELETE_HERE or DRIVE_FAULT_RENAME_HERE: the caller
// takes the file away (driveloss_takeAway) and goes on; for a syncfs that writes nothing,
// DRIVE_FAULT_NOTHING_HERE: the caller answers 0 without the call.
inline constexpr int DRIVE_FAULT_PULL_HERE = -1;
inline constexpr int DRIVE_FAULT_DELETE_HERE = -2;
inline constexpr int DRIVE_FAULT_RENAME_HERE = -3;
inline constexpr int DRIVE_FAULT_NOTHING_HERE = -4;
int drivefault_enter(const std::string& drive, DriveOp op);

// A call of the drive layer that the seam does not count (each read of a drive's folder by a
// find-first): a fault that lasts its time and has begun (EIOfor, slow) takes it as it takes any
// call of its drive (of its task). 0 to go on, or EIO.
int drivefault_lasting(const std::string& drive);
// Marks a call of the drive layer (bfs.h, drive_store.h, a drive state's rewrite) for as long as it
// lives; one inside another is part of it. Once drivefault_enter or drivefault_pass let it through,
// a power cut makes its loss only after it has left.
class DriveFaultCall {
public:
    DriveFaultCall();
    ~DriveFaultCall();
    DriveFaultCall(const DriveFaultCall&) = delete;
    DriveFaultCall& operator=(const DriveFaultCall&) = delete;
};
// While one lives, the calling thread's call waits for a lock of the drive layer (a drive state's
// writer) that another call may hold, and does nothing to a drive: a power cut does not wait for it
// (its holder may be the call the cut strikes), and what it does once it goes on fails from the cut.
class DriveFaultWaiting {
public:
    DriveFaultWaiting();
    ~DriveFaultWaiting();
    DriveFaultWaiting(const DriveFaultWaiting&) = delete;
    DriveFaultWaiting& operator=(const DriveFaultWaiting&) = delete;

private:
    bool counted_ = false;
};
// For a call that the seam neither counts nor fails (an unlink): EIO from the start of a power cut,
// else 0.
int drivefault_pass();
// How long a power cut waits for the calls past the seam to leave before it makes its loss anyway.
inline constexpr uint32_t kDriveFaultCutWaitMs = 2000;

// While one lives, the calling thread's drive calls are neither counted nor failed: the seam's own
// work on the drives is not the process's.
class DriveFaultQuiet {
public:
    DriveFaultQuiet();
    ~DriveFaultQuiet();
    DriveFaultQuiet(const DriveFaultQuiet&) = delete;
    DriveFaultQuiet& operator=(const DriveFaultQuiet&) = delete;
};
