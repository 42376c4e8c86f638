// The file writers: BFSWriter writes the measurement files of its measurement on the logging
// drive, USBWriter (a BFSWriter that watches its drive) on the USB drive.
//
// A file is created on the first action that needs it; its header pieces and then its frames and
// meta-data records collect in the writer's buffer, whole records only, and are handed to the drive
// in one write once the oldest of them is 0.5 s old (written through to the disk in the background,
// store_sync.h). At its close the rest is handed over; then, on a write-through task of the drive
// beside the next file's hand-overs, the file is written through, then the folder that holds its
// entry, its descriptor closed, and only then is it made read-only: a read-only file is always
// whole, and survives a power cut. A slow write-through of a closed file or of its folder holds
// back no later file. A write-through of its data or of its entry that failed is
// final: the file is unfinished on that drive, whatever succeeds later.
//
// A hand-over that the drive takes only in part is cut back to its last complete record, and the
// rest stays in the buffer. For want of room (ENOSPC) the writer waits with the action in hand,
// taking nothing after it, and goes on with the same file once there is room: nothing is lost
// while the Backend holds what comes meanwhile. Any other failure (an I/O error, a read-only drive,
// a file deleted or changed under it, a failed header, write-through or close, a pulled stick, a
// drive call that has not returned for 10 s) leaves the file unfinished on that drive at once:
// writable, named in the log with the reason, marked in its record. A file whose write-through
// failed is cut back to what its last good one covered, once the drive takes the call.
//
// A drive that failed a file is logged on again as soon as it can be, and costs the other drives
// nothing meanwhile. Its health record (store_health.h) decides when: while its newest file is lost
// there its writer probes it every 0.25 s, each time on a task of its own ("r_Prb_<drive>": a probe
// that hangs holds that, not the writer), with a file of a name no measurement file has (created,
// written and written through, closed, made read-only and removed, and the folder written through),
// and asks the file store for a new file, which cuts every drive, once on the drive's return: the
// first probe that succeeds, a hung call that returned, the writer back in the store; and again, at
// most 10 s apart, while its probes succeed but the file of its join failed. The files that laps and
// fragments open meanwhile are tried on it as on any drive. A pulled stick is not asked after: its
// next arrival cuts the file.
#pragma once

#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/store/store_health.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"
#include "platform/drives/bfs.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace measure::store {

inline constexpr int kWriterPriority = 146;
inline constexpr size_t kWriterStack = 10000;
inline constexpr uint32_t kFlushAge = 5000;        // 0.5 s in time-stamp units
inline constexpr size_t kHandOverBytes = 1u << 20; // a buffer this full is handed over at once
// The file a probe of a failing drive makes and removes: no measurement file has its name.
inline constexpr const char* kProbeName = "~msdprob.tmp";

struct DriveProbe;

class BFSWriter : public Writer {
public:
    BFSWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts,
              uint8_t type = WRITER_DRIVE);
    ~BFSWriter() override;

    void taskStartCallback() override;
    bool taskMain() override;
    void taskStopCallback() override;
    bool write(int vfIdx, const uint8_t* data, uint32_t length) override;
    bool close(int vfIdx) override;
    bool flush(int vfIdx) override;
    bool flushDir() override;
    bool flushAll() override;
    bool isOpen(int vfIdx) override;
    bool open(int vfIdx) override;
    // Without the medium nothing more can reach it: nothing is waited for.
    // A close going on beside the writer counts too.
    bool hasUnflushedData() const override {
        return mediaAvailable_.load() && (unflushed_.load() != 0 || closeNews_->pending.load() != 0);
    }
    bool closing() const override { return closeNews_->pending.load() != 0; }
    bool holdsRecords() const override { return mediaAvailable_.load() && unflushed_.load() != 0; }
    bool storeKeeps() override;
    virtual void disconnectedStateHandler();
    // Whether the drive is there now, looked at anew where the writer keeps a slower watch on it (a
    // file that it would skip for the drive's absence is decided on the drive's state at its start).
    virtual bool mediaNow() { return mediaAvailable_.load(); }

    // Lets go of every file: one not closed yet is handed over as far as it goes and left
    // unfinished (writable, named in the log).
    void closeAllFiles();
    const char* drive() const override { return drive_; }

protected:
    // FILE_CUT: a hand-over found no room; the file ends with its last complete record and is
    // written on from there once there is room. FILE_FAILED: unfinished on this drive for good; its
    // later actions are skipped. FILE_SKIP: not this writer's to write.
    enum : uint8_t {
        FILE_FREE = 0,
        FILE_OPEN = 1,
        FILE_SKIP = 2,
        FILE_CLOSED = 3,
        FILE_CUT = 4,
        FILE_FAILED = 5
    };
    // A frame in a writer's buffer: its block, its samples' first and last stamps, and the file
    // offset where it ends. Told to the file's record once the drive took it.
    struct FrameMark {
        uint64_t end = 0;
        uint8_t block = 0;
        uint32_t first = 0;
        uint32_t last = 0;
    };
    struct FileEntry {
        int vfIdx = -1;
        uint8_t state = FILE_FREE;
        int fd = -1;
        MeasAppStore_FileInfo_s* info = nullptr; // a reference while the entry has the file
        std::string path;                        // device path
        bool created = false;                    // the file is on the drive (never created anew then)
        uint32_t dirMark = 0;                    // the drive's folder write-throughs at its creation
        std::vector<uint8_t> buf;                // whole records not handed over yet
        std::vector<uint64_t> ends;              // the file offsets where they end
        uint64_t synced = 0;                     // bytes in the file
        uint32_t since = 0;                      // when the oldest byte in buf came
        bool dirty = false;                      // buf holds bytes (counted in unflushed_)
        uint32_t retryAt = 0;                    // FILE_CUT: when the next try to go on is due
        bool cutBefore = false;                  // cut and not written on since
        uint64_t toldCut = 0;                    // where the log last said it ends
        bfs_fileId id;                           // the file itself, while it is open
        bool syncDue = false;                    // handed over, its write-through not queued yet
        std::vector<FrameMark> frames;           // the frames in buf, for the record's account
    };
    // A file whose write-through failed, to be cut back to what its last good one covered once its
    // drive takes the call.
    struct CutBack {
        int fd = -1;
        std::string path;
        uint64_t length = 0;
        uint32_t nextAt = 0;
    };

    void checkForFlush(uint32_t limit);
    // The frame in hand, when it is one of the file: its records are told to the file's record, so
    // that those that reach no drive are named.
    // Whether `data` is the data frame in hand, one of the file.
    bool frameInHand(int vfIdx, const uint8_t* data) const;
    void noteFrame(int vfIdx, FileEntry& e, uint8_t block);
    // Tells the record of the file which frames of buf the drive took: those that end at `upTo` or
    // before.
    static void framesHanded(MeasAppStore_FileInfo_s* info, const char* drive, std::vector<FrameMark>& frames,
                             uint64_t upTo);
    // Creates the file of a virtual file and puts its header pieces in the buffer; false when it
    // is not written now (the entry's state says why).
    bool openFile(int vfIdx, FileEntry& e);
    // The file's name waits for the start's search: it is not created yet.
    bool namePending(int vfIdx);
    // The file was created on the drive now.
    void created(FileEntry& e);
    // False when the file is lost on the drive (its data or its entry not written through, or it is
    // no longer the file its path names): it is then failed.
    bool stillThere(FileEntry& e);
    // A call of the logging on the drive hangs: the file is failed (true).
    bool driveHangs(FileEntry& e);
    // Hands the buffer to the drive in one write. False when the drive took it only in part: the
    // file is then cut or failed.
    bool handOver(FileEntry& e);
    // The same, unless a write-through of the file is queued or under way: the file system would
    // hold the write, and this writer with it, until it ends. The buffer then waits for its end
    // (looked at again within 50 ms), and a later hand-over takes it.
    bool handOverFree(FileEntry& e);
    // The drive took `written` bytes of the buffer and failed with `error`.
    void cutBack(FileEntry& e, uint64_t written, int error);
    // Opens a cut file again at its end and hands the buffer over; false while that is not due yet
    // or fails (`now`: at once). A failure other than want of room fails the file.
    bool resume(FileEntry& e, bool now);
    // The file is unfinished on this drive: named with the reason, writable, marked in its record.
    // `lostWriteThrough`: what its failed write-through covered is lost; the file is cut back.
    void failFile(FileEntry& e, int error, const char* why, bool lostWriteThrough = false);
    // The drive failed a file; a file's data held there (a write-through of it, or its whole close).
    void driveFailed(const FileEntry& e, const char* why);
    void dataHeld(int vfIdx, const std::string& path);
    // No later file than this one was opened here (one closed since counts too: a close's news
    // comes after its entry is let go).
    bool newest(const FileEntry& e) const;
    // What the drive calls tell of the drive: a hang, a hung call's return, a late call.
    void watchDrive();
    // The probes while the drive's newest file is lost there.
    void probeDue();
    // Carries out what the health record decided.
    void act(const DriveHealth::Decision& d);
    void askNewFile(const char* why);
    // Cuts back the files whose write-through failed, as far as the drive takes it now.
    void cutBackLost();
    // A cut-back that is not made: named, so that the file is known to hold what its last good
    // write-through covered only up to that length.
    static void cutBackDropped(const std::string& path, uint64_t length, const char* why);
    // The file is not this writer's to write (it never had any of it): out of its record's writers.
    void skipFile(FileEntry& e, int vfIdx);
    // Sets the read-only byte through `fd`, a read descriptor of the file; false with errno when
    // the byte is not set.
    static bool setReadOnly(int fd);
    // Why the file is lost on the drive (its drive hangs, its data or its entry not written through,
    // its path names another file or none), with the error and whether its failed write-through
    // covered data; empty when it is there.
    static std::string lostWhy(const char* drive, const std::string& path, int fd, const bfs_fileId& id,
                               uint32_t dirMark, int* error, bool* lostWriteThrough);
    // Names the file unfinished on `drive` and marks it in its record; the reason as told.
    static const char* tellUnfinished(const std::string& path, const char* drive,
                                      MeasAppStore_FileInfo_s* info, uint32_t bit, bool stick, int error,
                                      const char* why, char* reason, size_t size);

    // What the closes that go on beside the writer tell it: a file finished, or one they could not
    // finish (for the tries at a new file and for its cut-back).
    struct CloseNews {
        struct Item {
            int vfIdx = -1;
            std::string path;
            std::string why;
            bool failed = false;
            bool tellDrive = false; // not for a pulled stick
            CutBack cut;            // fd -1: none
        };
        std::mutex m;
        std::vector<Item> items;
        std::atomic<int> pending{0}; // closes under way
        // A cut-back no writer took (it was torn down) is named.
        ~CloseNews();
    };
    // A closed file's last steps: written through, its entry written through, read-only.
    struct Finish {
        int vfIdx = -1;
        int fd = -1;
        std::string path;
        bfs_fileId id;
        uint32_t dirMark = 0;
        MeasAppStore_FileInfo_s* info = nullptr; // a reference of its own
        // The last records, when a write-through of the file was under way at its close: written
        // here, after it, so that the writer never waits for it.
        std::vector<uint8_t> tail;
        std::vector<uint64_t> tailEnds; // the file offsets where its records end
        uint64_t synced = 0;            // bytes in the file before the tail
        std::vector<FrameMark> frames;
        std::string drive;
        uint32_t bit = 0; // the writer's bit in the record
        bool stick = false;
        bool whole = false;
        std::shared_ptr<CloseNews> news;
    };
    static void finishClose(Finish& f);
    // Writes a close's tail; empty when the drive took it, else why not (with `error`).
    static std::string writeTail(Finish& f, int* error);
    void takeCloseNews();
    void releaseEntry(FileEntry& e, uint8_t state);
    void setDirty(FileEntry& e, bool dirty);
    void noteProgress(FileEntry& e);
    // The stick is gone: every file it had open is unfinished there.
    void mediaLost();
    FileEntry& entry(int vfIdx) { return files_[unsigned(vfIdx) % kVfSlots]; }

    char drive_[CFG_MEAS_NAME_LEN];
    bool filesOpened_ = false;
    uint32_t nextFlushCheck_ = 0;
    dataWriteCounts_t counts_;
    bool dirFlushNeeded_ = false;
    DriveHealth health_;
    std::string failedWhy_;             // the line of the file whose failure began the drive's failure
    std::string newestFailedWhy_;       // ... of the newest file that failed
    uint32_t back_ = 0;                 // meas_app_driveBack as last seen
    uint32_t probeAt_ = 0;              // the next probe
    uint32_t nextWatch_ = 0;            // the next look at the drive
    std::shared_ptr<DriveProbe> probe_; // the probe under way
    std::vector<CutBack> cutBacks_;
    bool droppedWithFiles_ = false; // dropped from the Backend with files open
    int newestVf_ = -1;             // the latest file this writer opened (its virtual file)
    int storeNewestAtBack_ = -1;    // the store's newest file when the writer came back into it
    FileEntry files_[kVfSlots];
    std::atomic<int> unflushed_{0};
    bool closingAll_ = false; // closeAllFiles: a cut file is left as it is, not waited for
    bool heldBack_ = false;   // a hand-over waits for its file's write-through
    std::shared_ptr<CloseNews> closeNews_ = std::make_shared<CloseNews>();
};

class USBWriter : public BFSWriter {
public:
    USBWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts);
    ~USBWriter() override;
    bool taskMain() override;
    void taskStopCallback() override;
    bool mediaNow() override;

private:
    void refreshMedia();
    uint32_t lastCheck_ = 0;
    bool checked_ = false;
};

} // namespace measure::store
