// FIFO handle numbers and the life of handle-based FIFOs (measurement requests by name), the
// slot counts by raster, the tidy-up command and the path error ring.
#include "msdcom/ci/dynkomm.h"

#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/routing.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// fifoMagicArr: one entry per handle index, guarded by its own lock (taken before the handle
// table's mutex, never the other way round).
struct FifoEntry {
    uint32_t state = DYNKOMM_FIFO_RESERVED;
    dynkomm_fifo* fifo = nullptr;
};

std::mutex gArrLock;
// Never destroyed: receive tasks may still look handles up while the process ends.
std::vector<FifoEntry>& fifoMagicArr = *new std::vector<FifoEntry>;
std::atomic<magic_table*> gMagics{nullptr};

// Under gArrLock: the entry of a valid handle, or nullptr.
FifoEntry* entryLocked(uint32_t handle) {
    const uint32_t index = magicNumber_magic2index(gMagics.load(), handle);
    if (index == MAGIC_INVALID || index >= fifoMagicArr.size()) return nullptr;
    return &fifoMagicArr[index];
}

uint16_t routeTagFor(uint16_t dst_pid) {
    if (dst_pid == app_pid) return DYNKOMM_ROUTE_LOCAL;
    switch (routing_get_next(dst_pid).kind) {
    case ROUTE_ETH:
        return DYNKOMM_ROUTE_ETH;
    case ROUTE_LOCSOCK:
        return DYNKOMM_ROUTE_LOCSOCK;
    default:
        return DYNKOMM_ROUTE_LOCAL;
    }
}

struct PathErrors {
    std::mutex lock;
    dynkomm_err_entry entries[DYNKOMM_ERR_ENTRIES]{};
    uint32_t counter = 0;
};
PathErrors gPathErrors;

} // namespace

bool dynkomm_ini() {
    std::lock_guard<std::mutex> g(gArrLock);
    if (gMagics.load() != nullptr) return true;
    magic_table* t = magicNumber_createMem(MAGIC_TABLE_SIZE, MAGIC_HOLD_TICKS);
    if (!t) {
        syslogx(LOG_PRIO_ERR, "dynkomm_ini(): failed to initialize magic number table");
        return false;
    }
    fifoMagicArr.assign(MAGIC_TABLE_SIZE, FifoEntry{});
    gMagics.store(t);
    // Without a tick the table is full after 65535 deletions, and released FIFOs are never freed.
    static std::once_flag scheduled;
    std::call_once(scheduled, [] { raster_addPeriodic(RASTER_R1000MS, 500, "dynkomm_1s", dynkomm_1s); });
    return true;
}

void dynkomm_exit() {
    std::lock_guard<std::mutex> g(gArrLock);
    magicNumber_destroyMem(gMagics.exchange(nullptr));
    fifoMagicArr.clear();
}

void dynkomm_1s() {
    magicNumber_garbageCollection(gMagics.load());
    dynkomm_fifo_collect();
}

magic_table* dynkomm_magic_table() {
    return gMagics.load();
}

uint32_t dynkomm_get_magic() {
    magic_table* t = gMagics.load();
    if (!t) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_get_magic() no magic number table!!");
        return 0;
    }
    const uint32_t handle = magicNumber_getNewMagic(t);
    if (handle == 0)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_get_magic() out of magics del %u used %u cnt %u",
                          unsigned(magicNumber_deletedCount(t)), unsigned(magicNumber_usedCount(t)),
                          unsigned(magicNumber_counter(t)));
    return handle;
}

uint32_t dynkomm_free_magic(uint32_t handle) {
    return magicNumber_deleteMagic(gMagics.load(), handle);
}

uint32_t dynkomm_free_magic_direct(uint32_t handle) {
    return magicNumber_deleteMagic_noTimeout(gMagics.load(), handle);
}

uint32_t dynkomm_fifo_reserve(uint16_t target_pid) {
    const uint32_t handle = dynkomm_get_magic();
    if (handle == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_reserve(): could not get magic nummer for fifo");
        return 0;
    }
    {
        std::lock_guard<std::mutex> g(gArrLock);
        if (FifoEntry* e = entryLocked(handle)) *e = FifoEntry{};
    }
    if (target_pid != app_pid) msdcom_net().sernet_man_fifo_prepare_sink(handle);
    return handle;
}

int dynkomm_fifo_prepare(uint32_t handle) {
    std::lock_guard<std::mutex> g(gArrLock);
    FifoEntry* e = entryLocked(handle);
    if (!e) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_prepare(): invalid get magic nummer for fifo 0x%08x",
                          unsigned(handle));
        return 0;
    }
    e->state = DYNKOMM_FIFO_PREPARED;
    return 1;
}

dynkomm_fifo* dynkomm_fifo_create(uint32_t handle, uint16_t src_pid, uint32_t peer_handle, uint16_t dst_pid,
                                  uint16_t raster, uint16_t depth, uint16_t slot_size, uint16_t flags) {
    std::lock_guard<std::mutex> g(gArrLock);
    FifoEntry* e = entryLocked(handle);
    if (!e) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_init(): magic not valid");
        return nullptr;
    }
    if (e->state != DYNKOMM_FIFO_PREPARED) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_init(): fifo state not expected %d, 0x%08x",
                          int(e->state), unsigned(e->fifo ? e->fifo->ident : 0));
        return nullptr;
    }
    dynkomm_fifo_params p;
    p.handle = handle;
    p.peer = peer_handle;
    p.route_tag = routeTagFor(dst_pid);
    p.src_pid = src_pid;
    p.dst_pid = dst_pid;
    p.depth = depth;
    p.slot_size = slot_size;
    p.raster = raster;
    p.flags = flags;
    dynkomm_fifo* fifo = dynkomm_fifo_new(p);
    if (!fifo) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_init(): no memory for fifo");
        return nullptr;
    }
    *e = FifoEntry{DYNKOMM_FIFO_CREATED, fifo};
    return fifo;
}

int dynkomm_fifo_set(uint32_t handle, dynkomm_fifo* fifo) {
    std::lock_guard<std::mutex> g(gArrLock);
    FifoEntry* e = entryLocked(handle);
    if (!e) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_set(): invalid get magic number for fifo 0x%08x",
                          unsigned(handle));
        return 0;
    }
    *e = FifoEntry{DYNKOMM_FIFO_CREATED, fifo};
    return 1;
}

uint32_t dynkomm_fifo_create_local(uint32_t handle, uint16_t raster, uint16_t depth, uint16_t slot_size,
                                   uint16_t flags) {
    if (!dynkomm_fifo_prepare(handle)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "dynkomm_fifo_create_local(): illegal magic creating local fifo 0x%08x",
                          unsigned(handle));
        return 0;
    }
    if (!dynkomm_fifo_create(handle, app_pid, handle, app_pid, raster, depth, slot_size, flags)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_create_local(): not able to create local fifo 0x%08x",
                          unsigned(handle));
        dynkomm_free_magic(handle);
        return 0;
    }
    return handle;
}

uint32_t dynkomm_fifo_link(uint32_t req_handle, uint16_t own_pid, uint16_t req_pid, uint16_t raster,
                           uint16_t depth, uint16_t slot_size, uint16_t flags) {
    if (req_pid == own_pid) return dynkomm_fifo_create_local(req_handle, raster, depth, slot_size, flags);
    const uint32_t local = dynkomm_fifo_reserve(req_pid);
    if (local == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_link(): no free magic on source for 0x%08X pid 0x%02X",
                          unsigned(req_handle), unsigned(req_pid));
        return 0;
    }
    const uint32_t result = msdcom_net().sernet_man_fifo_create_source(req_handle, local, own_pid, req_pid,
                                                                       raster, slot_size, flags);
    if (result == 0) {
        // The source was not made: the handle drawn for it goes back at once.
        {
            std::lock_guard<std::mutex> g(gArrLock);
            if (FifoEntry* e = entryLocked(local)) *e = FifoEntry{};
        }
        dynkomm_free_magic_direct(local);
    }
    return result;
}

uint32_t dynkomm_fifo_activate(uint32_t handle, uint16_t src_pid, uint16_t raster, uint16_t depth,
                               uint16_t slot_size, uint16_t flags) {
    if (src_pid == app_pid) return handle;
    if (msdcom_net().sernet_man_fifo_create_sink(handle, src_pid, app_pid, raster, depth, slot_size, flags) ==
        0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "dynkomm_fifo_activate(): fifo (0x%08X) pid 0x0x%02X could not been activated",
                          unsigned(handle), unsigned(src_pid));
        return 0;
    }
    return handle;
}

int dynkomm_get_fifo(uint32_t handle, dynkomm_fifo** out) {
    dynkomm_fifo* fifo = nullptr;
    int result = 0;
    {
        std::lock_guard<std::mutex> g(gArrLock);
        if (FifoEntry* e = entryLocked(handle)) {
            if (e->state == DYNKOMM_FIFO_CREATED && e->fifo) {
                fifo = e->fifo;
                result = 1;
            } else {
                result = 2;
            }
        }
    }
    if (out) *out = fifo;
    return result;
}

uint32_t dynkomm_fifo_unlink(uint16_t req_pid, uint16_t own_pid, uint32_t handle) {
    dynkomm_fifo* fifo = nullptr;
    {
        std::lock_guard<std::mutex> g(gArrLock);
        FifoEntry* e = entryLocked(handle);
        if (!e) {
            SYSLOGX_ONCE_SITE(
                LOG_PRIO_ERR,
                "dynkomm_fifo_unlink(): fifo magic not found on source side for 0x%08X pid 0x%02X",
                unsigned(handle), unsigned(req_pid));
            return 0;
        }
        if (e->state == DYNKOMM_FIFO_CREATED) fifo = e->fifo;
        *e = FifoEntry{};
        magicNumber_deleteMagic(gMagics.load(), handle);
    }
    if (!fifo) return 0;
    const msdcom_netops& net = msdcom_net();
    if (req_pid == own_pid) {
        net.SerNet_man_release_fifo(fifo);
        return 0;
    }
    const uint32_t peer = fifo->peer; // read before the FIFO is released
    if (!net.sernet_man_fifo_delete_source(fifo)) {
        // Possibly still in a sender list: releasing it now would leave the sender a dead link.
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_unlink: fifo could deschedule 0x%08X pid 0x%02X",
                          unsigned(handle), unsigned(req_pid));
        return peer;
    }
    if (!net.SerNet_man_release_fifo(fifo))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_fifo_unlink: fifo could delete 0x%08X pid 0x%02X",
                          unsigned(handle), unsigned(req_pid));
    return peer;
}

int dynkomm_fifo_free(uint32_t handle) {
    dynkomm_fifo* fifo = nullptr;
    {
        std::lock_guard<std::mutex> g(gArrLock);
        FifoEntry* e = entryLocked(handle);
        if (!e) return 0;
        magicNumber_deleteMagic(gMagics.load(), handle);
        if (e->state == DYNKOMM_FIFO_CREATED) fifo = e->fifo;
        *e = FifoEntry{};
    }
    return msdcom_net().sernet_man_fifo_delete_sink(fifo);
}

void dynkomm_tidy_up(comint_msg* message) {
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_tidy_up(): mem leak:  fifo will remain 0x%08x",
                      unsigned(ci_rctx(message)));
}

uint16_t gw_getslotnum(int raster) {
    switch (raster) {
    case 0:
    case 10:
        return 512;
    case 1:
        return 256;
    case 2:
        return 128;
    case 3:
        return 64;
    case 4:
        return 32;
    case 5:
        return 16;
    case 6:
        return 8;
    case 7:
    case 8:
        return 4;
    default:
        return 2;
    }
}

uint16_t dynkomm_getslotnum_SerNet(int raster) {
    if (raster >= 14 && raster <= 18) return 512; // the microsecond rasters
    return gw_getslotnum(raster);
}

void dynkomm_error(uint16_t code, const comint_msg* message) {
    std::lock_guard<std::mutex> g(gPathErrors.lock);
    dynkomm_err_entry& e = gPathErrors.entries[gPathErrors.counter % DYNKOMM_ERR_ENTRIES];
    e = dynkomm_err_entry{};
    e.code = code;
    if (message) std::memcpy(e.msg, message, sizeof(e.msg));
    ++gPathErrors.counter;
}

uint32_t dynkomm_error_count() {
    std::lock_guard<std::mutex> g(gPathErrors.lock);
    return gPathErrors.counter;
}

dynkomm_err_entry dynkomm_error_entry(int index) {
    std::lock_guard<std::mutex> g(gPathErrors.lock);
    return gPathErrors.entries[unsigned(index) % DYNKOMM_ERR_ENTRIES];
}
