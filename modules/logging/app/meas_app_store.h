// The measurement file store: which file each sample of a logging block goes into, the queue of
// open files, the once-a-second flush, and the deletion of downloaded files on the PC's request.
#pragma once

#include "logging/disk/meas_app_disk.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// All open files of all instances in the order they were opened, under gFileQueueSem.
extern LIST gFileQueue;
extern SEM_ID gFileQueueSem;
// Bytes of the frames of the last second, uncompressed and coded (read and reset each second).
extern std::atomic<uint32_t> meas_data_size_m01_uncompressed, meas_data_size_m01_compressed;
extern std::atomic<uint32_t> meas_data_size_m03_uncompressed, meas_data_size_m03_compressed;

// Start-up: the file queue, its semaphore and the logger id; gives the store the file queue
// (meas_app_PreTrigSetFileQueue). 0 ok, 1 failed.
int MeasAppStore_init();
// CRC-32 of the board's ROM id, written into the file headers.
uint32_t meas_app_getLoggerId();
// The current calendar time as 6 BCD bytes (year mod 100, month, day, hour, minute, second);
// nothing written when the time cannot be converted.
void get_bcd_time(uint8_t out[6]);

// At every start of logging and on USB insertion: with the D flag set on the drive's root, deletes
// every file without the archive attribute and clears the flag (only after a complete walk whose
// deletions were written through and whose lines are gone from the drive's state; when the root's
// write-through after the clear fails, the flag is set again, so that the walk runs again). 1 done,
// 0 the attributes cannot be read or written, -1 the drive cannot be opened.
int MeasAppStore_driveCheckDirectoryFlags(const char* drive);
// Deletes the files without the archive attribute that the drive holds at its start, each only
// while its name still holds the file found (device and inode) and it is still without the archive
// attribute: a file made beside the walk, or renamed over a name it found, stays. Writes the
// deletions through (the root), and only then drops their attribute lines, with those of names that
// hold no file, in one change of the drive's state: a power cut between the two steps leaves no
// downloaded file without its line. `fd` an open drive root or -1. The number of files deleted, -1
// when the drive cannot be opened. `complete` (may be null) tells whether the walk went over the
// whole directory, deleted every file it found downloaded (and still so), wrote the deletions
// through and dropped their lines.
int MeasAppStore_cleanup_old_measfiles(const char* drive, int fd, bool* complete = nullptr);
// Every write-through of the drive's root in the D-flag walk (after its deletions, after the
// flag's clear) goes through here, and through the drive's record of folder write-throughs: true
// when it succeeded; a failure is logged with the drive, and the flag stays set.
bool MeasAppStore_driveRootWriteThrough(const char* drive, const char* after);

struct meas_blk;
struct LapOutFraCut;
struct MeasAppStore_FileInfo_s;

// Close types of the closing status block.
enum : int { SB_LAPTRIG = 0, SB_PERIOD = 1 };

// One sample of a data block (its last sample time stamp set) into its file.
void meas_app_store_block(meas_blk* block, const uint8_t* record);
// Closes the block's part of its file when its sample lies after the next cut.
void meas_app_store_block_close_check_only(meas_blk* block);
void meas_app_store_frame(meas_blk* block);
// The block's part of the file of cut `cut` (the one its sample belongs to): the file is made, named
// by the cut's counters, when no block has made it yet. 0, or 1 when not possible (the file of that
// cut was closed already: the sample is dropped).
int meas_app_open_file(meas_blk* block, uint32_t sampleTs, const LapOutFraCut& cut);
// The drives that take the measurement files: the logging drives and the stick of the instances that
// write files.
std::vector<std::string> meas_app_dataDrives();
// A new file record, before its virtual file: its name waits while the start's names are not fixed.
void meas_app_namesNew(MeasAppStore_FileInfo_s* file);
// A new file is open in the store: the start's first file is named in the log once its name is fixed.
void meas_app_namesOpened(const MeasAppStore_FileInfo_s* file);
void meas_app_close_file(meas_blk* block, int closeType);
void meas_app_req_sb_and_unlink_file(MeasAppStore_FileInfo_s* file, int closeType);
// The store's word that a file is closed towards the writers (its close action is made): the
// record says so, and the next file of the instance may become closeable.
void meas_app_file_closing(MeasAppStore_FileInfo_s* file);
// A record closed on every drive leaves the file queue.
void meas_app_file_queue_delete(MeasAppStore_FileInfo_s* file);
void meas_app_set_next_closeable_file(int index);
void meas_app_store_statusblock_close(MeasAppStore_FileInfo_s* file, int closeType);
void meas_app_store_statusblock(MeasAppStore_FileInfo_s* file, int closeType);
// Lap and status-block records of an instance into a file; the number written.
int meas_app_store_frame_lr_dyn(int vfIdx, int index, uint32_t lapTs);
int meas_app_store_frame_sb_dyn(int vfIdx, int index, uint32_t lapTs);
// The open file of the block's instance for this cut, or null.
MeasAppStore_FileInfo_s* meas_app_get_lof_file(const meas_blk* block, const LapOutFraCut& cut);
// The cut in force in this logging run for a record stamped `ts`.
bool MeasAppStore_cutOf(uint32_t ts, LapOutFraCut* cut);
// Once a second: aged frames handed over, closeable files, files past their close deadline.
// `closeNow`: every closeable file is closed whatever its deadline (a destroy, once its blocks
// have stopped).
void MeasAppStore_checkForFlushIdx(int mask, bool closeNow = false);
void MeasAppStore_checkForFlush();
void MeasAppStore_closeAllFilesFast();
// Logging runs: every start of the measurement begins one; a file belongs to the run it was opened in.
uint32_t MeasAppStore_currentRun();
void MeasAppStore_newRun();
// A logging run began with cut `start`: its records belong to it and the cuts after it.
void MeasAppStore_runStarted(const LapOutFraCut& start);
// The run's blocks have stopped: the cuts after the newest file of an instance have no file there
// (each is named).
void MeasAppStore_runEnded();
// A stick's copy of the file of cut `cut` of instance `index`, asked for once that file is opened
// (it opens with its first record, a data delay after the cut); one that gets no file (no record
// lies in it) gives the copy to the file before it.
void MeasAppStore_copyCutToStick(int index, const LapOutFraCut& cut);

// A wait for the files of a stop, a destroy or the shutdown: those of the logging runs up to the
// one current when the wait is made, in the file queue then or opened later (while a wait is made,
// no record leaves the queue). poll() gives 0 while one of them is still on its way to its drives,
// 1 once each is closed whole on every drive it is written to, and -1 once they are settled with a
// file unfinished on a drive, once a writer of one has held it for 10 s (`stallTicks`, 100 us each)
// because its drive hangs (a call not returned) or waits for room with nothing taken, or once the
// wait is 11.5 s old with a file not whole yet (the answer comes within 12 s; that file is written
// on, and counts as whole once it is). A slow drive whose calls return is waited for. The files
// still waited for are then named in the log.
class MeasAppStore_FilesWait {
public:
    explicit MeasAppStore_FilesWait(const char* who, uint32_t stallTicks = 100000);
    ~MeasAppStore_FilesWait();
    MeasAppStore_FilesWait(const MeasAppStore_FilesWait&) = delete;
    MeasAppStore_FilesWait& operator=(const MeasAppStore_FilesWait&) = delete;
    int poll();
    // Where the files stand now, as poll() would say but without ending the wait: 1 all whole, 0 one
    // on its way, -1 one unfinished.
    int look();
    // How long ago (100 us ticks) the wait was made, or the request it answers came.
    uint32_t ageTicks() const;
    // The request came at `at` (time stamp): its answer's bound counts from then.
    void countFrom(uint32_t at) { madeAt_ = at; }
    // Ends the wait now: 1 when every file is whole, else -1 with the files named ("<who>: <files>
    // <state>: <why>"). `goesOn`: the process goes on, and with it a close a write-through task of
    // the file's drive still makes: such a file is named still being closed.
    int giveUp(const char* why, const char* state = "not finished on every drive", bool goesOn = false);
    // Whether the wait ended without a file unfinished: the files not whole then (or given up on)
    // were all still being closed, their closes under way on their drives (no drive failed them).
    bool onlyClosing() const { return onlyClosing_; }
    // What each file still waited for waits for ("A0101000.002 waits for its close on usb_meas:
    // (drive full, waits for room)"), empty when none.
    std::string waitsFor();
    static constexpr uint32_t kAnswerTicks = 115000; // 11.5 s

private:
    int evaluate(std::string* waits, bool giveUp, const char* why,
                 const char* state = "not finished on every drive", bool goesOn = true);
    const char* who_;
    uint32_t run_;
    uint32_t stallTicks_;
    uint32_t madeAt_;
    int result_ = 0;
    bool onlyClosing_ = false;
};
// Records settled on their drives leave the file queue while no wait is made (a file left
// unfinished is named), and a file a wait gave up on that is finished later says so. Any task may
// call it; the logging does every 10 ms.
void MeasAppStore_pruneFiles();
// How many files of this run of the process are not finished on a drive now: those that left the
// file queue unfinished and were not finished after all, and those in the queue not yet whole on
// every drive. `tell`: each is named in the log, with where and why.
// -1 when the queue's lock is not got within `timeoutTicks`.
int MeasAppStore_unfinishedFiles(bool tell = false, int timeoutTicks = WAIT_FOREVER);
// A stick's copy of the file of instance `index` named by the counters: asked for, with a record of
// its own (its number goes into the request, CopyFile_t::id; 0 and no record for an instance that
// has written no files), and its end. The file waits while any copy of it is under way; once none
// is, it stands as the last copy that replaced the stick's file left it (one that failed before its
// rename left the stick as it was). A request's end is its own: it never ends another copy of the
// file (the stick re-seated during a copy asks for one more).
uint32_t MeasAppStore_copyAsked(int index, uint16_t outing, uint16_t lap, uint16_t absLap, uint16_t fragment);
void MeasAppStore_copyFinished(int index, const CopyFile_t& request, int result);
// The files of instance `index` that the stick did not get whole, by their counters: a writer of
// the stick could not finish them (the stick pulled in their close too), or a copy of them failed
// after it replaced the stick's file. Only those whole or still closing on the logging drive: a
// copy makes nothing whole that its source is not.
struct MeasAppStore_Counters {
    uint16_t outing, lap, absLap, fragment;
};
std::vector<MeasAppStore_Counters> MeasAppStore_stickUnfinished(int index);
// The copy is about to replace the stick's file: false only once the shutdown is over and has ended
// this copy (MeasAppStore_copiesEnd), which then leaves the stick as it was.
bool MeasAppStore_copyReplaces(int index, const CopyFile_t& request);
// The shutdown is over: a copy that has not begun to replace the stick's file never will, so the
// stick keeps what its writer (or an earlier copy) left of each file (logged for each such copy).
// Nothing when the store's lock is not had within `timeoutTicks`.
void MeasAppStore_copiesEnd(int timeoutTicks = WAIT_FOREVER);
// Waits up to `timeoutMs` for the copies that replace the stick's file to end, while their stick does
// not hang: what the exit judges is a copy's end, not a step of it.
void MeasAppStore_copiesReplacingWait(uint32_t timeoutMs);
// A piece of the copy is written: a wait for it sees the copy move.
void MeasAppStore_copyProgress(int index, const CopyFile_t& request);
// Whether instance `index` has opened a file since the start-up: one that never has (a measurement
// not configured) has none to copy.
bool MeasAppStore_writesFiles(int index);
// A file whose status block is being collected (the status-block task holds its store).
bool MeasAppStore_statusBlockAsked();
// Before a destroy frees its blocks: files of the instance not yet closed towards the writers are
// left unfinished and let go of the blocks.
void MeasAppStore_dropUnclosed(int index);
void meas_app_fsflush(int index);
void meas_app_fsflush_drive(const char* drive);
uint32_t MeasAppStore_getFCloseType(const meas_blk* block);
uint32_t MeasAppStore_getFilesize(const meas_blk* block);
