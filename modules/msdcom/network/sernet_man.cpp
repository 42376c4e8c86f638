#include "msdcom/network/sernet_man.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/network/bc2_net.h"
#include "msdcom/network/dk_frame.h"
#include "platform/rtos/rtos.h"

#include <cerrno>
#include <cstring>

uint32_t sernet_man_lost_data_cnt = 0;

namespace {

struct SenderList {
    dynkomm_fifo* head = nullptr;
    SEM_ID mutex = SEM_ID_NULL;
};

SenderList sernet_man_senderlist_online[SERNET_RASTERS];
SenderList sernet_man_senderlist_offline[SERNET_RASTERS];

constexpr size_t kOpenPayload = 16; // fields up to the flags word
constexpr size_t kClosePayload = 8;
constexpr uint16_t kAnswerLen = 16;

uint8_t gFloodShortOpen = 0;
uint8_t gFloodShortClose = 0;
uint8_t gFloodBadOpen = 0;
uint8_t gFloodBadRaster = 0;
uint8_t gFloodBroadcast = 0;
uint8_t gFloodNotASink = 0;

const char* kindText(bool offline) {
    return offline ? "offline" : "online";
}

SenderList* listOf(const dynkomm_fifo* fifo) {
    if (fifo->raster >= SERNET_RASTERS) {
        SYSLOGX_FLOOD(gFloodBadRaster, LOG_PRIO_ERR,
                      "SerNet_man: raster index %u of fifo 0x%08X has no sender list", unsigned(fifo->raster),
                      unsigned(fifo->handle));
        return nullptr;
    }
    return (fifo->flags & DYNKOMM_FLAG_QUEUE) ? &sernet_man_senderlist_offline[fifo->raster]
                                              : &sernet_man_senderlist_online[fifo->raster];
}

bool powerOfTwoUpTo512(uint16_t n) {
    return n > 0 && n <= SERNET_MAX_SLOTS && (n & (n - 1)) == 0;
}

} // namespace

bool SerNet_man_ini() {
    sernet_man_lost_data_cnt = 0;
    constexpr int kOptions = SEM_Q_PRIORITY | SEM_INVERSION_SAFE;
    for (int i = 0; i < SERNET_RASTERS; ++i) {
        for (bool offline : {false, true}) {
            SenderList& l = offline ? sernet_man_senderlist_offline[i] : sernet_man_senderlist_online[i];
            l.head = nullptr;
            if (l.mutex == SEM_ID_NULL) l.mutex = semMCreate(kOptions);
            if (l.mutex == SEM_ID_NULL) {
                syslogx(LOG_PRIO_ERR, "SerNet_man_ini: SemMCreate() has failed on raster-idx 0x%lx %s",
                        long(i), kindText(offline));
                return false;
            }
        }
    }
    ci_register_handler(0x0300, SerNet_man_openpath);
    ci_register_handler(0x0301, SerNet_man_closepath);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Target side

dynkomm_fifo* SerNet_man_reserve(uint16_t slotSize, uint16_t slots, uint16_t flags, uint16_t raster,
                                 uint16_t srcPid, uint32_t context) {
    dynkomm_fifo_params p;
    p.handle = 0;
    p.peer = context;
    p.route_tag = DYNKOMM_ROUTE_LOCAL;
    p.src_pid = srcPid;
    p.dst_pid = app_pid;
    p.depth = slots;
    p.slot_size = slotSize;
    p.raster = raster;
    p.flags = flags;
    return dynkomm_fifo_new(p);
}

int SerNet_man_release_fifo(dynkomm_fifo* fifo) {
    return fifo ? dynkomm_fifo_release(fifo) : 0;
}

void SerNet_man_send_openreply(uint16_t destination, uint32_t replyContext, uint32_t context, uint32_t value,
                               uint32_t handle, uint16_t ownPid, dynkomm_fifo* fifo) {
    comint_msg answer;
    ci_init(&answer, 0x0107, ownPid, destination, context, replyContext, kAnswerLen);
    ci_put32(answer.data, value);
    ci_put32(answer.data + 4, handle);
    ci_put32(answer.data + 8, fifo ? dynkomm_fifo_ident(fifo) : 0);
    ci_put16(answer.data + 12, ownPid);
    ci_put16(answer.data + 14, 0);
    if (comint_put_cmd(&answer, 1) == 1) return;
    // Nobody will ever close a path whose answer did not leave: give its FIFO and handle back.
    if (fifo) SerNet_man_release_fifo(fifo);
    if (handle) dynkomm_free_magic_direct(handle);
}

void SerNet_man_openpath(comint_msg* message) {
    if (ci_len(message) < kOpenPayload) {
        SYSLOGX_FLOOD(gFloodShortOpen, LOG_PRIO_ERR,
                      "SerNet_man_openpath(): payload %u bytes of %u, from PID %X", unsigned(ci_len(message)),
                      unsigned(kOpenPayload), unsigned(ci_src(message)));
        return;
    }
    const uint8_t* p = message->data;
    const uint16_t src = ci_get16(p);
    const uint16_t target = ci_get16(p + 2);
    const uint16_t raster = ci_get16(p + 4);
    const uint16_t recordSize = ci_get16(p + 6);
    const uint32_t value = ci_get32(p + 8);
    const uint16_t slots = ci_get16(p + 12);
    const uint16_t flags = ci_get16(p + 14);
    const uint32_t ctx = ci_ctx(message);
    const uint32_t rctx = ci_rctx(message);

    // A path ends at one device. Passed on to every device, each would pass it on again, for
    // ever: the command goes round the network instead of being answered.
    if (target == CI_PID_ALL) {
        SYSLOGX_FLOOD(gFloodBroadcast, LOG_PRIO_ERR,
                      "SerNet_man_openpath(): path from PID %X to every device refused", unsigned(src));
        SerNet_man_send_openreply(src, rctx, ctx, value, 0, app_pid, nullptr);
        return;
    }
    if (target != app_pid) {
        ci_set_dst(message, target);
        ci_set_src(message, app_pid);
        if (comint_put_cmd(message, 1) == 1) return;
        SerNet_man_send_openreply(src, rctx, ctx, value, 0, app_pid, nullptr);
        return;
    }
    // A slot count the ring cannot mask, or a record whose frame cannot fit a send buffer, can
    // never travel: refuse the path instead of making a FIFO that breaks later. A path from this
    // device to itself is a local FIFO, never this command; its FIFO could not be closed either.
    if (!powerOfTwoUpTo512(slots) || recordSize > SERNET_MAX_RECORD || src == app_pid) {
        SYSLOGX_FLOOD(gFloodBadOpen, LOG_PRIO_ERR,
                      "SerNet_man_openpath(): path from PID %X refused, %u slots of %u bytes", unsigned(src),
                      unsigned(slots), unsigned(recordSize));
        SerNet_man_send_openreply(src, rctx, ctx, value, 0, app_pid, nullptr);
        return;
    }
    const uint16_t slotSize = uint16_t((recordSize + 3u) & ~3u);
    dynkomm_fifo* fifo = SerNet_man_reserve(slotSize, slots, flags, raster, src, ctx);
    uint32_t handle = 0;
    if (fifo) {
        handle = dynkomm_get_magic();
        if (handle == 0 || !dynkomm_fifo_set(handle, fifo)) {
            if (handle) dynkomm_free_magic_direct(handle);
            SerNet_man_release_fifo(fifo);
            fifo = nullptr;
            handle = 0;
        } else {
            fifo->handle = handle;
        }
    }
    SerNet_man_send_openreply(src, rctx, ctx, value, handle, app_pid, fifo);
}

void SerNet_man_closepath(comint_msg* message) {
    if (ci_len(message) < kClosePayload) {
        SYSLOGX_FLOOD(gFloodShortClose, LOG_PRIO_ERR,
                      "SerNet_man_closepath(): payload %u bytes of %u, from PID %X",
                      unsigned(ci_len(message)), unsigned(kClosePayload), unsigned(ci_src(message)));
        return;
    }
    uint8_t* p = message->data;
    const uint32_t handle = ci_get32(p);
    const uint16_t target = ci_get16(p + 6);
    if (target == CI_PID_ALL) {
        SYSLOGX_FLOOD(gFloodBroadcast, LOG_PRIO_ERR,
                      "SerNet_man_closepath(): close of handle 0x%08X to every device ignored, from PID %X",
                      unsigned(handle), unsigned(ci_src(message)));
        return;
    }
    if (target != app_pid) {
        ci_set_dst(message, target);
        ci_set_src(message, app_pid);
        ci_put16(p + 4, app_pid);
        comint_put_cmd(message, 1);
        return;
    }
    dynkomm_fifo* fifo = nullptr;
    if (dynkomm_get_fifo(handle, &fifo) == 1 && fifo) {
        // A path's receiving FIFO is fed by another device. A FIFO this device feeds (a source in a
        // sender list, a local one) still has its user here; releasing it would free it under them.
        if (fifo->src_pid == app_pid) {
            SYSLOGX_FLOOD(
                gFloodNotASink, LOG_PRIO_ERR,
                "SerNet_man_closepath(): handle 0x%08X is no receiving fifo, close from PID %X ignored",
                unsigned(handle), unsigned(ci_src(message)));
            return;
        }
        SerNet_man_release_fifo(fifo);
    }
    dynkomm_free_magic(handle);
}

// ---------------------------------------------------------------------------------------------
// Producer side

void SerNet_man_start_sending(dynkomm_fifo* fifo) {
    if (!fifo) return;
    SenderList* l = listOf(fifo);
    if (!l) return;
    const bool offline = fifo->flags & DYNKOMM_FLAG_QUEUE;
    if (semTake(l->mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_ERR, "SerNet_man_start_sending: semTake() has failed on raster-idx 0x%lx %s",
                long(fifo->raster), kindText(offline));
        return;
    }
    fifo->link = l->head;
    l->head = fifo;
    semGive(l->mutex);
}

int SerNet_man_stop_sending(dynkomm_fifo* fifo) {
    if (!fifo) return 0;
    SenderList* l = listOf(fifo);
    if (!l) return 0;
    const bool offline = fifo->flags & DYNKOMM_FLAG_QUEUE;
    if (semTake(l->mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_ERR, "SerNet_man_stop_sending: semTake() has failed on raster-idx 0x%lx %s",
                long(fifo->raster), kindText(offline));
        return 0;
    }
    int removed = 0;
    for (dynkomm_fifo** at = &l->head; *at; at = &(*at)->link) {
        if (*at == fifo) {
            *at = fifo->link;
            fifo->link = nullptr;
            removed = 1;
            break;
        }
    }
    semGive(l->mutex);
    return removed;
}

namespace {

void headerOf(const dynkomm_fifo* fifo, uint8_t out[DK_HEADER_SIZE]) {
    // The handle on the wire is the one the target assigned to its receiving FIFO.
    dk_encodeHeader(DkHeader{fifo->dst_pid, fifo->slot_size, fifo->peer}, out);
}

void runSender(int rasterIndex, bool offline) {
    if (rasterIndex < 0 || rasterIndex >= SERNET_RASTERS) return;
    SenderList& l =
        offline ? sernet_man_senderlist_offline[rasterIndex] : sernet_man_senderlist_online[rasterIndex];
    if (l.mutex == SEM_ID_NULL) return;
    if (semTake(l.mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_ERR, "SerNet_man_sender: semTake() has failed on raster-idx 0x%lx %s",
                long(rasterIndex), kindText(offline));
        return;
    }
    uint8_t hdr[DK_HEADER_SIZE];
    for (dynkomm_fifo* f = l.head; f; f = f->link) {
        headerOf(f, hdr);
        if (offline) {
            dyncom_send_eth_fifo(hdr, f);
        } else if (const uint8_t* rec = dynkomm_read(f)) {
            dyncom_send_eth_online(hdr, rec);
            dynkomm_readdone(f);
        }
    }
    semGive(l.mutex);
}

} // namespace

void SerNet_man_sender_online(int rasterIndex) {
    runSender(rasterIndex, false);
}
void SerNet_man_sender_offline(int rasterIndex) {
    runSender(rasterIndex, true);
}
void SerNet_man_flush_online() {
    Dynkom_flush_eth(0);
}
void SerNet_man_flush_offline() {
    Dynkom_flush_eth(1);
}
void SerNet_man_1s() {}

// ---------------------------------------------------------------------------------------------
// FIFO wrappers

int sernet_man_fifo_prepare_sink(uint32_t handle) {
    return dynkomm_fifo_prepare(handle);
}

uint32_t sernet_man_fifo_create_sink(uint32_t handle, uint16_t srcPid, uint16_t ownPid, uint16_t raster,
                                     uint16_t depth, uint16_t slotSize, uint16_t flags) {
    return dynkomm_fifo_create(handle, srcPid, 0, ownPid, raster, depth, slotSize, flags) ? handle : 0;
}

uint32_t sernet_man_fifo_create_source(uint32_t reqHandle, uint32_t localHandle, uint16_t ownPid,
                                       uint16_t reqPid, uint16_t raster, uint16_t slotSize, uint16_t flags) {
    const uint16_t depth = (flags & DYNKOMM_FLAG_QUEUE) ? dynkomm_getslotnum_SerNet(raster) : 4;
    dynkomm_fifo* fifo =
        dynkomm_fifo_create(localHandle, ownPid, reqHandle, reqPid, raster, depth, slotSize, flags);
    if (!fifo) return 0;
    SerNet_man_start_sending(fifo);
    return localHandle;
}

int sernet_man_fifo_delete_source(dynkomm_fifo* fifo) {
    return fifo ? SerNet_man_stop_sending(fifo) : 0;
}
int sernet_man_fifo_delete_sink(dynkomm_fifo* fifo) {
    return SerNet_man_release_fifo(fifo);
}
