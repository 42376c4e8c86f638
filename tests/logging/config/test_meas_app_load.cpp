// The compact logging configuration: a version-3 file built here with a CRC computed here loads
// into the golden record; a changed header byte, an unknown version and every offset, count or
// sequence that leaves the file or the list refuse it; the XML file wins over it.
#include "logcfg_fixture.h"

#include "logging/config/meas_app_cfg.h"

#include <cstdlib>
#include <cstring>
#include <memory>

using namespace logcfgtest;

namespace {

// CRC-16/MCRF4XX bit by bit: reflected polynomial 0x8408, start 0xFFFF, no final XOR.
uint16_t crcBitwise(const std::vector<uint8_t>& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return crc;
}

struct Bytes : std::vector<uint8_t> {
    void be(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) push_back(uint8_t(v >> (8 * i)));
    }
    void put(size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) (*this)[at + size_t(i)] = uint8_t(v >> (8 * (n - 1 - i)));
    }
    void text(const std::string& s) { insert(end(), s.begin(), s.end() + 1); }
    // The header CRC over bytes 0-17 and 20 up to the header's end.
    void seal(size_t header) {
        std::vector<uint8_t> covered(begin(), begin() + 18);
        covered.insert(covered.end(), begin() + 20, begin() + long(header));
        put(18, crcBitwise(covered), 2);
    }
};

// A version-3 file (version 2 with 24-byte block records when `v2`): two blocks, one condition,
// a telemetry record. Offsets of its parts go to `at` for the corruption table.
struct CompactFile {
    Bytes f;
    size_t blockTable = 0, seqs0 = 0, condTable = 0;
    size_t header;

    explicit CompactFile(int version = 3, size_t headerLength = 72) : header(headerLength) {
        const bool v3 = version == 3;
        f.resize(header);
        std::memcpy(f.data(), "CompactTest", 11);
        f.put(16, uint32_t(version), 2);
        f.put(38, 0, 2); // protocol
        f.put(52, 2, 2);
        f.put(54, 1, 2);
        if (header == 72) {
            f.put(56, 0, 4);
            f.put(60, 0x1, 4);
            f.put(64, 1, 2);
        } else {
            f.put(56, 0x1, 2);
            f.put(58, 1, 2);
        }
        const auto textAt = [&](size_t field, const std::string& s) {
            f.put(field, uint32_t(f.size()), 4);
            f.text(s);
        };
        textAt(20, "bench7.pxp");
        textAt(24, "engine_v12.a2l");
        textAt(28, "base_set.pst");
        textAt(32, "compact");
        seqs0 = f.size();
        f.be(2, 2), f.be(0x0104, 2), f.be(0x05001000, 4), f.be(0x05001004, 4), f.be(0, 4);
        f.be(1, 2), f.be(0x0102, 2), f.be(0x05002000, 4), f.be(0, 4);
        const size_t seqs1 = f.size();
        f.be(3, 2), f.be(0xC204, 2), f.be(0x05000010, 4), f.be(0x05000020, 4), f.be(0x07000030, 4),
            f.be(0, 4);
        const size_t name0 = f.size();
        f.text("Engine fast");
        const size_t name1 = f.size();
        f.text("Vibration");
        blockTable = f.size();
        f.put(44, uint32_t(blockTable), 4);
        const struct {
            size_t seqs, name;
            uint16_t raster;
            uint32_t mask;
            uint16_t count;
        } blocks[] = {{seqs0, name0, 0x0104, 0, 2}, {seqs1, name1, 0x010C, 1, 1}};
        for (const auto& b : blocks) {
            f.be(uint32_t(b.seqs), 4), f.be(uint32_t(b.name), 4), f.be(b.raster, 2);
            if (v3)
                f.be(0, 4), f.be(b.mask, 4);
            else
                f.be(b.mask, 2);
            f.be(1, 2), f.be(1, 2), f.be(2, 2), f.be(uint32_t(&b - blocks) + 1, 2), f.be(0, 2),
                f.be(b.count, 2);
        }
        condTable = f.size();
        f.put(48, uint32_t(condTable), 4);
        f.be(0x05003000, 4), f.be(0x0104, 2), f.be(1, 4), f.be(0, 4);
        f.put(40, uint32_t(f.size()), 4);
        f.be(115200, 4), f.be(0x1A2B, 4), f.be(0, 4), f.be(0, 2), f.be(7, 1), f.be(0x34, 1);
        f.seal(header);
    }
};

MEASConfiguration* loadBytes(const std::vector<uint8_t>& bytes) {
    char* buffer = static_cast<char*>(std::malloc(bytes.size() + 1));
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = '\0';
    MEASConfiguration* m = meas_app_load(0, buffer, bytes.size());
    if (m) std::free(buffer);
    return m;
}

std::vector<uint32_t> words(const MeasBlkInfo& b) {
    return std::vector<uint32_t>(b.measList, b.measList + b.measListLen / 4);
}

} // namespace

TEST_F(LogTest, CompactConfigurationLoadsWithItsChecksumOnly) {
    ASSERT_EQ(crcBitwise({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x6F91) << "the check value";
    const CompactFile good;
    cfgFile("m01.dat", std::string(good.f.begin(), good.f.end()));
    size_t length = 0;
    std::unique_ptr<MEASConfiguration, void (*)(MEASConfiguration*)> m(
        meas_app_get_MEASConfiguration(0, &length), meas_app_free_MEASConfiguration);
    ASSERT_NE(m, nullptr) << testing::PrintToString(log());
    EXPECT_EQ(length, good.f.size());
    auto lines = log();
    EXPECT_TRUE(contains(lines, "Loading measurement configuration CompactTest"));
    EXPECT_TRUE(contains(lines, "Measurement configuration is valid, version 3"));
    EXPECT_TRUE(contains(lines, "Configuration based on: bench7.pxp"));
    EXPECT_EQ(testsupport::countContaining(
                  lines, "meas_app_convert_seq2MeasList(): unexpected pid id (0x07) measblock #2"),
              1);
    EXPECT_EQ(std::vector<std::string>({m->projectFileName, m->asapName, m->pstName, m->userInfo, m->ident}),
              (std::vector<std::string>{"bench7.pxp", "engine_v12.a2l", "base_set.pst", "compact", ""}));
    EXPECT_EQ(std::vector<uint64_t>({m->num_blocks, m->num_conditions, m->globStartMask, m->globStartCond}),
              (std::vector<uint64_t>{2, 1, 1, 1}));
    const MeasBlkInfo &b0 = m->BlkInfo[0], &b1 = m->BlkInfo[1], &c0 = m->Conds_ptr[0];
    EXPECT_EQ(words(b0),
              (std::vector<uint32_t>{uint32_t(-4), 0x1000, 0x1004, 0, uint32_t(-2), 0x2000, 0, 0}));
    EXPECT_EQ(words(b1), (std::vector<uint32_t>{uint32_t(-8), 0x10, 0x20, 0x30, 0, 0}))
        << "type bits 6-7 ignored";
    const struct {
        const MeasBlkInfo& b;
        std::vector<uint64_t> facts; // measListLen recordSize cnt4 pid raster samples condMask blockNo
                                     // tele_blk false_div numAddr
    } rows[] = {{b0, {32, 14, 0, 5, 3, 1, 0, 1, 0xFFFF, 2, 3}},
                {b1, {24, 28, 0, 7, 15, 1, 1, 2, 0xFFFF, 2, 3}},
                {c0, {12, 8, 0, 5, 0, 1, 1, 0, 0xFFFF, 1, 1}}};
    for (const auto& r : rows)
        EXPECT_EQ(std::vector<uint64_t>({r.b.measListLen, r.b.recordSize, r.b.cnt4, r.b.pid, r.b.raster,
                                         r.b.samplesPerRecord, r.b.condMask, r.b.blockNo, r.b.tele_blk,
                                         r.b.false_div, r.b.numAddr}),
                  r.facts)
            << r.b.name;
    EXPECT_STREQ(c0.name, "CondBlk #0");
    ASSERT_NE(m->teleInfo, nullptr);
    EXPECT_EQ(std::vector<uint32_t>({m->teleInfo->baudrate, m->teleInfo->projectCode, m->teleInfo->pause,
                                     m->teleInfo->SoftwareID, m->teleInfo->DataRate}),
              (std::vector<uint32_t>{115200, 0x1A2B, 7, 0x34, 0}));

    // One changed header byte; then the XML file beside it wins.
    Bytes changed = good.f;
    changed[5] ^= 0x01;
    cfgFile("m01.dat", std::string(changed.begin(), changed.end()));
    EXPECT_EQ(meas_app_get_MEASConfiguration(0, &length), nullptr);
    EXPECT_TRUE(contains(log(), "Measurement configuration invalid! Checksum is: "));
    cfgFile("m01.xml", "<AcqInfo ident=\"xml\" num_blocks=\"0\" num_conditions=\"0\" version=\"1\" "
                       "protocol=\"0\"></AcqInfo>");
    m.reset(meas_app_get_MEASConfiguration(0, &length));
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->ident, "xml");
}

TEST_F(LogTest, CompactVersionsAndHeaders) {
    const struct {
        int version;
        size_t header;
        const char* line;
        bool loads;
    } rows[] = {{2, 66, "Measurement configuration is valid, version 2", true},
                {2, 72, "Measurement configuration is valid, version -1", true},
                {1, 72, "Measurement configuration has invalid version, 1", false},
                {4, 72, "Measurement configuration has invalid version, 4", false}};
    for (const auto& r : rows) {
        const CompactFile file(r.version, r.header);
        MEASConfiguration* m = loadBytes(file.f);
        EXPECT_EQ(m != nullptr, r.loads) << r.line;
        EXPECT_TRUE(contains(log(), r.line)) << r.line;
        if (m) {
            EXPECT_EQ(m->BlkInfo[1].recordSize, 28u) << "24-byte block records";
            EXPECT_EQ(m->globStartMask, 1u);
        }
        meas_app_free_MEASConfiguration(m);
    }
}

TEST_F(LogTest, CompactFileLeavingItsBoundsIsRefused) {
    const CompactFile good;
    const struct {
        size_t at;
        uint32_t value;
        int bytes;
        const char* line;
        size_t pad = 0; // bytes added behind the file
    } rows[] = {
        {52, 256, 2, "too many blocks (256)"},
        {54, 63, 2, "too many conditions (63)"},
        {56, 0x40000000, 4, "global start mask with bit 62 or 63"},
        {good.blockTable + 30 + 10, 0x80000000, 4, "condition mask of a block with bit 62 or 63"},
        {good.blockTable, uint32_t(good.f.size() - 2), 4, "copy sequence outside the file in measblock #1"},
        {good.seqs0, 0xFFFF, 2, "copy sequence outside the file in measblock #1"},
        {good.seqs0, 254, 2, "copy sequences longer than the list in measblock #1", 2048},
        {good.seqs0 + 2, 0x0100, 2, "copy sequence of invalid element size in measblock #1"},
        {good.condTable + 4, 0x0000, 2, "condition of element size 0"},
        {20, 0x7FFFFFFF, 4, "text outside the file"},
        {44, 0x7FFFFFF0, 4, "block table outside the file"},
        {48, 0x7FFFFFF0, 4, "condition table outside the file"},
        {40, 0xFFFFFFF8, 4, "telemetry record outside the file"},
        {good.blockTable + 4, 0x7FFFFFFF, 4, "block text or sequences outside the file"},
    };
    for (const auto& r : rows) {
        CompactFile file;
        file.f.put(r.at, r.value, r.bytes);
        file.f.resize(file.f.size() + r.pad);
        file.f.seal(72);
        EXPECT_EQ(loadBytes(file.f), nullptr) << r.line;
        EXPECT_TRUE(contains(log(), r.line)) << r.line;
    }
    Bytes cut = good.f;
    cut.resize(good.condTable + 8);
    EXPECT_EQ(loadBytes(cut), nullptr);
    EXPECT_TRUE(contains(log(), "meas_app_load: measurement configuration refused"));
    cut.resize(40);
    EXPECT_EQ(loadBytes(cut), nullptr);
    EXPECT_TRUE(contains(log(), "shorter than its header"));
}
