// Virtual files: a measurement file before and while the writers write it. A virtual file holds the
// file store's record of the file, the prepared header pieces (file header, block descriptor table
// and header meta-data records) and the set of writers that must write it. `virtualFiles` keeps 32
// slots per measurement; an index grows without bound and lives in slot index % 32.
#pragma once

#include "logging/store/meas_app_pretrig.h"
#include "logging/store/store_action.h"
#include "logging/store/store_list.h"

#include <cstddef>
#include <cstdint>

namespace measure::store {

inline constexpr int kMeasCount = 3;
inline constexpr int kVfSlots = 32;
// Slots kept free: a writer that lags so far behind that fewer are left leaves the store (the files it
// holds go at once; only the file of the action in hand waits until it lets go of that action).
inline constexpr int kVfSpare = 8;
inline constexpr uint32_t kFileHeaderSize = 42;
inline constexpr uint32_t kBlockDescrSize = 9;

class VirtualFile {
public:
    // Holds a reference to `info` (meas_app_PreTrigFileInfoRelease), whose writer bits it sets.
    // Raises a text when the header cannot be made.
    VirtualFile(int vfIdx, MeasAppStore_FileInfo_s* info, uint32_t writers, uint32_t stickWriters);
    virtual ~VirtualFile();
    VirtualFile(const VirtualFile&) = delete;
    VirtualFile& operator=(const VirtualFile&) = delete;

    int index() const { return vfIdx_; }
    // False when the name does not fit `size` (at most 40) bytes.
    bool getFileName(char* buffer, size_t size) const;
    // Record of this measurement whose time range (start to close, or open) holds ts.
    bool checkFileInfoMatch(int measIdx, uint32_t ts) const;
    // The file is closed towards the writers: index -1, and the file store told.
    void invalidateFileInfo();
    // A writer has closed the file whole on its drive, or could not.
    void closedBy(int measIdx, uint8_t id);
    void failedBy(int measIdx, uint8_t id);
    // A writer leaves the store: a file it was to write and has not closed stays unfinished there.
    // The writer left the store before it closed the file (`why` on `drive`, for the record).
    void writerLost(int measIdx, uint8_t id, const char* drive, const char* why);
    void getLapValues(uint16_t* absLap, uint16_t* outing, uint16_t* lap, uint16_t* fragment,
                      uint32_t* startTs) const;
    // Replays the header pieces into a writer that has just opened the file. True when at least
    // one piece was written and none failed.
    bool writeHeader(Writer& writer);
    // The record's absolute lap changed before any writer created the file (the start's names were
    // fixed): the file header carries the new one. The table's lock held.
    void renumber();
    // A status block collected while the file had its provisional name carries the fixed one
    // instead (`data` its record's payload). The table's lock held.
    void fixName(uint8_t* data, uint32_t length) const;
    bool isRegisteredWriter(int measIdx, uint8_t id) const;
    void registerWriter(int measIdx, uint8_t id, bool stick);
    void deregisterWriter(int measIdx, uint8_t id);
    uint32_t writers() const { return info_->writers.load(); }
    MeasAppStore_FileInfo_s* fileInfo() const { return info_; }

private:
    bool createHeader();
    bool addHeaderAction(Action* action);

    int vfIdx_;
    List<Action> header_;
    MeasAppStore_FileInfo_s* info_;
};

// Writer bit of writer `id` of measurement `measIdx`; 0 outside the 32 bits.
inline uint32_t writerBit(int measIdx, uint8_t id) {
    const int bit = int(id) + 8 * measIdx;
    return bit >= 0 && bit < 32 ? 1u << bit : 0;
}
// The writer bits of a measurement.
inline uint32_t writerMask(int measIdx) {
    return measIdx >= 0 && measIdx < 4 ? 0xFFu << (8 * measIdx) : 0;
}

class VirtualFiles : public Lock {
public:
    VirtualFiles();
    ~VirtualFiles() override;

    // The new virtual file of a record, or null (logged; the reason in *why when given).
    VirtualFile* create(int measIdx, MeasAppStore_FileInfo_s* info, const char** why = nullptr);
    int find(int measIdx, uint32_t ts);
    VirtualFile* get(int measIdx, int index);
    // The virtual file of a record (also once its close is handed on), or null.
    VirtualFile* of(int measIdx, const MeasAppStore_FileInfo_s* info);
    VirtualFile* remove(int measIdx, int index); // the caller destroys it
    // Virtual files of the measurement that exist now (at most kVfSlots).
    int inUse(int measIdx);
    // The index of the newest file created for the measurement (-1 none yet).
    int newest(int measIdx);
    // A writer joins the store: it writes every file made from now on (`stick`: on a stick).
    void registerWriter(int measIdx, uint8_t id, bool stick);
    void deregisterWriter(int measIdx, uint8_t id, const char* drive = "",
                          const char* why = "its writer left the store");
    // A writer hangs in its drive (the Backend dropped it): files made meanwhile are unfinished on
    // `drive`, until a writer takes its slot again or it comes back (writerBack).
    void writerHangs(int measIdx, uint8_t id, const char* drive);
    void writerBack(int measIdx, uint8_t id);
    // Tests and shutdown: destroys every virtual file of a measurement.
    void reset(int measIdx);

private:
    struct Meas {
        VirtualFile* slots[kVfSlots] = {};
        int first = 0;
        int last = -1;
    };
    Meas meas_[kMeasCount];
    uint32_t writers_ = 0;
    uint32_t stickWriters_ = 0;
    uint32_t hung_ = 0;
    char hungDrive_[32][16] = {};
};

extern VirtualFiles& virtualFiles;

} // namespace measure::store
