// State of a drive of the device root that its folder cannot hold: what the flash file system and
// the drive service keep about the drive on the device.
//
// One small text file beside the drive's folder, "<drive>.drive" ("meas.drive" next to "meas/"),
// one "key value" line each:
//   dirsize <entries>      directory size of the file system (DRIVE_DIRSIZE_DEFAULT without it)
//   present 0|1            the drive is mounted (default 1)
//   inserted 0|1           "usb_meas:" only: a stick is in the port (default 1)
//   status <word>          status word of the availability call (default 0; tests set bit 16)
//   dirattr <byte>         directory attributes of the drive's root, bit 0 the D flag (default 0)
//   attr <file> <byte>     DOS attribute byte of a file in the folder; a file without a line has
//                          the archive bit only (0x20)
// Numbers are decimal or 0x-hexadecimal. Lines of other keys are kept as they are. The device
// root's preparation makes every drive folder, so whether a drive is there comes from this file.
//
// The process rewrites the file whole, so a reader never sees half of it; tests that act as the PC
// or pull the stick while the process runs do the same (write a new file, rename it over). One
// rewritten in place from outside (truncate, then write: `echo 'inserted 0' > usb_meas.drive`) is
// empty or cut short for a moment: a file that is empty or whose last line has no line end is read
// again until it is whole, or until it has not changed for 0.5 s (2 s at most), and then taken as
// it is, so that neither a change of the process nor a look takes the empty file's defaults. The
// process's rewrite is durable (the new file is written through before it replaces the old, the
// folder after: a change whose folder write-through fails counts as failed, and says so on
// stderr) and never undoes a version from outside: it swaps its new file in (RENAME_EXCHANGE)
// and checks that what came out is the version it read; when not, it swaps the newer version back
// and makes its change again on it. A missing file is put in only while there is still none
// (RENAME_NOREPLACE). Where the file system refuses renameat2's flags (EINVAL, ENOSYS: some FUSE and
// network file systems), a missing file is put in by link(), or made with O_EXCL where links are
// refused too; an existing one is moved aside, checked to be the version read (the same file with
// the same text), and the new one put in only while no file is there, so a version from outside
// that came meanwhile stands (one moved aside that was not the version read goes back). For that
// moment there is no file: another process reads the defaults, this one keeps what it read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

inline constexpr uint32_t DRIVE_DIRSIZE_DEFAULT = 2048;
inline constexpr uint8_t DRIVE_ATTR_READONLY = 0x01;
inline constexpr uint8_t DRIVE_ATTR_DIRECTORY = 0x10;
inline constexpr uint8_t DRIVE_ATTR_ARCHIVE = 0x20;
inline constexpr uint8_t DRIVE_ATTR_DEFAULT = DRIVE_ATTR_ARCHIVE;

struct DriveState {
    uint32_t dirSize = DRIVE_DIRSIZE_DEFAULT;
    bool dirSizeValid = true; // false: the dirsize line is damaged (directory requests fail)
    bool present = true;
    bool inserted = true;
    uint32_t status = 0;
    uint8_t dirAttr = 0;
    std::map<std::string, uint8_t> attrs; // files whose byte is not DRIVE_ATTR_DEFAULT
    std::vector<std::string> otherLines;

    uint8_t attrOf(const std::string& file) const;
    void setAttr(const std::string& file, uint8_t attr); // the default byte drops the line
};

// Host path of a drive's state file; empty for an unknown drive.
std::string drive_stateFile(const char* drive);
// Reads the state of a drive (the defaults when the file is missing). False for an unknown drive.
// A damaged line of another key than dirsize counts as missing.
//
// The process keeps what it read of each state file and reads the file again only once it has
// changed: it watches the device root (inotify), whose events come in while the call that changes
// the file runs, so that a change from outside (a pulled stick, the PC's flag) is seen by the next
// call after it. Where no watch can be had, every call reads the file.
bool drive_stateRead(const char* drive, DriveState* state);
// The state as drive_stateRead has it, without a copy: `view` is called with it. False for an
// unknown drive.
template <class F> bool drive_stateView(const char* drive, F view);
bool drive_stateViewFn(const char* drive, void (*view)(const DriveState&, void*), void* context);
// The attribute byte of a file of the drive (DRIVE_ATTR_DEFAULT for an unknown drive).
uint8_t drive_stateAttrOf(const char* drive, const std::string& file);
// Changes the state under the process's lock: reads it, calls `change`, and writes it back when
// `change` returns true. False for an unknown drive or when the file cannot be written.
template <class F> bool drive_stateUpdate(const char* drive, F change);
bool drive_stateUpdateFn(const char* drive, bool (*change)(DriveState&, void*), void* context);

// Holds the calling thread's drops of attribute lines on one drive (the deletions of a walk over
// the drive: bfs_unlink and FIOUNLINK hand the line of the file they deleted here) and makes them
// in one durable change of the state, at flush() or at its end, instead of one rewrite of the state
// per deletion. A line is dropped only when no file of its name is there then: a file made anew
// meanwhile keeps its line. A line left by a power cut before the flush harms no new file of that
// name (bfs_open drops it before it makes the file). Batches of one thread nest; the innermost of
// the drive takes the drops.
class DriveStateBatch {
public:
    explicit DriveStateBatch(const char* drive);
    ~DriveStateBatch(); // flushes
    DriveStateBatch(const DriveStateBatch&) = delete;
    DriveStateBatch& operator=(const DriveStateBatch&) = delete;
    // Drops the lines held so far in one change of the state. False when the state could not be
    // written: the lines stay held for the next flush.
    bool flush();
    // Lets go of the lines held so far without dropping them: they stay in the state (a deletion
    // whose write-through failed may come back with a power cut, and keeps its line for it).
    void forget() { names_.clear(); }

private:
    friend bool drive_stateDropLater(const char* drive, const std::string& file);
    std::string drive_;
    std::vector<std::string> names_;
    DriveStateBatch* outer_;
};
// The file API's side: true when the calling thread holds a batch of `drive`, which took the drop
// of `file`'s line.
bool drive_stateDropLater(const char* drive, const std::string& file);

// Clears the D flag (bit 0 of the root's attributes) in one change of the state, unless a file that
// the state marks downloaded (no archive bit) is in the drive's folder: those are put in `left` and
// the flag stays, so that the next walk deletes them. False when the state cannot be written.
bool drive_stateClearDeleteFlag(const char* drive, std::vector<std::string>* left);

// For tests: the file system refuses renameat2's flags (EINVAL, as some FUSE and network file systems
// do); the state file's folder write-through fails (EIO).
void drive_stateTestRefuseRenameFlags(bool refuse);
void drive_stateTestFailFolderWriteThrough(bool fail);

// The drive is there for the file system: present and, for "usb_meas:", inserted.
bool drive_stateAvailable(const DriveState& state, const char* drive);
// The same, as the file says now, cheaply enough for every call on an open file (read again only
// when the file changed). False for an unknown drive.
bool drive_stateAvailableNow(const char* drive);

template <class F> bool drive_stateView(const char* drive, F view) {
    return drive_stateViewFn(
        drive, [](const DriveState& s, void* c) { (*static_cast<F*>(c))(s); }, &view);
}

template <class F> bool drive_stateUpdate(const char* drive, F change) {
    return drive_stateUpdateFn(
        drive, [](DriveState& s, void* c) { return (*static_cast<F*>(c))(s); }, &change);
}
