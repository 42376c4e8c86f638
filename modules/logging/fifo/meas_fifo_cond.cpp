#include "logging/fifo/meas_fifo_cond.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "measdata/seram.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kBytesPerEntry = 5;      // time stamp and state
constexpr uint32_t kPutAhead = 1000;        // a sample may be at most 100 ms ahead of the time now
constexpr uint32_t kDeliveryStopped = 2000; // 200 ms without a newer entry: no longer delivered

struct CondFifo {
    fifo_cond_request_t request;
    uint16_t valueSize;
    uint32_t* ts; // entry area: time stamps, then states
    uint8_t* state;
    uint32_t depth;
    uint32_t write; // next entry
    uint32_t read;  // oldest entry
    uint32_t count;
    uint32_t window; // uncertainty before a change, 100 us
    uint8_t delayShift;
    uint16_t delayMs;
    uint32_t period; // 100 us between entries

    uint32_t at(uint32_t i) const { return (read + i) % depth; } // i-th entry, 0 the oldest
};

// Each slot keeps its mutex for the run; the FIFO behind it is published only when complete and
// read again under the mutex, so a put or check never meets a FIFO that is being released.
struct Slot {
    std::atomic<CondFifo*> fifo{nullptr};
    SEM_ID lock = SEM_ID_NULL;
};

Slot gSlots[COND_FIFO_COUNT];
std::once_flag gSlotsMade;
std::atomic<uint32_t> gCount{0};                 // ui32_cond_mem_count
std::atomic<uint32_t> gCurrTs{0};                // curr_ts
std::atomic<uint8_t> gReported[COND_FIFO_COUNT]; // fifo_condition_invalid_state

bool slotsReady() {
    std::call_once(gSlotsMade, [] {
        for (Slot& s : gSlots) s.lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    });
    return std::all_of(std::begin(gSlots), std::end(gSlots),
                       [](const Slot& s) { return s.lock != SEM_ID_NULL; });
}

// The slot's FIFO under its mutex; the mutex stays taken when one is there.
CondFifo* lockFifo(uint32_t n) {
    if (!slotsReady() || semTake(gSlots[n].lock, WAIT_FOREVER) != OK) return nullptr;
    CondFifo* f = gSlots[n].fifo.load(std::memory_order_acquire);
    if (!f) semGive(gSlots[n].lock);
    return f;
}

void unlockFifo(uint32_t n) {
    semGive(gSlots[n].lock);
}

const char* rasterName(uint16_t code) {
    static const char* const names[] = {"R1ms",   "R2ms",   "R5ms", "R10ms", "R20ms", "R50ms",  "R100ms",
                                        "R200ms", "R500ms", "R1s",  "RSYNC", "RLAP",  "RLAP_SB"};
    return code < std::size(names) ? names[code] : "R?";
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Write counters: the bytes so far and at the last rate computation, per instance slot.
uint32_t gBytesIntern[2], gBytesUsb[2], gOldIntern[2], gOldUsb[2];
uint32_t gOldTimestamp;

uint32_t load(uint32_t& v) {
    return std::atomic_ref<uint32_t>(v).load(std::memory_order_relaxed);
}

template <class T> void publish(T& variable, T value) {
    std::atomic_ref<T>(variable).store(value, std::memory_order_relaxed);
}

} // namespace

void fifo_condition_init() {
    for (auto& r : gReported) r.store(0, std::memory_order_relaxed);
}

void fifo_cond_set_curr_ts(uint32_t timestamp) {
    gCurrTs.store(timestamp, std::memory_order_relaxed);
}

uint32_t fifo_condition_count() {
    return gCount.load();
}

int fifo_condition_request(const fifo_cond_request_t* r) {
    if (!r) return MF_ERR_FIFO_INVALID;
    const unsigned blk = r->blockId, n = r->fifoNo;
    if (n >= COND_FIFO_COUNT) {
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo #%d: MF_ERR_COND_NUM.", blk, n);
        return MF_ERR_COND_NUM;
    }
    if (!slotsReady()) return MF_ERR_MEM_ALLOC;
    if (gSlots[n].fifo.load(std::memory_order_acquire)) {
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo#%d: MF_ERR_FIFO_IN_USE.", blk, n);
        return MF_ERR_FIFO_IN_USE;
    }
    if (r->valueSize != 1 && r->valueSize != 2 && r->valueSize != 4) {
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo #%d: MF_ERR_TYPE.", blk, n);
        return MF_ERR_TYPE;
    }
    if (r->raster != 2) {
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo #%d: MF_ERR_RASTER.", blk, n);
        return MF_ERR_RASTER;
    }
    auto* f = static_cast<CondFifo*>(std::calloc(1, sizeof(CondFifo)));
    void* area = f ? std::calloc(COND_FIFO_DEPTH, kBytesPerEntry) : nullptr;
    if (!area) {
        std::free(f);
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo #%d: MF_ERR_MEM_ALLOC.", blk, n);
        return MF_ERR_MEM_ALLOC;
    }
    f->request = *r;
    f->valueSize = r->valueSize;
    f->window = uint32_t(r->uncertainMs) * 10 + (r->pid == app_pid ? 200 : 400);
    f->delayShift = r->delayMs != 0;
    f->delayMs = r->delayMs;
    f->period = uint32_t(raster2rate(2)) * 10;
    f->depth = COND_FIFO_DEPTH;
    f->ts = static_cast<uint32_t*>(area);
    f->state = reinterpret_cast<uint8_t*>(f->ts + COND_FIFO_DEPTH);
    std::fill(f->ts, f->ts + COND_FIFO_DEPTH, 0xFFFFFFFFu);
    if (seramCal().MEAS_APP_DEBUG == 1)
        syslogx(LOG_PRIO_INFO2, "Condition BLK #%d, Fifo #%d, Raster %s, PID 0x%X, %d deep for %d ms", blk, n,
                rasterName(r->raster), unsigned(r->pid), int(f->depth), int(f->depth));
    semTake(gSlots[n].lock, WAIT_FOREVER);
    CondFifo* expected = nullptr;
    const bool placed = gSlots[n].fifo.compare_exchange_strong(expected, f, std::memory_order_acq_rel);
    semGive(gSlots[n].lock);
    if (!placed) { // requested by another task meanwhile
        std::free(area);
        std::free(f);
        syslogx(LOG_PRIO_ERR2, "fifo_cond_request BLK #%d for Fifo#%d: MF_ERR_FIFO_IN_USE.", blk, n);
        return MF_ERR_FIFO_IN_USE;
    }
    gCount.fetch_add(1);
    return 0;
}

int fifo_condition_put(uint32_t n, const uint8_t* record) {
    if (n >= COND_FIFO_COUNT) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "fifo_condition_put Fifo #%d: MF_ERR_COND_NUM.", int(n));
        return MF_ERR_COND_NUM;
    }
    CondFifo* f = record ? lockFifo(n) : nullptr;
    if (!f) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "fifo_condition_put Fifo #%d: MF_ERR_FIFO_INVALID.", int(n));
        return MF_ERR_FIFO_INVALID;
    }
    const uint32_t t = be32(record);
    // Judged against the time now when the logging task's last cycle is too old to tell.
    if (t > gCurrTs.load(std::memory_order_relaxed) + kPutAhead && t > time_getTimestamp() + kPutAhead) {
        unlockFifo(n);
        return MF_ERR_TS_INVALID;
    }
    uint32_t stored = t;
    if (f->delayShift) {
        const uint32_t shift = uint32_t(f->delayMs) * 10;
        if (t < shift) { // from before the device's delay: nothing to store
            unlockFifo(n);
            return 0;
        }
        stored = t - shift;
    }
    if (f->count == f->depth) { // full: the oldest entry goes
        f->read = (f->read + 1) % f->depth;
        --f->count;
    }
    uint8_t state = 0;
    for (uint32_t i = 0; i < f->valueSize; ++i) state |= record[4 + i];
    state = state != 0 ? COND_TRUE : COND_FALSE;
    if (f->window != 0 && f->count > 0) {
        const uint8_t previous = f->state[f->at(f->count - 1)];
        if (previous != state) {
            // The window before the change, in the time of the stored entries.
            const uint32_t from = stored > f->window ? stored - f->window : 0;
            const uint32_t back = std::min(f->count, f->window / 10 + 1);
            for (uint32_t i = f->count - back; i < f->count; ++i) {
                const uint32_t e = f->at(i);
                if (f->ts[e] >= from) f->state[e] = COND_UNCERTAIN;
            }
        }
    }
    f->ts[f->write] = stored;
    f->state[f->write] = state;
    f->write = (f->write + 1) % f->depth;
    ++f->count;
    unlockFifo(n);
    return 0;
}

int fifo_condition_check(uint32_t n, uint32_t t) {
    if (n >= COND_FIFO_COUNT) {
        syslogx(LOG_PRIO_ERR2, "fifo_condition_check Fifo #%d: MF_ERR_COND_NUM.", int(n));
        return MF_ERR_COND_NUM;
    }
    if (t == 0xFFFFFFFF) {
        syslogx(LOG_PRIO_ERR2, "fifo_condition_check Fifo #%d: MF_ERR_TS_INVALID.", int(n));
        return MF_ERR_TS_INVALID;
    }
    CondFifo* f = lockFifo(n);
    if (!f) {
        const bool stopping = std::atomic_ref<uint8_t>(seramSig().meas_app_blkstopreq).load() != 0;
        if (!stopping && gReported[n].exchange(1) == 0)
            syslogx(LOG_PRIO_ERR2, "fifo_condition_check Fifo #%d: MF_ERR_FIFO_INVALID.", int(n));
        return MF_ERR_FIFO_INVALID;
    }
    if (gReported[n].exchange(0) != 0)
        syslogx(LOG_PRIO_INFO2, "fifo_condition_check Fifo #%d: reset MF_ERR_FIFO_INVALID. error healed ",
                int(n));
    int result;
    if (f->count == 0) {
        result = MF_ERR_FIFO_EMPTY;
    } else if (t < f->ts[f->at(0)]) {
        result = MF_ERR_TS_TOO_OLD;
    } else {
        const uint32_t newest = f->ts[f->at(f->count - 1)];
        const uint32_t now = gCurrTs.load(std::memory_order_relaxed);
        if (t > newest) {
            if (newest < now)
                result = now - newest < kDeliveryStopped ? MF_ERR_TS_WAIT : MF_ERR_COND_STOPPED;
            else
                result = MF_ERR_TS_INVALID;
        } else {
            // Entries come one period apart: start where t should be and walk the few steps left.
            const uint32_t k = (newest - t) / f->period;
            uint32_t i = k >= f->count ? f->count / 2 : f->count - 1 - k;
            while (i + 1 < f->count && f->ts[f->at(i)] < t) ++i;
            while (i > 0 && f->ts[f->at(i)] > t) --i;
            result = f->state[f->at(i)];
        }
    }
    unlockFifo(n);
    return result;
}

int fifo_condition_release(uint32_t fifoNo) {
    const uint32_t n = fifoNo & 0xFF;
    if (n >= COND_FIFO_COUNT) {
        syslogx(LOG_PRIO_ERR2, "fifo_cond_release Fifo #%d: MF_ERR_COND_NUM.", int(n));
        return MF_ERR_COND_NUM;
    }
    CondFifo* f = lockFifo(n);
    if (!f) return MF_ERR_FIFO_RELEASE;
    gSlots[n].fifo.store(nullptr, std::memory_order_release);
    unlockFifo(n);
    std::free(f->ts);
    std::free(f);
    gCount.fetch_sub(1);
    return 0;
}

int fifo_condition_release_all() {
    for (uint32_t n = 0; n < COND_FIFO_COUNT; ++n)
        if (gSlots[n].fifo.load(std::memory_order_acquire)) fifo_condition_release(n);
    gCount.store(0);
    return 0;
}

void meas_cnt_reference(dataWriteCounts_t* out, int instance, int kind) {
    if (!out) return;
    *out = {nullptr, nullptr};
    const int slot = instance == 0 ? 0 : instance == 2 ? 1 : -1;
    if (slot < 0) return;
    SeramSigPage& sig = seramSig();
    if (kind == 0)
        *out = {&sig.meas_cnt_int_arr[slot], &gBytesIntern[slot]};
    else if (kind == 4)
        *out = {&sig.meas_cnt_forked_arr[slot], &gBytesUsb[slot]};
}

void meas_cnt_add(const dataWriteCounts_t& counts, uint32_t bytes) {
    if (counts.writes) std::atomic_ref<uint32_t>(*counts.writes).fetch_add(1, std::memory_order_relaxed);
    if (counts.bytes) std::atomic_ref<uint32_t>(*counts.bytes).fetch_add(bytes, std::memory_order_relaxed);
}

void meas_cnt_update() {
    SeramSigPage& sig = seramSig();
    const uint32_t t = time_getTimestamp();
    const int32_t dt = int32_t(t - gOldTimestamp);
    publish(sig.meas_cnt_int, load(sig.meas_cnt_int_arr[0]) + load(sig.meas_cnt_int_arr[1]));
    publish(sig.meas_cnt_forked, load(sig.meas_cnt_forked_arr[0]) + load(sig.meas_cnt_forked_arr[1]));
    if (dt < 10000 && dt > 0) return;
    for (int s = 0; s < 2; ++s) {
        const uint32_t intern = load(gBytesIntern[s]), usb = load(gBytesUsb[s]);
        const bool rate = dt >= 10000;
        publish(sig.meas_write_rate_intern[s],
                rate ? float(intern - gOldIntern[s]) * 10000.0f / float(dt) : 0.0f);
        publish(sig.meas_write_rate_usb[s], rate ? float(usb - gOldUsb[s]) * 10000.0f / float(dt) : 0.0f);
        gOldIntern[s] = intern;
        gOldUsb[s] = usb;
    }
    gOldTimestamp = t;
}
