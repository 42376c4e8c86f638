// The lap function in GPS mode on the hand-driven clock: the Red Bull Ring trace is written into
// the GPS port's pty at its own pace, the receiver publishes the gps_* variables, the lap function
// takes them through the gateway from this device's measurement manager, track detection finds the
// circuit in the track list, and the lap model announces each crossing. The rasters' work runs in
// their order, tick by tick, from the test.
#include "test_gw_fixture.h"

#include "calc/awm_0x08_lapfunc.h"
#include "calc/awm_input.h"
#include "calc/awm_man.h"
#include "calc/awm_model.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_sched.h"
#include "calc/awm_vc_config.h"
#include "calc/model/application_dor.h"
#include "framework/errmem.h"
#include "framework/nvram.h"
#include "framework/time_util.h"
#include "laptiming/gps_task.h"
#include "laptiming/lapoutfra.h"
#include "laptiming/laptrigger.h"
#include "measdata/cfg_system.h"
#include "measdata/seram.h"
#include "msdcom/measman/meas_man.h"
#include "platform/board/serial.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/hostclock.h"

#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

using namespace gwtest;

namespace {

// Seconds after 10:00:00 of an RMC sentence's UTC field.
double traceSeconds(const std::string& rmc) {
    const char* f = rmc.c_str() + 7; // behind "$GPRMC,"
    return std::stoi(std::string(f, 2)) * 3600 + std::stoi(std::string(f + 2, 2)) * 60 +
           std::strtod(f + 4, nullptr) - 36000;
}

// Latitude and longitude (degrees) of an RMC sentence.
std::pair<float, float> position(const std::string& rmc) {
    std::vector<std::string> f;
    size_t p = 0;
    for (size_t c = rmc.find(','); c != std::string::npos; p = c + 1, c = rmc.find(',', p))
        f.push_back(rmc.substr(p, c - p));
    const double lat = std::stod(f[3].substr(0, 2)) + std::stod(f[3].substr(2)) / 60.0;
    const double lon = std::stod(f[5].substr(0, 3)) + std::stod(f[5].substr(3)) / 60.0;
    return {float(f[4] == "S" ? -lat : lat), float(f[6] == "W" ? -lon : lon)};
}

uint32_t sigAddress(const void* cell) {
    return SERAM_MEAS_BASE +
           uint32_t(static_cast<const uint8_t*>(cell) - reinterpret_cast<const uint8_t*>(&seramWindow));
}

awm_input_cfg input(const float& cell, float scale = 1.0f) {
    awm_input_cfg in;
    in.address = sigAddress(&cell);
    in.type = 6;
    in.coef[1] = scale;
    return in;
}

class LapGps : public GwTest {
protected:
    void SetUp() override {
        GwTest::SetUp();
        if (HasFatalFailure()) return;
        std::string err;
        ASSERT_TRUE(nvdb_open(root.file("nv"), &err)) << err;
        testsupport::writeFile(root.file("cfg/rtracks.xml"),
                               testsupport::readFile(testsupport::testdataPath("gps/rtracks.xml")));
        seramInit();
        error_mgr_init();
        ASSERT_TRUE(meas_man_ini());
        meas_man_virtChan_registered = 1;
        meas_man_CanIO_initialized = 1;
        link(SELF, true);
        cfg_system = cfg_system_t{};
        cfg_system.ltmPid = SELF;
        cfg_system.fcmPid = CFG_SYSTEM_PID_NONE;
        laptrigger_reset();
        laptrigger_ini();
        LapOutFra_exit();
        ASSERT_EQ(LapOutFra_init(), 0);

        auto cfg = std::make_unique<awm_lapfunc_cfg>();
        cfg->triggerMode = AWM_LAPFUNC_GPS;
        cfg->mainRetrigLock = 10;
        cfg->gpsRadius = 25;
        SeramSigPage& s = seramSig();
        cfg->lat = input(s.gps_lat);
        cfg->lon = input(s.gps_long);
        cfg->gpsSpeed = input(s.gps_speed);
        cfg->heading = input(s.gps_direction);
        cfg->speed = input(s.gps_speed, 1 / 3.6f);
        cfg->segTimeMode = 4;
        put(AWM_MODULE_LAPFUNC, 0, *cfg);
        // Two segment points: where the trace is 250 s and 280 s after its start, in the third lap.
        auto seg = std::make_unique<awm_gpsseg_cfg>();
        seg->count = 2;
        seg->radius = 25;
        for (const std::string& line : trace)
            for (int i = 0; i < 2; ++i)
                if (std::fabs(traceSeconds(line) - kSegmentPoints[i]) < 1e-3) {
                    const auto [lat, lon] = position(line);
                    seg->point[i] = {lat, lon};
                }
        put(AWM_MODULE_GPSSEG, 20, *seg);

        hostclock_setManual(true);
        SerialPortMap maps[SERIAL_PORTS];
        serial_configure(root.path(), 0, maps);
        gps_init();
        awm_man_ini();
        // The framework's start of the model.
        awm_model_connect();
        application_dor_initialize(1);
        event_init_func_P1();
        application_dor_step2();
        application_dor_step1();
        application_dor_step0();
    }
    template <class Cfg> static void put(uint16_t module, uint32_t channel, const Cfg& cfg) {
        std::vector<uint8_t> records(awm_vc_recordsFor(sizeof cfg) * AWM_VC_RECORD_SIZE);
        awm_vc_encodePayload(module, 3, &cfg, sizeof cfg, records.data());
        std::memcpy(seramCalPage(SERAM_PAGE_REFERENCE).CfgMat_VC_config.data() + channel * AWM_VC_RECORD_SIZE,
                    records.data(), records.size());
    }
    void TearDown() override {
        gps_stop();
        gps_stopOutput();
        awm_man_exit();
        serial_shutdown();
        hostclock_setManual(false);
        LapOutFra_exit();
        meas_man_exit();
        meas_man_virtChan_registered = 0;
        meas_man_CanIO_initialized = 0;
        link(SELF, false);
        GwTest::TearDown();
        nvram_writeBehindEnd(10000); // the NV writes queued go into this test's store
        nvdb_close();
    }

    // 10 ms of the device: ten 1 ms steps, then the calculation task's copy at raster index 3,
    // the gateway's delivery and monitoring, the command task, and the 10 ms raster (with the 100 ms
    // raster every tenth time).
    void cycle() {
        hostclock_advanceMs(10);
        for (int i = 0; i < 10; ++i) application_dor_step0();
        awm_sched_call(3, time_getTimestamp());
        meas_man_copy(3, time_getTimestamp());
        gw_raster(3);
        gw_meas_monitoring();
        gw_request_timeout();
        citest::pump();
        awm_0x08_lapfunc_requests();
        application_dor_step1();
        awm_0x08_lapfunc_cyclicCall();
        if (++cycles % 10 == 0) application_dor_step2();
        citest::pump();
    }

    testsupport::TempDeviceRoot root;
    const std::vector<std::string> trace =
        testsupport::gunzipLines(testsupport::testdataPath("gps/redbullring-3laps-rmc.nmea.gz"));
    static constexpr double kSegmentPoints[2] = {250.0, 280.0};
    uint64_t cycles = 0;
};

} // namespace

TEST_F(LapGps, RedBullRingTraceGivesTheRecordedLapTimesAndSegmentTimes) {
    const std::vector<std::string> trace =
        testsupport::gunzipLines(testsupport::testdataPath("gps/redbullring-3laps-rmc.nmea.gz"));
    ASSERT_GT(trace.size(), 3000u);
    const std::string truth =
        testsupport::readFile(testsupport::testdataPath("gps/redbullring-3laps-10hz.truth.json"));
    const std::vector<double> lapTimes = testsupport::jsonArray(truth, "lap_times_s");
    const std::vector<double> crossings = testsupport::jsonArray(truth, "crossings_s");
    ASSERT_EQ(lapTimes.size(), 3u);

    // The receiver's task makes the port's other end when it opens the port.
    int peer = -1;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return (peer = open(serial_publishedPath(1).c_str(), O_WRONLY | O_NOCTTY)) >= 0; }, 10000));
    std::vector<std::string> seen;
    size_t next = 0;
    int written = 0;
    for (int step = 0; step <= 31000; ++step) {
        const double t = step * 0.01;
        // Each sentence goes out at its time and is parsed before the clock moves on.
        while (next < trace.size() && traceSeconds(trace[next]) <= t + 1e-6) {
            ASSERT_EQ(write(peer, trace[next].data(), trace[next].size()), ssize_t(trace[next].size()));
            ++written;
            ++next;
        }
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return std::atomic_ref<uint16_t>(seramSig().gps_msg_cnt).load() == uint16_t(written); },
            10000))
            << "sentence " << written;
        cycle();
        if (step == 100) { // the track is known well before the first crossing
            ASSERT_TRUE(testsupport::waitUntil(
                [&] {
                    for (auto& l : testsupport::drainSyslog()) seen.push_back(l);
                    return testsupport::countContaining(seen, "detected bc only track in range") > 0;
                },
                10000));
        }
    }
    close(peer);
    for (auto& l : testsupport::drainSyslog()) seen.push_back(l);
    EXPECT_EQ(testsupport::countContaining(seen, "input latitude (0x"), 1) << "delivering";
    EXPECT_EQ(testsupport::countContaining(seen, "awm_0x08_lapfunc_getGpsTrigger(): track 1, 4279.9 m"), 1);

    std::vector<uint32_t> hundredths;
    for (const comint_msg& m : citest::sentEth())
        if (ci_cmd(&m) == 0x1200 && ci_get32(m.data) == LAPTRIGGER_EVENT)
            hundredths.push_back(ci_get32(m.data + 8));
    ASSERT_EQ(hundredths.size(), 4u) << "one lap message per crossing";
    for (size_t i = 0; i < lapTimes.size(); ++i)
        EXPECT_NEAR(hundredths[i + 1], lapTimes[i] * 100.0, 5.0) << "lap " << i + 1;
    LapOutFraState s{};
    LapOutFra_getState(&s);
    EXPECT_EQ(s.lap, 5) << "the counters followed every lap from the start lap";
    // The third lap's segment times, taken over as the last lap's at the fourth crossing.
    for (int i = 0; i < 2; ++i)
        EXPECT_NEAR(lapseg_last[i], kSegmentPoints[i] - crossings[2], 0.05) << "segment " << i + 1;
}

// A pass that runs late reads an input as it stood at its own time, though the input changed with
// every 10 ms pass since: as far back as the clock hands out late ticks, a second, and more. For one
// older than every change kept, or before the first value came, no value is known: none, rather than
// one that came after it.
TEST_F(LapGps, ALatePassFindsTheInputAsOfItsTimeAfterManyChanges) {
    float& cell = seramSig().sb_fuel_target_lap_cons_dor;
    AwmInput in;
    ASSERT_TRUE(in.start(input(cell), 3, "test", "value"));
    constexpr int kCycles = 300;
    std::vector<uint64_t> at; // device time after each cycle, whose pass delivered its value
    for (int i = 0; i < kCycles; ++i) {
        std::atomic_ref<float>(cell).store(float(i));
        cycle();
        at.push_back(hostclock_nowNs());
    }
    double now = -1;
    ASSERT_TRUE(in.read(&now));
    ASSERT_EQ(now, kCycles - 1) << "every pass delivers";
    const struct {
        const char* what;
        int cycle;
    } rows[] = {{"the last pass", kCycles - 1},
                {"half a second before", kCycles - 51},
                {"a second before", kCycles - 101},
                {"a second and a half before", kCycles - 151}};
    for (const auto& r : rows) {
        double v = -1;
        ASSERT_TRUE(in.readAsOf(at[size_t(r.cycle)], &v)) << r.what;
        EXPECT_EQ(v, r.cycle) << r.what;
    }
    double none = -1;
    EXPECT_FALSE(in.readAsOf(at[10], &none)) << "a pass older than every change kept got " << none;

    AwmInput fresh;
    ASSERT_TRUE(fresh.start(input(cell), 3, "test", "value"));
    const uint64_t before = hostclock_nowNs();
    cycle();
    ASSERT_TRUE(fresh.readAsOf(hostclock_nowNs(), &none));
    EXPECT_FALSE(fresh.readAsOf(before, &none)) << "a pass before the first value got " << none;
    fresh.stop();
    in.stop();
}
