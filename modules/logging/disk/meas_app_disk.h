// The logging drives at boot and during the run: whether a drive is usable now (with a debounce
// time per hardware), the wait for the drives of all measurement instances at start-up, the
// re-format of a partition whose directory size no longer matches its configuration, and the copy
// of finished measurement files to another drive (normally the USB drive).
#pragma once

#include "platform/drives/bfs.h"

#include <cstddef>
#include <cstdint>
#include <functional>

inline constexpr uint32_t MEAS_LED_DRIVES_READY = 0x8000;
inline constexpr int MEAS_FILECOPY_PRIORITY = 160;
inline constexpr int MEAS_FILECOPY_STACK = 20480;
// The format request counts blocks of 340 entries in one byte: 86,700 entries and more wrap it.
inline constexpr uint32_t MEAS_FORMAT_MAX_ENTRIES = 255 * 340 - 1;

// The drive service's answer (the system call 0xA86): 0 available, -1 not.
int meas_app_driveAvailable(const char* driveName, uint32_t internalMark, uint32_t* statusWord);
// The same for a drive of the drive table, with its internal mark and, for hardware with a
// debounce time, its status word.
int meas_app_driveAvailableService(const char* driveName);
// Milliseconds until the drive counts as usable: 0 usable now, > 0 there but still settling,
// -1 not there (or not a drive of the table).
int meas_app_driveAvDebounce(const char* driveName);

// 0 when the drives of instance `index` (0..2) are usable, else -1.
int meas_app_DiskReady(int index);
// 0 when all three instances are ready (sets logger status bit 0x8000), else -1 (clears it).
int meas_app_DisksReady();
// Start-up: waits up to `timeoutTicks` for the drives of the instances, polling every `pollTicks`,
// and asks for a re-format where the directory size differs from the configuration. 0, or -1 on
// time-out (logged; status bit 0x8000 stays clear).
int meas_app_BootPrepareDisks(int pollTicks, int timeoutTicks);
// -1 when the partition of drive index `driveIndex` must be re-formatted, else 0.
int meas_app_BootPrepareDisks_checkDir(int driveIndex);
// Sends the format request of the drive and waits 2 s for its acknowledgement: 0, or -1.
int meas_app_BootPrepareDisks_format(int driveIndex);

// The drive part of a path, up to and including its last ':' (found within the first 41
// characters): into `driveOut` (`driveSize` bytes, may be null) and `colonOut` (may be null). 0, or
// -1 (logged).
int meas_app_filenameGetDrive(const char* path, char* driveOut, size_t driveSize, const char** colonOut);

// A file-copy request.
struct CopyFile_t {
    uint16_t outing;
    uint16_t lap;
    uint16_t absLap;
    uint16_t fragment;
    char* targetDrive;  // e.g. "usb_meas:"
    uint8_t ownsTarget; // the copy task frees targetDrive (allocated with malloc)
    // The request's own record with whoever waits for the copies (0: none): each copy ends on its
    // own, whatever another copy of the same file does.
    uint32_t id = 0;
};

// Task body of one copy: the file of instance `instance` named by the counters, from its logging
// drive to `targetDrive`, after 5 s; the copy is read-only like its source was closed.
void meas_app_copyFileTask(uint16_t outing, uint16_t lap, uint16_t absLap, uint16_t fragment, int instance,
                           char* targetDrive, uint8_t ownsTarget);
// Steps of one copy after the wait: one copy of a target at a time (a copy of a target that another
// copy of this process writes now waits for it: it is done when that one ended done, and goes on
// when that one failed; it is not made, failed, when that one hangs in its drive); the source opened
// (up to 10 attempts a second apart); the parts left on the target drive removed while an
// arrival's removal is still to be made there (meas_app_copyPartsLeft); a part of the target's name
// with MEAS_COPY_PART_SUFFIX left by a copy that did not end removed; the source copied in pieces (`piece`
// hears of each) to that part while the target drive stays usable, written through and closed, and its entry
// written through; renamed over the target (once `mayReplace`, where given, allows it) and the folder written
// through; only then made read-only with the source's
// other attributes, and only while the target holds the file this copy wrote (its identity). A copy
// that fails before the rename leaves the target as it was (its part is removed); one that fails
// after it leaves the target writable. The source's reads and close are calls of its drive.
// MEAS_COPY_RESULT_DONE, MEAS_COPY_RESULT_FAILED or MEAS_COPY_RESULT_DAMAGED (logged). `known`, where
// given, hears the result of a copy that reached its rename as soon as it is known, before the
// last close of its descriptor (which a slow stick may hold).
int meas_app_copyFile(const char* source, const char* target, const std::function<void()>& piece = {},
                      const std::function<void(int)>& known = {},
                      const std::function<bool()>& mayReplace = {});
inline constexpr const char* MEAS_COPY_PART_SUFFIX = ".part";
// The files this run of the process made on a drive (a writer's file, a copy's part), by identity:
// a copy replaces a file of its target's name only when it is one of them and still writable. A file
// an earlier run (or anyone else) left under that name is never written over: the copy is not made.
void meas_app_fileMade(const char* drive, const bfs_fileId& id);
bool meas_app_fileMadeHere(const char* drive, const bfs_fileId& id);
// What became of a copy: made (the target holds the file whole, read-only), failed (the target is as
// it was), or failed after the rename (the target holds the copy, writable: not finished).
enum : int { MEAS_COPY_RESULT_DONE = 0, MEAS_COPY_RESULT_FAILED = -1, MEAS_COPY_RESULT_DAMAGED = -2 };
// Removes the parts (names ending in MEAS_COPY_PART_SUFFIX) on `drive` that no copy of this process
// writes now: copies that did not end left them, and none is a finished file. How many were removed,
// or -1 when the drive cannot be read to its end or a part cannot be removed (logged).
int meas_app_copyRemoveParts(const char* drive);
// A stick arrived (one in at the start-up too): the parts left on it are removed before its copies
// write. Until a removal has gone over its whole folder after this, each copy to it removes them
// first (meas_app_copyFile).
void meas_app_copyPartsLeft(const char* drive);
// The logging application's part, given at its start-up: told the end of every copy asked for
// (also of one that never started).
// `progress` hears of every piece a copy writes: a wait for a long copy sees it move.
// `writesFiles` (may be null) tells whether a measurement instance has written files: one that has
// none has nothing to copy, and its copy does not start.
struct meas_app_CopyHooks {
    void (*finished)(int instance, const CopyFile_t& request, int result);
    void (*progress)(int instance, const CopyFile_t& request);
    bool (*writesFiles)(int instance);
    // Asked just before the copy replaces the target: false leaves the target as it was.
    bool (*replaces)(int instance, const CopyFile_t& request);
};
void meas_app_setCopyHooks(const meas_app_CopyHooks* hooks);
void meas_app_copyFinished(int instance, const CopyFile_t& request, int result);
void meas_app_copyProgress(int instance, const CopyFile_t& request);
bool meas_app_copyReplaces(int instance, const CopyFile_t& request);

// Starts the copy task "r_FileCpyTask%c" ('A' + instance / 2) for the request; with the request
// owning its target name the task gets a copy of it. False (logged) when it cannot. An instance
// that has written no files starts none: its request ends at once, quietly.
bool meas_app_copyFileStart(const CopyFile_t& request, int instance);
// Manual test entry: copies the current file of m01 to "usb_meas:" in the task "r_FileCpy_4tst".
void meas_app_copyLastFileTask();
