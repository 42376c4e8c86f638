// The NMEA sentence check and parsers: what each sentence publishes, what is counted as message or
// error, the satellite table per domain, and the number and time fields.
#include "gps_test_util.h"

#include "laptiming/gps_nmea.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

using namespace gpstest;

namespace {

class GpsParse : public ::testing::Test {
protected:
    nmeaINFO info{};
    void SetUp() override {
        startLog();
        gps_nmea_data_reset(&info);
        std::memset(&sig(), 0, sizeof(SeramSigPage));
    }
    void feed(const std::string& line) { gps_parse(line.c_str(), int(line.size()) + 1, &info); }
    int msgs() { return var(sig().gps_msg_cnt); }
    int errs() { return var(sig().gps_err_cnt); }
};

} // namespace

TEST_F(GpsParse, SentencesPublishTheirValues) {
    feed("$GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A*73");
    EXPECT_NEAR(var(sig().gps_lat), -48.1173, 1e-4);
    EXPECT_NEAR(var(sig().gps_long), -11.5167, 1e-4);
    EXPECT_NEAR(var(sig().gps_speed), 18.52, 1e-4);
    EXPECT_NEAR(var(sig().gps_direction), 84.4, 1e-4);
    EXPECT_EQ(var(sig().gps_year), 2024);
    EXPECT_EQ(var(sig().gps_mon), 6);
    EXPECT_EQ(var(sig().gps_day), 15);
    EXPECT_EQ(var(sig().gps_hour), 10);
    EXPECT_EQ(var(sig().gps_min), 15);
    EXPECT_EQ(var(sig().gps_sec), 30);
    EXPECT_EQ(var(sig().gps_hsec), 50);
    EXPECT_EQ(info.sig, 1);
    EXPECT_EQ(info.fix, 2);

    feed(nmea("GPVTG,054.7,T,034.4,M,005.5,N,010.2,K,A"));
    EXPECT_NEAR(var(sig().gps_direction), 54.7, 1e-4);
    EXPECT_NEAR(var(sig().gps_declination), 34.4, 1e-4);
    EXPECT_NEAR(var(sig().gps_speed), 10.2, 1e-4);

    // Talker prefixes do not matter; a GGA carries altitude and quality, not the date.
    feed(nmea("GNGGA,123519.5,4807.038,N,01131.000,E,2,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_NEAR(var(sig().gps_lat), 48.1173, 1e-4);
    EXPECT_NEAR(var(sig().gps_long), 11.5167, 1e-4);
    EXPECT_NEAR(var(sig().gps_alt), 545.4, 1e-3);
    EXPECT_EQ(var(sig().gps_hour), 12);
    EXPECT_EQ(var(sig().gps_hsec), 50);
    EXPECT_EQ(var(sig().gps_day), 15);
    EXPECT_EQ(info.sig, 2);
    EXPECT_EQ(info.inuse, 8);
    EXPECT_DOUBLE_EQ(info.HDOP, 0.9);

    // GSA marks the satellites in use among those in view, and sets fix and DOPs.
    feed(nmea("GPGSV,1,1,03,04,40,083,46,09,10,200,30,17,80,010,45"));
    feed(nmea("GPGSA,A,3,17,04,,,,,,,,,,,2.5,1.3,2.1"));
    gps_outputStatus(&info);
    EXPECT_EQ(var(sig().gps_fix), 3);
    EXPECT_FLOAT_EQ(var(sig().gps_PDOP), 2.5f);
    EXPECT_FLOAT_EQ(var(sig().gps_VDOP), 2.1f);
    EXPECT_EQ(var(sig().gps_smask), 0x1F);
    const int32_t ids[] = {4, 9, 17, 0}, used[] = {1, 0, 1, 0}, snr[] = {46, 30, 45, 0};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(var(sig().gps_info_satid[i]), ids[i]) << i;
        EXPECT_EQ(var(sig().gps_info_satinuse[i]), used[i]) << i;
        EXPECT_EQ(var(sig().gps_info_satsigstrength[i]), snr[i]) << i;
    }
    EXPECT_EQ(msgs(), 5);
    EXPECT_EQ(errs(), 0);

    // Empty fields keep the values; RMC "V" clears the fix.
    feed(nmea("GPRMC,,V,,,,,,,,,,N"));
    EXPECT_NEAR(var(sig().gps_lat), 48.1173, 1e-4);
    EXPECT_EQ(info.sig, 0);
    EXPECT_EQ(info.fix, 1);
}

TEST_F(GpsParse, EachLineCountsByTheRules) {
    const std::string rmc = "$GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A*73";
    struct Row {
        std::string line;
        int msg, err;
        const char* log;
    } rows[] = {
        {rmc, 1, 0, nullptr},
        {"$GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A*74", 0, 1,
         "gps_parse: checksum error 0x73 <> 0x74, "
         "'GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A'"},
        {"GNRMC,101530.50,A,4807.038,S*73", 0, 0, "gps_parse: sentence misses character '$', ignored"},
        {"$GPGGA,123519,4807.038,N", 0, 1, "gps_parse: sentence misses character '*'"},
        {"$GPGGA,123519*1F*33", 0, 1, "gps_parse: found multiple '*' @ "},
        {"xx*$GPGSA", 0, 1, "gps_parse: no checksum found(1)"},
        {"$GP*", 0, 0, "gps_parse: parameter error"},
        {nmea("GPTXT,01,01,02,ANTSTATUS=OK"), 0, 0, nullptr},
        {nmea("GPGLL,4916.45,N,12311.12,W,225444,A"), 0, 0, nullptr},
        {nmea("GPZDA,152504.50,09,12,2009,00,00"), 0, 0, nullptr},
        {"$GPRM" + nmea("GPRMC,,V,,,,,,,,,,N"), 1, 0, nullptr}, // garbage before the last '$'
        {nmea("GPRMC,1,A,2,N,3,E,4,5,6,7"), 0, 1, "gps_GPRMC: error element count :10"},
        {nmea("GPGSV,3,4,12"), 0, 1, "gps_GPGSV: invalid sentence # token :4"},
        {nmea("GPGSV,9,9,12"), 0, 1, "gps_GPGSV: invalid sentence # token :9"},
        {nmea("GPGSV,1,1,02,04,40,083,46,09,10,200"), 0, 1, "gps_GPGSV: error element count :10"},
        {nmea("GPGSV,1,1,01,04,40,083,46,7"), 0, 1, "gps_GPGSV: invalid signal id :7"},
        {nmea("GPGSV,1,1,01,04,40,083,46,x"), 0, 1, "gps_GPGSV error sscanf domain"},
    };
    for (const Row& r : rows) {
        const int m0 = msgs(), e0 = errs();
        testsupport::drainSyslog();
        feed(r.line);
        EXPECT_EQ(msgs() - m0, r.msg) << r.line;
        EXPECT_EQ(errs() - e0, r.err) << r.line;
        if (r.log) {
            EXPECT_EQ(logged(testsupport::drainSyslog(), r.log), 1) << r.line;
        }
    }
    // A rejected sentence leaves the values of the good one.
    EXPECT_NEAR(var(sig().gps_lat), -48.1173, 1e-4);
    EXPECT_EQ(var(sig().gps_year), 2024);
}

TEST_F(GpsParse, SatelliteTableKeepsToItsDomains) {
    feed(nmea("GPGSV,2,1,05,01,10,100,31,02,20,200,32,03,30,300,33,04,40,040,34"));
    feed(nmea("GPGSV,2,2,05,05,50,050,35"));
    // Signal id 1: two domains of six slots, the second from slot 6.
    feed(nmea("GAGSV,1,1,02,65,11,111,41,66,12,122,42,1"));
    EXPECT_EQ(info.domains, 2);
    EXPECT_EQ(info.domain[1].start, 6);
    EXPECT_EQ(info.domain[1].capacity, 6);
    EXPECT_EQ(info.domain[0].capacity, 6);
    const int32_t want[] = {1, 2, 3, 4, 5, 0, 65, 66, 0, 0, 0, 0};
    for (int i = 0; i < GPS_NMEA_SATS; ++i) EXPECT_EQ(info.sat[i].id, want[i]) << i;
    EXPECT_EQ(info.sat[7].sig, 42);
    EXPECT_EQ(errs(), 0);

    // Counts and numbers that would place satellites outside the table are refused or limited:
    // nothing around the table changes.
    info.inuse = 7;
    const nmeaINFO before = info;
    feed(nmea("GPGSV,,,04,01,40,083,46"));
    feed(nmea("GPGSV,1,,04,01,40,083,46"));
    feed(nmea("GPGSV,x,1,04,01,40,083,46"));
    EXPECT_EQ(errs(), 3);
    feed(nmea("GPGSV,1,1,4294967295"));
    feed(nmea("GPGSV,1,1,99,06,01,001,01,2"));
    EXPECT_EQ(errs(), 3);
    EXPECT_EQ(info.inuse, 7);
    EXPECT_EQ(info.domains, 3);
    EXPECT_EQ(info.sat[8].id, 6);
    EXPECT_EQ(info.domain[2].inview, 4);
    for (const nmeaDOMAIN& d : info.domain) EXPECT_LE(d.start + d.capacity, GPS_NMEA_SATS);
    EXPECT_EQ(std::memcmp(&before.PDOP, &info.PDOP, sizeof(double) * 9), 0);
}

TEST_F(GpsParse, NumbersAndTimes) {
    struct Row {
        const char* text;
        double value;
        const char* log;
    } rows[] = {
        {"4807.038", 4807.038, nullptr},
        {"-12.5", -12.5, nullptr},
        {"12.", 12.0, nullptr},
        {"1.5e2", 150.0, nullptr},
        {"25e-2", 0.25, nullptr},
        {".5", 0.5, "gps_strtod error sscanf (1) T: .5"},
        {"1.x", 1.0, "gps_strtod error sscanf (3) T: 1.x"},
        {"2e", 2.0, "gps_strtod error sscanf (2) T: 2e"},
        {"1e-4294967295", 0.0, nullptr},
    };
    for (const Row& r : rows) {
        testsupport::drainSyslog();
        EXPECT_DOUBLE_EQ(gps_strtod(r.text, "T"), r.value) << r.text;
        if (r.log) {
            EXPECT_EQ(logged(testsupport::drainSyslog(), r.log), 1) << r.text;
        }
    }
    // A huge exponent ends at once.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(std::isinf(gps_strtod("1e4294967295", "T")));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_FLOAT_EQ(gps_strtof("0.1", "T"), 0.1f);
    EXPECT_EQ(gps_strtol("4294967295"), 4294967295u);
    EXPECT_EQ(gps_strtol("12a"), 0u);
    EXPECT_EQ(gps_strtol(""), 0u);

    // One, two and three fraction digits all give hundredths; hhmmss keeps them.
    for (const char* t : {"101530.5", "101530.50", "101530.500"}) {
        info.hsec = 0;
        feed(nmea(std::string("GPGGA,") + t + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
        EXPECT_EQ(var(sig().gps_hsec), 50) << t;
    }
    feed(nmea("GPGGA,111111,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_EQ(var(sig().gps_sec), 11);
    EXPECT_EQ(var(sig().gps_hsec), 50);
    testsupport::drainSyslog();
    feed(nmea("GPGGA,1111,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"));
    EXPECT_EQ(logged(testsupport::drainSyslog(), "gps_GPGGA: UTC parse error :1111"), 1);
    EXPECT_EQ(var(sig().gps_sec), 11);
}
