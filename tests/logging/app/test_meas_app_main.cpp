// The state machine once the shutdown's fast stop is asked for: a request that is still waiting (a
// restart for new lap counts from another device, an init, the streaming step, a start) starts,
// builds and walks nothing, and stays as it was.
#include "lapfixture.h"
#include "logcfg_fixture.h"

#include "framework/time_util.h"
#include "laptiming/lapoutfra.h"
#include "logging/app/meas_app.h"
#include "measdata/cfg_system.h"
#include "platform/kernel/nvdb.h"

#include <atomic>
#include <string>

using namespace logcfgtest;

TEST_F(LogTest, NoStepStartsOrBuildsOnceTheFastStopIsAsked) {
    laptest::NvFolder nv;
    std::string error;
    ASSERT_TRUE(nvdb_open(nv.path(), &error)) << error;
    LapOutFra_exit();
    ASSERT_EQ(LapOutFra_init(), 0);
    LapOutFra_initLapOutCnt(1, 1);
    time_setSyncState(3);
    const uint8_t wasActive = cfg_system.loggingActive;
    cfg_system.loggingActive = 1;
    struct Row {
        const char* what;
        std::atomic<uint8_t>* flag; // the request left waiting
        bool powerdown;             // the fast stop already done
    };
    const Row rows[] = {
        {"new lap counts from another device", nullptr, false},
        {"an init taken just before", &meas_app_reinitreq, false},
        {"the streaming step", &meas_app_hstinitreq, false},
        {"a start", &meas_app_startreq, false},
        {"a start after the fast stop", &meas_app_startreq, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        meas_app_faststopreq = row.powerdown ? 0 : 1;
        powerdown = row.powerdown ? 1 : 0;
        if (row.flag)
            *row.flag = 1;
        else
            meas_app_laptrigger_update(2, 1);
        for (int step = 0; step < 3; ++step) meas_app_main();
        EXPECT_EQ(meas_app_stopreq.load() | meas_app_running.load(), 0)
            << "stopped for a restart, or started";
        EXPECT_EQ(meas_app_startreq.load(), row.flag == &meas_app_startreq ? 1 : 0) << "a start asked for";
        if (row.flag) {
            EXPECT_EQ(row.flag->load(), 1) << "the request was taken";
        }
        for (const std::string& line : log())
            for (const char* never :
                 {"Init new measurement", "Start new measurement", "Stopping measurement"})
                EXPECT_EQ(line.find(never), std::string::npos) << line;
        if (row.flag) *row.flag = 0;
    }
    // The restart left waiting ends without a stop once a remote stop is in force.
    meas_app_faststopreq = 0;
    powerdown = 0;
    meas_app_remotestop_active = 1;
    meas_app_main();
    meas_app_remotestop_active = 0;
    cfg_system.loggingActive = wasActive;
    time_setSyncState(0);
    LapOutFra_exit();
    nvdb_close();
}
