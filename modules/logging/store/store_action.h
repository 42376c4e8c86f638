// The actions of the store: every piece of file work (data, meta data, open, close, flush, copy)
// travels from the Pretrigger through the Backend to the writers as an action, which each writer
// executes against itself. size() is what the action costs in the lists (the Backend's 25 MiB
// rule counts it, plus kNodeOverhead per entry).
#pragma once

#include "logging/disk/meas_app_disk.h"

#include <cstdint>

namespace measure::store {

class Writer;
class VirtualFile;

// Writer types, the bits of an action's mask.
enum : uint8_t { WRITER_DRIVE = 1, WRITER_USB = 2, WRITER_STREAM = 4, WRITER_FILES = 3, WRITER_ALL = 7 };
// Results of Action::execute.
enum : int { ACTION_OK = 0, ACTION_FAILED = 1, ACTION_SKIPPED = 2 };

// Signed difference of two wrapping time stamps: a - b.
inline int32_t tsDiff(uint32_t a, uint32_t b) {
    return int32_t(a - b);
}

class Action {
public:
    virtual ~Action() = default;
    virtual void setWriterType(uint8_t mask) { mask_ = mask; }
    virtual int vfIdx() const { return -1; }
    virtual uint32_t dataSize() const { return 0; }
    virtual uint32_t size() const = 0;
    virtual bool executeFunc(Writer& writer) = 0;
    virtual bool isValidType(Writer& writer) const;

    int execute(Writer& writer); // ACTION_OK, ACTION_FAILED or ACTION_SKIPPED
    uint32_t timestamp() const { return ts_; }
    uint32_t firstTimestamp() const { return firstTs_; }
    bool forward() const { return forward_ != 0; }
    uint8_t writerMask() const { return mask_; }

protected:
    uint32_t ts_ = 0;      // for a frame: its last sample's
    uint32_t firstTs_ = 0; // for a frame: its first sample's
    uint8_t mask_ = WRITER_ALL;
    uint8_t forward_ = 0; // the Pretrigger passes it on at once
};

class ActionVfIdx : public Action {
public:
    explicit ActionVfIdx(int vfIdx) : vfIdx_(vfIdx) {}
    int vfIdx() const override { return vfIdx_; }

protected:
    int vfIdx_;
};

// A data frame (or a header piece). Owns its buffer (malloc'ed).
class ActionData : public ActionVfIdx {
public:
    ActionData(int vfIdx, uint8_t* data, uint32_t length, uint32_t firstTs, uint32_t lastTs);
    ~ActionData() override;
    ActionData(const ActionData&) = delete;
    ActionData& operator=(const ActionData&) = delete;
    uint32_t dataSize() const override { return length_; }
    uint32_t size() const override { return length_ + 28; }
    bool executeFunc(Writer& writer) override;
    const uint8_t* data() const { return data_; }
    uint8_t* bytes() { return data_; }
    uint32_t length() const { return length_; }

protected:
    uint8_t* data_;
    uint32_t length_;
};

// A meta-data record of the file format (type 0-7). Time stamps 0; forwarded for types 0, 2, 5.
class ActionMetaData : public ActionData {
public:
    ActionMetaData(int vfIdx, uint8_t* data, uint32_t length, uint8_t type);
    uint32_t dataSize() const override { return length_ + 6; }
    bool executeFunc(Writer& writer) override;
    uint8_t type() const { return type_; }

private:
    uint8_t type_;
};

// Announces a virtual file: registers a writer that joined after the file was created.
class ActionOpen : public ActionVfIdx {
public:
    ActionOpen(VirtualFile* vfile, int vfIdx, int measIdx); // raises a text for a null file
    uint32_t size() const override { return 28; }
    bool executeFunc(Writer& writer) override;

private:
    int measIdx_;
    VirtualFile* vfile_;
};

// Closes a file. Creating it marks the file closed towards the file store; destroying it (after
// every writer passed it) removes and destroys the virtual file.
class ActionClose : public ActionVfIdx {
public:
    ActionClose(int vfIdx, int measIdx);
    ~ActionClose() override;
    uint32_t size() const override { return 24; }
    bool executeFunc(Writer& writer) override;
    // The file's slot is free for a new file now; the virtual file itself goes with this action (a
    // writer dropped while it hung may still hold it).
    void freeSlot();

private:
    int measIdx_;
    VirtualFile* kept_ = nullptr; // out of the table, destroyed with the action
};

class ActionFlushFile : public ActionVfIdx {
public:
    explicit ActionFlushFile(int vfIdx);
    uint32_t size() const override { return 20; }
    bool executeFunc(Writer& writer) override;
};

class ActionFlushDir : public Action {
public:
    ActionFlushDir();
    uint32_t size() const override { return 16; }
    bool executeFunc(Writer& writer) override;
};

class ActionFlushAll : public Action {
public:
    ActionFlushAll();
    uint32_t size() const override { return 16; }
    bool executeFunc(Writer& writer) override;
};

// Starts the copy task of a finished file (drive writer only).
class ActionFileCopy : public Action {
public:
    ActionFileCopy(const CopyFile_t& request, int measIdx);
    ~ActionFileCopy() override;
    ActionFileCopy(const ActionFileCopy&) = delete;
    ActionFileCopy& operator=(const ActionFileCopy&) = delete;
    uint32_t size() const override { return 36 + (request_.ownsTarget ? nameLength_ : 0); }
    bool executeFunc(Writer& writer) override;

private:
    CopyFile_t request_;
    uint32_t nameLength_;
    int measIdx_;
    bool started_ = false; // a copy dropped before it ran ends as failed
};

} // namespace measure::store
