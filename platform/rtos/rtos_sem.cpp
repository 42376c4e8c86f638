// Binary, counting and mutex semaphores.
//
// Semaphore records are never returned to the heap: a deleted record is marked dead and kept for
// reuse, so that a stale id is refused (its mark is gone) instead of touching freed memory.
#include "platform/rtos/rtos_internal.h"
#include "platform/rtos/rtos_named.h"

#include <cerrno>
#include <vector>

using namespace rtos_detail;

namespace {
constexpr uint32_t kSemAlive = 0x53454D41; // "SEMA"
}

struct Semaphore {
    std::atomic<uint32_t> magic{0};
    SEM_TYPE type = SEM_TYPE_BINARY;
    int options = 0;
    std::mutex m;
    std::condition_variable cv;
    int count = 0;     // binary 0/1, counting n
    TASK_ID owner = 0; // mutex: owning task, 0 when free
    int recursion = 0; // mutex: nested takes of the owner
    int waiters = 0;
    bool dying = false;
    uint64_t flushGeneration = 0;
    WaitPlace place;
    SemClock* clock = nullptr; // gives the semaphore by time
};

namespace {

std::mutex gPoolMutex;
std::vector<Semaphore*>& freeList() {
    static auto* v = new std::vector<Semaphore*>;
    return *v;
}

Semaphore* allocate(SEM_TYPE type, int options, int count) {
    Semaphore* s = nullptr;
    {
        std::lock_guard<std::mutex> lk(gPoolMutex);
        if (!freeList().empty()) {
            s = freeList().back();
            freeList().pop_back();
        }
    }
    if (!s) s = new Semaphore;
    std::lock_guard<std::mutex> lk(s->m);
    s->type = type;
    s->options = options;
    s->count = count;
    s->owner = 0;
    s->recursion = 0;
    s->waiters = 0;
    s->dying = false;
    s->clock = nullptr;
    s->magic.store(kSemAlive, std::memory_order_release);
    return s;
}

bool alive(SEM_ID s) {
    return s && s->magic.load(std::memory_order_acquire) == kSemAlive;
}

} // namespace

SEM_ID semBCreate(int options, SEM_B_STATE initialState) {
    return allocate(SEM_TYPE_BINARY, options, initialState == SEM_FULL ? 1 : 0);
}

SEM_ID semCCreate(int options, int initialCount) {
    if (initialCount < 0) return SEM_ID_NULL;
    return allocate(SEM_TYPE_COUNTING, options, initialCount);
}

SEM_ID semMCreate(int options) {
    return allocate(SEM_TYPE_MUTEX, options, 0);
}

STATUS semTake(SEM_ID s, _Vx_ticks_t timeout) {
    if (!alive(s)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    CoreTurn turn;
    TaskRec* me = turn.me;
    std::unique_lock<std::mutex> lk(s->m);
    if (s->dying) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    if (s->type == SEM_TYPE_MUTEX) {
        if (s->owner == me->id) {
            ++s->recursion;
            return OK;
        }
        ++s->waiters;
        bool got = false;
        try {
            got = waitTicks(lk, s->cv, s->place, timeout, [&] { return s->owner == 0 || s->dying; });
        } catch (...) {
            --s->waiters;
            s->cv.notify_all();
            throw;
        }
        --s->waiters;
        if (s->dying) {
            s->cv.notify_all();
            return ERROR;
        }
        if (!got) return ERROR;
        s->owner = me->id;
        s->recursion = 1;
        ++me->mutexesHeld;
        return OK;
    }
    ++s->waiters;
    const uint64_t generation = s->flushGeneration;
    uint64_t clockDue = UINT64_MAX;
    bool got = false;
    try {
        got = waitTicks(
            lk, s->cv, s->place, timeout,
            [&] {
                if (s->clock) clockDue = s->clock->poll(s->count);
                return s->count > 0 || s->dying || s->flushGeneration != generation;
            },
            false, &clockDue, s->clock != nullptr);
    } catch (...) {
        --s->waiters;
        s->cv.notify_all();
        throw;
    }
    --s->waiters;
    if (s->dying) {
        s->cv.notify_all();
        return ERROR;
    }
    if (s->flushGeneration != generation && s->count == 0) return OK; // released by semFlush
    if (!got) return ERROR;
    --s->count;
    if (s->clock) s->clock->taken(s->count);
    return OK;
}

STATUS semGive(SEM_ID s) {
    if (!alive(s)) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    CoreTurn turn;
    std::lock_guard<std::mutex> lk(s->m);
    if (s->dying) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    switch (s->type) {
    case SEM_TYPE_MUTEX: {
        TaskRec* me = turn.me;
        if (s->owner != me->id) return ERROR;
        if (--s->recursion == 0) {
            s->owner = 0;
            --me->mutexesHeld;
            wakePlace(s->place, s->cv, false);
        }
        return OK;
    }
    case SEM_TYPE_BINARY:
        s->count = 1;
        break;
    case SEM_TYPE_COUNTING:
        if (s->count == INT32_MAX) return ERROR;
        ++s->count;
        break;
    }
    wakePlace(s->place, s->cv, false);
    return OK;
}

STATUS semFlush(SEM_ID s) {
    if (!alive(s) || s->type == SEM_TYPE_MUTEX) return ERROR;
    CoreTurn turn;
    std::lock_guard<std::mutex> lk(s->m);
    ++s->flushGeneration;
    wakePlace(s->place, s->cv, true);
    return OK;
}

int semCount(SEM_ID s) {
    if (!alive(s)) return -1;
    std::lock_guard<std::mutex> lk(s->m);
    if (s->clock) s->clock->poll(s->count);
    return s->type == SEM_TYPE_MUTEX ? (s->owner ? 0 : 1) : s->count;
}

void rtos_detail::semAttachClock(SEM_ID s, SemClock* clock) {
    if (!alive(s)) return;
    std::lock_guard<std::mutex> lk(s->m);
    s->clock = clock;
}

void rtos_detail::semKick(SEM_ID s) {
    if (!alive(s)) return;
    CoreTurn turn;
    std::lock_guard<std::mutex> lk(s->m);
    wakePlace(s->place, s->cv, true);
}

int semWaiting(SEM_ID s) {
    if (!alive(s)) return -1;
    std::lock_guard<std::mutex> lk(s->m);
    return s->waiters;
}

STATUS semDelete(SEM_ID s) {
    if (!alive(s)) return ERROR;
    named_forget(s);
    {
        std::unique_lock<std::mutex> lk(s->m);
        if (s->dying) return ERROR;
        s->dying = true;
        s->magic.store(0, std::memory_order_release);
        wakePlace(s->place, s->cv, true);
        // Waiters leave with ERROR; the record is reused only after the last one has left.
        s->cv.wait(lk, [&] { return s->waiters == 0; });
        if (s->type == SEM_TYPE_MUTEX && s->owner != 0 && s->owner == self()->id) --self()->mutexesHeld;
    }
    std::lock_guard<std::mutex> lk(gPoolMutex);
    freeList().push_back(s);
    return OK;
}

// ---------------------------------------------------------------------------------------------
// Named semaphores

SEM_ID semOpen(const char* name, SEM_TYPE type, int initState, int options, int mode, void* /*context*/) {
    if (!name || !*name) return SEM_ID_NULL;
    return static_cast<SEM_ID>(named_open(name, NamedKind::Semaphore, mode, [&]() -> void* {
        switch (type) {
        case SEM_TYPE_BINARY:
            return semBCreate(options, initState ? SEM_FULL : SEM_EMPTY);
        case SEM_TYPE_COUNTING:
            return semCCreate(options, initState);
        case SEM_TYPE_MUTEX:
            return semMCreate(options);
        }
        return nullptr;
    }));
}

STATUS semClose(SEM_ID s) {
    return alive(s) ? OK : ERROR;
}

STATUS semUnlink(const char* name) {
    return named_unlink(name, NamedKind::Semaphore) ? OK : ERROR;
}
