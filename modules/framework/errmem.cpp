#include "framework/errmem.h"

#include "framework/appman.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "framework/time_util.h"

#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

namespace {

constexpr uint16_t kStoreVersion = 1;

struct Stored {
    uint16_t version;
    uint16_t count;
    ErrorMemEntry entries[ERROR_MEM_ENTRIES];
};

struct ErrMem {
    std::mutex m;
    std::deque<ErrorMemEntry> entries; // oldest first
    bool dirty = false;
    bool stopped = false;
    ErrorEventHook hook;
    // Paths of the active entries (path + 1, 0 = none), readable without the mutex: callers that
    // clear their path every cycle never wait for a store of the table in progress.
    std::array<std::atomic<uint32_t>, ERROR_MEM_ENTRIES> activePaths{};
};

ErrMem& em() {
    static auto* e = new ErrMem;
    return *e;
}

// Publishes the active paths after a change; called with the mutex held.
void publishActive(ErrMem& e) {
    for (size_t i = 0; i < ERROR_MEM_ENTRIES; ++i) {
        const bool active = i < e.entries.size() && e.entries[i].active;
        e.activePaths[i].store(active ? uint32_t(e.entries[i].path) + 1 : 0, std::memory_order_release);
    }
}

bool anyActive(ErrMem& e, uint16_t path) {
    for (const auto& p : e.activePaths)
        if (p.load(std::memory_order_acquire) == uint32_t(path) + 1) return true;
    return false;
}

// Writes the table when it changed; called with the mutex held.
void storeLocked(ErrMem& e) {
    if (!e.dirty) return;
    Stored s{};
    s.version = kStoreVersion;
    s.count = uint16_t(e.entries.size());
    for (size_t i = 0; i < e.entries.size(); ++i) s.entries[i] = e.entries[i];
    // Queued for the NV store's task: the flush runs on the 1 s raster.
    if (nvram_dbs_writeLater(NV_REC_ERRMEM, uint32_t(RtpIndex), &s, sizeof(s), "the error memory") != 0)
        e.dirty = false;
}

} // namespace

void error_mgr_init() {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    e.entries.clear();
    e.stopped = false;
    Stored s{};
    const int n = nvram_dbs_read(NV_REC_ERRMEM, uint32_t(RtpIndex), &s, sizeof(s));
    if (n == int(sizeof(s)) && s.version == kStoreVersion && s.count <= ERROR_MEM_ENTRIES) {
        for (uint16_t i = 0; i < s.count; ++i) e.entries.push_back(s.entries[i]);
    } else if (n > 0) {
        syslogx(LOG_PRIO_ERR, "error_mgr_init(): stored error memory not readable, starting empty");
    }
    e.dirty = false;
    publishActive(e);
}

void error_mgr_flush() {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    storeLocked(e);
}

void error_mgr_stop() {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    storeLocked(e);
    e.stopped = true;
}

// Enters or re-activates the entry; true (with the entry) when the error is new.
static bool enterLocked(ErrMem& e, uint16_t path, uint8_t type, uint8_t mil, ErrorMemEntry* fresh) {
    const uint32_t now = time_getTimestamp();
    for (auto& entry : e.entries) {
        if (entry.path != path || entry.type != type) continue;
        if (entry.count < UINT16_MAX) ++entry.count;
        entry.lastTs = now;
        entry.mil = mil;
        e.dirty = true;
        if (entry.active) return false; // a repeat of an active error is not new
        entry.active = 1;
        *fresh = entry;
        return true;
    }
    if (e.entries.size() >= ERROR_MEM_ENTRIES) e.entries.pop_front();
    ErrorMemEntry entry{};
    entry.path = path;
    entry.type = type;
    entry.mil = mil;
    entry.active = 1;
    entry.count = 1;
    entry.firstTs = entry.lastTs = now;
    entry.bootCount = boot_count_get();
    e.entries.push_back(entry);
    e.dirty = true;
    *fresh = entry;
    return true;
}

void error_mgr_set(uint16_t path, uint8_t type, uint8_t mil) {
    ErrMem& e = em();
    ErrorMemEntry fresh{};
    ErrorEventHook hook;
    {
        std::lock_guard<std::mutex> lk(e.m);
        if (e.stopped || !enterLocked(e, path, type, mil, &fresh)) return;
        publishActive(e);
        hook = e.hook;
    }
    syslogx(LOG_PRIO_INFO, "error_mgr_set(): path %u type %u mil %u", unsigned(path), unsigned(type),
            unsigned(mil));
    if (hook) hook(fresh);
}

void error_mgr_clear(uint16_t path) {
    ErrMem& e = em();
    if (!anyActive(e, path)) return;
    std::lock_guard<std::mutex> lk(e.m);
    if (e.stopped) return;
    for (auto& entry : e.entries) {
        if (entry.path == path && entry.active) {
            entry.active = 0;
            e.dirty = true;
        }
    }
    publishActive(e);
}

void error_mgr_clear_all() {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    if (e.stopped) return;
    const size_t before = e.entries.size();
    std::erase_if(e.entries, [](const ErrorMemEntry& x) { return !x.active; });
    if (e.entries.size() != before) e.dirty = true;
    publishActive(e);
}

size_t error_mgr_list(ErrorMemEntry* out, size_t max) {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    size_t n = 0;
    for (const auto& entry : e.entries) {
        if (n >= max) break;
        out[n++] = entry;
    }
    return n;
}

void error_mgr_setEventHook(ErrorEventHook hook) {
    ErrMem& e = em();
    std::lock_guard<std::mutex> lk(e.m);
    e.hook = std::move(hook);
}
