// The file writers: BFSWriter writes the measurement files of its measurement on the logging
// drive, USBWriter (a BFSWriter that watches its drive) on the USB drive. A file is opened on the
// first action that needs it, its header pieces first; frames and meta-data records are appended,
// flushed once their oldest unflushed byte is 0.5 s old (written through to the disk in the
// background, store_sync.h), and the file is made read-only at its close. A record that cannot be
// written whole is cut off again (the file ends with the last complete record), and the writer
// waits with it in hand, taking nothing after it, until there is room again: nothing is lost while
// the Backend holds what comes meanwhile. A stick pulled meanwhile ends the wait (what it would have
// got is dropped).
#pragma once

#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_fifo_cond.h"
#include "logging/store/store_vfile.h"
#include "logging/store/store_writer.h"

#include <cstdio>
#include <string>
#include <vector>

namespace measure::store {

inline constexpr int kWriterPriority = 146;
inline constexpr size_t kWriterStack = 10000;
inline constexpr uint32_t kFlushAge = 5000;       // 0.5 s in time-stamp units
inline constexpr uint32_t kDirFlushBytes = 16384; // a directory flush per this many bytes

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
    bool hasUnflushedData() const override { return mediaAvailable_.load() && unflushed_.load() != 0; }
    virtual void disconnectedStateHandler();

    // Closes every file, also those not finished (named in the log).
    void closeAllFiles();
    const char* drive() const override { return drive_; }

protected:
    // FILE_CUT: a write or flush failed (a full drive) and the file was cut back to its last
    // complete record; it is written on from there once writes succeed again.
    enum : uint8_t { FILE_FREE = 0, FILE_OPEN = 1, FILE_SKIP = 2, FILE_CLOSED = 3, FILE_CUT = 4 };
    struct FileEntry {
        int vfIdx = -1;
        uint8_t state = FILE_FREE;
        int fd = -1;
        FILE* stream = nullptr;
        uint32_t runStart = 0; // when the current run of unflushed bytes began
        uint32_t pending = 0;  // bytes since the last directory flush, modulo 16384
        bool dirty = false;    // bytes in the stream not yet flushed
        uint64_t total = 0;
        uint64_t synced = 0;        // bytes known to be in the file (after the last flush)
        std::vector<uint64_t> ends; // ends of the records written since
        std::string path;           // device path, kept while the file is cut
        uint32_t retryAt = 0;       // FILE_CUT: when the next attempt to write on is due
        bool cutBefore = false;     // cut and not written on since (its later cuts are not told)
        bool headerDone = false;    // the whole header is in the file ...
        uint64_t headerBytes = 0;   // ... and this long
    };

    void checkForFlush(uint32_t limit);
    bool openFileAtomic(int vfIdx, const char* name);
    void bytesWritten(FileEntry& e, uint32_t n);
    void setDirty(FileEntry& e, bool dirty);
    // A failed write or flush: cut the file back to its last complete record (to nothing when its
    // header is not whole: the header is written again).
    void cutBack(FileEntry& e);
    // Opens a cut file again at its end; false while that is not due yet or fails (`now`: at once).
    bool resume(FileEntry& e, bool now);
    // The header pieces of a file just opened (or cut back to nothing); false cuts it back.
    bool writeHeader(int vfIdx, FileEntry& e);
    // A cut file closed without room to finish it: read-only as it is, and named.
    bool closeCut(FileEntry& e);
    bool setAttrib(FileEntry& e, uint8_t attrib);
    void releaseEntry(FileEntry& e, uint8_t state);
    FileEntry& entry(int vfIdx) { return files_[unsigned(vfIdx) % kVfSlots]; }

    char drive_[CFG_MEAS_NAME_LEN];
    bool filesOpened_ = false;
    uint32_t aliveTimeout_ = 100000;
    uint32_t nextFlushCheck_ = 0;
    dataWriteCounts_t counts_;
    bool dirFlushNeeded_ = false;
    FileEntry files_[kVfSlots];
    std::atomic<int> unflushed_{0};
    bool closingAll_ = false; // closeAllFiles: a cut file is closed as it is, not waited for
};

class USBWriter : public BFSWriter {
public:
    USBWriter(Backend& backend, int measIdx, const char* drive, const dataWriteCounts_t& counts);
    ~USBWriter() override;
    bool taskMain() override;
    void taskStopCallback() override;

private:
    void refreshMedia();
    uint32_t lastCheck_ = 0;
    bool checked_ = false;
};

} // namespace measure::store
