// The measurement manager's lists: the raster chains, the registry that checks identities coming
// back from the network, the handle table of name lists, stopping and freeing, and start-up.
#include "msdcom/measman/meas_man.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/measman/meas_man_internal.h"

#include <bit>
#include <mutex>
#include <unordered_set>

std::atomic<uint8_t> meas_man_virtChan_registered{0};
std::atomic<uint8_t> meas_man_CanIO_initialized{0};

namespace mm {

std::atomic<uint32_t> data_loss_cnt[MEAS_MAN_RASTERS];
std::atomic<uint32_t> measblock_stopped[MEAS_MAN_RASTERS];

namespace {

// Never destroyed: the calculation task may still copy while the process ends.
Chain* const gChains = new Chain[MEAS_MAN_RASTERS];

struct Registry {
    std::mutex lock;
    std::unordered_set<const meas_list*> lists;
    std::vector<meas_list*> measHdrMagicArr; // list handle index -> list
};
Registry& reg() {
    static Registry* r = new Registry;
    return *r;
}

// mm_magics: created once, then collected once a second for the rest of the run.
std::atomic<magic_table*> gMagics{nullptr};

} // namespace

Chain& chain(uint32_t raster) {
    return gChains[raster < MEAS_MAN_RASTERS ? raster : 0];
}

void chainList(meas_list* list) {
    Chain& c = chain(list->raster);
    std::lock_guard<std::mutex> g(c.lock);
    list->next = c.head.load(std::memory_order_relaxed);
    c.head.store(list, std::memory_order_release);
}

bool unchainList(meas_list* list) {
    Chain& c = chain(list->raster);
    std::lock_guard<std::mutex> g(c.lock);
    meas_list* prev = nullptr;
    for (meas_list* l = c.head.load(std::memory_order_relaxed); l; prev = l, l = l->next) {
        if (l != list) continue;
        if (prev)
            prev->next = l->next;
        else
            c.head.store(l->next, std::memory_order_release);
        l->next = nullptr;
        return true;
    }
    return false;
}

void registerList(meas_list* list) {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    r.lists.insert(list);
}

bool isList(const meas_list* list) {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    return list && r.lists.count(list) != 0;
}

meas_list* listByIdent(uint32_t ident) {
    auto* p = static_cast<meas_list*>(ci_ident_object(CiIdentKind::Object, ident));
    if (!p) return nullptr;
    // Other modules register objects of this kind too: only a list of ours is a list.
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    return r.lists.count(p) != 0 && p->ident == ident ? p : nullptr;
}

meas_list* listByHandle(uint32_t handle) {
    const uint32_t index = magicNumber_magic2index(gMagics.load(), handle);
    if (index == MAGIC_INVALID) return nullptr;
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    if (index >= r.measHdrMagicArr.size()) return nullptr;
    meas_list* l = r.measHdrMagicArr[index];
    return l && l->handle == handle ? l : nullptr;
}

void enterHandle(meas_list* list) {
    const uint32_t index = magicNumber_magic2index(gMagics.load(), list->handle);
    if (index == MAGIC_INVALID) return;
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    if (index < r.measHdrMagicArr.size()) r.measHdrMagicArr[index] = list;
}

void releaseHandle(meas_list* list) {
    if (list->handle == 0) return;
    const uint32_t index = magicNumber_magic2index(gMagics.load(), list->handle);
    if (index != MAGIC_INVALID) {
        magicNumber_deleteMagic(gMagics.load(), list->handle);
        Registry& r = reg();
        std::lock_guard<std::mutex> g(r.lock);
        if (index < r.measHdrMagicArr.size() && r.measHdrMagicArr[index] == list)
            r.measHdrMagicArr[index] = nullptr;
    }
    list->handle = 0;
}

void freeList(meas_list* list) {
    for (seramMeasHandle_t& h : list->handles) seramMeasFreeMeas(&h);
    if (list->ident) ci_ident_release(list->ident);
    {
        Registry& r = reg();
        std::lock_guard<std::mutex> g(r.lock);
        r.lists.erase(list);
    }
    delete list;
}

std::vector<meas_list*> allLists() {
    Registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<meas_list*> out;
    for (const meas_list* l : r.lists) out.push_back(const_cast<meas_list*>(l));
    return out;
}

magic_table* magics() {
    return gMagics.load();
}

bool send(const comint_msg& m) {
    return comint_put_cmd(&m, 1) == 1;
}

} // namespace mm

namespace {

void copyStep(int rasterIndex, uint32_t timestamp) {
    meas_man_copy(rasterIndex, timestamp);
}

std::atomic<uint32_t (*)()> gLapTimestamp{nullptr};

// The lap rasters: the lap raster copies indices 11 and 12 under the lap event's time stamp, the
// lap status-block raster index 12 with time stamp 0.
void lapCopy() {
    uint32_t (*const source)() = gLapTimestamp.load(std::memory_order_acquire);
    const uint32_t ts = source ? source() : time_getTimestamp();
    meas_man_copy(11, ts);
    meas_man_copy(12, ts);
}
void lapStatusCopy() {
    meas_man_copy(12, 0);
}

void registerHandlers() {
    ci_register_handler(0x0500, meas_man_create);
    ci_register_handler(0x0502, meas_man_break);
    ci_register_handler(0x0503, meas_man_speed);
    ci_register_handler(0x0504, meas_man_kill_my_measurements);
    ci_register_handler(0x0505, meas_man_get_measurement_state);
    ci_register_handler(0x0510, meas_man_create2_cmd);
    ci_register_handler(0x0512, meas_man_break2);
    ci_register_handler(0x0514, meas_man_speed2);
    ci_register_handler(0x0516, meas_man_get_measurement_state2);
}

void resetCounters() {
    for (int r = 0; r < MEAS_MAN_RASTERS; ++r) {
        mm::data_loss_cnt[r].store(0);
        mm::measblock_stopped[r].store(0);
    }
    mm::resetTick();
}

} // namespace

bool meas_man_ini() {
    for (int r = 0; r < MEAS_MAN_RASTERS; ++r) mm::chain(uint32_t(r)).head.store(nullptr);
    resetCounters();
    bool ok = true;
    if (!mm::gMagics.load()) {
        magic_table* t = magicNumber_createMem(MAGIC_TABLE_SIZE, MAGIC_HOLD_TICKS);
        if (!t) {
            syslogx(LOG_PRIO_ERR, "meas_man_ini(): failed to initialize magic number table");
            ok = false;
        } else {
            {
                mm::Registry& r = mm::reg();
                std::lock_guard<std::mutex> g(r.lock);
                r.measHdrMagicArr.assign(MAGIC_TABLE_SIZE, nullptr);
            }
            mm::gMagics.store(t);
            // Without a collector the table would be full after 65535 stopped name lists.
            magicNumber_collectEverySecond(t, "meas_man_1s");
        }
    }
    registerHandlers();
    static std::once_flag hooked;
    std::call_once(hooked, [] {
        // After the calculation channels of the raster (they run at lower orders).
        raster_addCalcStep(900, "meas_man_copy", copyStep);
        // After the gateway's hooks of the 10 ms raster.
        raster_addPeriodic(static_cast<RasterTaskId>(3), 900, "meas_man_10ms", meas_man_10ms);
        // After the model's lap partition.
        raster_addPeriodic(RASTER_LAP, 900, "meas_man_copy lap", lapCopy);
        raster_addPeriodic(RASTER_SBLAP, 900, "meas_man_copy sbLapPer", lapStatusCopy);
    });
    return ok;
}

void meas_man_setLapTimestampSource(uint32_t (*source)()) {
    gLapTimestamp.store(source, std::memory_order_release);
}

void meas_man_exit() {
    for (meas_list* l : mm::allLists()) {
        if (l->mark.load() != MEAS_MAN_MARK_VALID || meas_man_stop(l, 0) != 1) {
            mm::releaseHandle(l);
            mm::freeList(l);
        }
    }
    resetCounters();
}

int meas_man_stop(meas_list* list, int keep_path) {
    if (!list) return 1;
    if (!mm::isList(list) || list->mark.load() != MEAS_MAN_MARK_VALID) return 0;
    // Out of the chain first: from here on the copy cannot reach the list.
    if (!mm::unchainList(list)) return 0;
    list->mark.store(MEAS_MAN_MARK_DEAD);
    if (list->raster == MEAS_MAN_RASTER_MASTER && list->masterStop) list->masterStop();
    if (!keep_path && list->fifo) {
        dynkomm_closepath(app_pid, list->fifo, list->reqPid);
        // A name list's FIFO is also entered under its handle: the entry goes with the path, so
        // that no frame finds the released FIFO through it.
        if (list->byName && list->fifoHandle) dynkomm_fifo_free(list->fifoHandle);
    }
    mm::releaseHandle(list);
    mm::freeList(list);
    return 1;
}

uint32_t htonl_float(float value) {
    return ci_swap32(std::bit_cast<uint32_t>(value));
}

meas_man_stats meas_man_get_stats() {
    meas_man_stats s{};
    for (int r = 0; r < MEAS_MAN_RASTERS; ++r) {
        s.data_loss_cnt[r] = mm::data_loss_cnt[r].load();
        s.measblock_stopped[r] = mm::measblock_stopped[r].load();
        mm::Chain& c = mm::chain(uint32_t(r));
        std::lock_guard<std::mutex> g(c.lock);
        for (const meas_list* l = c.head.load(); l; l = l->next) ++s.chained;
    }
    s.data_loss_cnt_sum = meas_man_get_data_loss_cnt();
    s.lists = uint32_t(mm::allLists().size());
    s.handles_used = magicNumber_usedCount(mm::magics());
    return s;
}
