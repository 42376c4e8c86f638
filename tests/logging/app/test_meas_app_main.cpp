// Once the shutdown's fast stop is asked for, a request still waiting (a restart for new lap counts
// from another device, the streaming step, a start) starts, builds and walks nothing.
#include "lapfixture.h"
#include "logcfg_fixture.h"

#include "framework/nvram.h"
#include "framework/time_util.h"
#include "platform/kernel/nvdb.h"

using namespace logcfgtest;

TEST_F(LogTest, NoStepStartsOrBuildsOnceTheFastStopIsAsked) {
    laptest::NvFolder nv;
    std::string error;
    ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
    LapOutFra_exit();
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_initLapOutCnt(1, 1);
    time_setSyncState(3); // a start's condition holds
    const uint8_t wasActive = cfg_system.loggingActive;
    cfg_system.loggingActive = 1;
    meas_app_faststopreq = 1;
    meas_app_laptrigger_update(2, 1);
    for (std::atomic<uint8_t>* waiting : {&meas_app_hstinitreq, &meas_app_startreq}) {
        *waiting = 1;
        for (int step = 0; step < 3; ++step) meas_app_main();
        const int started = waiting == &meas_app_startreq ? 0 : meas_app_startreq.load();
        EXPECT_EQ(meas_app_stopreq.load() | meas_app_running.load() | started, 0)
            << "stopped for the restart, or started";
        EXPECT_EQ(waiting->load(), 1) << "the request was taken";
        for (const std::string& line : log())
            EXPECT_TRUE(line.find("Start new measurement") == std::string::npos &&
                        line.find("Stopping measurement") == std::string::npos)
                << line;
        *waiting = 0;
    }
    // The restart left waiting ends without a stop while a remote stop is in force.
    meas_app_faststopreq = 0;
    meas_app_remotestop_active = 1;
    meas_app_main();
    meas_app_remotestop_active = 0;
    cfg_system.loggingActive = wasActive;
    time_setSyncState(0);
    LapOutFra_exit();
    nvram_writeBehindEnd(10000); // the NV writes queued go into this test's store
    nvdb_close();
}
