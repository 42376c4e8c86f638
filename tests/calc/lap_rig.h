// The lap function and the lap model in the framework's rasters on the hand-driven clock: this
// device its own lap-trigger master, the lap messages in the command queue.
#pragma once

#include "calc/awm_man.h"
#include "calc/awm_model.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_vc_config.h"
#include "framework/errmem.h"
#include "framework/raster.h"
#include "framework/simulink.h"
#include "lapfixture.h"
#include "platform/rtos/basetick.h"

#include <vector>

namespace laptest {

class LapRig : public CounterTest {
protected:
    // The lap function as channel 0, and the rasters running.
    void start(const awm_lapfunc_cfg& cfg) {
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
    void SetUp() override {
        seramInit();
        CounterTest::SetUp();
        error_mgr_init();
        cfg_system = systemConfig(OWN_PID, CFG_SYSTEM_PID_NONE);
    }
    void TearDown() override {
        raster_stop();
        basetick_stop();
        awm_man_exit();
        CounterTest::TearDown();
    }
    // Moves the clock and waits until the 1 ms and 10 ms rasters have run the passes of the `given`
    // ticks.
    static void ticks(uint32_t ms, uint32_t given, void (*move)(uint32_t)) {
        const uint64_t r1 = raster_runCount(RASTER_R1MS), r10 = raster_runCount(RasterTaskId(3));
        move(ms);
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                return raster_runCount(RASTER_R1MS) >= r1 + given &&
                       raster_runCount(RasterTaskId(3)) >= r10 + given / 10;
            },
            10000));
    }
    static void advance(uint32_t ms) { ticks(ms, ms, hostclock_advanceMs); }
    // The host held the process back for `ms`: the clock hands out the ticks of the last second
    // late, back to back, and drops those before.
    static void held(uint32_t ms) { ticks(ms, ms < 1000 ? ms : 1000, hostclock_advanceBurstMs); }
    static std::vector<comint_msg> lapEvents() {
        std::vector<comint_msg> out;
        for (const comint_msg& m : sent())
            if (ci_cmd(&m) == 0x1200 && ci_get32(m.data) == LAPTRIGGER_EVENT) out.push_back(m);
        return out;
    }
};

} // namespace laptest
