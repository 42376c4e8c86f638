#include "logging/fifo/seq_record.h"

#include <cstring>
#include <thread>

SeqRecord::SeqRecord(size_t size)
    : size_(size), words_((size + 3) / 4), data_(new std::atomic<uint32_t>[words_ ? words_ : 1]) {
    for (size_t i = 0; i < words_; ++i) data_[i].store(0, std::memory_order_relaxed);
}

void SeqRecord::write(const void* data, size_t n) {
    if (n > size_) n = size_;
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    // Each word is released, so a reader that sees a new word also sees the odd count before it.
    const auto* in = static_cast<const uint8_t*>(data);
    for (size_t w = 0; w * 4 < n; ++w) {
        uint32_t word = data_[w].load(std::memory_order_relaxed);
        const size_t take = n - w * 4 < 4 ? n - w * 4 : 4;
        std::memcpy(&word, in + w * 4, take);
        data_[w].store(word, std::memory_order_release);
    }
    seq_.store(s + 2, std::memory_order_release);
}

void SeqRecord::clear() {
    const uint32_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    for (size_t w = 0; w < words_; ++w) data_[w].store(0, std::memory_order_release);
    seq_.store(s + 2, std::memory_order_release);
}

void SeqRecord::read(void* out) const {
    auto* o = static_cast<uint8_t*>(out);
    for (;;) {
        const uint32_t s1 = seq_.load(std::memory_order_acquire);
        if (s1 & 1) {
            std::this_thread::yield();
            continue;
        }
        for (size_t w = 0; w < words_; ++w) {
            const uint32_t word = data_[w].load(std::memory_order_acquire);
            const size_t take = size_ - w * 4 < 4 ? size_ - w * 4 : 4;
            std::memcpy(o + w * 4, &word, take);
        }
        if (seq_.load(std::memory_order_relaxed) == s1) return;
    }
}
