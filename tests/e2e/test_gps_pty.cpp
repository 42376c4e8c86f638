// The GPS receiver end to end: NMEA written into the published pseudo-terminal of "/tyCo/1" shows
// in the gps_* variables that a PC tool reads by name (0x0510). A sentence with a wrong checksum is
// counted and logged; two recorded receiver logs give the message and error counts of an
// independent count by the sentence rules; silence clears the status once.
#include "app_process.h"
#include "bytes.h"
#include "netns.h"
#include "pctool.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

constexpr uint16_t TOOL_PID = 38;
constexpr const char* TOOL_ADDR = "127.0.0.38";
constexpr uint16_t DEV_PID = 17; // application index 1
constexpr const char* DEV_INDEX = "1";

struct Counts {
    int msg = 0, err = 0;
};

// Messages and errors of a receiver's byte stream, counted by the sentence rules alone: lines end
// at LF (a CR before it dropped), longer than 82 characters they arrive in pieces; a piece without
// '$' or shorter than 5 is passed over, TXT, GLL and unknown sentences too; a wrong checksum, too
// few fields or an impossible GSV numbering is an error.
Counts countByRules(const std::string& bytes) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t lf = bytes.find('\n'); lf != std::string::npos;
         start = lf + 1, lf = bytes.find('\n', start)) {
        std::string l = bytes.substr(start, lf - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        for (; l.size() > 82; l.erase(0, 82)) pieces.push_back(l.substr(0, 82));
        if (!l.empty()) pieces.push_back(l);
    }
    Counts c;
    const std::map<std::string, size_t> need = {
        {"RMC", 11}, {"VTG", 8}, {"GGA", 14}, {"GSA", 17}, {"GSV", 3}};
    for (const std::string& s : pieces) {
        const size_t dollar = s.rfind('$'), star = s.find('*', dollar);
        if (s.size() < 5 || dollar == std::string::npos || star == std::string::npos || star + 3 != s.size())
            continue; // none of the recorded sentences is damaged this way
        const std::string body = s.substr(dollar + 1, star - dollar - 1);
        std::string type;
        for (const char* name : {"TXT", "RMC", "VTG", "GGA", "GSA", "GSV", "GLL"})
            if (type.empty() && body.find(name) != std::string::npos) type = name;
        if (!need.count(type)) continue;
        unsigned x = 0;
        for (char ch : body) x ^= uint8_t(ch);
        std::vector<std::string> f;
        for (size_t p = body.find(','); p != std::string::npos; p = body.find(',', p + 1))
            f.push_back(body.substr(p + 1, body.find(',', p + 1) - p - 1));
        bool ok = x == std::stoul(s.substr(star + 1), nullptr, 16) && f.size() >= need.at(type);
        if (ok && type == "GSV") {
            const int total = f[0].empty() ? 0 : std::stoi(f[0]), number = f[1].empty() ? 0 : std::stoi(f[1]);
            const int n = int(f.size()), k = number == total ? (n - 3) / 4 : 4;
            ok = number >= 1 && number <= 8 && total >= number &&
                 (n <= 4 || n == 4 * k + 3 || (n == 4 * k + 4 && std::stoi(f.back()) <= 2));
        }
        ++(ok ? c.msg : c.err);
    }
    return c;
}

struct Values {
    float lat = 0, lon = 0, speed = 0;
    int msg = 0, err = 0, year = 0, mon = 0, day = 0;
};

} // namespace

TEST(GpsE2E, NmeaIntoThePtyShowsInTheVariablesAToolReadsByName) {
    NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    AppProcess dev(root.path(), {DEV_INDEX});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    ASSERT_TRUE(waitUntil(
        [&] {
            return dev.logText().find("gps_intf_open() fOpened '/tyCo/1' for gps at 9600baud") !=
                   std::string::npos;
        },
        10000))
        << dev.logText();
    const int tty = open(root.file("tty/tyCo1-1").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0) << "published end of /tyCo/1";
    auto send = [&](const std::string& bytes) {
        ASSERT_EQ(write(tty, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    };

    PcTool tool(TOOL_PID, TOOL_ADDR, DEV_PID);
    std::string why;
    uint16_t version = 0;
    ASSERT_TRUE(linkToDevice(
        tool, DEV_PID, [&] { return dev.logText(); }, &version, &why))
        << why;
    const std::vector<std::string> names = {"gps_lat",     "gps_long", "gps_speed", "gps_msg_cnt",
                                            "gps_err_cnt", "gps_year", "gps_mon",   "gps_day"};
    ASSERT_TRUE(tool.sendCi(0x0510, 0xC001, 0x2B000001, nameRequest(3, 1, 64, 1, names)));
    std::vector<uint8_t> a;
    ASSERT_TRUE(tool.receiveCi(0x0511, &a, 3000)) << dev.logText();
    const uint8_t* p = a.data() + 20;
    ASSERT_EQ(get32(p + 12), uint32_t(names.size()));
    std::vector<uint16_t> offset(names.size());
    for (size_t i = 0; i < names.size(); ++i) offset[get16(p + 16 + 20 * i + 2)] = get16(p + 16 + 20 * i);

    Values last;
    // Reads records until one satisfies `want`; the last one read stays in `last`.
    auto waitRecord = [&](const std::function<bool(const Values&)>& want) {
        for (int i = 0; i < 3000; ++i) {
            uint16_t dst = 0;
            uint32_t handle = 0;
            std::vector<uint8_t> r;
            if (!tool.receiveDk(&dst, &handle, &r, 3000)) return false;
            const uint8_t* v = r.data();
            last = {getFloat(v + offset[0]), getFloat(v + offset[1]), getFloat(v + offset[2]),
                    get16(v + offset[3]),    get16(v + offset[4]),    int16_t(get16(v + offset[5])),
                    get16(v + offset[6]),    get16(v + offset[7])};
            if (want(last)) return true;
        }
        return false;
    };

    send("$GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A*73\r\n");
    ASSERT_TRUE(waitRecord([](const Values& v) { return v.msg == 1; })) << dev.logText();
    EXPECT_NEAR(last.lat, -48.1173, 1e-4);
    EXPECT_NEAR(last.lon, -11.5167, 1e-4);
    EXPECT_NEAR(last.speed, 18.52, 1e-4);
    EXPECT_EQ(last.year, 2024);
    EXPECT_EQ(last.mon, 6);
    EXPECT_EQ(last.day, 15);
    EXPECT_EQ(last.err, 0);

    send("$GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A*74\r\n");
    ASSERT_TRUE(waitRecord([](const Values& v) { return v.err == 1; }));
    EXPECT_EQ(last.msg, 1);
    EXPECT_NEAR(last.lat, -48.1173, 1e-4);
    EXPECT_TRUE(waitUntil(
        [&] {
            return dev.logText().find("gps_parse: checksum error 0x73 <> 0x74, "
                                      "'GNRMC,101530.50,A,4807.038,S,01131.000,W,10.0,084.4,150624,,,A'") !=
                   std::string::npos;
        },
        5000));

    // Two recorded receivers, one after the other.
    const std::string logs =
        readFile(testdataPath("gps/bt451.log")) + readFile(testdataPath("gps/haicom-305N.log"));
    const Counts want = countByRules(logs);
    ASSERT_GT(want.msg, 400);
    send(logs);
    ASSERT_TRUE(waitRecord([&](const Values& v) { return v.msg == 1 + want.msg; }))
        << "messages " << last.msg << " errors " << last.err << ", counted " << want.msg << " and "
        << want.err;
    EXPECT_EQ(last.err, 1 + want.err);
    EXPECT_NEAR(last.lat, -27.21067, 1e-4) << "the last position of the second log";

    // Silence: the status part is cleared once.
    const std::string timeout = "gps_task_output() gps data on serial timeouted";
    EXPECT_TRUE(waitUntil([&] { return dev.logText().find(timeout) != std::string::npos; }, 10000));
    close(tty);
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    const std::string log = dev.logText();
    size_t n = 0;
    for (size_t at = log.find(timeout); at != std::string::npos; at = log.find(timeout, at + 1)) ++n;
    EXPECT_EQ(n, 1u);
    EXPECT_NE(log.find("postrun: stopping GPS task"), std::string::npos) << log;
}
