// A host that holds the process back over the GPS lap line, on the hand-driven clock: the sample's
// trace of the Red Bull Ring goes to the receiver's parser at its own pace from a task of the 10 ms
// raster, the lap function takes the receiver's fixes, and the lap model runs in the framework's
// rasters. A hold stops everything: at its end the clock hands out the last second of ticks late and
// drops those before, and the sentences of the hold come in a burst, before, among or after the late
// passes. Each crossing is stamped where the undisturbed run stamps it.
#include "calc/awm_man.h"
#include "calc/awm_model.h"
#include "calc/awm_model_cfg.h"
#include "calc/awm_vc_config.h"
#include "calc/model/application_dor.h"
#include "framework/errmem.h"
#include "framework/raster.h"
#include "framework/simulink.h"
#include "lapfixture.h"
#include "laptiming/gps_fixes.h"
#include "laptiming/gps_nmea.h"
#include "platform/rtos/basetick.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace laptest;

namespace {

// The sample's trace: the car crosses the start/finish line 5.197 s and 107.627 s after the first fix.
constexpr double kCrossings[2] = {5.197, 107.627};
constexpr double kStamped[2] = {5.200, 107.620};
constexpr float kLineLat = 47.219921f, kLineLong = 14.764875f;

struct Line {
    double at; // seconds of the trace: its fix's time, or that of the fix before it
    std::string text;
};

std::vector<Line> sampleTrace() {
    std::istringstream in(
        testsupport::readFile(testsupport::sourceDir() + "/sample-root/gps/redbullring-lap.nmea"));
    std::vector<Line> lines;
    double at = 0;
    for (std::string l; std::getline(in, l);) {
        if (l.empty()) continue;
        if (l.compare(3, 3, "RMC") == 0 || l.compare(3, 3, "GGA") == 0) {
            const char* f = l.c_str() + 7;
            at = std::stoi(std::string(f, 2)) * 3600 + std::stoi(std::string(f + 2, 2)) * 60 +
                 std::strtod(f + 4, nullptr) - 36000;
        }
        lines.push_back({at, l});
    }
    return lines;
}

uint32_t sigAddress(const float& cell) {
    return SERAM_MEAS_BASE +
           uint32_t(reinterpret_cast<const uint8_t*>(&cell) - reinterpret_cast<const uint8_t*>(&seramWindow));
}

awm_input_cfg receiverInput(const float& cell, float scale = 1.0f) {
    awm_input_cfg in;
    in.address = sigAddress(cell);
    in.type = 6;
    in.coef[1] = scale;
    return in;
}

struct Hold {
    const char* what;
    int crossing;
    double from; // seconds before (negative) or after the crossing; no hold when ms is 0
    uint32_t ms;
    uint32_t release; // the sentences of the hold come in the late pass of this number (100: after all)
};

std::ostream& operator<<(std::ostream& os, const Hold& h) {
    return os << h.what;
}

// The receiver: each sentence is parsed by the first 10 ms pass at or after its time, unless the
// sentences are held back until a pass of a given number.
struct Receiver {
    std::mutex m;
    std::vector<Line> lines;
    size_t next = 0;
    uint64_t originNs = 0; // device time of the trace's second `start`
    double start = 0;
    uint64_t passes = 0, heldUntil = 0;

    void pass() {
        std::lock_guard<std::mutex> g(m);
        if (++passes < heldUntil) return;
        const double now = start + double(hostclock_nowNs() - originNs) / 1e9;
        for (; next < lines.size() && lines[next].at <= now + 1e-9; ++next) {
            const std::string& l = lines[next].text;
            gps_parse(l.c_str(), int(l.size()) + 1, &nmea_info);
        }
    }
};

std::atomic<Receiver*> gReceiver{nullptr};

class LapGpsHolds : public CounterTest, public ::testing::WithParamInterface<Hold> {
protected:
    void SetUp() override {
        seramInit();
        CounterTest::SetUp();
        error_mgr_init();
        cfg_system = systemConfig(OWN_PID, CFG_SYSTEM_PID_NONE);
        awm_lapfunc_cfg cfg;
        cfg.triggerMode = AWM_LAPFUNC_GPS;
        cfg.gpsRadius = 25;
        cfg.gpsLat = kLineLat;
        cfg.gpsLong = kLineLong;
        cfg.mainRetrigLock = 10;
        const SeramSigPage& s = seramSig();
        cfg.lat = receiverInput(s.gps_lat);
        cfg.lon = receiverInput(s.gps_long);
        cfg.gpsSpeed = receiverInput(s.gps_speed);
        cfg.heading = receiverInput(s.gps_direction);
        std::vector<uint8_t> records(awm_vc_recordsFor(sizeof cfg) * AWM_VC_RECORD_SIZE);
        awm_vc_encodePayload(AWM_MODULE_LAPFUNC, 3, &cfg, sizeof cfg, records.data());
        std::memcpy(seramCalPage(SERAM_PAGE_REFERENCE).CfgMat_VC_config.data(), records.data(),
                    records.size());

        gps_nmea_data_reset(&nmea_info);
        gps_fixesReset();
        gps_fixReaderStart(&fixes);
        receiver.lines = sampleTrace();
        ASSERT_GT(receiver.lines.size(), 1000u);
        gReceiver = &receiver;
        static std::once_flag once;
        std::call_once(once, [] {
            raster_addPeriodic(RasterTaskId(3), 100, "test receiver", [] {
                if (Receiver* r = gReceiver.load()) r->pass();
            });
        });

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
        gReceiver = nullptr;
        CounterTest::TearDown();
    }
    // Moves the clock and waits until the 10 ms raster has run the passes of the ticks given.
    static void ticks(uint32_t ms, uint32_t given, void (*move)(uint32_t)) {
        const uint64_t r10 = raster_runCount(RasterTaskId(3));
        move(ms);
        ASSERT_TRUE(testsupport::waitUntil(
            [&] { return raster_runCount(RasterTaskId(3)) >= r10 + given / 10; }, 10000));
    }
    // Runs the trace up to its second `until`.
    void runTo(double until) {
        const double now = receiver.start + double(hostclock_nowNs() - receiver.originNs) / 1e9;
        const uint32_t ms = uint32_t(std::lround((until - now) * 1000.0));
        if (ms > 0) ticks(ms, ms, hostclock_advanceMs);
    }
    // The lap events' stamps in seconds of the trace. A fix is parsed a little after its time (the
    // pass that parses it runs after its tick), and the device maps the fixes' times onto its clock by
    // the least of that: the fixes up to `at` give the mapping as the device had it then.
    std::vector<double> crossings(double at) {
        GpsFix f{};
        double offset = 1e9;
        while (gps_fixNext(&fixes, UINT64_MAX, &f)) {
            const double stamped = receiver.start + (double(f.atNs) - double(receiver.originNs)) / 1e9;
            const double made = fixTime(f);
            if (made <= at + 0.15) offset = std::min(offset, stamped - made);
        }
        std::vector<double> stamps;
        for (const comint_msg& m : sent())
            if (ci_cmd(&m) == 0x1200 && ci_get32(m.data) == LAPTRIGGER_EVENT)
                stamps.push_back(receiver.start +
                                 (ci_get32(m.data + 4) * 1e5 - double(receiver.originNs)) / 1e9 - offset);
        return stamps;
    }
    // The trace's second of a fix, found by its position.
    double fixTime(const GpsFix& f) const {
        for (const Line& l : receiver.lines)
            if (l.text.compare(3, 3, "RMC") == 0 && position(l.text) == std::make_pair(f.lat, f.lon))
                return l.at;
        return -1;
    }
    static std::pair<float, float> position(const std::string& rmc) {
        std::vector<std::string> f;
        std::stringstream in(rmc);
        for (std::string field; std::getline(in, field, ',');) f.push_back(field);
        const double lat = std::stod(f[3].substr(0, 2)) + std::stod(f[3].substr(2)) / 60.0;
        const double lon = std::stod(f[5].substr(0, 3)) + std::stod(f[5].substr(3)) / 60.0;
        return {float(lat), float(lon)};
    }

    Receiver receiver;
    GpsFixReader fixes;
};

} // namespace

TEST_P(LapGpsHolds, TheCrossingKeepsItsTimeWhateverTheHostHeldBack) {
    const Hold& h = GetParam();
    const double crossing = kCrossings[h.crossing];
    {
        std::lock_guard<std::mutex> g(receiver.m);
        receiver.start = crossing - 6.0;
        receiver.originNs = hostclock_nowNs();
        while (receiver.next < receiver.lines.size() && receiver.lines[receiver.next].at < receiver.start)
            ++receiver.next;
    }
    double end = crossing + 1.5;
    if (h.ms > 0) {
        runTo(crossing + h.from);
        {
            std::lock_guard<std::mutex> g(receiver.m);
            receiver.heldUntil = receiver.passes + 1 + h.release;
        }
        ticks(h.ms, h.ms < 1000 ? h.ms : 1000, hostclock_advanceBurstMs);
        end = std::max(end, crossing + h.from + h.ms / 1000.0 + 1.0);
    }
    runTo(end);
    const std::vector<double> laps = crossings(crossing);
    ASSERT_EQ(laps.size(), 1u) << "the crossing was lost or counted twice";
    std::printf("%s: the crossing stamped %+.3f s from the trace's\n", h.what, laps[0] - crossing);
    // Where the undisturbed run stamps it: the first crossing at the fix 3 ms past the line (dead
    // reckoning from the fix before would find it a step later), the second in the 10 ms step of dead
    // reckoning from the fix before it in which the line comes within the step.
    EXPECT_NEAR(laps[0], kStamped[h.crossing], 0.0015);
}

INSTANTIATE_TEST_SUITE_P(
    Holds, LapGpsHolds,
    ::testing::Values(
        Hold{"undisturbed, first crossing", 0, 0, 0, 0}, Hold{"undisturbed, second crossing", 1, 0, 0, 0},
        Hold{"0.5 s from 2 s before", 0, -2.0, 500, 0}, Hold{"3 s up to 2.5 s before", 1, -5.5, 3000, 0},
        Hold{"1 s from 0.5 s before, the fixes before the late passes", 0, -0.5, 1000, 0},
        Hold{"1 s from 0.5 s before, the fixes after the late passes", 1, -0.5, 1000, 100},
        Hold{"3 s from 2 s before, the fixes first", 0, -2.0, 3000, 0},
        Hold{"3 s from 2 s before, the fixes after the late passes", 1, -2.0, 3000, 100},
        Hold{"2.5 s from 1.2 s before, the fixes among the late passes", 0, -1.2, 2500, 50},
        Hold{"2.5 s from 1.2 s before, the fixes after the late passes", 1, -1.2, 2500, 100},
        Hold{"5 s from 4 s before", 0, -4.0, 5000, 30}, Hold{"0.5 s from 0.1 s before", 1, -0.1, 500, 0},
        Hold{"1 s from just after", 0, 0.02, 1000, 100}, Hold{"5 s from 0.3 s after", 1, 0.3, 5000, 0}));
