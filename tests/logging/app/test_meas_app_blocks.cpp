// Creation of the measurement instances and the block walks: bad blocks are logged and left out,
// a metadata-only configuration yields no instance, a live instance survives a second init; the
// first speed reaches every block of a long raster list; gateway error texts and the rates of the
// last second stay within their fields.
#include "logcfg_fixture.h"

#include "logging/app/meas_app.h"
#include "logging/app/meas_app_internal.h"
#include "logging/app/meas_app_store.h"
#include "logging/disk/cfg_meas.h"
#include "logging/fifo/meas_app_blk.h"

#include <cstdlib>
#include <memory>

using namespace logcfgtest;

namespace {

MEASConfiguration* config(const std::vector<std::pair<uint16_t, uint16_t>>& blocks) { // (pid, blockNo)
    auto* c = static_cast<MEASConfiguration*>(std::calloc(1, sizeof(MEASConfiguration)));
    c->num_blocks = uint16_t(blocks.size());
    c->BlkInfo = static_cast<MeasBlkInfo*>(std::calloc(blocks.size(), sizeof(MeasBlkInfo)));
    for (size_t i = 0; i < blocks.size(); ++i) {
        MeasBlkInfo& b = c->BlkInfo[i];
        b.measList[0] = uint32_t(-4);
        b.measList[1] = 0x040000;
        b.measListLen = 16;
        b.numAddr = 1;
        b.addrSize[0] = 4;
        b.recordSize = 8;
        b.raster = MEAS_RASTER_10MS;
        b.pid = blocks[i].first;
        b.blockNo = blocks[i].second;
        b.tele_blk = 0xFFFF;
        b.true_div = b.false_div = 1;
        b.cnt4 = 1;
        b.samplesPerRecord = 1;
    }
    return c;
}

class BlockTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        MeasAppStore_init();
    }
    void TearDown() override {
        meas_app_measdestroy();
        LogTest::TearDown();
    }
};

} // namespace

TEST_F(BlockTest, BadBlocksAreLeftOutAndALiveInstanceIsKept) {
    struct Case {
        uint16_t pid, blockNo;
        bool refused;
        const char* line;
    };
    const Case cases[] = {
        {16, 1, false, nullptr},
        {0, 2, true, "meas_app_blockinit(): found illegal pid: 0, block ignored"},
        {64, 3, true, "meas_app_blockinit(): found illegal pid: 64, block ignored"},
        {16, 255, true, "block number 255 gives frame id 0xFF, block ignored"},
        {16, 256, true, "block number 256 gives frame id 0x00, block ignored"},
        {16, 257, true, "block number 257 gives frame id 0x01, block ignored"}, // the id of block 1
        {17, 4, false, nullptr},
    };
    std::vector<std::pair<uint16_t, uint16_t>> blocks;
    for (const Case& c : cases) blocks.push_back({c.pid, c.blockNo});
    MEASConfiguration* cfg = config(blocks);
    ASSERT_EQ(meas_app_meascreate(0, cfg, 0), 1);
    const auto lines = log();
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(meas[0].blocks[i].refused != 0, cases[i].refused) << i;
        if (cases[i].line) {
            EXPECT_TRUE(contains(lines, cases[i].line)) << cases[i].line;
        }
    }
    EXPECT_EQ(meas[0].dataBlocks, 2);
    // Refused blocks are never subscribed.
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (cases[i].refused) {
            EXPECT_EQ(meas_app_blockstart(&meas[0].blocks[i]), 0) << i;
        }
    }

    // A second init keeps the live instance with its store.
    void* store = meas[0].pretrig;
    ASSERT_NE(store, nullptr);
    meas_app_measinit();
    EXPECT_EQ(meas[0].config, cfg);
    EXPECT_EQ(meas[0].pretrig, store);
    EXPECT_TRUE(contains(log(), "meas_app_measinit(): m01 still configured, kept"));

    // Lap and status-block blocks alone are no measurement.
    MEASConfiguration* meta = config({{16, 1}, {16, 2}});
    meta->BlkInfo[0].raster = MEAS_RASTER_LAP;
    meta->BlkInfo[1].raster = MEAS_RASTER_SBLAP;
    EXPECT_EQ(meas_app_meascreate(2, meta, 0), 0);
    EXPECT_EQ(meas[2].config, nullptr);
    EXPECT_TRUE(contains(
        log(),
        "meas_app_meascreate(): measurement contains only metadata(statusblock, lap), config ignored (M03)"));
}

TEST_F(BlockTest, TheFirstSpeedReachesEveryBlockOfALongList) {
    // Three instances' worth of 10 ms blocks in one raster list.
    std::vector<std::unique_ptr<meas_blk>> blocks;
    meas_instance& m = meas[0];
    for (int i = 0; i < 3 * MEAS_MAX_BLOCKS; ++i) {
        blocks.push_back(std::make_unique<meas_blk>());
        blocks.back()->instance = &m;
        meas_list_push(&meas_app_measlist[3], blocks.back().get());
    }
    MEASConfiguration cfg{};
    m.config = &cfg; // no condition: every block records
    meas_app_init_blockspeed();
    for (auto& b : blocks) {
        EXPECT_TRUE(b->state.load() & MEAS_BS_SPEEDINIT);
        meas_list_unlink(&meas_app_measlist[3], b.get());
    }
    m.config = nullptr;
    EXPECT_FALSE(contains(log(), "detected endless loop"));
}

TEST_F(BlockTest, ErrorTextsAndRatesStayWithinTheirFields) {
    const std::pair<uint32_t, const char*> texts[] = {
        {0, "NO_ERROR"},     {7, "MEAS_FIFO"},        {12, "MEASLIST"},
        {13, "Unknown #13"}, {1000, "Unknown #1000"}, {4000000000u, "Unknown #4000000000"}};
    for (const auto& [code, text] : texts) EXPECT_EQ(conv_gwerrors2ascii(code), text);

    // 30 MB in a second, 1 MB coded: the quotient 300 and the rate both saturate.
    meas_data_size_m01_uncompressed = 30000000;
    meas_data_size_m01_compressed = 1000000;
    meas_data_size_m03_uncompressed = 51200;
    meas_data_size_m03_compressed = 25600;
    meas_app_calc_recording_rates();
    EXPECT_EQ(meas_compression_m01.load(), 255);
    EXPECT_EQ(meas_rate_m01.load(), 65535);
    EXPECT_EQ(meas_compression_m03.load(), 20);
    EXPECT_EQ(meas_rate_m03.load(), 1000);
    EXPECT_EQ(meas_data_size_m01_uncompressed.load(), 0u);
}
