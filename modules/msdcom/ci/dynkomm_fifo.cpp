#include "msdcom/ci/dynkomm_fifo.h"

#include "framework/syslog.h"
#include "msdcom/ci/ci_ident.h"

#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace {

constexpr std::align_val_t FIFO_ALIGN{alignof(std::max_align_t)};

struct FifoSet {
    std::mutex lock;
    std::unordered_set<const dynkomm_fifo*> live;
    std::vector<dynkomm_fifo*> retired;
};

// Never destroyed: tasks may still write or read while the process ends.
FifoSet& fifos() {
    static FifoSet* s = new FifoSet;
    return *s;
}

void freeMemory(dynkomm_fifo* f) {
    f->~dynkomm_fifo();
    ::operator delete(static_cast<void*>(f), FIFO_ALIGN);
}

bool isQueue(const dynkomm_fifo* f) {
    return (f->flags & DYNKOMM_FLAG_QUEUE) != 0;
}

} // namespace

dynkomm_fifo* dynkomm_fifo_new(const dynkomm_fifo_params& p) {
    if (p.depth == 0 || (p.depth & (p.depth - 1)) != 0 || p.slot_size == 0 ||
        uint32_t(p.depth) * p.slot_size > DYNKOMM_FIFO_MAX_BYTES) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_new(): refused depth %u slot size %u",
                          unsigned(p.depth), unsigned(p.slot_size));
        return nullptr;
    }
    const size_t bytes = sizeof(dynkomm_fifo) + size_t(p.depth) * p.slot_size;
    void* mem = ::operator new(bytes, FIFO_ALIGN, std::nothrow);
    if (!mem) return nullptr;
    std::memset(mem, 0, bytes);
    dynkomm_fifo* f = new (mem) dynkomm_fifo{};
    f->link = nullptr;
    f->handle = p.handle;
    f->peer = p.peer;
    f->route_tag = p.route_tag;
    f->src_pid = p.src_pid;
    f->dst_pid = p.dst_pid;
    f->depth = p.depth;
    f->mask = uint16_t(p.depth - 1);
    f->slot_size = p.slot_size;
    f->raster = p.raster;
    f->flags = p.flags;
    f->ident = ci_ident_register(CiIdentKind::Fifo, f);
    if (f->ident == 0) {
        freeMemory(f);
        return nullptr;
    }
    f->mark.store(DYNKOMM_FIFO_MARK, std::memory_order_relaxed);
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    s.live.insert(f);
    return f;
}

int dynkomm_fifo_release(dynkomm_fifo* fifo) {
    if (!fifo) return 0;
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.live.erase(fifo) == 0) return 0;
    // Holders that took the FIFO before this point find it dead at their next write or read; the
    // memory stays until a later collection tick.
    fifo->mark.store(DYNKOMM_FIFO_DEAD, std::memory_order_relaxed);
    ci_ident_release(fifo->ident);
    fifo->retire_tick = 0;
    s.retired.push_back(fifo);
    return 1;
}

bool dynkomm_fifo_isLive(const dynkomm_fifo* fifo) {
    if (!fifo) return false;
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    return s.live.count(fifo) != 0;
}

uint32_t dynkomm_fifo_ident(const dynkomm_fifo* fifo) {
    return dynkomm_fifo_isLive(fifo) ? fifo->ident : 0;
}

dynkomm_fifo* dynkomm_fifo_byIdent(uint32_t ident) {
    return static_cast<dynkomm_fifo*>(ci_ident_object(CiIdentKind::Fifo, ident));
}

void dynkomm_fifo_collect() {
    std::vector<dynkomm_fifo*> done;
    {
        FifoSet& s = fifos();
        std::lock_guard<std::mutex> g(s.lock);
        // Freed at the second tick after release: a whole tick period lies between the release
        // and the free, longer than any writer or reader holds a slot.
        std::vector<dynkomm_fifo*> keep;
        for (dynkomm_fifo* f : s.retired) {
            if (f->retire_tick >= 1 && f->pins == 0)
                done.push_back(f);
            else {
                ++f->retire_tick;
                keep.push_back(f);
            }
        }
        s.retired.swap(keep);
    }
    for (dynkomm_fifo* f : done) freeMemory(f);
}

bool dynkomm_fifo_pin(dynkomm_fifo* fifo) {
    if (!fifo) return false;
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.live.count(fifo) == 0) return false;
    ++fifo->pins;
    return true;
}

void dynkomm_fifo_unpin(dynkomm_fifo* fifo) {
    if (!fifo) return;
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    if (fifo->pins > 0) --fifo->pins;
}

uint32_t dynkomm_fifo_liveCount() {
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    return uint32_t(s.live.size());
}

uint32_t dynkomm_fifo_retiredCount() {
    FifoSet& s = fifos();
    std::lock_guard<std::mutex> g(s.lock);
    return uint32_t(s.retired.size());
}

uint8_t* dynkomm_write(dynkomm_fifo* fifo) {
    if (!fifo || fifo->mark.load(std::memory_order_relaxed) != DYNKOMM_FIFO_MARK) return nullptr;
    const uint32_t w = fifo->write_index.load(std::memory_order_relaxed);
    // Queue mode: the slot is free only once the reader has released it.
    if (isQueue(fifo) && w - fifo->read_index.load(std::memory_order_acquire) >= fifo->depth) return nullptr;
    return fifo->slots() + size_t(w & fifo->mask) * fifo->slot_size;
}

void dynkomm_writedone(dynkomm_fifo* fifo) {
    if (!fifo) return;
    const uint32_t w = fifo->write_index.load(std::memory_order_relaxed);
    fifo->write_index.store(w + 1, std::memory_order_release);
}

uint8_t* dynkomm_read(dynkomm_fifo* fifo) {
    if (!fifo || fifo->mark.load(std::memory_order_relaxed) != DYNKOMM_FIFO_MARK) return nullptr;
    const uint32_t w = fifo->write_index.load(std::memory_order_acquire);
    const uint32_t r = fifo->read_index.load(std::memory_order_relaxed);
    if (r == w) return nullptr;
    const uint32_t pos = isQueue(fifo) ? r : w - 1;
    return fifo->slots() + size_t(pos & fifo->mask) * fifo->slot_size;
}

void dynkomm_readdone(dynkomm_fifo* fifo) {
    if (!fifo) return;
    if (isQueue(fifo)) {
        const uint32_t r = fifo->read_index.load(std::memory_order_relaxed);
        if (r != fifo->write_index.load(std::memory_order_acquire))
            fifo->read_index.store(r + 1, std::memory_order_release);
    } else {
        fifo->read_index.store(fifo->write_index.load(std::memory_order_acquire), std::memory_order_release);
    }
}
