// Message queues: a ring of fixed slots allocated at creation, so sending never allocates.
// Urgent messages are put at the head of the ring.
#include "platform/rtos/rtos_internal.h"
#include "platform/rtos/rtos_named.h"

#include <cstring>
#include <vector>

using namespace rtos_detail;

namespace {
constexpr uint32_t kQueueAlive = 0x4D534751; // "MSGQ"
}

struct MsgQueue {
    std::atomic<uint32_t> magic{0};
    int maxMsgs = 0;
    size_t maxLength = 0;
    std::mutex m;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::vector<uint8_t> slots;  // maxMsgs slots of maxLength bytes
    std::vector<size_t> lengths; // length per slot
    int head = 0;
    int count = 0;
    int waiters = 0;
    bool dying = false;
    WaitPlace emptyPlace; // receivers waiting for a message
    WaitPlace fullPlace;  // senders waiting for room
};

namespace {

bool alive(MSG_Q_ID q) {
    return q && q->magic.load(std::memory_order_acquire) == kQueueAlive;
}

std::mutex gRetiredMutex;
std::vector<MsgQueue*>& retired() {
    static auto* v = new std::vector<MsgQueue*>;
    return *v;
}

} // namespace

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int /*options*/) {
    if (maxMsgs <= 0 || maxMsgLength < 0) return MSG_Q_ID_NULL;
    auto* q = new MsgQueue;
    q->maxMsgs = maxMsgs;
    q->maxLength = size_t(maxMsgLength);
    q->slots.resize(size_t(maxMsgs) * std::max<size_t>(q->maxLength, 1));
    q->lengths.resize(size_t(maxMsgs));
    q->magic.store(kQueueAlive, std::memory_order_release);
    return q;
}

STATUS msgQSend(MSG_Q_ID q, const void* buffer, size_t nBytes, _Vx_ticks_t timeout, int priority) {
    if (!alive(q) || nBytes > q->maxLength || (nBytes && !buffer)) return ERROR;
    CoreTurn turn;
    std::unique_lock<std::mutex> lk(q->m);
    if (q->dying) return ERROR;
    ++q->waiters;
    bool room = false;
    try {
        room = waitTicks(lk, q->notFull, q->fullPlace, timeout,
                         [&] { return q->count < q->maxMsgs || q->dying; });
    } catch (...) {
        --q->waiters;
        q->notFull.notify_all();
        throw;
    }
    --q->waiters;
    if (q->dying) {
        q->notFull.notify_all();
        return ERROR;
    }
    if (!room) return ERROR;
    int slot;
    if (priority == MSG_PRI_URGENT) {
        q->head = (q->head + q->maxMsgs - 1) % q->maxMsgs;
        slot = q->head;
    } else {
        slot = (q->head + q->count) % q->maxMsgs;
    }
    if (nBytes) std::memcpy(&q->slots[size_t(slot) * q->maxLength], buffer, nBytes);
    q->lengths[size_t(slot)] = nBytes;
    ++q->count;
    wakePlace(q->emptyPlace, q->notEmpty, false);
    return OK;
}

ssize_t msgQReceive(MSG_Q_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout) {
    if (!alive(q) || (maxNBytes && !buffer)) return ERROR;
    CoreTurn turn;
    std::unique_lock<std::mutex> lk(q->m);
    if (q->dying) return ERROR;
    ++q->waiters;
    bool have = false;
    try {
        have = waitTicks(lk, q->notEmpty, q->emptyPlace, timeout, [&] { return q->count > 0 || q->dying; });
    } catch (...) {
        --q->waiters;
        q->notEmpty.notify_all();
        throw;
    }
    --q->waiters;
    if (q->dying) {
        q->notEmpty.notify_all();
        return ERROR;
    }
    if (!have) return ERROR;
    const size_t len = std::min(q->lengths[size_t(q->head)], maxNBytes);
    if (len) std::memcpy(buffer, &q->slots[size_t(q->head) * q->maxLength], len);
    q->head = (q->head + 1) % q->maxMsgs;
    --q->count;
    wakePlace(q->fullPlace, q->notFull, false);
    return ssize_t(len);
}

int msgQNumMsgs(MSG_Q_ID q) {
    if (!alive(q)) return ERROR;
    std::lock_guard<std::mutex> lk(q->m);
    return q->count;
}

STATUS msgQDelete(MSG_Q_ID q) {
    if (!alive(q)) return ERROR;
    named_forget(q);
    {
        std::unique_lock<std::mutex> lk(q->m);
        if (q->dying) return ERROR;
        q->dying = true;
        q->magic.store(0, std::memory_order_release);
        wakePlace(q->emptyPlace, q->notEmpty, true);
        wakePlace(q->fullPlace, q->notFull, true);
        auto gone = [&] { return q->waiters == 0; };
        while (!gone()) {
            q->notEmpty.wait_for(lk, std::chrono::milliseconds(1));
        }
        std::vector<uint8_t>().swap(q->slots); // the slots go; the small record stays (stale ids)
    }
    std::lock_guard<std::mutex> lk(gRetiredMutex);
    retired().push_back(q);
    return OK;
}

MSG_Q_ID msgQOpen(const char* name, int maxMsgs, int maxMsgLength, int options, int mode, void* /*context*/) {
    if (!name || !*name) return MSG_Q_ID_NULL;
    return static_cast<MSG_Q_ID>(named_open(
        name, NamedKind::Queue, mode, [&]() -> void* { return msgQCreate(maxMsgs, maxMsgLength, options); }));
}

STATUS msgQClose(MSG_Q_ID q) {
    return alive(q) ? OK : ERROR;
}

STATUS msgQUnlink(const char* name) {
    return named_unlink(name, NamedKind::Queue) ? OK : ERROR;
}
