// A host that holds the process back around the GPS lap line, on the hand-driven clock: the sample's
// trace goes to the receiver's parser at its own pace from the 10 ms raster, the lap function takes
// the receiver's fixes, and the lap model runs in the rasters. At a hold's end the clock hands out
// the last second of ticks late and drops those before, and the hold's sentences come in a burst,
// before, among or after the late passes. Each crossing is stamped where the undisturbed run has it.
#include "lap_rig.h"

#include "laptiming/gps_fixes.h"
#include "laptiming/gps_nmea.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <sstream>

using namespace laptest;

namespace {

// The sample's trace crosses the line 5.197 s and 107.627 s after its first fix. The device stamps
// the first crossing at the fix 3 ms past the line, the second by dead reckoning from the fix before
// it, in the 10 ms step in which the line comes.
constexpr double kCrossings[2] = {5.197, 107.627};
constexpr double kStamped[2] = {5.200, 107.620};

struct Hold {
    const char* what;
    int crossing;
    double from; // s from the crossing; no hold when ms is 0
    uint32_t ms;
    uint32_t release; // the hold's sentences come in the late pass of this number (100: after all)
};

std::ostream& operator<<(std::ostream& os, const Hold& h) {
    return os << h.what;
}

// Each sentence is parsed by the first 10 ms pass at or after its time (seconds of the trace, that
// of its fix), unless the sentences are held back until a pass of a given number.
struct Receiver {
    std::mutex m;
    std::vector<std::pair<double, std::string>> lines;
    std::vector<double> parsed; // the times of the fixes parsed, in order
    size_t next = 0;
    uint64_t originNs = 0; // the device time of the trace's second `start`
    double start = 0;
    uint64_t passes = 0, heldUntil = 0;

    double now() const { return start + double(hostclock_nowNs() - originNs) / 1e9; }
    void pass() {
        std::lock_guard<std::mutex> g(m);
        if (++passes < heldUntil) return;
        for (const double t = now(); next < lines.size() && lines[next].first <= t + 1e-9; ++next) {
            const std::string& l = lines[next].second;
            gps_parse(l.c_str(), int(l.size()) + 1, &nmea_info);
            if (l.compare(3, 3, "RMC") == 0 || l.compare(3, 3, "GGA") == 0)
                parsed.push_back(lines[next].first);
        }
    }
};
std::atomic<Receiver*> gReceiver{nullptr};

class LapGpsHolds : public LapRig, public ::testing::WithParamInterface<Hold> {
protected:
    void SetUp() override {
        LapRig::SetUp();
        std::istringstream trace(
            testsupport::readFile(testsupport::sourceDir() + "/sample-root/gps/redbullring-lap.nmea"));
        double at = 0;
        for (std::string l; std::getline(trace, l);)
            if (l.size() > 20) {
                if (l.compare(3, 3, "RMC") == 0 || l.compare(3, 3, "GGA") == 0)
                    at = std::stod(l.substr(7, 2)) * 3600 + std::stod(l.substr(9, 2)) * 60 +
                         std::strtod(l.c_str() + 11, nullptr) - 36000;
                receiver.lines.emplace_back(at, l);
            }
        gps_nmea_data_reset(&nmea_info);
        gps_fixesReset();
        gps_fixReaderStart(&fixes);
        gReceiver = &receiver;
        static std::once_flag once;
        std::call_once(once, [] {
            raster_addPeriodic(RasterTaskId(3), 100, "test receiver", [] {
                if (Receiver* r = gReceiver.load()) r->pass();
            });
        });
        awm_lapfunc_cfg cfg;
        cfg.triggerMode = AWM_LAPFUNC_GPS;
        cfg.gpsRadius = 25;
        cfg.gpsLat = 47.219921f; // the start/finish point of the track list
        cfg.gpsLong = 14.764875f;
        cfg.mainRetrigLock = 10;
        SeramSigPage& s = seramSig();
        int i = 0;
        for (float* cell : {&s.gps_lat, &s.gps_long, &s.gps_speed, &s.gps_direction}) {
            awm_input_cfg& in = i == 0 ? cfg.lat : i == 1 ? cfg.lon : i == 2 ? cfg.gpsSpeed : cfg.heading;
            in.address = SERAM_MEAS_BASE + uint32_t(reinterpret_cast<uint8_t*>(cell) -
                                                    reinterpret_cast<uint8_t*>(&seramWindow));
            in.type = 6;
            ++i;
        }
        start(cfg);
    }
    void TearDown() override {
        LapRig::TearDown();
        gReceiver = nullptr;
    }
    void runTo(double at) {
        const auto ms = uint32_t(std::max(0L, std::lround((at - receiver.now()) * 1000.0)));
        if (ms > 0) advance(ms);
    }
    // A lap event's stamp in seconds of the trace. The fixes are parsed a little after their time,
    // and the device maps their times by the least of that: those up to `at` give its mapping then.
    double traceTime(const comint_msg& event, double at) {
        double offset = 1e9;
        GpsFix f{};
        for (size_t k = 0; gps_fixNext(&fixes, UINT64_MAX, &f); ++k)
            if (receiver.parsed[k] <= at + 0.15)
                offset = std::min(offset, double(f.atNs - receiver.originNs) / 1e9 -
                                              (receiver.parsed[k] - receiver.start));
        return receiver.start + (ci_get32(event.data + 4) * 1e5 - double(receiver.originNs)) / 1e9 - offset;
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
        while (receiver.lines[receiver.next].first < receiver.start) ++receiver.next;
    }
    double end = crossing + 1.5;
    if (h.ms > 0) {
        runTo(crossing + h.from);
        {
            std::lock_guard<std::mutex> g(receiver.m);
            receiver.heldUntil = receiver.passes + 1 + h.release;
        }
        held(h.ms);
        end = std::max(end, receiver.now() + 1.0);
    }
    runTo(end);
    const std::vector<comint_msg> laps = lapEvents();
    ASSERT_EQ(laps.size(), 1u) << "the crossing was lost or counted twice";
    const double stamped = traceTime(laps[0], crossing);
    std::printf("%s: the crossing stamped %+.4f s from the trace's\n", h.what, stamped - crossing);
    EXPECT_NEAR(stamped, kStamped[h.crossing], 0.0015);
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
