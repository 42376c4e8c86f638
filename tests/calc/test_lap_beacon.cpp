// The lap function in beacon mode with the model in the framework's rasters on the hand-driven
// clock: a 5 ms pulse on digital input 0 gives nothing, a 100 ms pulse one lap message; the lap
// messages leave through the command queue.
#include "calc/awm_man.h"
#include "calc/awm_model.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_vc_config.h"
#include "framework/errmem.h"
#include "framework/raster.h"
#include "framework/simulink.h"
#include "lapfixture.h"
#include "platform/board/board.h"
#include "platform/rtos/basetick.h"

#include <gtest/gtest.h>

#include <vector>

using namespace laptest;

namespace {

class LapBeacon : public CounterTest {
protected:
    void SetUp() override {
        seramInit();
        CounterTest::SetUp();
        error_mgr_init();
        board_reset();
        cfg_system = systemConfig(OWN_PID, CFG_SYSTEM_PID_NONE);
        awm_lapfunc_cfg cfg;
        cfg.mainTrigTimeMin = 20;
        cfg.mainRetrigLock = 1;
        std::vector<uint8_t> records(awm_vc_recordsFor(sizeof cfg) * AWM_VC_RECORD_SIZE);
        awm_vc_encodePayload(AWM_MODULE_LAPFUNC, 3, &cfg, sizeof cfg, records.data());
        std::memcpy(seramCalPage(SERAM_PAGE_REFERENCE).CfgMat_VC_config.data(), records.data(),
                    records.size());

        hostclock_setManual(true);
        ASSERT_NE(basetick_start(), SEM_ID_NULL);
        ASSERT_TRUE(raster_init());
        awm_man_ini();
        ASSERT_EQ(LapOutFra_init(), 0);
        LapOutFra_start();
        awm_model_ini();
        simulink_initialize();
        ASSERT_TRUE(raster_start());
    }
    void TearDown() override {
        raster_stop();
        basetick_stop();
        awm_man_exit();
        board_reset();
        CounterTest::TearDown();
    }
    // Moves the clock and waits until the 1 ms raster has done the work of every tick.
    static void advance(uint32_t ms) {
        const uint64_t before = raster_runCount(RASTER_R1MS);
        hostclock_advanceMs(ms);
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return raster_runCount(RASTER_R1MS) >= before + ms; }, 10000));
    }
    static std::vector<comint_msg> lapEvents() {
        std::vector<comint_msg> out;
        for (const comint_msg& m : sent())
            if (ci_cmd(&m) == 0x1200 && ci_get32(m.data) == LAPTRIGGER_EVENT) out.push_back(m);
        return out;
    }
};

} // namespace

TEST_F(LapBeacon, AFiveMillisecondPulseGivesNothingAHundredMillisecondsOneLap) {
    advance(1000);
    sent(); // the start's counter update
    board_dinSet(0, 1);
    advance(5);
    board_dinSet(0, 0);
    advance(1000);
    EXPECT_TRUE(lapEvents().empty());

    board_dinSet(0, 1);
    advance(100);
    board_dinSet(0, 0);
    advance(1000);
    const auto events = lapEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(ci_get16(events[0].data + 12), 2) << "the lap after the start lap";
    EXPECT_EQ(ci_dst(&events[0]), CI_PID_ALL);
}
