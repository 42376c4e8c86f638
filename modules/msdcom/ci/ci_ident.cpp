#include "msdcom/ci/ci_ident.h"

#include "framework/syslog.h"

#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using AnyFn = void (*)();

struct Slot {
    uint16_t reuse = 0; // high half of the identifier
    bool live = false;
    CiIdentKind kind = CiIdentKind::Object;
    void* object = nullptr;
    AnyFn fn = nullptr;
};

constexpr uint32_t MAX_SLOTS = 65536; // index 0 is never handed out

struct Registry {
    std::mutex lock;
    std::vector<Slot> slots = std::vector<Slot>(1);
    std::deque<uint16_t> released; // reused oldest first, so stale identifiers stay stale long
    // Functions and flags are registered once for the run.
    std::map<std::pair<CiIdentKind, uintptr_t>, uint32_t> permanent;
    uint32_t live = 0;
    uint8_t fullLog = 0;
};

// Never destroyed: answers may still arrive while the process ends.
Registry& reg() {
    static Registry* r = new Registry;
    return *r;
}

uint32_t makeId(uint16_t index, uint16_t reuse) {
    return (uint32_t(reuse) << 16) | index;
}

// Under the lock: a fresh place, or 0 when all are taken.
uint32_t allocLocked(Registry& r, CiIdentKind kind, void* object, AnyFn fn) {
    uint16_t index = 0;
    if (!r.released.empty()) {
        index = r.released.front();
        r.released.pop_front();
    } else if (r.slots.size() < MAX_SLOTS) {
        index = uint16_t(r.slots.size());
        r.slots.emplace_back();
    } else {
        SYSLOGX_FLOOD(r.fullLog, LOG_PRIO_ERR, "ci_ident: no identifier left (%u in use)", unsigned(r.live));
        return 0;
    }
    Slot& s = r.slots[index];
    s.live = true;
    s.kind = kind;
    s.object = object;
    s.fn = fn;
    ++r.live;
    return makeId(index, s.reuse);
}

// Under the lock: the live place of `id` with that kind, or nullptr.
Slot* findLocked(Registry& r, CiIdentKind kind, uint32_t id) {
    const uint32_t index = id & 0xFFFF;
    if (index == 0 || index >= r.slots.size()) return nullptr;
    Slot& s = r.slots[index];
    if (!s.live || s.kind != kind || s.reuse != uint16_t(id >> 16)) return nullptr;
    return &s;
}

uint32_t registerPermanent(CiIdentKind kind, uintptr_t key, void* object, AnyFn fn) {
    if (key == 0) return 0;
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    const auto k = std::make_pair(kind, key);
    const auto it = r.permanent.find(k);
    if (it != r.permanent.end()) return it->second;
    const uint32_t id = allocLocked(r, kind, object, fn);
    if (id != 0) r.permanent.emplace(k, id);
    return id;
}

AnyFn lookupFn(CiIdentKind kind, uint32_t id) {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    const Slot* s = findLocked(r, kind, id);
    return s ? s->fn : nullptr;
}

} // namespace

uint32_t ci_ident_flag(std::atomic<uint16_t>* flag) {
    return registerPermanent(CiIdentKind::Flag16, reinterpret_cast<uintptr_t>(flag), flag, nullptr);
}

uint32_t ci_ident_payloadFn(ci_payload_fn fn) {
    return registerPermanent(CiIdentKind::PayloadFn, reinterpret_cast<uintptr_t>(fn), nullptr,
                             reinterpret_cast<AnyFn>(fn));
}

uint32_t ci_ident_replyFn(ci_reply_fn fn) {
    return registerPermanent(CiIdentKind::ReplyFn, reinterpret_cast<uintptr_t>(fn), nullptr,
                             reinterpret_cast<AnyFn>(fn));
}

uint32_t ci_ident_register(CiIdentKind kind, void* object) {
    if (!object) return 0;
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    return allocLocked(r, kind, object, nullptr);
}

bool ci_ident_release(uint32_t id) {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    const uint32_t index = id & 0xFFFF;
    if (index == 0 || index >= r.slots.size()) return false;
    Slot& s = r.slots[index];
    if (!s.live || s.reuse != uint16_t(id >> 16)) return false;
    // Functions and flags stay for the run: a requester may still get answers for them.
    if (s.kind == CiIdentKind::Flag16 || s.kind == CiIdentKind::PayloadFn || s.kind == CiIdentKind::ReplyFn)
        return false;
    s = Slot{uint16_t(s.reuse + 1), false, CiIdentKind::Object, nullptr, nullptr};
    r.released.push_back(uint16_t(index));
    --r.live;
    return true;
}

void* ci_ident_object(CiIdentKind kind, uint32_t id) {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    const Slot* s = findLocked(r, kind, id);
    return s ? s->object : nullptr;
}

std::atomic<uint16_t>* ci_ident_toFlag(uint32_t id) {
    return static_cast<std::atomic<uint16_t>*>(ci_ident_object(CiIdentKind::Flag16, id));
}

ci_payload_fn ci_ident_toPayloadFn(uint32_t id) {
    return reinterpret_cast<ci_payload_fn>(lookupFn(CiIdentKind::PayloadFn, id));
}

ci_reply_fn ci_ident_toReplyFn(uint32_t id) {
    return reinterpret_cast<ci_reply_fn>(lookupFn(CiIdentKind::ReplyFn, id));
}

uint32_t ci_ident_count() {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    return r.live;
}
