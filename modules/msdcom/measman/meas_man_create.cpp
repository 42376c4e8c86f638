// Address requests (0x0500): the request is checked whole before anything is made, the list is
// built with one measurement handle per list word, and the data path is opened; its answer
// (meas_man_openreply) chains the list and answers 0x0501.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_ident.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/measman/meas_man_internal.h"

#include <new>

namespace {

constexpr uint16_t kRequestHead = 12;

struct AddressRequest {
    uint16_t raster = 0;
    uint16_t divisor = 0;
    uint16_t recordSize = 0;
    uint16_t depth = 0;
    uint16_t flags = 0;
    std::vector<uint32_t> words; // up to and including the list's terminating 0
    uint16_t valueCount = 0;
    uint32_t valueBytes = 0;
};

bool powerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// The request as a list this device can copy; false (logged) when anything does not hold: the
// list within the payload, every group a known head, values and its 0, a final 0, no marker
// inside a group, raw groups only over this process's memory windows, the raster below 20, a
// record that holds the time stamp and every value and fits a frame, a power-of-two depth.
bool parseRequest(const comint_msg* m, AddressRequest* out) {
    const uint16_t len = ci_len(m);
    const uint16_t src = ci_src(m);
    if (len < kRequestHead) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create(): PID %X refused, payload %u bytes", unsigned(src),
                          unsigned(len));
        return false;
    }
    const uint8_t* d = m->data;
    out->raster = ci_get16(d);
    out->divisor = ci_get16(d + 2);
    out->recordSize = ci_get16(d + 4);
    const uint32_t listLen = (uint32_t(ci_get16(d + 6)) + 3u) & ~3u;
    out->depth = ci_get16(d + 8);
    out->flags = ci_get16(d + 10);
    const char* why = nullptr;
    if (out->raster >= MEAS_MAN_RASTERS)
        why = "raster index";
    else if (listLen > uint32_t(len - kRequestHead))
        why = "list length beyond the payload";
    else if (!powerOfTwo(out->depth))
        why = "slot count not a power of two";
    if (why) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "meas_man_create(): PID %X refused: %s (raster %u, list %u, depth %u)",
                          unsigned(src), why, unsigned(out->raster), unsigned(listLen), unsigned(out->depth));
        return false;
    }

    const uint32_t n = listLen / 4;
    std::vector<uint32_t> w(n);
    for (uint32_t i = 0; i < n; ++i) w[i] = ci_get32(d + kRequestHead + 4 * i);
    uint32_t i = 0;
    uint32_t bad = 0;
    for (;;) {
        if (i >= n) {
            why = "list not terminated";
            break;
        }
        const uint32_t head = w[i++];
        if (head == 0) break; // the list's end
        const uint32_t width = mm::groupWidth(head);
        if (width == 0) {
            why = "unknown group head";
            bad = head;
            break;
        }
        const bool raw = mm::isRawHead(head);
        if (raw) ++out->valueCount; // a byte count counts as a value of its own
        while (i < n && w[i] != 0) {
            if (mm::isMarker(w[i])) {
                why = "marker inside a group";
                bad = w[i];
                break;
            }
            // A raw group copies memory as it lies: only inside this process's windows.
            if (raw && seramMemPtr(w[i], width) == nullptr) {
                why = "raw group outside the memory windows";
                bad = w[i];
                break;
            }
            ++out->valueCount;
            out->valueBytes += width;
            ++i;
        }
        if (why) break;
        if (i >= n) {
            why = "group not terminated";
            break;
        }
        ++i; // the group's 0
    }
    if (!why && (out->recordSize < 4 + out->valueBytes || out->recordSize > MEAS_MAN_RECORD_MAX))
        why = "record size does not fit the values";
    if (why) {
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_ERR, "meas_man_create(): PID %X refused: %s (word 0x%08X, record %u, values %u bytes)",
            unsigned(src), why, unsigned(bad), unsigned(out->recordSize), unsigned(out->valueBytes));
        return false;
    }
    w.resize(i); // words after the list's end are not part of it
    out->words = std::move(w);
    return true;
}

// One measurement handle per list word: values of 512 and more are resolved; raw addresses point
// straight at their checked bytes; markers, byte counts, small words and terminators are cleared.
void setupHandles(meas_list* list) {
    list->handles.assign(list->words.size(), seramMeasHandle_t{});
    uint32_t width = 0;
    bool raw = false;
    bool inGroup = false;
    for (size_t i = 0; i < list->words.size(); ++i) {
        const uint32_t w = list->words[i];
        seramMeasHandle_t& h = list->handles[i];
        seramMeasClearHandle(&h);
        if (!inGroup) {
            if (w == 0) break;
            width = mm::groupWidth(w);
            raw = mm::isRawHead(w);
            inGroup = true;
            continue;
        }
        if (w == 0) {
            inGroup = false;
            continue;
        }
        if (raw) {
            h.ptr = seramMemPtr(w, width);
            h.kind = SERAM_MEAS_MEMORY;
            h.extra = width;
        } else if (w >= 512) {
            seramMeasSetupMeas(w, uint16_t(list->raster), &h);
        }
    }
}

bool sendCreateReply(uint16_t requester_pid, const meas_list* list, uint32_t context, uint32_t fifo_word) {
    comint_msg m;
    uint16_t len = 4;
    ci_put32(m.data, fifo_word);
    if (fifo_word != 0 && list) {
        for (size_t i = 0; i < list->words.size(); ++i) {
            const uint32_t w = list->words[i];
            if (w == 0 || mm::isMarker(w)) continue;
            ci_put16(m.data + len, seramMeasGetLatency(&list->handles[i]));
            len = uint16_t(len + 2);
        }
    }
    ci_init(&m, 0x0501, app_pid, requester_pid, list && fifo_word ? list->ident : 0, context, len);
    return mm::send(m);
}

} // namespace

void meas_man_send_createreply(uint16_t requester_pid, const meas_list* list, uint32_t context,
                               uint32_t fifo_word) {
    if (!sendCreateReply(requester_pid, list, context, fifo_word))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_send_createreply(): answer to PID %X not sent",
                          unsigned(requester_pid));
}

void meas_man_create(comint_msg* message) {
    const uint16_t src = ci_src(message);
    const uint32_t ctx = ci_ctx(message);
    AddressRequest req;
    if (!parseRequest(message, &req)) {
        meas_man_send_createreply(src, nullptr, ctx, 0);
        return;
    }
    meas_list* list = new (std::nothrow) meas_list;
    if (list) {
        list->ident = ci_ident_register(CiIdentKind::Object, list);
        if (list->ident == 0) {
            delete list;
            list = nullptr;
        }
    }
    if (!list) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create(): no memory for the list of PID %X", unsigned(src));
        meas_man_send_createreply(src, nullptr, ctx, 0);
        return;
    }
    list->mark.store(MEAS_MAN_MARK_DEAD);
    list->reqPid = src;
    list->reqCtx = ctx;
    list->raster = req.raster;
    list->divisor = req.divisor;
    list->countdown = req.divisor;
    list->flags = req.flags;
    list->listLen = uint16_t(req.words.size() * 4);
    list->valueCount = req.valueCount;
    list->recordSize = uint16_t(4 + req.valueBytes);
    list->words = std::move(req.words);
    setupHandles(list);
    mm::registerList(list);
    // The CCP and XCP masters, once present, are offered queue-mode lists here.
    dynkomm_openpath(app_pid, src, req.recordSize, uint16_t(req.raster), req.depth,
                     uint16_t(req.flags & MEAS_MAN_FLAG_QUEUE), meas_man_openreply, list->ident);
}

void meas_man_openreply(comint_msg* message, uint16_t) {
    if (ci_len(message) < 14) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_openreply(): answer of %u bytes from PID %X ignored",
                          unsigned(ci_len(message)), unsigned(ci_src(message)));
        return;
    }
    const uint8_t* d = message->data;
    const uint32_t listId = ci_get32(d);
    const uint32_t fifoId = ci_get32(d + 4);
    const uint32_t peer = ci_get32(d + 8);
    const uint16_t pathPid = ci_get16(d + 12);
    meas_list* list = mm::listByIdent(listId);
    if (!list || list->byName || list->mark.load() != MEAS_MAN_MARK_DEAD) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_openreply(): answer for list 0x%08X that waits for none",
                          unsigned(listId));
        return;
    }
    list->mark.store(MEAS_MAN_MARK_VALID);
    dynkomm_fifo* fifo = fifoId ? dynkomm_fifo_byIdent(fifoId) : nullptr;
    if (fifo && (fifo->handle != 0 || fifo->src_pid != app_pid || fifo->dst_pid != list->reqPid)) {
        // Not a path opened for this request: it is none of this list's business.
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_openreply(): FIFO 0x%08X is no path to PID %X",
                          unsigned(fifoId), unsigned(list->reqPid));
        fifo = nullptr;
    }
    if (fifo && (fifo->slot_size < list->recordSize || peer == 0)) {
        // A FIFO the records do not fit, or no FIFO word to tell the requester: the path goes.
        SYSLOGX_ONCE_SITE(
            LOG_PRIO_ERR, "meas_man_openreply(): FIFO 0x%08X (peer 0x%08X) slots of %u bytes, %u needed",
            unsigned(fifoId), unsigned(peer), unsigned(fifo->slot_size), unsigned(list->recordSize));
        dynkomm_closepath(app_pid, fifo, list->reqPid);
        fifo = nullptr;
    }
    if (!fifo) {
        meas_man_send_createreply(list->reqPid, nullptr, list->reqCtx, 0);
        mm::freeList(list);
        return;
    }
    list->fifo = fifo;
    list->peerWord = peer;
    list->pathPid = pathPid;
    if (list->flags & MEAS_MAN_FLAG_STORED) {
        if (!mm::offlineRequested.exchange(true))
            syslogx(LOG_PRIO_INFO, "meas_man_openreply: offline data requested");
        mm::syncErrDelay.store(100);
    }
    mm::chainList(list);
    if (!sendCreateReply(list->reqPid, list, list->reqCtx, peer)) {
        // The requester never learns of the list: it would stream for nobody.
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_openreply(): answer to PID %X not sent, list stopped",
                          unsigned(list->reqPid));
        meas_man_stop(list, 0);
    }
}
