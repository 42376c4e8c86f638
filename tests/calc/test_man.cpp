// The channel manager: the channel table of the calibration page set up or refused entry by
// entry, channel values read through calculation-channel addresses, measurements that come and go,
// shared filter measurements, and the stop when the dataset is stored.
#include "calc/awm_man.h"
#include "calc/awm_sched.h"
#include "calc/awm_vc_config.h"

#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/syslog.h"
#include "measdata/seram.h"
#include "msdcom/measman/meas_man.h"
#include "platform/kernel/nvdb.h"
#include "testsupport.h"

#include "calc_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using calctest::prog;

namespace {

awm_vc_entry entry(uint16_t module, const std::string& program, uint8_t raster = AWM_VC_RASTER_PRESET) {
    awm_vc_entry e;
    e.module = module;
    e.raster = raster;
    const auto p = prog(program);
    if (!p.empty()) std::memcpy(e.program, p.data(), p.size());
    e.programLength = uint8_t(p.size());
    return e;
}

constexpr const char* kCounter = "03 01000000 03 00000000 A6 00000000 FF";

class CalcManTest : public ::testing::Test {
protected:
    testsupport::TempDeviceRoot root;
    testsupport::TempDir nv;
    std::vector<seramMeasHandle_t*> handles;

    void SetUp() override {
        std::string err;
        ASSERT_TRUE(nvdb_open(nv.path(), &err)) << err;
        static const bool log = syslog_init(0);
        (void)log;
        error_mgr_init();
        seramInit();
        testsupport::drainSyslog();
    }
    void TearDown() override {
        awm_man_exit();
        nvram_writeBehindEnd(10000); // the NV writes queued go into this test's store
        nvdb_close();
    }
    static void put(uint32_t channel, const awm_vc_entry& e) {
        awm_vc_encode(e, seramCalPage(SERAM_PAGE_REFERENCE).CfgMat_VC_config.data() +
                             channel * AWM_VC_RECORD_SIZE);
    }
    static seramMeasHandle_t measure(uint32_t address, uint16_t raster) {
        seramMeasHandle_t h;
        seramMeasSetupMeas(address, raster, &h);
        return h;
    }
    static std::vector<const awm_sched_node*> queue(uint16_t raster) {
        std::vector<const awm_sched_node*> q;
        for (const awm_sched_node* n = awm_cyclic_head[raster]; n; n = n->next) q.push_back(n);
        return q;
    }
    static double asDouble(const seramMeasHandle_t& h) {
        uint8_t be[8];
        seramMeasCopy_bigEndian(be, 8, &h);
        uint64_t bits = 0;
        for (uint8_t b : be) bits = bits << 8 | b;
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }
    static float asSingle(const seramMeasHandle_t& h) {
        uint8_t be[4];
        seramMeasCopy_bigEndian(be, 4, &h);
        const uint32_t bits = uint32_t(be[0]) << 24 | uint32_t(be[1]) << 16 | uint32_t(be[2]) << 8 | be[3];
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
    static void walk(uint16_t raster, int times, uint32_t* ts) {
        for (int i = 0; i < times; ++i) awm_sched_call(raster, *ts += 100);
    }
};

} // namespace

TEST_F(CalcManTest, TableEntriesAreSetUpOrSkippedAndTheirValuesAreRead) {
    SeramCalData& page = seramCalPage(SERAM_PAGE_REFERENCE);
    page.CfgMat_HWTRangeMonUpper[3] = 12.375f;
    const auto calAddress = uint32_t(
        SERAM_MEAS_BASE + SERAM_DATA_OFFSET +
        (reinterpret_cast<uint8_t*>(&page.CfgMat_HWTRangeMonUpper[3]) - reinterpret_cast<uint8_t*>(&page)));
    put(1, entry(AWM_MODULE_FORMULA, kCounter));
    awm_vc_entry doubled = entry(AWM_MODULE_FORMULA, "10 00000000 01 02000000 42 00000000 FF");
    doubled.input[0] = calAddress;
    doubled.inputType[0] = 6;
    put(2, doubled);
    put(3, entry(0x05, kCounter));
    put(4, entry(AWM_MODULE_FORMULA, kCounter, 20));
    put(5, entry(AWM_MODULE_FORMULA, "01 0100"));
    put(6, entry(256, ""));
    // Channel 1's value, read as an input: is it above 2?
    awm_vc_entry above = entry(AWM_MODULE_CONDITION, "10 00000000 01 02000000 72 00000000 FF");
    above.input[0] = awm_vc_address(1);
    above.inputType[0] = 6;
    put(7, above);
    awm_vc_entry badType = doubled;
    badType.inputType[0] = 8;
    put(8, badType);

    meas_man_virtChan_registered = 0;
    awm_man_ini();
    EXPECT_EQ(meas_man_virtChan_registered.load(), 1);
    const awm_man_stats s = awm_man_get_stats();
    EXPECT_EQ(s.channels, 4u);
    EXPECT_EQ(s.skipped, 4u);
    const auto log = testsupport::drainSyslog();
    for (const char* line :
         {"channel 3 skipped: unknown module id 0x5", "channel 4 skipped: raster index 20",
          "channel 5 skipped: program of 3 bytes", "channel 8 skipped: input 1 type code 8",
          "channel 6: FIR filter arithmetic not built"})
        EXPECT_EQ(testsupport::countContaining(log, line), 1) << line;

    // Raster 3: the cyclic functions (last set up first), then channel 7's input measurement.
    const auto q3 = queue(3);
    ASSERT_EQ(q3.size(), 4u);
    EXPECT_EQ(q3[0]->user, 0u);
    EXPECT_NE(q3[3]->user, 0u);

    seramMeasHandle_t count = measure(awm_vc_address(1), 6);
    seramMeasHandle_t twice = measure(awm_vc_address(2), 6);
    seramMeasHandle_t cond = measure(awm_vc_address(7), 6);
    EXPECT_EQ(count.kind, uint32_t(SERAM_MEAS_CALC_F64));
    EXPECT_EQ(seramMeasGetLatency(&count), 0);
    EXPECT_EQ(queue(6).size(), 3u);

    // Channel 7 sees channel 1's value of the walk before.
    uint32_t ts = 0;
    walk(3, 3, &ts);
    walk(6, 1, &ts);
    EXPECT_EQ(asSingle(count), 3.0f);
    EXPECT_EQ(asDouble(twice), 24.75);
    EXPECT_EQ(asDouble(cond), 0.0);
    walk(3, 2, &ts);
    EXPECT_EQ(asSingle(count), 3.0f) << "the value cell changes at its own raster";
    walk(6, 1, &ts);
    EXPECT_EQ(asDouble(count), 5.0);
    EXPECT_EQ(asDouble(cond), 1.0);
    uint8_t two[2];
    seramMeasCopy_bigEndian(two, 2, &count);
    EXPECT_EQ(two[0] << 8 | two[1], 5);

    // Not served: a sub-channel other than 0, a skipped channel, a raster beyond the queues.
    EXPECT_EQ(measure(awm_vc_address(1, 1), 6).kind, uint32_t(SERAM_MEAS_DUMMY));
    EXPECT_EQ(measure(awm_vc_address(3), 6).kind, uint32_t(SERAM_MEAS_DUMMY));
    EXPECT_EQ(measure(awm_vc_address(1), 20).kind, uint32_t(SERAM_MEAS_DUMMY));
    EXPECT_EQ(testsupport::countContaining(testsupport::drainSyslog(), "refused: raster index 20"), 1);
    EXPECT_EQ(awm_man_get_stats().measurements, 4u);

    // A measurement started and freed leaves its queue as it was.
    seramMeasHandle_t more = measure(awm_vc_address(2), 3);
    EXPECT_EQ(queue(3).size(), 5u);
    seramMeasFreeMeas(&more);
    EXPECT_EQ(queue(3), q3);
    for (seramMeasHandle_t* h : {&count, &twice, &cond}) seramMeasFreeMeas(h);
    EXPECT_TRUE(queue(6).empty());
    EXPECT_EQ(awm_man_get_stats().measurements, 1u); // channel 7's input
}

TEST_F(CalcManTest, EqualFilterMeasurementsShareOneCell) {
    put(6, entry(257, ""));
    put(1, entry(AWM_MODULE_FORMULA, kCounter));
    awm_man_ini();
    seramMeasHandle_t a = measure(awm_vc_address(6), 6);
    seramMeasHandle_t b = measure(awm_vc_address(6), 6);
    seramMeasHandle_t c = measure(awm_vc_address(6), 5);
    EXPECT_EQ(a.ptr, b.ptr);
    EXPECT_NE(a.ptr, c.ptr);
    EXPECT_EQ(queue(6).size(), 1u);
    // Formula measurements are not shared.
    seramMeasHandle_t f1 = measure(awm_vc_address(1), 6);
    seramMeasHandle_t f2 = measure(awm_vc_address(1), 6);
    EXPECT_NE(f1.ptr, f2.ptr);
    EXPECT_EQ(awm_man_get_stats().measurements, 4u);

    uint32_t ts = 0;
    walk(6, 1, &ts);
    EXPECT_TRUE(std::isnan(asDouble(a))) << "no filter arithmetic in this build";
    seramMeasFreeMeas(&a);
    EXPECT_EQ(queue(6).size(), 3u) << "the other reader keeps the filter";
    for (seramMeasHandle_t* h : {&b, &c, &f1, &f2}) seramMeasFreeMeas(h);
    EXPECT_TRUE(queue(6).empty());
    EXPECT_TRUE(queue(5).empty());
}

TEST_F(CalcManTest, StoringTheDatasetStopsTheChannels) {
    put(1, entry(AWM_MODULE_FORMULA, kCounter));
    awm_man_ini();
    seramMeasHandle_t h = measure(awm_vc_address(1), 3);
    uint32_t ts = 0;
    walk(3, 2, &ts);
    ASSERT_TRUE(seramStoreDataset());
    EXPECT_EQ(AWM_sched_STOP.load(), 1);
    walk(3, 2, &ts);
    EXPECT_EQ(asDouble(h), 2.0);
    seramMeasFreeMeas(&h);
}
