// Name requests (0x0510): names with an optional element index are looked up in the name table,
// the accepted values are grouped by size into an address list, a FIFO is linked under the
// requester's FIFO handle, and 0x0511 tells the record layout with each signal's offset, type,
// factor, offset and bit mask.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "measdata/meascalinfo.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/measman/meas_man_internal.h"

#include <bit>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t kRequestHead = 12;
constexpr uint16_t kAnswerHead = 16;
constexpr uint16_t kSignalRecord = 20;
constexpr uint32_t kIndexDigitsMax = 9; // keeps the element index inside 32 bits

struct Signal {
    const meascalinfo_t* info = nullptr;
    uint32_t size = 0;  // bytes of one element
    uint32_t index = 0; // element
    uint16_t position = 0;
};

struct Layout {
    std::vector<uint32_t> words;
    std::vector<const Signal*> order; // signals in list order
    uint16_t recordBytes = 4;         // time stamp and values, not rounded
};

bool powerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Splits "name[12]" into the name and its element; false (logged) for a malformed index.
bool splitIndex(char* name, size_t len, bool* indexed, uint32_t* index) {
    *indexed = false;
    if (len == 0 || name[len - 1] != ']') return true;
    size_t open = len - 1;
    while (open > 0 && name[open - 1] >= '0' && name[open - 1] <= '9') --open;
    const size_t digits = len - 1 - open;
    if (digits == 0 || digits > kIndexDigitsMax || open == 0 || name[open - 1] != '[') {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): measlist parse error (%s)", name);
        return false;
    }
    uint32_t v = 0;
    for (size_t i = open; i < len - 1; ++i) v = v * 10 + uint32_t(name[i] - '0');
    name[open - 1] = '\0';
    *indexed = true;
    *index = v;
    return true;
}

// The accepted signals of the request, in request order.
std::vector<Signal> parseNames(const uint8_t* names, uint32_t length, uint32_t count) {
    std::vector<Signal> out;
    const char* p = reinterpret_cast<const char*>(names);
    uint32_t left = length;
    for (uint32_t n = 0; n < count && left > 0; ++n) {
        const auto* nul = static_cast<const char*>(std::memchr(p, 0, left));
        if (!nul) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "meas_man_create2_cmd(): measlist no chr(0) ending, remaining ignored");
            break;
        }
        const size_t len = size_t(nul - p);
        const char* raw = p;
        p = nul + 1;
        left -= uint32_t(len + 1);
        const auto position = uint16_t(n);
        if (len >= MEAS_MAN_NAME_LEN_MAX) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): name too long, signal ignored");
            continue;
        }
        char name[MEAS_MAN_NAME_LEN_MAX];
        std::memcpy(name, raw, len);
        name[len] = '\0';
        bool indexed = false;
        uint32_t index = 0;
        if (!splitIndex(name, len, &indexed, &index)) continue;
        const meascalinfo_t* info = meascalinfo_getInfo(name);
        if (!info) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_INFO, "meas_man_create2_cmd(): %s unknown, ignored", name);
            continue;
        }
        if (indexed && info->dLength <= 1) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "meas_man_create2_cmd(): array element request, but %s is scalar, ignored",
                              name);
            continue;
        }
        if (!indexed && info->dLength > 1) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "meas_man_create2_cmd(): %s is array, but scalar requested, ignored", name);
            continue;
        }
        if (indexed && index >= info->dLength) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): element %u of %s beyond its %u, ignored",
                              unsigned(index), name, unsigned(info->dLength));
            continue;
        }
        const uint32_t size = getSizeofType(info->dType);
        if (size == 0) continue; // no value width a record can carry
        if (out.size() >= MEAS_MAN_NAME_SIGNALS_MAX) {
            // The answer could not carry another signal record.
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                              "meas_man_create2_cmd(): more than %u signals requested, %s ignored",
                              unsigned(MEAS_MAN_NAME_SIGNALS_MAX), name);
            continue;
        }
        out.push_back(Signal{info, size, index, position});
    }
    return out;
}

// Groups of 4-, 2- and 1-byte values, each in request order.
Layout buildLayout(const std::vector<Signal>& signals) {
    Layout l;
    for (uint32_t size : {4u, 2u, 1u}) {
        const size_t groupStart = l.words.size();
        for (const Signal& s : signals) {
            if (s.size != size) continue;
            if (l.words.size() == groupStart)
                l.words.push_back(size == 4   ? MEAS_MAN_MARK_4
                                  : size == 2 ? MEAS_MAN_MARK_2
                                              : MEAS_MAN_MARK_1);
            l.words.push_back((s.info->pAdr + size * s.index) & 0xFFFFFFu);
            l.order.push_back(&s);
            l.recordBytes = uint16_t(l.recordBytes + size);
        }
        if (l.words.size() != groupStart) l.words.push_back(0);
    }
    l.words.push_back(0);
    return l;
}

void putSignal(uint8_t* at, uint16_t offset, const Signal& s, uint16_t latency) {
    const float sens = s.info->sens != 0.0f ? s.info->sens : 1.0f;
    ci_put16(at, offset);
    ci_put16(at + 2, s.position);
    ci_put16(at + 4, latency);
    at[6] = uint8_t(s.info->dType);
    at[7] = 0;
    ci_put32(at + 8, std::bit_cast<uint32_t>(1.0f / sens));
    ci_put32(at + 12, std::bit_cast<uint32_t>(-s.info->offset / sens));
    ci_put32(at + 16, s.info->bitmask);
}

// 0x0511: context = the requester's FIFO handle, reply context = its request handle.
bool sendAnswer(const ci_header& req, const comint_msg& answer, uint16_t len) {
    comint_msg m = answer;
    ci_init(&m, 0x0511, app_pid, req.src, req.rctx, req.ctx, len);
    return mm::send(m);
}

void refuse(const ci_header& req) {
    comint_msg m;
    std::memset(m.data, 0, kRequestHead);
    if (!sendAnswer(req, m, kRequestHead))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): refusal to PID %X not sent",
                          unsigned(req.src));
}

} // namespace

void meas_man_create2_cmd(comint_msg* message) {
    const ci_header req = ci_get_header(message);
    if (req.len < kRequestHead) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): PID %X refused, payload %u bytes",
                          unsigned(req.src), unsigned(req.len));
        refuse(req);
        return;
    }
    const uint8_t* d = message->data;
    const uint16_t raster = ci_get16(d);
    const uint16_t divisor = ci_get16(d + 2);
    const uint16_t namesLen = ci_get16(d + 4);
    const uint16_t nameCount = ci_get16(d + 6);
    const uint16_t depth = ci_get16(d + 8);
    const uint16_t flags = ci_get16(d + 10);
    const char* why = nullptr;
    if (raster >= MEAS_MAN_RASTERS)
        why = "raster index";
    else if (namesLen > req.len - kRequestHead)
        why = "name list beyond the payload";
    else if (!powerOfTwo(depth))
        why = "slot count not a power of two";
    else if (req.rctx == 0)
        why = "no FIFO handle";
    if (why) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "meas_man_create2_cmd(): PID %X refused: %s (raster %u, names %u, depth %u)",
                          unsigned(req.src), why, unsigned(raster), unsigned(namesLen), unsigned(depth));
        refuse(req);
        return;
    }

    const std::vector<Signal> signals = parseNames(d + kRequestHead, namesLen, nameCount);
    const Layout layout = buildLayout(signals);
    if (layout.order.empty()) {
        refuse(req);
        return;
    }
    const auto recordSize = uint16_t((layout.recordBytes + 3u) & ~3u);

    const uint32_t handle = magicNumber_getNewMagic(mm::magics());
    if (handle == 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): could not get magic number");
        refuse(req);
        return;
    }
    meas_list* list = new (std::nothrow) meas_list;
    if (!list) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): could not get memory for measlist");
        magicNumber_deleteMagic_noTimeout(mm::magics(), handle);
        refuse(req);
        return;
    }
    list->raster = raster;
    list->divisor = divisor;
    list->countdown = 0;
    list->flags = flags;
    list->reqPid = req.src;
    list->pathPid = req.src;
    list->peerWord = req.rctx;
    list->handle = handle;
    list->byName = 1;
    list->words = layout.words;
    list->listLen = uint16_t(layout.words.size() * 4);
    list->valueCount = uint16_t(layout.order.size());
    list->recordSize = layout.recordBytes;
    list->handles.assign(list->words.size(), seramMeasHandle_t{});

    comint_msg answer;
    uint8_t* a = answer.data;
    ci_put32(a, handle);
    ci_put16(a + 4, depth);
    ci_put16(a + 6, recordSize);
    ci_put16(a + 8, flags);
    ci_put16(a + 10, raster);
    ci_put32(a + 12, uint32_t(layout.order.size()));
    uint16_t offset = 4;
    size_t next = 0;
    for (size_t i = 0; i < list->words.size(); ++i) {
        const uint32_t w = list->words[i];
        if (w == 0 || mm::isMarker(w)) continue;
        seramMeasSetupMeas(w, raster, &list->handles[i]);
        const Signal& s = *layout.order[next];
        putSignal(a + kAnswerHead + kSignalRecord * next, offset, s, seramMeasGetLatency(&list->handles[i]));
        offset = uint16_t(offset + s.size);
        ++next;
    }
    const auto answerLen = uint16_t(kAnswerHead + kSignalRecord * next);

    const uint32_t local = dynkomm_fifo_link(req.rctx, app_pid, req.src, raster, depth, recordSize,
                                             uint16_t(flags & MEAS_MAN_FLAG_QUEUE));
    dynkomm_fifo* fifo = nullptr;
    if (local == 0 || dynkomm_get_fifo(local, &fifo) != 1 || fifo->slot_size < list->recordSize) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): could not link dynkomm fifo");
        if (local != 0) dynkomm_fifo_unlink(req.src, app_pid, local);
        magicNumber_deleteMagic_noTimeout(mm::magics(), handle);
        list->handle = 0;
        mm::freeList(list);
        refuse(req);
        return;
    }
    list->fifo = fifo;
    list->fifoHandle = local;
    list->mark.store(MEAS_MAN_MARK_VALID);
    mm::registerList(list);
    mm::enterHandle(list);
    if (!sendAnswer(req, answer, answerLen)) {
        // The requester never learns of the list: nothing may stay behind for it.
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_create2_cmd(): answer to PID %X not sent, list dropped",
                          unsigned(req.src));
        mm::releaseHandle(list);
        dynkomm_fifo_unlink(req.src, app_pid, local);
        mm::freeList(list);
        return;
    }
    mm::chainList(list);
}
