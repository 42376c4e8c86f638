// The receiver's fixes on the device's clock (hand-driven here): each keeps the time it was made,
// however late its sentence is parsed, across midnight too; a receiver whose clock starts again is
// mapped anew from its next fix.
#include "gps_test_util.h"

#include "laptiming/gps_fixes.h"
#include "platform/rtos/hostclock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace gpstest;

namespace {

std::string rmc(const std::string& utc, int n) {
    return nmea("GPRMC," + utc + ",A,4807." + std::to_string(100 + n) +
                ",N,01131.000,E,10.0,084.4,150624,,,A");
}

} // namespace

TEST(GpsFixes, EachFixKeepsTheTimeItWasMade) {
    startLog();
    hostclock_setManual(true);
    gps_nmea_data_reset(&nmea_info);
    gps_fixesReset();
    GpsFixReader reader;
    gps_fixReaderStart(&reader);
    const uint64_t t0 = hostclock_nowNs();
    const struct {
        const char* what;
        std::string sentence;
        uint32_t advanceMs; // before the sentence is parsed
        int64_t madeMs;     // its time on the device's clock, from t0
    } rows[] = {
        {"the first fix", rmc("235959.60", 0), 0, 0},
        {"on time", rmc("235959.80", 1), 200, 200},
        {"a VTG belongs to the fix before", nmea("GPVTG,084.4,T,,M,10.0,N,18.5,K,A"), 30, 200},
        {"late, after midnight", rmc("000000.00", 2), 1270, 400},
        {"late in a burst", rmc("000000.20", 3), 0, 600},
        {"late in a burst", rmc("000000.40", 4), 0, 800},
        {"on time again", rmc("000001.20", 5), 100, 1600},
        {"a receiver whose clock went back, at its arrival", rmc("000000.60", 6), 300, 1900},
        {"after it", rmc("000000.80", 7), 200, 2100},
        {"a receiver whose clock leapt ahead, at its arrival", rmc("120000.00", 8), 300, 2400},
        {"after it, late", rmc("120000.20", 9), 500, 2600},
    };
    for (const auto& r : rows) {
        hostclock_advanceMs(r.advanceMs);
        gps_parse(r.sentence.c_str(), int(r.sentence.size()) + 1, &nmea_info);
        GpsFix f{};
        ASSERT_TRUE(gps_fixNext(&reader, hostclock_nowNs(), &f)) << r.what;
        EXPECT_EQ(int64_t(f.atNs - t0) / 1000000, r.madeMs) << r.what;
        EXPECT_FALSE(gps_fixNext(&reader, UINT64_MAX, &f)) << r.what << ": one fix per sentence";
    }
    hostclock_setManual(false);
}
