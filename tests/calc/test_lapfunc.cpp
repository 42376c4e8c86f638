// The lap-function, fuel and GPS segment channels in the channel table: the model's parameters
// from their records, the model's outputs at their sub-channel addresses, records that are refused,
// operator requests as model requests of one step, the NV-backed best lap and fuel after a restart,
// and the start of the lap counters.
#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_0x0A_fuelcons.h"
#include "calc/awm_man.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_sched.h"
#include "calc/awm_vc_config.h"
#include "calc/model/application_dor.h"
#include "framework/errmem.h"
#include "lapfixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace laptest;

namespace {

uint8_t* table() {
    return seramCalPage(SERAM_PAGE_REFERENCE).CfgMat_VC_config.data();
}

template <class Cfg> void put(uint16_t module, uint32_t channel, const Cfg& cfg, uint8_t raster = 3) {
    std::vector<uint8_t> records(awm_vc_recordsFor(sizeof cfg) * AWM_VC_RECORD_SIZE);
    awm_vc_encodePayload(module, raster, &cfg, sizeof cfg, records.data());
    std::memcpy(table() + channel * AWM_VC_RECORD_SIZE, records.data(), records.size());
}

std::unique_ptr<awm_lapfunc_cfg> lapfuncCfg() {
    auto c = std::make_unique<awm_lapfunc_cfg>();
    c->mainTrigTimeMin = 20;
    c->mainRetrigLock = 1;
    c->lapLength = 2000;
    c->segTimeMode = 2;
    c->lapSeg[0] = 0.25f;
    c->lapSeg[1] = 0.5f;
    c->lapSegPred[1] = 60;
    c->startLap = 1;
    c->startOuting = 1;
    return c;
}

// The value at a measurement address, `size` bytes big-endian.
uint32_t read(uint32_t address, uint32_t size = 4) {
    seramMeasHandle_t h;
    seramMeasSetupMeas(address, 3, &h);
    uint8_t be[4] = {};
    seramMeasCopy_bigEndian(be, size, &h);
    seramMeasFreeMeas(&h);
    uint32_t v = 0;
    for (uint32_t i = 0; i < size; ++i) v = v << 8 | be[i];
    return v;
}

float readFloat(uint32_t address) {
    const uint32_t bits = read(address);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

class LapFunc : public CounterTest {
protected:
    void SetUp() override {
        seramInit();
        CounterTest::SetUp();
        error_mgr_init();
    }
    void TearDown() override {
        awm_man_exit();
        CounterTest::TearDown();
    }
};

} // namespace

TEST_F(LapFunc, RecordsConfigureTheModelAndItsOutputsAreSubChannels) {
    put(AWM_MODULE_LAPFUNC, 10, *lapfuncCfg());
    awm_fuelcons_cfg fuel;
    fuel.tankCapacity = 80;
    fuel.fuelInputMode = 0;
    put(AWM_MODULE_FUELCONS, 30, fuel);
    awm_gpsseg_cfg seg;
    seg.count = 2;
    seg.radius = 20;
    put(AWM_MODULE_GPSSEG, 40, seg);
    // Refused: missing extension records, a stray extension record, a second lap function.
    put(AWM_MODULE_LAPFUNC, 60, *lapfuncCfg());
    std::memset(table() + 64 * AWM_VC_RECORD_SIZE, 0, 5 * AWM_VC_RECORD_SIZE);
    put(AWM_MODULE_LAPFUNC, 120, *lapfuncCfg());
    std::memcpy(table() + 100 * AWM_VC_RECORD_SIZE, table() + 11 * AWM_VC_RECORD_SIZE, AWM_VC_RECORD_SIZE);
    awm_man_ini();

    const auto log = testsupport::drainSyslog();
    EXPECT_EQ(
        testsupport::countContaining(log, "awm_man_ini(): channel 60 skipped: 3 extension records of 8"), 1);
    EXPECT_EQ(testsupport::countContaining(log, "channel 100 skipped: extension record without its channel"),
              1);
    EXPECT_EQ(testsupport::countContaining(
                  log, "awm_0x08_lapfunc_ini(): channel 120 refused: the lap function is channel 10"),
              1);
    EXPECT_EQ(awm_man_get_stats().channels, 3u);
    EXPECT_EQ(awm_man_get_stats().skipped, 3u);
    ASSERT_TRUE(awm_0x08_lapfunc_configured());
    EXPECT_EQ(awm_cyclic_head[3] != nullptr, true) << "the GPS segments run at 10 ms";

    EXPECT_EQ(MAIN_TRIG_TIME_MIN, 20.0f);
    EXPECT_EQ(TRACK_LEN, 2000.0f);
    EXPECT_EQ((std::vector<float>{LAPSEG[0], LAPSEG[1], LAPSEG[2]}), (std::vector<float>{500, 1000, 0}));
    EXPECT_EQ(LAPSEGPRED[1], 60.0f);
    EXPECT_EQ(SEGTIME_MODE, 2);
    EXPECT_EQ(TANK_CAPACITY, 80.0f);
    EXPECT_EQ(FUEL_INPUT_MODE, 0);

    laptime = 12.5f;
    lapseg_last[7] = 3.25f;
    *laptimebest = 77.0f;
    laptimestamp = 0x01020304;
    b_bestlap = 1;
    EXPECT_EQ(readFloat(awm_vc_address(10, 0)), 12.5f);
    EXPECT_EQ(readFloat(awm_vc_address(10, 2)), 77.0f) << "the lap function's own best lap cell";
    EXPECT_EQ(read(awm_vc_address(10, 37), 1), 1u);
    EXPECT_EQ(readFloat(awm_vc_address(12, 7)), 3.25f) << "lapseg_last, the second extension record";
    EXPECT_EQ(read(awm_vc_address(30, 8)), 0x01020304u);
    seramMeasHandle_t none;
    seramMeasSetupMeas(awm_vc_address(10, 43), 3, &none);
    EXPECT_EQ(none.kind, uint32_t(SERAM_MEAS_DUMMY)) << "no output there";
}

TEST_F(LapFunc, RequestsRaiseModelRequestsForOneStepEach) {
    put(AWM_MODULE_LAPFUNC, 10, *lapfuncCfg());
    awm_man_ini();
    const struct {
        void (*request)();
        uint8_t* macro;
    } rows[] = {{lapfunc_incrLap, &MACRO_LAPTRG_SET},
                {lapfunc_resetLap, &MACRO_LAP_SET},
                {lapfunc_resetOut, &MACRO_OUT_SET},
                {lapfunc_resetLapDist, &MACRO_LAPDIST_SET},
                {lapfunc_resetBestLapTime, &MACRO_LAPTIBEST_SET},
                {lapfunc_resetSegments, &MACRO_SEGTIME_SET}};
    for (const auto& r : rows) {
        r.request();
        r.request(); // the same again: taken once
        std::vector<int> steps;
        for (int i = 0; i < 3; ++i) {
            awm_0x08_lapfunc_requests();
            steps.push_back(*r.macro);
            if (i == 0) r.request(); // a new one while the first stands: one step later
        }
        awm_0x08_lapfunc_requests();
        steps.push_back(*r.macro);
        EXPECT_EQ(steps, (std::vector<int>{1, 0, 1, 0}));
    }

    lapfunc_incrOuting();
    EXPECT_EQ(testsupport::countContaining(testsupport::drainSyslog(),
                                           "lapfunc_incrOuting(): outing increment requested from extern"),
              1);
    EXPECT_EQ(awm_0x08_lapfunc_getOutIncrReq(), 1);
    EXPECT_EQ(awm_0x08_lapfunc_getOutIncrReq(), 0);
    awm_0x08_lapfunc_checkOutCtr(); // no speed input: the outing has ended
    EXPECT_EQ(awm_0x08_lapfunc_getOutIncrReq(), 1);
}

TEST_F(LapFunc, BestLapAndFuelComeBackAfterARestart) {
    put(AWM_MODULE_LAPFUNC, 10, *lapfuncCfg());
    put(AWM_MODULE_FUELCONS, 30, awm_fuelcons_cfg{});
    awm_man_ini();
    EXPECT_EQ(*laptimebest, APPLICATION_DOR_NO_BEST);
    *laptimebest = 83.4f;
    awm_0x08_lapfunc_cyclicCall();
    *fuelcons = 5.5f;
    *fueltotal = 40.0f;
    for (int i = 0; i < 10; ++i) awm_0x0A_fuelcons_store(); // once a second
    awm_man_exit();

    awm_man_ini();
    EXPECT_EQ(*laptimebest, 83.4f);
    EXPECT_EQ(FUELCONS_INIT, 5.5f);
    EXPECT_EQ(FUELTOTAL_INIT, 40.0f);
    EXPECT_EQ(*fuelcons, 5.5f);
}

TEST_F(LapFunc, StartOfTheCountersBeginsANewOuting) {
    auto cfg = lapfuncCfg();
    cfg->startLap = 2;
    cfg->startOuting = 7;
    put(AWM_MODULE_LAPFUNC, 10, *cfg);
    cfg_system = systemConfig(OWN_PID, CFG_SYSTEM_PID_NONE);
    awm_man_ini();
    auto counters = [] {
        LapOutFraState s{};
        LapOutFra_getState(&s);
        return std::vector<int>{s.valid, s.lap, s.outing};
    };
    auto updates = [] {
        std::vector<std::vector<int>> out;
        for (const comint_msg& m : sent())
            if (ci_cmd(&m) == 0x1200 && ci_get32(m.data) == LAPTRIGGER_UPDATE)
                out.push_back({ci_get16(m.data + 12), ci_get16(m.data + 14)});
        return out;
    };

    // Valid counters, no valid speed: a new outing from the start lap.
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_initLapOutCnt(5, 3);
    testsupport::drainSyslog();
    awm_0x08_lapfunc_ini_lof();
    EXPECT_EQ(counters(), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ((std::vector<float>{LAP_CTR_INIT, OUT_CTR_INIT}), (std::vector<float>{2, 4}));
    EXPECT_EQ(updates(), (std::vector<std::vector<int>>{{2, 4}}));

    // Counters not valid: the configured start (once the last start's search of the drives has ended).
    ASSERT_TRUE(testsupport::waitUntil([] { return LapOutFra_searchLeft().empty(); }));
    LapOutFra_exit();
    ASSERT_EQ(LapOutFra_init(), 0);
    awm_0x08_lapfunc_ini_lof();
    EXPECT_EQ(
        testsupport::countContaining(testsupport::drainSyslog(),
                                     "awm_0x08_lapfunc_ini_lof: Lap and Outing invalid, reset to default"),
        1);
    EXPECT_EQ(counters(), (std::vector<int>{1, 2, 7}));
    EXPECT_EQ(updates(), (std::vector<std::vector<int>>{{2, 7}}));

    // A lap-trigger slave waits for its master's counters.
    ASSERT_TRUE(testsupport::waitUntil([] { return LapOutFra_searchLeft().empty(); }));
    LapOutFra_exit();
    ASSERT_EQ(LapOutFra_init(), 0);
    cfg_system = systemConfig(42, CFG_SYSTEM_PID_NONE);
    awm_0x08_lapfunc_ini_lof();
    EXPECT_EQ(counters()[0], 0);
    EXPECT_TRUE(updates().empty());
}
