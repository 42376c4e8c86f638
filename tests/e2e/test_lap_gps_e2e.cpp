// The lap function in GPS mode on the real executable: the Red Bull Ring trace goes into the GPS
// port's pty at its own pace, from its start 300 m before the line to just after the end of the
// first lap; the device finds the circuit in its track list and announces both crossings, the
// second with the trace's recorded lap time. Restarted on a circuit whose first fix comes late, it
// keeps the track it stored.
#include "app_process.h"
#include "lap_peer.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;
using lape2e::HeardLap;

namespace {

constexpr uint16_t DEV_PID = 17;
constexpr const char* DEV_INDEX = "1";
constexpr const char* DEV_ADDR = "127.0.0.2";

constexpr const char* kLapFunction = "channel 10 lapfunc mode gps gps_radius 25 main_retrig_lock 10"
                                     " lat gps_lat lon gps_long gps_speed gps_speed heading gps_direction"
                                     " speed gps_speed speed.conv 0,0.2777778,0,0,0,1\n";

// Seconds after 10:00:00 of an RMC sentence's UTC field.
double traceSeconds(const std::string& rmc) {
    const char* f = rmc.c_str() + 7;
    return std::stoi(std::string(f, 2)) * 3600 + std::stoi(std::string(f + 2, 2)) * 60 +
           std::strtod(f + 4, nullptr) - 36000;
}

std::vector<double> truth(const char* key) {
    return jsonArray(readFile(testdataPath("gps/redbullring-3laps-10hz.truth.json")), key);
}

bool logShows(AppProcess& dev, const std::string& what) {
    return waitUntil([&] { return dev.logText().find(what) != std::string::npos; }, 15000);
}

// An RMC sentence with its checksum; fields from the UTC time on.
std::string rmc(const std::string& fields) {
    const std::string body = "GNRMC," + fields;
    unsigned sum = 0;
    for (char c : body) sum ^= uint8_t(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// Sends the sentence ten times a second, as a receiver does, until the log shows `what`.
bool feedUntil(AppProcess& dev, int port, const std::string& sentence, const std::string& what) {
    return waitUntil(
        [&] {
            if (write(port, sentence.data(), sentence.size()) != ssize_t(sentence.size())) return false;
            if (dev.logText().find(what) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return false;
        },
        15000);
}

} // namespace

TEST(LapGpsE2E, ACarLappingInAGpsTraceOnTheSerialPort) {
#if defined(__SANITIZE_THREAD__)
    // A lap in real time is driven once, in the run with the other sanitizers; the same road runs
    // on the hand-driven clock under this one (test_lap_gps.cpp).
    GTEST_SKIP() << "a lap of real time runs once, not again under ThreadSanitizer";
#endif
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string why;
    ASSERT_TRUE(lape2e::configureMaster(root.path(), DEV_INDEX, DEV_PID, kLapFunction, &why)) << why;
    writeFile(root.file("cfg/rtracks.xml"), readFile(testdataPath("gps/rtracks.xml")));
    const std::vector<std::string> trace =
        testsupport::gunzipLines(testdataPath("gps/redbullring-3laps-rmc.nmea.gz"));
    ASSERT_GT(trace.size(), 3000u);

    lape2e::LapPeer peer(DEV_ADDR);
    ASSERT_TRUE(peer.ok());
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    for (const char* in : {"latitude", "longitude", "GPS speed", "heading", "speed"})
        ASSERT_TRUE(logShows(dev, std::string("awm_0x08_lapfunc: input ") + in + " (0x")) << dev.logText();
    const int port = open(root.file("tty/tyCo1-1").c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(port, 0);

    // The trace at its own pace up to half a second after the second crossing (107.6 s). The device
    // times the lap by the fixes' own times: how late a busy host let this feed deliver the fixes
    // past a crossing does not go into the lap.
    const std::vector<double> crossings = truth("crossings_s"), lapTimes = truth("lap_times_s");
    ASSERT_GE(crossings.size(), 2u);
    ASSERT_FALSE(lapTimes.empty());
    double late[2] = {-1, -1};
    const auto t0 = std::chrono::steady_clock::now();
    for (const std::string& line : trace) {
        const double at = traceSeconds(line);
        if (at > 108.1) break;
        const auto due = t0 + std::chrono::microseconds(int64_t(at * 1e6));
        std::this_thread::sleep_until(due);
        ASSERT_EQ(write(port, line.data(), line.size()), ssize_t(line.size()));
        for (int k = 0; k < 2; ++k)
            if (late[k] < 0 && at >= crossings[size_t(k)])
                late[k] = std::chrono::duration<double>(std::chrono::steady_clock::now() - due).count();
    }
    close(port);

    HeardLap start{}, lap{};
    ASSERT_TRUE(peer.nextEvent(&start, 5000)) << dev.logText();
    ASSERT_TRUE(peer.nextEvent(&lap, 5000)) << dev.logText();
    EXPECT_TRUE(logShows(dev, "awm_0x08_lapfunc_getGpsTrigger(): track 1, 4279.9 m")) << dev.logText();
    EXPECT_EQ(lap.lap, start.lap + 1);
    const double between = int32_t(lap.timestamp - start.timestamp) / 100.0; // hundredths
    std::printf(
        "lap %u hundredths, its stamps %.2f apart; the fixes past the crossings were written %.3f and "
        "%.3f s late\n",
        unsigned(lap.laptime), between, late[0], late[1]);
    EXPECT_NEAR(lap.laptime, lapTimes[0] * 100.0, 5.0) << "within 5 hundredths of the recorded lap";
    EXPECT_NEAR(lap.laptime, between, 0.51) << "the lap is the time between its stamps";
    EXPECT_TRUE(logShows(dev, "Received Laptrigger Event. Outing 2, Lap 3, Laptime " +
                                  std::to_string(lap.laptime / 100) + ","))
        << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}

TEST(LapGpsE2E, ARestartWhoseFirstFixComesLateKeepsTheStoredTrack) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    std::string why;
    ASSERT_TRUE(lape2e::configureMaster(root.path(), DEV_INDEX, DEV_PID, kLapFunction, &why)) << why;
    // Two circuits 20 km apart.
    writeFile(root.file("cfg/rtracks.xml"),
              "<Tracks><CustomTracks version=\"1\" num=\"2\">"
              "<track name=\"South\" trackId=\"11\" latitude=\"47.0\" longitude=\"14.0\" tracklen=\"3000\"/>"
              "<track name=\"North\" trackId=\"12\" latitude=\"47.18\" longitude=\"14.0\" tracklen=\"4000\"/>"
              "</CustomTracks></Tracks>\n");
    const std::string atNorth = rmc("101530.00,A,4710.800,N,01400.000,E,0.0,0.0,150624,,,A");
    // 7.8 km from the southern circuit and 12.2 km from the northern one: both in range.
    const std::string between = rmc("101530.00,A,4704.200,N,01400.000,E,0.0,0.0,150624,,,A");
    const std::string noFix = rmc(",V,,,,,,,,,,N");
    {
        // On the northern circuit alone: it is stored.
        AppProcess dev(root.path(), {DEV_INDEX});
        ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
        ASSERT_TRUE(logShows(dev, "gps_intf_open() fOpened")) << dev.logText();
        const int port = open(root.file("tty/tyCo1-1").c_str(), O_WRONLY | O_NOCTTY);
        ASSERT_GE(port, 0);
        EXPECT_TRUE(feedUntil(dev, port, atNorth, "detected bc only track in range:  47.180000  14.000000"))
            << dev.logText();
        close(port);
        dev.signal(SIGTERM);
        ASSERT_EQ(dev.waitExit(), 0) << dev.stderrText();
    }
    std::filesystem::remove(root.file("log/syslog-1.log")); // the restart's log alone
    // Restarted between the two: the receiver answers without a fix until its time-out has passed
    // (the lap function meanwhile hands track detection no position), then the fix comes.
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(logShows(dev, "awm_0x08_lapfunc: input latitude (0x")) << dev.logText();
    ASSERT_TRUE(logShows(dev, "gps_intf_open() fOpened")) << dev.logText();
    const int port = open(root.file("tty/tyCo1-1").c_str(), O_WRONLY | O_NOCTTY);
    ASSERT_GE(port, 0);
    ASSERT_EQ(write(port, noFix.data(), noFix.size()), ssize_t(noFix.size()));
    ASSERT_TRUE(logShows(dev, "gps_task_output() gps data on serial timeouted")) << dev.logText();
    ASSERT_TRUE(feedUntil(dev, port, between, "gps_trackdet_task: detected")) << dev.logText();
    close(port);
    const std::string log = dev.logText();
    EXPECT_NE(log.find("detected, nvram was taken:  47.180000  14.000000,   4000.0 id:12"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("nearest track taken"), std::string::npos) << log;
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
}
