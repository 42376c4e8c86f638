// Measurement frames: the run-length code and frame bytes against golden values, frame sizes, burst
// frames and the index translation, and frames read back by the test suite's own file reader,
// whole and cut at every length.
#include "logcfg_fixture.h"

#include "bytes.h"
#include "measfile.h"

#include "logging/fifo/meas_frame.h"

#include <cstdlib>
#include <random>

using namespace logcfgtest;
using testsupport::put16;
using testsupport::put32;

namespace {

struct MeasFrameTest : LogTest {};

using Bytes = std::vector<uint8_t>;

Bytes pack(const Bytes& in) {
    Bytes out(in.size() + in.size() / 128 + 1);
    out.resize(MeasFrame_packBits(in.data(), out.data(), uint16_t(in.size())));
    return out;
}

Bytes record(uint32_t ts, const Bytes& values) {
    Bytes r;
    put32(r, ts);
    r.insert(r.end(), values.begin(), values.end());
    return r;
}

// Recodes and hands over the frame; the frame bytes.
Bytes close(MeasFrame* f, uint8_t blockId) {
    uint32_t first = 0, last = 0, size = 0, used = 0, packed = 0;
    uint8_t* data = nullptr;
    EXPECT_EQ(MeasFrame_recode_for_V5_V6(f, f->recordSize, &first, &last), 0);
    EXPECT_EQ(MeasFrame_get(f, blockId, &data, &size, &used, &packed), 0);
    Bytes out(data, data + size);
    std::free(data);
    EXPECT_EQ(size, packed + 4);
    return out;
}

// A file around the frames: header, one descriptor per block, the configuration and start records.
Bytes file(const std::vector<std::pair<uint8_t, uint32_t>>& blocks, const Bytes& body) {
    Bytes h;
    put16(h, 42);
    const char magic[14] = "MeasData v6.0";
    h.insert(h.end(), magic, magic + 14);
    put16(h, 0);
    put16(h, 6);
    put16(h, 0); // CRC
    put32(h, 0xEDCB1234);
    for (uint16_t v : {12, 3, 2}) put16(h, v);
    h.push_back(uint8_t(blocks.size()));
    h.push_back(0);
    for (int i = 0; i < 6; ++i) h.push_back(0x20 + i);
    put16(h, 0x01A7);
    const uint16_t crc = measfile::headerCrc(h.data());
    h[20] = uint8_t(crc >> 8);
    h[21] = uint8_t(crc);
    for (auto [id, size] : blocks) {
        h.push_back(id);
        put32(h, size);
        put32(h, 0);
    }
    for (const Bytes& meta : {Bytes{0xFF, 1, 0, 0, 0, 2, 'c', 'f'}, Bytes{0xFF, 4, 0, 0, 0, 4, 0, 0, 0, 0}})
        h.insert(h.end(), meta.begin(), meta.end());
    h.insert(h.end(), body.begin(), body.end());
    return h;
}

} // namespace

TEST(MeasFrameCode, GoldenBytesAndGrowth) {
    Bytes literal129(129);
    for (size_t i = 0; i < literal129.size(); ++i) literal129[i] = uint8_t(i);
    Bytes literalCode{0x7F};
    literalCode.insert(literalCode.end(), literal129.begin(), literal129.begin() + 128);
    literalCode.insert(literalCode.end(), {0x00, 128});
    const struct {
        Bytes in, code;
    } rows[] = {
        {{'a', 'a', 'a', 'a', 'b'}, {0xFE, 0x61, 0x00, 0x62}},
        {Bytes(131, 0x61), {0x00, 0x61, 0x80, 0x61}},
        {Bytes(130, 0x61), {0x80, 0x61}},
        {Bytes(3, 7), {0xFF, 7}},
        {{1, 1, 2}, {0x02, 1, 1, 2}},
        {literal129, literalCode},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(pack(row.in), row.code);
        Bytes back;
        ASSERT_TRUE(measfile::unpack(row.code.data(), row.code.size(), back, 1 << 16));
        EXPECT_EQ(back, row.in);
    }
}

TEST_F(MeasFrameTest, FrameBytesAndSizes) {
    // Two records of block 3: the deltas 1000 and 10, planes 00 00|00 00|03 00|E8 0A|01 01|02 02.
    MeasFrame* f = MeasFrame_alloc(64, 4096, 6, 1);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(MeasFrame_put(f, record(1000, {1, 2}).data(), 6), 0);
    EXPECT_EQ(MeasFrame_put(f, record(1010, {1, 2}).data(), 6), 0);
    EXPECT_EQ(MeasFrame_put(f, record(1020, {1}).data(), 5), 1); // another record size
    EXPECT_EQ(MeasFrame_free(f), 3);
    uint32_t first = 0, last = 0;
    ASSERT_EQ(MeasFrame_recode_for_V5_V6(f, 6, &first, &last), 0);
    EXPECT_EQ(std::make_pair(first, last), std::make_pair(1000u, 1010u));
    EXPECT_EQ(MeasFrame_put(f, record(1020, {1, 2}).data(), 6), 1); // closed
    EXPECT_EQ(close(f, 3), (Bytes{0x03, 0x02, 0x00, 0x0B, 0xFE, 0x00, 0x07, 0x03, 0x00, 0xE8, 0x0A, 0x01,
                                  0x01, 0x02, 0x02}));
    uint8_t* data = reinterpret_cast<uint8_t*>(&first);
    uint32_t size = 1;
    EXPECT_EQ(MeasFrame_get(f, 3, &data, &size, nullptr, nullptr), 0); // empty again
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(MeasFrame_free(f), 0);

    // Records per frame: 64 asked for, limited by 4096 bytes and by 200 samples for burst records.
    const struct {
        uint32_t records, bytes, recordSize, factor, fits;
    } sizes[] = {{64, 4096, 70, 1, 58}, {64, 4096, 204, 200, 1}, {64, 4096, 74, 10, 20},
                 {64, 8192, 70, 1, 58}, {64, 4096, 4096, 1, 1},  {64, 4096, 4097, 1, 0},
                 {64, 4096, 3, 1, 0},   {64, 4096, 73, 10, 0},   {64, 4096, 604, 300, 0},
                 {0, 4096, 8, 1, 0}};
    for (const auto& s : sizes) {
        MeasFrame* g = MeasFrame_alloc(s.records, s.bytes, s.recordSize, s.factor);
        EXPECT_EQ(g ? g->maxRecords : 0u, s.fits) << s.recordSize << " x " << s.factor;
        MeasFrame_free(g);
    }
    EXPECT_TRUE(contains(log(), "MeasFrame_alloc():Error: record of 4097 bytes (factor 1) fits no frame"));

    // The last record that fits says so; one more is refused.
    f = MeasFrame_alloc(2, 4096, 6, 1);
    EXPECT_EQ(MeasFrame_put(f, record(5, {0, 0}).data(), 6), 0);
    EXPECT_EQ(MeasFrame_put(f, record(6, {0, 0}).data(), 6), 2);
    EXPECT_EQ(MeasFrame_put(f, record(7, {0, 0}).data(), 6), 1);
    close(f, 1);
    EXPECT_EQ(MeasFrame_free(f), 0);
}

TEST_F(MeasFrameTest, FrameAgeFollowsTheClock) {
    hostclock_setManual(true);
    MeasFrame* f = MeasFrame_alloc(64, 4096, 8, 1);
    EXPECT_EQ(MeasFrame_getAgeTS(f), 0u);
    MeasFrame_put(f, record(1, {0, 0, 0, 0}).data(), 8);
    hostclock_advanceMs(25);
    EXPECT_EQ(MeasFrame_getAgeTS(f), 250u);
    close(f, 1);
    EXPECT_EQ(MeasFrame_getAgeTS(f), 0u);
    MeasFrame_free(f);
}

TEST_F(MeasFrameTest, BurstFramesKeepTheSubSamplesInTimeOrder) {
    // One 4-byte, one 2-byte and one 1-byte signal, 10 sub-samples each: 4 + 7 x 10 bytes.
    constexpr uint32_t factor = 10, size = 74;
    MeasFrame* f = MeasFrame_alloc(64, 4096, size, factor);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(MeasFrame_HSL_calc_IndexTranslation(f, 1, 1, 2), 1);
    EXPECT_TRUE(contains(log(), "1/1/2 signals x 10 do not fill a record of 74 bytes"));
    uint32_t first = 0;
    MeasFrame_put(f, record(100, Bytes(70, 1)).data(), size);
    EXPECT_EQ(MeasFrame_recode_for_V5_V6(f, size, &first, nullptr), 1); // no translation yet
    ASSERT_EQ(MeasFrame_HSL_calc_IndexTranslation(f, 1, 1, 1), 0);
    close(f, 9);

    // Record r: signal a's sub-sample k holds bytes 100r + 10k + byte, b's 200 - 10k - byte, c's k.
    std::vector<Bytes> expected;
    for (uint32_t r = 0; r < 3; ++r) {
        Bytes values(70), subs;
        for (uint32_t k = 0; k < factor; ++k) {
            for (uint32_t b = 0; b < 4; ++b) values[k * 4 + b] = uint8_t(100 * r + 10 * k + b);
            for (uint32_t b = 0; b < 2; ++b) values[40 + k * 2 + b] = uint8_t(200 - 10 * k - b);
            values[60 + k] = uint8_t(k);
            const Bytes sub{values[k * 4],      values[k * 4 + 1],      values[k * 4 + 2], values[k * 4 + 3],
                            values[40 + k * 2], values[40 + k * 2 + 1], values[60 + k]};
            subs.insert(subs.end(), sub.begin(), sub.end());
        }
        expected.push_back(subs);
        EXPECT_EQ(MeasFrame_put(f, record(1000 + 10 * r, values).data(), size), 0);
    }
    const Bytes frame = close(f, 9);
    EXPECT_EQ(frame[1], 30); // samples, not records
    const measfile::File read = measfile::readBytes(file({{9, size}}, frame));
    ASSERT_TRUE(read.ok()) << read.error;
    ASSERT_EQ(read.records.size(), 3u);
    EXPECT_EQ(read.frames.at(0).factor, factor);
    for (uint32_t r = 0; r < 3; ++r) {
        EXPECT_EQ(read.records[r].ts, 1000 + 10 * r);
        EXPECT_EQ(read.records[r].values, expected[r]);
    }
    EXPECT_EQ(MeasFrame_free(f), 0);
}

TEST_F(MeasFrameTest, FramesReadBackWholeAndCutShort) {
    // Two blocks, several frames, a time stamp that goes backwards (a wrapped delta), runs and noise.
    std::mt19937 rng(15);
    MeasFrame* a = MeasFrame_alloc(64, 4096, 10, 1);
    MeasFrame* b = MeasFrame_alloc(64, 4096, 5, 1);
    std::vector<measfile::Record> fed;
    Bytes body;
    uint32_t t = 0xFFFFF000;
    for (int frame = 0; frame < 5; ++frame) {
        for (int r = 0; r < 40; ++r) {
            t += (r == 7 && frame == 2) ? uint32_t(-50) : 10;
            Bytes va(6), vb{uint8_t(frame)};
            for (size_t i = 0; i < va.size(); ++i) va[i] = uint8_t(i < 3 ? r / 8 : rng());
            ASSERT_EQ(MeasFrame_put(a, record(t, va).data(), 10), 0);
            fed.push_back({1, t, va});
            if (r % 4 == 0) {
                ASSERT_EQ(MeasFrame_put(b, record(t + 1, vb).data(), 5), 0);
                fed.push_back({200, t + 1, vb});
            }
        }
        for (auto [f, id] : {std::make_pair(a, 1), std::make_pair(b, 200)}) {
            const Bytes bytes = close(f, uint8_t(id));
            body.insert(body.end(), bytes.begin(), bytes.end());
        }
        body.insert(body.end(), {0xFF, 6, 0, 0, 0, 1, uint8_t(frame)}); // an event record between frames
    }
    const Bytes whole = file({{1, 10}, {200, 5}}, body);
    const measfile::File read = measfile::readBytes(whole);
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_FALSE(read.truncated);
    EXPECT_EQ(read.header.crc, 0xDA07); // PCODE 0x1234, lap 12, outing 3, fragment 2, 2 blocks, abs lap 0x1A7
    EXPECT_EQ(read.header.pcode, 0x1234);
    EXPECT_EQ(read.header.absLap, 0x01A7);
    EXPECT_EQ(read.blocks.size(), 2u);
    EXPECT_EQ(read.metaOfType(6).size(), 5u);
    EXPECT_EQ(read.metaOfType(1).at(0)->payload, (Bytes{'c', 'f'}));
    auto sameRecords = [](const std::vector<measfile::Record>& got,
                          const std::vector<measfile::Record>& want) {
        if (got.size() > want.size()) return false;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].ts != want[i].ts || got[i].values != want[i].values) return false;
        return true;
    };
    std::vector<measfile::Record> fedA, fedB;
    for (const auto& r : fed) (r.frameId == 1 ? fedA : fedB).push_back(r);
    EXPECT_TRUE(sameRecords(read.recordsOf(1), fedA) && read.recordsOf(1).size() == fedA.size());
    EXPECT_TRUE(sameRecords(read.recordsOf(200), fedB) && read.recordsOf(200).size() == fedB.size());

    // Cut anywhere: what is left reads up to the last complete piece, and nothing else.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        const measfile::File part = measfile::readBytes(Bytes(whole.begin(), whole.begin() + cut));
        ASSERT_TRUE(part.ok()) << cut << ": " << part.error;
        ASSERT_TRUE(part.truncated || part.completeBytes == cut) << cut;
        ASSERT_LE(part.completeBytes, cut);
        ASSERT_TRUE(sameRecords(part.recordsOf(1), fedA) && sameRecords(part.recordsOf(200), fedB)) << cut;
    }

    // Damage is an error, not a short read.
    const struct {
        size_t offset;
        uint8_t value;
        const char* error;
    } damages[] = {{27, 13, "header CRC"}, {whole.size() - body.size(), 77, "without descriptor"}};
    for (const auto& d : damages) {
        Bytes bad = whole;
        bad[d.offset] = d.value;
        EXPECT_NE(measfile::readBytes(bad).error.find(d.error), std::string::npos) << d.error;
    }
    MeasFrame_free(a);
    MeasFrame_free(b);
}
