// Address-based data paths, the older request format: the FIFO is named by its identifier, not by
// a handle number. A path to this device is answered at once through the command queue; a path
// to another device asks the requester (0x0300) to make the receiving FIFO and starts sending on
// its answer (0x0107).
#include "msdcom/ci/dynkomm.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/routing.h"

namespace {

// Record sizes travel as multiples of 4; 0 when the rounded size does not fit a slot.
uint16_t slotSize4(uint16_t record) {
    const uint32_t rounded = (uint32_t(record) + 3u) & ~3u;
    return rounded > 0xFFFF ? 0 : uint16_t(rounded);
}

// The answer of an address-based open, as the reply function gets it: u32 reply context, u32
// FIFO identifier, u32 peer FIFO word, u16 PID, u16 reserved.
void buildOpenReply(comint_msg* m, ci_reply_fn reply, uint32_t reply_ctx, uint32_t fifo_id,
                    uint16_t req_pid) {
    ci_init(m, 0x0107, app_pid, app_pid, 0, ci_ident_replyFn(reply), 16);
    ci_put32(m->data, reply_ctx);
    ci_put32(m->data + 4, fifo_id);
    ci_put32(m->data + 8, fifo_id);
    ci_put16(m->data + 12, req_pid);
    ci_put16(m->data + 14, 0);
}

// Hands the answer to the reply function through the command queue; when it cannot be queued the
// reply function hears the refusal at once, so its request is never left waiting.
void deliverOpenReply(ci_reply_fn reply, uint32_t reply_ctx, dynkomm_fifo* fifo, uint16_t req_pid) {
    if (!reply) return;
    comint_msg m;
    buildOpenReply(&m, reply, reply_ctx, fifo ? fifo->ident : 0, req_pid);
    if (ci_rctx(&m) != 0 && comint_put_cmd(&m, 1) == 1) return;
    if (fifo) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_openpath(): freeing f %X after comint failed",
                          unsigned(fifo->ident));
        msdcom_net().SerNet_man_release_fifo(fifo);
    }
    buildOpenReply(&m, reply, reply_ctx, 0, req_pid);
    reply(&m, 0);
}

void dynkomm_open_serial_network_path(uint16_t own_pid, uint16_t req_pid, uint16_t slot_size, uint16_t raster,
                                      uint16_t flags, ci_reply_fn reply, uint32_t reply_ctx,
                                      uint32_t route_kind) {
    const uint16_t depth =
        (route_kind == ROUTE_ETH || route_kind == ROUTE_LOCSOCK) ? dynkomm_getslotnum_SerNet(raster) : 1;
    dynkomm_fifo_params p;
    p.peer = ci_ident_replyFn(reply); // until the answer names the receiving FIFO
    p.route_tag = route_kind == ROUTE_ETH ? DYNKOMM_ROUTE_ETH : DYNKOMM_ROUTE_LOCSOCK;
    p.src_pid = own_pid;
    p.depth = depth;
    p.slot_size = slot_size;
    p.raster = raster;
    p.flags = flags;
    dynkomm_fifo* fifo = (p.peer != 0 && slot_size != 0) ? dynkomm_fifo_new(p) : nullptr;
    if (!fifo) {
        deliverOpenReply(reply, reply_ctx, nullptr, req_pid);
        return;
    }
    fifo->opening = 1;
    comint_msg m;
    ci_init(&m, 0x0300, own_pid, req_pid, fifo->ident,
            ci_ident_replyFn(dynkomm_open_serial_network_path_reply), 20);
    uint8_t* d = m.data;
    ci_put16(d, own_pid);
    ci_put16(d + 2, req_pid);
    ci_put16(d + 4, raster);
    ci_put16(d + 6, slot_size);
    ci_put32(d + 8, reply_ctx);
    ci_put16(d + 12, depth);
    ci_put16(d + 14, flags);
    ci_put32(d + 16, 0);
    if (comint_put_cmd(&m, 1) == 1) return;
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_open_serial_network_path() freeing f %X after comint failed",
                      unsigned(fifo->ident));
    msdcom_net().SerNet_man_release_fifo(fifo);
    deliverOpenReply(reply, reply_ctx, nullptr, req_pid);
}

} // namespace

void dynkomm_openpath(uint16_t own_pid, uint16_t req_pid, uint16_t slot_size, uint16_t raster, uint16_t depth,
                      uint16_t flags, ci_reply_fn reply, uint32_t reply_ctx) {
    const uint16_t slot = slotSize4(slot_size);
    if (req_pid != own_pid) {
        dynkomm_open_serial_network_path(own_pid, req_pid, slot, raster, flags, reply, reply_ctx,
                                         routing_get_next(req_pid).kind);
        return;
    }
    dynkomm_fifo* fifo = nullptr;
    if (slot != 0) {
        dynkomm_fifo_params p;
        p.src_pid = own_pid;
        p.dst_pid = own_pid;
        p.depth = depth;
        p.slot_size = slot;
        p.raster = raster;
        p.flags = flags;
        fifo = dynkomm_fifo_new(p);
    }
    deliverOpenReply(reply, reply_ctx, fifo, req_pid);
}

int dynkomm_closepath(uint16_t own_pid, dynkomm_fifo* fifo, uint16_t req_pid) {
    (void)own_pid;
    const msdcom_netops& net = msdcom_net();
    if (!dynkomm_fifo_isLive(fifo)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_closepath() fifo f %X already freed?",
                          unsigned(reinterpret_cast<uintptr_t>(fifo) & 0xFFFFFFFF));
        return 0;
    }
    if (fifo->route_tag == DYNKOMM_ROUTE_LOCAL) {
        net.SerNet_man_release_fifo(fifo);
        return 1;
    }
    // Everything the close message needs is read before the FIFO may go.
    const uint32_t peer = fifo->peer;
    const uint16_t dst = fifo->dst_pid;
    const uint32_t ident = fifo->ident;
    if (net.SerNet_man_stop_sending(fifo))
        net.SerNet_man_release_fifo(fifo);
    else
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "dynkomm_close_SerNet_path(): tried to stop not listed fifo 0x%08X, pid 0x%02X",
                          unsigned(ident), unsigned(dst));
    comint_msg m;
    ci_init(&m, 0x0301, app_pid, dst, 0, 0, 8);
    ci_put32(m.data, peer);
    ci_put16(m.data + 4, dst);
    ci_put16(m.data + 6, req_pid);
    comint_put_cmd(&m, 1);
    return 1;
}

void dynkomm_open_serial_network_path_reply(comint_msg* message, uint16_t) {
    dynkomm_fifo* fifo = dynkomm_fifo_byIdent(ci_ctx(message));
    if (!fifo || !fifo->opening) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_ERR,
            "dynkomm_open_serial_network_path_reply(): no opening fifo 0x%08X, answer of PID %X ignored",
            unsigned(ci_ctx(message)), unsigned(ci_src(message)));
        return;
    }
    const msdcom_netops& net = msdcom_net();
    // The reply function is taken before the peer word is given the answer's handle.
    const ci_reply_fn reply = ci_ident_toReplyFn(fifo->peer);
    fifo->opening = 0;
    if (!reply || ci_len(message) < 14) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_ERR,
            "dynkomm_open_serial_network_path_reply(): answer of PID %X unusable (len %u), f %X freed",
            unsigned(ci_src(message)), unsigned(ci_len(message)), unsigned(fifo->ident));
        net.SerNet_man_release_fifo(fifo);
        return;
    }
    const uint32_t target_handle = ci_get32(message->data + 4);
    if (target_handle != 0) {
        const uint16_t pid = ci_src(message);
        fifo->peer = target_handle;
        fifo->dst_pid = pid;
        ci_put32(message->data + 4, fifo->ident);
        // Sending starts before the requester hears of the path: if it closes the path at once,
        // the close takes the FIFO out of its sender list again instead of leaving it there.
        net.SerNet_man_start_sending(fifo);
        reply(message, pid);
        return;
    }
    if (!net.SerNet_man_release_fifo(fifo))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "dynkomm_open_serial_network_path_reply() fifo f %X already freed?",
                          unsigned(ci_ctx(message)));
    ci_put32(message->data + 4, 0);
    ci_put32(message->data + 8, 0);
    reply(message, 0);
}
