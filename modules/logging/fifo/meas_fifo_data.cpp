#include "logging/fifo/meas_fifo_data.h"

#include "framework/board_io.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "measdata/seram.h"
#include "platform/rtos/rtos.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint32_t kEmpty = 0xFFFFFFFFu;
constexpr int32_t kPutAhead = 1000;         // a sample may be at most 100 ms ahead of the time now
constexpr uint32_t kMaxSlots = 0xFFFF;      // the slot count is a u16
constexpr uint64_t kMaxBytes = 64ull << 20; // one FIFO's ring
constexpr uint32_t kStatusNoFifoError = 0x20000;
constexpr int kRasterIndices = 20;
constexpr int kPublishedRasters = 13;

enum : uint16_t { RASTER_SYNC = 10, RASTER_LAP = 11, RASTER_SB_LAP = 12 };

struct DataFifo {
    fifo_data_request_t req;
    uint8_t errorFlag;
    uint32_t tsErrCnt, fullCnt;
    uint16_t storedWidth[DATA_FIFO_MAX_SIGNALS];
    uint32_t column[DATA_FIFO_MAX_SIGNALS]; // offset of each signal's column in the buffer
    uint8_t* buffer;
    uint32_t slots;
    uint32_t* ts; // time-stamp column: all ones = empty
    uint32_t lastPut;
    uint32_t write, count, read;
    bool latencyAlign;
    uint16_t maxLatency;
    uint32_t latencyFill;
    uint16_t minFactor, maxFactor;
    uint16_t countdown;
    uint32_t minPeriod, periodA, periodB;
    uint32_t rasterPeriod; // samples arrive this far apart
    uint32_t recordSize;
    uint32_t lastTaken;
    bool hasCond, fastIsB;
    uint8_t rasterIndex;
    uint32_t refusedFull, refusedAhead; // samples refused since the last one stored
    bool pausedGap;                     // the block was paused: its next gap is no loss
    bool paused;                        // ... and it has not run again yet
};

// Each slot keeps its mutex for the run; its FIFO is published only when complete and read again
// under the mutex, so a put waiting on the mutex never meets a released FIFO or a deleted mutex.
struct Slot {
    std::atomic<DataFifo*> fifo{nullptr};
    SEM_ID lock = SEM_ID_NULL;
};

Slot gSlots[DATA_FIFO_COUNT];
std::once_flag gSlotsMade;
std::atomic<uint32_t> gCount{0};
std::atomic<uint32_t> gCurrTs{0};
std::atomic<bool> gResynced{false};
std::atomic<uint8_t> gPeak[kRasterIndices];
std::atomic<bool> gPeakUpdated[kRasterIndices];

// A stamp from the future (a peer's clock gone wrong). The logging task's time of its last cycle
// decides only when the stamp is close to it: a late logging task makes no sample look early.
bool aheadOfNow(uint32_t ts) {
    return int32_t(ts - gCurrTs.load(std::memory_order_relaxed)) > kPutAhead &&
           int32_t(ts - time_getTimestamp()) > kPutAhead;
}

bool slotsReady() {
    std::call_once(gSlotsMade, [] {
        for (Slot& s : gSlots) s.lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    });
    return std::all_of(std::begin(gSlots), std::end(gSlots),
                       [](const Slot& s) { return s.lock != SEM_ID_NULL; });
}

// The slot's FIFO under its mutex; the mutex stays taken when there is one.
DataFifo* lockFifo(uint32_t n) {
    if (n >= DATA_FIFO_COUNT || !slotsReady() || semTake(gSlots[n].lock, WAIT_FOREVER) != OK) return nullptr;
    DataFifo* f = gSlots[n].fifo.load(std::memory_order_acquire);
    if (!f) semGive(gSlots[n].lock);
    return f;
}

void unlockFifo(uint32_t n) {
    semGive(gSlots[n].lock);
}

struct RasterInfo {
    uint32_t period; // 100 us, 0 for the event rasters
    uint32_t widthMultiplier;
    uint32_t slots; // per the logging application's slot table
    bool valid;
};

RasterInfo rasterInfo(uint16_t code) {
    static const uint32_t periods[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000};
    static const uint32_t slots[] = {512, 256, 128, 64, 32, 16, 8, 4, 4, 2};
    static const uint32_t burst[] = {200, 100, 20, 10, 2}; // samples per record of codes 14-18
    if (code <= 9) return {periods[code], 1, slots[code], true};
    if (code <= RASTER_SB_LAP) return {0, 1, code == RASTER_SYNC ? 512u : 2u, true};
    if (code >= 14 && code <= 18) return {10, burst[code - 14], 512, true};
    return {0, 1, 2, false};
}

const char* rasterName(uint16_t code, char (&buf)[16]) {
    static const char* const names[] = {"1ms",   "2ms",   "5ms", "10ms", "20ms", "50ms",  "100ms",
                                        "200ms", "500ms", "1s",  "Sync", "Lap",  "SB-Lap"};
    if (code < std::size(names)) return names[code];
    if (code == 19) return "Off";
    std::snprintf(buf, sizeof buf, "R:0x%X", unsigned(code));
    return buf;
}

uint32_t dataDelay() {
    return uint32_t(seramCal().DATADELAY) * 10;
}

bool debugOn() {
    return seramCal().MEAS_APP_DEBUG == 1;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint8_t* valueAt(DataFifo* f, uint32_t signal, uint32_t slot) {
    return f->buffer + f->column[signal] + slot * f->storedWidth[signal];
}

void countFull(DataFifo* f) {
    ++f->fullCnt;
    f->errorFlag = 1;
    std::atomic_ref<uint32_t>(seramSig().fifo_full_ctr).fetch_add(1, std::memory_order_relaxed);
}

void updatePeak(const DataFifo* f) {
    const uint8_t load = uint8_t(uint64_t(f->count) * 100 / f->slots);
    std::atomic<uint8_t>& peak = gPeak[f->rasterIndex];
    uint8_t old = peak.load(std::memory_order_relaxed);
    while (load > old && !peak.compare_exchange_weak(old, load, std::memory_order_relaxed)) {
    }
    gPeakUpdated[f->rasterIndex].store(true, std::memory_order_relaxed);
}

void tsError(DataFifo* f, uint32_t n, uint32_t ts) {
    ++f->tsErrCnt;
    f->errorFlag = 1;
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                      "TS-Err BLK #%d, Fifo #%d, Cnt: %d PID: 0x%X Curr: %d Last: %d Rast: %d Lat: %d",
                      int(f->req.blockNo), int(n), int(f->tsErrCnt), unsigned(f->req.pid), int(ts),
                      int(f->lastPut), int(f->req.raster), int(f->maxLatency));
}

// Samples of a periodic raster come one raster period apart: a larger step from the last sample
// stored means samples were lost, here (the FIFO refused them) or before they came (a raster that
// did not run, a FIFO on their way that was full). Each such loss is one line.
void reportGap(DataFifo* f, uint32_t n, uint32_t ts) {
    const uint32_t period = f->rasterPeriod;
    const uint32_t step = ts - f->lastPut;
    const bool gap =
        period != 0 && ts != 0 && f->lastPut != kEmpty && f->lastPut != 0 && int32_t(step) > int32_t(period);
    if (gap && !f->pausedGap) {
        const uint32_t lost = (step - 1) / period;
        const uint32_t refused = f->refusedFull + f->refusedAhead;
        char name[16];
        syslogx(LOG_PRIO_ERR2,
                "fifo_data_put(): BLK #%d, Fifo #%d, Raster %s, PID 0x%X: %u records (%u ms) before %u are "
                "lost: %u found the FIFO full, %u came stamped ahead, %u never came",
                int(f->req.blockNo), int(n), rasterName(f->req.raster, name), unsigned(f->req.pid),
                unsigned(lost), unsigned(lost * period / 10), unsigned(ts), unsigned(f->refusedFull),
                unsigned(f->refusedAhead), unsigned(lost > refused ? lost - refused : 0));
    }
    // The pause excuses one gap. Samples still coming while the block is paused keep it for the gap
    // to come; the first one stored after the block runs again ends it, gap or not, so that the next
    // loss is named.
    if (gap || (!f->paused && ts != f->lastPut)) f->pausedGap = false;
    f->refusedFull = f->refusedAhead = 0;
}

void storeValues(DataFifo* f, const uint8_t* sample, uint32_t slot, bool aligned) {
    const uint8_t* v = sample + 4;
    for (uint32_t i = 0; i < f->req.signalCount; ++i) {
        const uint32_t at = aligned ? (slot + f->slots - f->req.latencies[i] % f->slots) % f->slots : slot;
        std::memcpy(valueAt(f, i, at), v, f->storedWidth[i]);
        v += f->storedWidth[i];
    }
}

// Whether the sample at `ts` is recorded at the rate `rate` (0: factor a, 1: factor b).
bool check_data(DataFifo* f, uint32_t ts, int rate) {
    const uint32_t P = rate == 0 ? f->periodA : f->periodB, m = f->minPeriod;
    bool take;
    if (f->req.raster == RASTER_SYNC) {
        // Event raster: the rate with the smaller factor takes every sample, the other every
        // factor-th; a factor of 0 records nothing.
        const uint16_t factor = rate == 0 ? f->req.factorA : f->req.factorB;
        const uint16_t a = f->req.factorA, b = f->req.factorB;
        const uint16_t smallest = a == 0 ? b : b == 0 ? a : std::min(a, b);
        if (factor == 0) {
            take = false;
        } else if (factor == smallest) {
            take = true;
        } else if (f->countdown == 1) {
            take = true;
            f->countdown = 0;
        } else if (f->countdown > 1) {
            --f->countdown;
            take = false;
        } else {
            f->countdown = uint16_t(factor - 1);
            take = false;
        }
    } else if (P == m) {
        take = true;
    } else if (P == 0) {
        take = false;
    } else if (f->latencyAlign) {
        take = ts % P < m;
    } else if (int32_t(f->lastTaken + m - ts) >= 0) {
        take = false;
    } else {
        const uint32_t phase = ts % P;
        if (phase <= m / 2 || phase >= P - m / 2)
            take = true; // near a multiple of the period
        else if (int32_t(ts - (f->lastTaken + P)) > 0)
            take = phase <= m || phase >= P - m || int32_t(ts - (f->lastTaken + P + m)) > 0; // overdue
        else
            take = false;
    }
    if (take) f->lastTaken = ts;
    return take;
}

void freeFifo(DataFifo* f) {
    if (f) std::free(f->buffer);
    std::free(f);
}

// Builds the FIFO's periods and depth from its request; MF_ERR_RASTER or MF_ERR_MEM_ALLOC.
int shape(DataFifo* f) {
    const fifo_data_request_t& r = f->req;
    const RasterInfo info = rasterInfo(r.raster);
    char name[16];
    f->maxLatency = 0;
    for (uint32_t i = 0; i < r.signalCount; ++i) f->maxLatency = std::max(f->maxLatency, r.latencies[i]);
    f->latencyAlign = f->maxLatency != 0;
    const bool event = r.raster >= RASTER_SYNC && r.raster <= RASTER_SB_LAP;
    // Both factors 0 on a periodic raster give no period to record at.
    if (!info.valid || (event && f->latencyAlign) || (!event && r.factorA == 0 && r.factorB == 0)) {
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_RASTER 0x%X.", int(r.blockNo),
                int(r.fifoNo), unsigned(r.raster));
        return MF_ERR_RASTER;
    }
    f->rasterIndex = uint8_t(r.raster);
    f->rasterPeriod = info.period;
    f->periodA = r.factorA * info.period;
    f->periodB = r.factorB * info.period;
    f->minPeriod = std::min(f->periodA, f->periodB);
    f->minFactor = std::min(r.factorA, r.factorB);
    f->maxFactor = std::max(r.factorA, r.factorB);
    if (f->minPeriod == 0) {
        f->minPeriod = std::max(f->periodA, f->periodB);
        f->minFactor = f->maxFactor;
        f->maxFactor = 0;
    }
    f->fastIsB = f->minPeriod == f->periodB;

    uint64_t slots = std::max<uint64_t>(info.slots * 4, (uint32_t(f->maxLatency) | 15) * 2 + 2);
    const uint64_t P = r.raster == RASTER_SYNC ? 10 : event ? 10000 : f->minPeriod;
    const uint64_t need = 2ull * dataDelay();
    if (slots * P < need) {
        syslogx(LOG_PRIO_INFO2, "BLK #%d, Fifo #%d was not deep enough for Laptrigger delay (2 x %d ms)",
                int(r.blockNo), int(r.fifoNo), int(seramCal().DATADELAY));
        syslogx(LOG_PRIO_INFO2, "Old depth: %d for %d ms", int(slots), int(slots * P / 10));
        while (slots * P < need && slots <= kMaxSlots) slots *= 2;
        syslogx(LOG_PRIO_INFO2, "New depth: %d for %d ms", int(slots), int(slots * P / 10));
    }
    uint64_t record = 4;
    for (uint32_t i = 0; i < r.signalCount; ++i) {
        f->storedWidth[i] = uint16_t(r.widths[i] * info.widthMultiplier);
        record += f->storedWidth[i];
    }
    if (slots > kMaxSlots || slots * record > kMaxBytes) {
        syslogx(LOG_PRIO_ERR2,
                "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_MEM_ALLOC (%u slots of %u bytes).",
                int(r.blockNo), int(r.fifoNo), unsigned(slots), unsigned(record));
        return MF_ERR_MEM_ALLOC;
    }
    f->slots = uint32_t(slots);
    f->recordSize = uint32_t(record);
    if (debugOn())
        syslogx(LOG_PRIO_INFO2, "BLK #%d, Fifo #%d, Raster %s, PID 0x%X, Latency_max %d, %d deep for %d ms",
                int(r.blockNo), int(r.fifoNo), rasterName(r.raster, name), unsigned(r.pid),
                int(f->maxLatency), int(slots), int(slots * P / 10));
    return 0;
}

} // namespace

int fifo_data_request(const fifo_data_request_t* r) {
    if (!r) return MF_ERR_FIFO_INVALID;
    const int blk = r->blockNo, n = r->fifoNo;
    if (n >= DATA_FIFO_COUNT) {
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_FIFO_INVALID.", blk, n);
        return MF_ERR_FIFO_INVALID;
    }
    if (!slotsReady()) return MF_ERR_MEM_ALLOC;
    if (gSlots[n].fifo.load(std::memory_order_acquire)) {
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_FIFO_IN_USE.", blk, n);
        return MF_ERR_FIFO_IN_USE;
    }
    bool widthsOk = r->signalCount <= DATA_FIFO_MAX_SIGNALS;
    for (uint32_t i = 0; widthsOk && i < r->signalCount; ++i)
        widthsOk = r->widths[i] == 1 || r->widths[i] == 2 || r->widths[i] == 4;
    if (!widthsOk) {
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_TYPE.", blk, n);
        return MF_ERR_TYPE;
    }
    auto* f = static_cast<DataFifo*>(std::calloc(1, sizeof(DataFifo)));
    if (!f) {
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_MEM_ALLOC.", blk, n);
        return MF_ERR_MEM_ALLOC;
    }
    f->req = *r;
    f->lastPut = kEmpty;
    f->hasCond = r->condNo != 0;
    if (const int shaped = shape(f); shaped != 0) {
        freeFifo(f);
        return shaped;
    }
    // The time-stamp column first, then one column per signal.
    f->buffer = static_cast<uint8_t*>(std::malloc(size_t(f->slots) * f->recordSize));
    if (!f->buffer) {
        freeFifo(f);
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_MEM_ALLOC.", blk, n);
        return MF_ERR_MEM_ALLOC;
    }
    f->ts = reinterpret_cast<uint32_t*>(f->buffer);
    std::fill(f->ts, f->ts + f->slots, kEmpty);
    uint32_t offset = f->slots * 4;
    for (uint32_t i = 0; i < r->signalCount; ++i) {
        f->column[i] = offset;
        offset += f->slots * f->storedWidth[i];
    }
    semTake(gSlots[n].lock, WAIT_FOREVER);
    DataFifo* expected = nullptr;
    const bool placed = gSlots[n].fifo.compare_exchange_strong(expected, f, std::memory_order_acq_rel);
    semGive(gSlots[n].lock);
    if (!placed) { // requested by another task meanwhile
        freeFifo(f);
        syslogx(LOG_PRIO_ERR2, "fifo_data_request BLK #%d for Fifo #%d: MF_ERR_FIFO_IN_USE.", blk, n);
        return MF_ERR_FIFO_IN_USE;
    }
    gCount.fetch_add(1);
    return 0;
}

int fifo_data_put(uint32_t n, const uint8_t* sample, uint32_t length) {
    DataFifo* f = sample ? lockFifo(n) : nullptr;
    if (!f) {
        static std::atomic<uint32_t> invalid{0};
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "fifo_data_put Fifo #%d: MF_ERR_FIFO_INVALID.", int(n));
        if (const uint32_t times = invalid.fetch_add(1) + 1; times % 1000 == 0)
            syslogx(LOG_PRIO_ERR2, "fifo_data_put, tried to access invalid fifo %u times.", unsigned(times));
        return MF_ERR_FIFO_INVALID;
    }
    if (length < f->recordSize) {
        unlockFifo(n);
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "fifo_data_put Fifo #%d: record of %u bytes, %u expected.", int(n),
                          unsigned(length), unsigned(f->recordSize));
        return MF_ERR_TYPE;
    }
    const uint32_t ts = be32(sample);
    if (aheadOfNow(ts)) {
        ++f->tsErrCnt;
        ++f->refusedAhead;
        f->errorFlag = 1;
        unlockFifo(n);
        return MF_ERR_TS_INVALID;
    }
    const bool previous = f->lastPut != kEmpty;
    int result = 0;
    if (!f->latencyAlign) {
        if (ts != 0 && previous && int32_t(ts - f->lastPut) <= 0) {
            if (ts == f->lastPut) { // the same sample again
                unlockFifo(n);
                return 0;
            }
            tsError(f, n, ts); // older: kept all the same
        }
        if (f->count == f->slots) {
            countFull(f);
            ++f->refusedFull;
            result = MF_ERR_FIFO_FULL;
        } else {
            reportGap(f, n, ts);
            f->ts[f->write] = ts;
            storeValues(f, sample, f->write, false);
            f->write = (f->write + 1) % f->slots;
            f->lastPut = ts;
            ++f->count;
        }
    } else {
        if (previous && f->write == f->read && (f->count != 0 || f->latencyFill != 0)) {
            countFull(f);
            ++f->refusedFull;
            result = MF_ERR_FIFO_FULL;
        } else {
            reportGap(f, n, ts);
            // Samples come one raster period apart, whatever the recording rates.
            if (previous && ts - f->rasterPeriod != f->lastPut) {
                tsError(f, n, ts);
                if (ts == f->lastPut) {
                    unlockFifo(n);
                    return 0;
                }
                // A gap: the slots still waiting for late values will not get them.
                const uint32_t back = std::min<uint32_t>(f->latencyFill, f->maxLatency);
                for (uint32_t i = 1; i <= back; ++i) f->ts[(f->write + f->slots - i) % f->slots] = kEmpty;
                f->latencyFill = 0;
                if (f->count == 0) f->read = f->write;
            }
            f->ts[f->write] = ts;
            storeValues(f, sample, f->write, true);
            f->write = (f->write + 1) % f->slots;
            f->lastPut = ts;
            if (f->latencyFill < f->maxLatency)
                ++f->latencyFill;
            else
                ++f->count;
        }
    }
    updatePeak(f);
    unlockFifo(n);
    return result;
}

void fifo_data_pause(uint32_t n) {
    DataFifo* f = lockFifo(n);
    if (!f) return;
    f->pausedGap = true;
    f->paused = true;
    unlockFifo(n);
}

void fifo_data_resume(uint32_t n) {
    DataFifo* f = lockFifo(n);
    if (!f) return;
    f->paused = false;
    unlockFifo(n);
}

int fifo_data_get(uint32_t n, uint8_t* dest, bool holdBack, uint32_t* outTs) {
    if (!dest) return MF_ERR_MEM_DEST;
    DataFifo* f = lockFifo(n);
    if (!f) return MF_ERR_FIFO_INVALID;
    const uint32_t now = gCurrTs.load(std::memory_order_relaxed);
    int result = MF_ERR_NO_SAMPLE;
    while (f->count > 0 && result == MF_ERR_NO_SAMPLE) {
        for (uint32_t skipped = 0; f->ts[f->read] == kEmpty && skipped < f->slots; ++skipped) {
            f->read = (f->read + 1) % f->slots;
            if (!f->latencyAlign && --f->count == 0) {
                unlockFifo(n);
                return MF_ERR_TS_INVALID;
            }
        }
        const uint32_t ts = f->ts[f->read];
        if (ts == kEmpty) break; // only emptied slots left
        if (outTs) *outTs = ts;
        if (int32_t(ts - now) > 0 && !gResynced.load(std::memory_order_relaxed)) {
            SYSLOGX_ONCE_SITE(
                LOG_PRIO_ERR2,
                "Localtime is older than datatime BLK #%d, Fifo #%d! Localtime: %d, Daten: %d, Diff: %d.",
                int(f->req.blockNo), int(n), int(now), int(ts), int(ts - now));
            result = MF_ERR_TS_WAIT;
            break;
        }
        if (holdBack && int32_t(now - ts) <= int32_t(dataDelay())) {
            result = MF_ERR_TS_WAIT;
            break;
        }
        bool record = true;
        if (f->hasCond) {
            const int c = fifo_condition_check(f->req.condNo - 1u, ts);
            if (c == MF_ERR_TS_WAIT) {
                result = MF_ERR_COND_WAIT;
                break;
            }
            const int slow = f->req.factorA > f->req.factorB ? 0 : 1;
            const int fast = f->fastIsB ? 1 : 0;
            record = check_data(f, ts, c < 0 || c > COND_UNCERTAIN ? slow : c == COND_UNCERTAIN ? fast : c);
        }
        if (record) {
            dest[0] = uint8_t(ts >> 24);
            dest[1] = uint8_t(ts >> 16);
            dest[2] = uint8_t(ts >> 8);
            dest[3] = uint8_t(ts);
            uint8_t* v = dest + 4;
            for (uint32_t i = 0; i < f->req.signalCount; ++i) {
                std::memcpy(v, valueAt(f, i, f->read), f->storedWidth[i]);
                v += f->storedWidth[i];
            }
            result = int(f->recordSize);
        }
        f->ts[f->read] = kEmpty;
        f->read = (f->read + 1) % f->slots;
        --f->count;
    }
    unlockFifo(n);
    return result;
}

int fifo_data_record_size(uint32_t n) {
    DataFifo* f = lockFifo(n);
    if (!f) return MF_ERR_FIFO_INVALID;
    const int size = int(f->recordSize);
    unlockFifo(n);
    return size;
}

int fifo_data_release(uint32_t n) {
    DataFifo* f = lockFifo(n);
    if (!f) return MF_ERR_FIFO_RELEASE;
    gSlots[n].fifo.store(nullptr, std::memory_order_release);
    unlockFifo(n);
    if (debugOn()) {
        char name[16];
        syslogx(LOG_PRIO_INFO2, "BLK #%d, Fifo #%d released, Raster %s, PID 0x%X", int(f->req.blockNo),
                int(n), rasterName(f->req.raster, name), unsigned(f->req.pid));
    }
    freeFifo(f);
    gCount.fetch_sub(1);
    return 0;
}

int fifo_data_release_all() {
    for (uint32_t n = 0; n < DATA_FIFO_COUNT; ++n)
        if (gSlots[n].fifo.load(std::memory_order_acquire)) fifo_data_release(n);
    meas_fifo_data_init_load_vars();
    return 0;
}

uint32_t fifo_data_count() {
    return gCount.load();
}

void fifo_data_set_curr_ts(uint32_t ts) {
    gCurrTs.store(ts, std::memory_order_relaxed);
}

void fifo_data_time_resync(bool resynced) {
    gResynced.store(resynced, std::memory_order_relaxed);
}

namespace {

uint8_t* publishedLoad(int rasterIndex) {
    SeramSigPage& s = seramSig();
    uint8_t* const vars[kPublishedRasters] = {
        &s.fifo_load_max_R1ms,   &s.fifo_load_max_R2ms,  &s.fifo_load_max_R5ms,   &s.fifo_load_max_R10ms,
        &s.fifo_load_max_R20ms,  &s.fifo_load_max_R50ms, &s.fifo_load_max_R100ms, &s.fifo_load_max_R200ms,
        &s.fifo_load_max_R500ms, &s.fifo_load_max_R1s,   &s.fifo_load_max_Rsync,  &s.fifo_load_max_Rlap,
        &s.fifo_load_max_Rlap_sb};
    return vars[rasterIndex];
}

} // namespace

void meas_fifo_data_init_load_vars() {
    for (int i = 0; i < kRasterIndices; ++i) {
        gPeak[i].store(0, std::memory_order_relaxed);
        gPeakUpdated[i].store(false, std::memory_order_relaxed);
    }
    for (int i = 0; i < kPublishedRasters; ++i)
        std::atomic_ref<uint8_t>(*publishedLoad(i)).store(0, std::memory_order_relaxed);
    std::atomic_ref<uint32_t>(seramSig().fifo_full_ctr).store(0, std::memory_order_relaxed);
}

void meas_fifo_data_update_load_vars() {
    for (int i = 0; i < kPublishedRasters; ++i) {
        if (!gPeakUpdated[i].exchange(false, std::memory_order_relaxed)) continue;
        std::atomic_ref<uint8_t>(*publishedLoad(i))
            .store(gPeak[i].exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
    }
}

void meas_fifo_data_syslog() {
    bool reported = false;
    const uint32_t now = gCurrTs.load(std::memory_order_relaxed);
    for (uint32_t n = 0; n < DATA_FIFO_COUNT; ++n) {
        if (!gSlots[n].fifo.load(std::memory_order_acquire)) continue;
        DataFifo* f = lockFifo(n);
        if (!f) continue;
        if (f->errorFlag) {
            syslogx(LOG_PRIO_ERR2,
                    "New error BLK #%d, Fifo #%d, PID 0x%X, Raster %d, type '%s': FullCnt %d, TS ErrCnt %d, "
                    "LastTS %u "
                    "CurTs %u",
                    int(f->req.blockNo), int(n), unsigned(f->req.pid), int(f->minPeriod),
                    f->latencyAlign ? "LATENCY" : "NO_LATENCY", int(f->fullCnt), int(f->tsErrCnt),
                    unsigned(f->lastPut), unsigned(now));
            f->errorFlag = 0;
            reported = true;
        }
        unlockFifo(n);
    }
    if (reported)
        meas_led_clr_status(kStatusNoFifoError);
    else
        meas_led_set_status(kStatusNoFifoError);
}
