// Memory pools of fixed-size items, grown in blocks of `incrCnt` items (0: a fixed pool).
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

struct Pool {
    std::string name;
    size_t itemSize = 0;
    size_t alignment = 0;
    size_t incrCnt = 0;
    bool threadSafe = false;
    std::mutex m;
    std::vector<void*> blocks;
    std::vector<uintptr_t> blockEnds;
    std::vector<void*> freeItems;
    size_t total = 0;
};

namespace {

bool grow(Pool* p, size_t n) {
    if (n == 0) return false;
    void* block = std::aligned_alloc(p->alignment, ((p->itemSize * n) + p->alignment - 1) / p->alignment * p->alignment);
    if (!block) return false;
    p->blocks.push_back(block);
    p->blockEnds.push_back(reinterpret_cast<uintptr_t>(block) + p->itemSize * n);
    for (size_t i = n; i-- > 0;) p->freeItems.push_back(static_cast<char*>(block) + i * p->itemSize);
    p->total += n;
    return true;
}

bool owns(Pool* p, void* item) {
    const auto a = reinterpret_cast<uintptr_t>(item);
    for (size_t i = 0; i < p->blocks.size(); ++i) {
        const auto start = reinterpret_cast<uintptr_t>(p->blocks[i]);
        if (a >= start && a < p->blockEnds[i]) return (a - start) % p->itemSize == 0;
    }
    return false;
}

struct MaybeLock {
    Pool* p;
    explicit MaybeLock(Pool* pool) : p(pool) {
        if (p->threadSafe) p->m.lock();
    }
    ~MaybeLock() {
        if (p->threadSafe) p->m.unlock();
    }
};

} // namespace

POOL_ID poolCreate(const char* name, size_t itemSize, size_t alignment, size_t initCnt, size_t incrCnt,
                   void* /*partId*/, int options) {
    if (itemSize == 0) return nullptr;
    if (alignment == 0) alignment = alignof(std::max_align_t);
    if ((alignment & (alignment - 1)) != 0) return nullptr;
    auto* p = new Pool;
    p->name = name ? name : "";
    p->alignment = alignment;
    p->itemSize = (itemSize + alignment - 1) / alignment * alignment;
    p->incrCnt = incrCnt;
    p->threadSafe = (options & POOL_THREAD_SAFE) != 0;
    if (initCnt && !grow(p, initCnt)) {
        delete p;
        return nullptr;
    }
    return p;
}

void* poolItemGet(POOL_ID p) {
    if (!p) return nullptr;
    MaybeLock lk(p);
    if (p->freeItems.empty() && !grow(p, p->incrCnt)) return nullptr;
    void* item = p->freeItems.back();
    p->freeItems.pop_back();
    return item;
}

STATUS poolItemReturn(POOL_ID p, void* item) {
    if (!p || !item) return ERROR;
    MaybeLock lk(p);
    if (!owns(p, item)) return ERROR;
    // A double return would hand one item out twice.
    if (std::find(p->freeItems.begin(), p->freeItems.end(), item) != p->freeItems.end()) return ERROR;
    p->freeItems.push_back(item);
    return OK;
}

size_t poolFreeCount(POOL_ID p) {
    if (!p) return 0;
    MaybeLock lk(p);
    return p->freeItems.size();
}

size_t poolTotalCount(POOL_ID p) {
    if (!p) return 0;
    MaybeLock lk(p);
    return p->total;
}

STATUS poolDelete(POOL_ID p, bool force) {
    if (!p) return ERROR;
    {
        MaybeLock lk(p);
        if (!force && p->freeItems.size() != p->total) return ERROR;
        for (void* b : p->blocks) std::free(b);
    }
    delete p;
    return OK;
}
