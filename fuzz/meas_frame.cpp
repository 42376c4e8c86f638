// Arbitrary bytes through the measurement frames and back through the test suite's own reader:
// coded within the frame's spare bytes, decoded unchanged. The first three bytes choose the record
// layout (signals of 4, 2 and 1 bytes and the sub-samples per record), the rest are the records.
#include "logging/fifo/meas_frame.h"
#include "measfile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The bytes coded alone: at most the spare bytes (less the frame header) longer, and the same again.
void codeAlone(const uint8_t* data, size_t size) {
    const uint16_t length = uint16_t(size < MEASFRAME_MAX_BYTES ? size : MEASFRAME_MAX_BYTES);
    std::vector<uint8_t> coded(length + MEASFRAME_SPARE - 4);
    const uint16_t n = MeasFrame_packBits(data, coded.data(), length);
    check(n <= length + MEASFRAME_SPARE - 4);
    std::vector<uint8_t> back;
    check(measfile::unpack(coded.data(), n, back, length) && back.size() == length &&
          std::memcmp(back.data(), data, length) == 0);
}

// What the reader gives for a record: its values, burst records sub-sample after sub-sample with
// the signals of each sub-sample in order.
std::vector<uint8_t> expectedValues(const uint8_t* rec, uint32_t c4, uint32_t c2, uint32_t c1, uint32_t f) {
    std::vector<uint8_t> out;
    for (uint32_t k = 0; k < f; ++k) {
        for (uint32_t a = 0; a < c4; ++a)
            out.insert(out.end(), rec + 4 + (a * f + k) * 4, rec + 8 + (a * f + k) * 4);
        for (uint32_t b = 0; b < c2; ++b) {
            const uint8_t* p = rec + 4 + 4 * c4 * f + (b * f + k) * 2;
            out.insert(out.end(), p, p + 2);
        }
        for (uint32_t c = 0; c < c1; ++c) out.push_back(rec[4 + (4 * c4 + 2 * c2) * f + c * f + k]);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    codeAlone(data, size);
    if (size < 3) return 0;
    static const uint32_t factors[] = {1, 1, 2, 10, 20, 100};
    const uint32_t f = factors[data[0] % 6], c4 = data[1] % 4, c2 = (data[1] / 4) % 4, c1 = 1 + data[2] % 8;
    const uint32_t recordSize = 4 + (4 * c4 + 2 * c2 + c1) * f;
    data += 3;
    size -= 3;
    MeasFrame* frame = MeasFrame_alloc(64, 4096, recordSize, f);
    if (!frame) return 0;
    check(MeasFrame_HSL_calc_IndexTranslation(frame, c4, c2, c1) == 0);
    std::vector<measfile::Record> got;
    for (size_t at = 0; at + recordSize <= size;) {
        const uint8_t* first = data + at;
        for (int r = 0; r != 2 && at + recordSize <= size; at += recordSize) {
            r = MeasFrame_put(frame, data + at, recordSize);
            check(r == 0 || r == 2);
        }
        const size_t bytesIn = size_t(data + at - first);
        uint32_t firstTs = 0, lastTs = 0, length = 0, used = 0, packed = 0;
        uint8_t* bytes = nullptr;
        check(MeasFrame_recode_for_V5_V6(frame, recordSize, &firstTs, &lastTs) == 0);
        check(MeasFrame_get(frame, 7, &bytes, &length, &used, &packed) == 0 && bytes);
        check(used == bytesIn && packed + 4 == length && packed <= used + MEASFRAME_SPARE - 4);
        got.clear();
        const std::string error = measfile::decodeFrame(bytes, length, recordSize, got);
        std::free(bytes);
        check(error.empty() && got.size() * recordSize == bytesIn);
        for (size_t i = 0; i < got.size(); ++i) {
            const uint8_t* rec = first + i * recordSize;
            check(got[i].frameId == 7 && got[i].ts == be32(rec) &&
                  got[i].values == expectedValues(rec, c4, c2, c1, f));
        }
        check(firstTs == be32(first) && lastTs == got.back().ts);
    }
    check(MeasFrame_free(frame) == 0);
    return 0;
}
