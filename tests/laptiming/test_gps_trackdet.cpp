// Track detection: track files that fail, the decision rules between tracks of one facility, and
// the real geometry of a lap trace replayed on the hand-driven clock through a harness that plays
// the lap function's GPS query every 10 ms.
#include "gps_test_util.h"

#include "framework/nvram.h"
#include "laptiming/gps_nmea.h"
#include "laptiming/gps_trackdet.h"
#include "laptiming/gps_trackdet_cycle.h"
#include "laptiming/gps_trigger.h"
#include "platform/kernel/nvdb.h"
#include "platform/rtos/hostclock.h"
#include "platform/rtos/rtos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace gpstest;
using testsupport::TempDeviceRoot;

namespace {

// Waits (in real time) for a log line containing `text`; every line seen goes to `seen`.
bool waitForLog(const std::string& text, std::vector<std::string>* seen, int timeoutMs = 10000) {
    return testsupport::waitUntil(
        [&] {
            for (auto& l : testsupport::drainSyslog()) seen->push_back(l);
            return logged(*seen, text) > 0;
        },
        timeoutMs);
}

// Seconds of the day of an RMC sentence's UTC field.
double utcSeconds(const std::string& rmc) {
    const char* f = rmc.c_str() + 7; // behind "$GPRMC,"
    return std::stoi(std::string(f, 2)) * 3600 + std::stoi(std::string(f + 2, 2)) * 60 +
           std::strtod(f + 4, nullptr);
}

struct ManualClock {
    ManualClock() { hostclock_setManual(true); }
    ~ManualClock() { hostclock_setManual(false); }
};

} // namespace

TEST(TrackDetection, TrackFilesThatFailMeanNoDetection) {
    startLog();
    TempDeviceRoot root;
    std::string err;
    ASSERT_TRUE(nvdb_open(root.file("nv"), &err)) << err;
    const std::string track =
        R"(<track name="A" trackId="1" latitude="47.2" longitude="14.7" tracklen="4280"/>)";
    struct Case {
        const char* what;
        std::string file; // empty: no file
        std::vector<std::string> lines;
    } cases[] = {
        {"missing", "", {"gps_trackdet_task: could not find cfg:rtracks.xml, no track detection active"}},
        {"num 2 with three tracks",
         "<Tracks>\n<BaseTracks version=\"1\" num=\"2\">\n" + track + "\n" + track + "\n" + track +
             "\n</BaseTracks>\n</Tracks>\n",
         {"getTracks: parsed more track elements than mentioned in header in line 5 column 1",
          "xml_load_tracks(): parsing trackdetection tracks failed, no track detection",
          "gps_trackdet_task: cfg:rtracks.xml does not contain any tracks, no track detetcion active"}},
        {"no tracklen",
         "<Tracks><CustomTracks version=\"1\" num=\"1\">\n<track name=\"A\" trackId=\"1\" latitude=\"47.2\" "
         "longitude=\"14.7\"/>\n</CustomTracks></Tracks>",
         {"getTracks: mandatory attribute not found (tracklen) in line 2 column 61",
          "xml_load_tracks(): parsing trackdetection tracks failed, no track detection",
          "gps_trackdet_task: cfg:rtracks.xml does not contain any tracks, no track detetcion active"}},
        {"num out of range",
         "<Tracks><BaseTracks version=\"1\" num=\"-1\">" + track + "</BaseTracks></Tracks>",
         {"getTracks: attribute num out of range in line 1 column 41"}},
    };
    for (const Case& c : cases) {
        std::remove(root.file("cfg/rtracks.xml").c_str());
        if (!c.file.empty()) testsupport::writeFile(root.file("cfg/rtracks.xml"), c.file);
        testsupport::drainSyslog();
        gps_trackdet_ini();
        std::vector<std::string> seen;
        ASSERT_TRUE(waitForLog(c.lines.back(), &seen)) << c.what;
        for (const std::string& l : c.lines)
            EXPECT_EQ(std::count(seen.begin(), seen.end(), l), 1) << c.what << ": " << l;
        // The task has ended: positions next to the track never bring a decision.
        ASSERT_TRUE(testsupport::waitUntil([] { return taskNameToId("r_TrackDet") == TASK_ID_ERROR; }));
        EXPECT_EQ(gps_trackdet_get(47.2f, 14.7f, 0, nullptr, nullptr, nullptr, nullptr), 0) << c.what;
    }
    nvram_writeBehindEnd(10000);
    nvdb_close();
}

TEST(TrackDetection, TracksOfOneFacilityByNearnessLengthAndTheStoredId) {
    // Two layouts whose start/finish points are 300 m apart; 1 km and 3 km long.
    tracks_s tracks[] = {
        {14.0f, 47.0f, 1000.0f, 11, 0},
        {14.0f, 47.0027f, 3000.0f, 12, 0},
        {9.0f, 40.0f, 2000.0f, 13, 0}, // far away
    };
    const float north = 47.0f - 0.0009f; // 100 m south of track 11
    int track = -1;
    {
        TrackDetector d(tracks, 3, -1);
        EXPECT_EQ(d.cycle(0.0f, 14.0f, 0, &track), TRACKDET_NONE) << "no fix yet";
        EXPECT_EQ(d.cycle(north, 14.0f, 0, &track), TRACKDET_NEAREST);
        EXPECT_EQ(track, 0);
        // Passing within 50 m of track 12's point twice, 3 km apart: its length matches.
        EXPECT_EQ(d.cycle(47.0027f, 14.0f, 10, &track), TRACKDET_NONE);
        EXPECT_EQ(d.cycle(47.0020f, 14.0f, 500, &track), TRACKDET_NONE);
        EXPECT_EQ(d.cycle(47.0027f, 14.0f, 3020, &track), TRACKDET_LENGTH_MATCH);
        EXPECT_EQ(track, 1);
        EXPECT_EQ(d.cycle(47.0027f, 14.0f, 3030, &track), TRACKDET_NONE) << "the decision stands";
    }
    {
        TrackDetector d(tracks, 3, 12); // restart with the stored id
        EXPECT_EQ(d.cycle(north, 14.0f, 0, &track), TRACKDET_NVRAM);
        EXPECT_EQ(track, 1);
    }
    {
        TrackDetector d(tracks, 3, 13); // the stored track is out of range: its preference is dropped
        EXPECT_EQ(d.cycle(north, 14.0f, 0, &track), TRACKDET_NEAREST);
        EXPECT_EQ(track, 0);
    }
}

TEST(TrackDetection, RedBullRingLapTraceTriggersOncePerCrossing) {
    startLog();
    TempDeviceRoot root;
    std::string err;
    ASSERT_TRUE(nvdb_open(root.file("nv"), &err)) << err;
    testsupport::writeFile(root.file("cfg/rtracks.xml"),
                           testsupport::readFile(testsupport::testdataPath("gps/rtracks.xml")));
    const std::vector<std::string> trace =
        testsupport::gunzipLines(testsupport::testdataPath("gps/redbullring-3laps-rmc.nmea.gz"));
    ASSERT_GT(trace.size(), 3000u);
    const std::vector<double> crossings = testsupport::jsonArray(
        testsupport::readFile(testsupport::testdataPath("gps/redbullring-3laps-10hz.truth.json")),
        "crossings_s");
    ASSERT_EQ(crossings.size(), 4u);

    ManualClock manual;
    gps_trackdet_ini();
    nmeaINFO info{};
    gps_nmea_data_reset(&info);
    initGpsTrigger(0, 0, 25, 1, 1); // the lap function's own point until a track is detected
    std::vector<double> fires;
    std::vector<int> codes;
    std::vector<std::string> seen;
    float pointLat = 0, pointLong = 0, length = 0, driven = 0;
    int32_t id = -1;
    size_t next = 0;
    for (int step = 0; step <= 31500; ++step) {
        const double t = step * 0.01;
        // Sentences are due at their UTC time, counted from the trace's 10:00:00.
        while (next < trace.size() && utcSeconds(trace[next]) - 36000 <= t + 1e-6) {
            std::string line = trace[next++];
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            gps_parse(line.c_str(), int(line.size()) + 1, &info);
        }
        const float lat = var(sig().gps_lat), lon = var(sig().gps_long), speed = var(sig().gps_speed);
        driven += speed / 3.6f * 0.01f;
        const int code = gps_trackdet_get(lat, lon, driven, &pointLat, &pointLong, &length, &id);
        if (code != 0) {
            codes.push_back(code);
            initGpsTrigger(pointLong, pointLat, 25, 1, 1);
        }
        if (getGpsTrigger(lon, lat, speed, var(sig().gps_direction))) fires.push_back(t);
        if (step == 100) {
            ASSERT_TRUE(waitForLog("gps_trackdet_task: detected bc only track in range:", &seen));
        }
        hostclock_advanceMs(10);
    }
    EXPECT_EQ(logged(seen, "detected bc only track in range:  47.219921  14.764875,   4279.9 id:1"), 1);
    EXPECT_EQ(codes, std::vector<int>{2}) << "a track other than the stored one (none)";
    EXPECT_EQ(id, 1);
    EXPECT_FLOAT_EQ(length, 4279.9f);
    int32_t stored = 0;
    EXPECT_EQ(nvram_dbs_read(NV_REC_TRACKDET, 0, &stored, sizeof stored), 4);
    EXPECT_EQ(stored, 1);
    ASSERT_EQ(fires.size(), crossings.size());
    for (size_t i = 0; i < fires.size(); ++i) EXPECT_NEAR(fires[i], crossings[i], 0.05) << i;

    // After a restart the stored track is found again: result 1, the best lap stays.
    gps_trackdet_ini();
    seen.clear();
    id = -1;
    int code = 0;
    for (int i = 0; i < 30 && code == 0; ++i) {
        code = gps_trackdet_get(47.22f, 14.76f, 0, nullptr, nullptr, nullptr, &id);
        hostclock_advanceMs(10);
    }
    if (code == 0) {
        ASSERT_TRUE(waitForLog("gps_trackdet_task: detected bc only track in range:", &seen));
        code = gps_trackdet_get(47.22f, 14.76f, 0, nullptr, nullptr, nullptr, &id);
    }
    EXPECT_EQ(code, 1);
    EXPECT_EQ(id, 1);
    gps_trackdet_stop();
    nvram_writeBehindEnd(10000);
    nvdb_close();
}
