// A record written by one task and read by others without a lock: the writer brackets every copy
// with a sequence counter (odd while writing), and a reader that saw the counter move copies again,
// so no reader ever sees half of a record. Used for the latest records of condition, telemetry and
// status-block blocks, which the gateway callback replaces while other tasks read them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class SeqRecord {
public:
    explicit SeqRecord(size_t size);
    SeqRecord(const SeqRecord&) = delete;
    SeqRecord& operator=(const SeqRecord&) = delete;

    size_t size() const { return size_; }
    // Replaces the record with `n` bytes (cut to the size; the rest keeps its bytes). One writer.
    void write(const void* data, size_t n);
    // The whole record into `out` (size() bytes).
    void read(void* out) const;
    // Number of completed writes.
    uint32_t writes() const { return seq_.load(std::memory_order_acquire) / 2; }
    // Zeroes the record.
    void clear();

private:
    size_t size_;
    size_t words_;
    std::unique_ptr<std::atomic<uint32_t>[]> data_;
    std::atomic<uint32_t> seq_{0};
};
