#include "logging/fifo/meas_frame.h"

#include "framework/syslog.h"
#include "framework/time_util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kHeader = 4;
constexpr uint32_t kMaxRun = 130;
constexpr uint32_t kMaxLiteral = 128;

uint8_t* allocData(uint32_t capacity) {
    return static_cast<uint8_t*>(std::malloc(capacity + MEASFRAME_SPARE));
}

void startFresh(MeasFrame* f, uint8_t* data) {
    f->data = data;
    f->wrPos = data + kHeader;
    f->end = data + kHeader + f->capacity;
    f->bytesUsed = 0;
    f->packedSize = 0;
    f->count = 0;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void setBe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Byte b of record r to b * n + r; for burst records the sub-samples of all records follow one
// another in time order within each byte plane.
void transpose(const MeasFrame* f, const uint8_t* in, uint8_t* out) {
    const uint32_t n = f->count, size = f->recordSize;
    if (f->factor < 2) {
        for (uint32_t r = 0; r < n; ++r)
            for (uint32_t b = 0; b < size; ++b) out[b * n + r] = in[r * size + b];
        return;
    }
    const uint32_t factor = f->factor, s = (size - 4) / factor;
    for (uint32_t r = 0; r < n; ++r) {
        const uint8_t* rec = in + r * size;
        for (uint32_t b = 0; b < 4; ++b) out[b * n + r] = rec[b];
        for (uint32_t k = 0; k < factor; ++k)
            for (uint32_t j = 0; j < s; ++j)
                out[4 * n + j * (factor * n) + r * factor + k] = rec[f->indexTable[k * s + j]];
    }
}

} // namespace

MeasFrame* MeasFrame_alloc(uint32_t maxRecords, uint32_t maxBytes, uint32_t recordSize, uint32_t factor) {
    uint32_t count = std::min<uint32_t>(maxRecords, 255); // the count is a byte of the frame header
    if (factor > 1 && uint64_t(factor) * count > 200) count = 200 / factor;
    const uint32_t limit = std::min(maxBytes, MEASFRAME_MAX_BYTES);
    if (recordSize != 0 && uint64_t(count) * recordSize > limit) count = limit / recordSize;
    // A burst record is its time stamp and `factor` equal sub-samples.
    const bool burstFits = factor < 2 || (recordSize > 4 && (recordSize - 4) % factor == 0);
    if (count == 0 || recordSize < 4 || !burstFits) {
        syslogx(LOG_PRIO_ERR,
                "MeasFrame_alloc():Error: record of %u bytes (factor %u) fits no frame of %u bytes",
                unsigned(recordSize), unsigned(factor), unsigned(limit));
        return nullptr;
    }
    auto* f = static_cast<MeasFrame*>(std::calloc(1, sizeof(MeasFrame)));
    uint8_t* data = f ? allocData(count * recordSize) : nullptr;
    if (!data) {
        std::free(f);
        syslogx(LOG_PRIO_ERR, "MeasFrame_alloc():Error: MeasFrame memory allocation!");
        return nullptr;
    }
    f->maxRecords = count;
    f->capacity = count * recordSize;
    f->recordSize = recordSize;
    f->factor = factor == 0 ? 1 : factor;
    startFresh(f, data);
    return f;
}

int MeasFrame_free(MeasFrame* f) {
    if (!f) return 0;
    if (f->count != 0) return 3;
    std::free(f->data);
    std::free(f->indexTable);
    std::free(f);
    return 0;
}

int MeasFrame_put(MeasFrame* f, const uint8_t* record, uint32_t size) {
    if (!f || !record || size != f->recordSize || f->packedSize != 0 || f->count >= f->maxRecords ||
        f->wrPos + size > f->end)
        return 1;
    const uint32_t t = be32(record);
    if (f->count == 0) {
        f->ageTs = time_getTimestamp();
        f->firstTs = t;
        f->lastTs = 0;
    }
    std::memcpy(f->wrPos, record, size);
    setBe32(f->wrPos, t - f->lastTs);
    f->lastTs = t;
    f->wrPos += size;
    f->bytesUsed = uint16_t(f->bytesUsed + size);
    ++f->count;
    return f->count == f->maxRecords ? 2 : 0;
}

uint32_t MeasFrame_getAgeTS(const MeasFrame* f) {
    if (!f || f->count == 0) return 0;
    return time_getTimestamp() - f->ageTs;
}

int MeasFrame_recode_for_V5_V6(MeasFrame* f, uint32_t recordSize, uint32_t* firstTs, uint32_t* lastTs) {
    if (!f || recordSize != f->recordSize) return 1;
    if (f->count == 0) return 0;
    if (f->packedSize == 0) {
        if (f->factor > 1 && !f->indexTable) return 1;
        const uint32_t length = uint32_t(f->wrPos - (f->data + kHeader));
        uint8_t planes[MEASFRAME_MAX_BYTES];
        transpose(f, f->data + kHeader, planes);
        f->packedSize = MeasFrame_packBits(planes, f->data + kHeader, uint16_t(length));
        f->wrPos = f->data + kHeader + f->packedSize;
    }
    if (firstTs) *firstTs = f->firstTs;
    if (lastTs) *lastTs = f->lastTs;
    return 0;
}

int MeasFrame_get(MeasFrame* f, uint8_t blockId, uint8_t** data, uint32_t* size, uint32_t* bytesUsed,
                  uint32_t* packedSize) {
    if (!f) return 1;
    if (f->count == 0) {
        if (data) *data = nullptr;
        if (size) *size = 0;
        if (bytesUsed) *bytesUsed = 0;
        if (packedSize) *packedSize = 0;
        return 0;
    }
    if (f->packedSize == 0) return 1;
    uint8_t* fresh = allocData(f->capacity);
    if (!fresh) {
        syslogx(LOG_PRIO_ERR, "MeasFrame_get():Error: MeasFrame memory allocation!");
        return 1;
    }
    uint8_t* out = f->data;
    out[0] = blockId;
    out[1] = uint8_t(f->count * f->factor);
    out[2] = uint8_t(f->packedSize >> 8);
    out[3] = uint8_t(f->packedSize);
    if (size) *size = kHeader + f->packedSize;
    if (bytesUsed) *bytesUsed = f->bytesUsed;
    if (packedSize) *packedSize = f->packedSize;
    if (data)
        *data = out;
    else
        std::free(out);
    startFresh(f, fresh);
    return 0;
}

uint16_t MeasFrame_packBits(const uint8_t* in, uint8_t* out, uint16_t length) {
    if (length == 0) return 0;
    // Run lengths from the end, at most kMaxRun; a run that would grow past it starts again at 1.
    uint8_t small[MEASFRAME_MAX_BYTES];
    std::vector<uint8_t> large;
    uint8_t* run = small;
    if (length > MEASFRAME_MAX_BYTES) {
        large.resize(length);
        run = large.data();
    }
    run[length - 1] = 1;
    for (int i = int(length) - 2; i >= 0; --i)
        run[i] = (in[i] == in[i + 1] && run[i + 1] < kMaxRun) ? uint8_t(run[i + 1] + 1) : 1;
    uint32_t o = 0;
    for (uint32_t i = 0; i < length;) {
        if (run[i] >= 3) {
            out[o++] = uint8_t(2 - int(run[i]));
            out[o++] = in[i];
            i += run[i];
            continue;
        }
        uint32_t n = 0;
        while (i + n < length && n < kMaxLiteral && run[i + n] < 3) ++n;
        out[o++] = uint8_t(n - 1);
        std::memcpy(out + o, in + i, n);
        o += n;
        i += n;
    }
    return uint16_t(o);
}

int MeasFrame_HSL_calc_IndexTranslation(MeasFrame* f, uint32_t cnt4, uint32_t cnt2, uint32_t cnt1) {
    if (!f) return 1;
    const uint32_t factor = f->factor;
    if (factor < 2) return 0;
    const uint64_t s = 4ull * cnt4 + 2ull * cnt2 + cnt1;
    if (4 + s * factor != f->recordSize) {
        syslogx(
            LOG_PRIO_ERR,
            "MeasFrame_HSL_calc_IndexTranslation():Error: %u/%u/%u signals x %u do not fill a record of %u "
            "bytes",
            unsigned(cnt4), unsigned(cnt2), unsigned(cnt1), unsigned(factor), unsigned(f->recordSize));
        return 1;
    }
    auto* table = static_cast<uint16_t*>(std::malloc(sizeof(uint16_t) * s * factor));
    if (!table) return 1;
    for (uint32_t k = 0; k < factor; ++k) {
        uint16_t* row = table + k * s;
        for (uint32_t a = 0; a < cnt4; ++a)
            for (uint32_t b = 0; b < 4; ++b) *row++ = uint16_t(4 + (a * factor + k) * 4 + b);
        for (uint32_t a = 0; a < cnt2; ++a)
            for (uint32_t b = 0; b < 2; ++b)
                *row++ = uint16_t(4 + 4 * cnt4 * factor + (a * factor + k) * 2 + b);
        for (uint32_t a = 0; a < cnt1; ++a)
            *row++ = uint16_t(4 + (4 * cnt4 + 2 * cnt2) * factor + a * factor + k);
    }
    std::free(f->indexTable);
    f->indexTable = table;
    return 0;
}
