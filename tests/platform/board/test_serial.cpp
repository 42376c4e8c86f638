// Serial ports: pseudo-terminal round trip and publishing, file replay at line speed and in the
// time of its fixes, FIFO input, refusals, and close waking a blocked reader.
#include "platform/board/serial.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

using testsupport::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t0) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

class SerialTest : public ::testing::Test {
protected:
    void configure(int appIndex, const std::string& map0, const std::string& map1) {
        SerialPortMap maps[SERIAL_PORTS];
        std::string err;
        ASSERT_TRUE(serial_parseMapping(map0, root.path(), &maps[0], &err)) << err;
        ASSERT_TRUE(serial_parseMapping(map1, root.path(), &maps[1], &err)) << err;
        serial_configure(root.path(), appIndex, maps);
    }
    void TearDown() override { serial_shutdown(); }

    // Reads until `n` bytes came or a read gives no more.
    static std::string readUpTo(int fd, size_t n, int timeoutMs) {
        std::string got;
        char buf[256];
        while (got.size() < n) {
            ssize_t r = serial_read(fd, buf, std::min(sizeof buf, n - got.size()), timeoutMs);
            if (r <= 0) break;
            got.append(buf, size_t(r));
        }
        return got;
    }

    TempDir root;
};

} // namespace

TEST_F(SerialTest, PtyRoundTripThroughThePublishedEnd) {
    configure(0, "pty", "pty");
    std::string err;
    int fd = serial_open("/tyCo/1", &err);
    ASSERT_GE(fd, 0) << err;
    const std::string link = serial_publishedPath(1);
    EXPECT_EQ(link, root.path() + "/tty/tyCo1");
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;

    int peer = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(peer, 0);
    const std::string sentence = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
    ASSERT_EQ(write(peer, sentence.data(), sentence.size()), ssize_t(sentence.size()));
    EXPECT_EQ(readUpTo(fd, sentence.size(), 2000), sentence); // raw line: nothing translated

    ASSERT_EQ(serial_write(fd, "ack\n", 4), 4);
    pollfd pfd{peer, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);
    char back[8] = {};
    EXPECT_EQ(read(peer, back, sizeof back), 4);
    EXPECT_STREQ(back, "ack\n");

    // The peer going away is silence on the line, not an error.
    close(peer);
    auto t0 = Clock::now();
    char c;
    EXPECT_EQ(serial_read(fd, &c, 1, 50), 0);
    EXPECT_GE(msSince(t0), 45);

    EXPECT_EQ(serial_setBaud(fd, 115200), 0);
    EXPECT_EQ(serial_setBaud(fd, 12345), -1);
    EXPECT_EQ(serial_setBaud(fd, 0), -1);

    // Reopening keeps the published end.
    serial_close(fd);
    fd = serial_open("/tyCo/1", &err, O_RDONLY);
    ASSERT_GE(fd, 0) << err;
    char again[256] = {};
    ASSERT_GT(readlink(link.c_str(), again, sizeof again - 1), 0);
    EXPECT_STREQ(again, target);
    EXPECT_EQ(serial_write(fd, "x", 1), -1); // opened read-only
    serial_close(fd);

    // Application index 1 publishes beside index 0 without taking its names.
    configure(1, "pty", "pty");
    fd = serial_open("/tyCo/0", &err);
    ASSERT_GE(fd, 0) << err;
    EXPECT_EQ(serial_publishedPath(0), root.path() + "/tty/tyCo0-1");
    EXPECT_EQ(access((root.path() + "/tty/tyCo0-1").c_str(), F_OK), 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0); // the old pty's link went with it
    serial_close(fd);
}

TEST_F(SerialTest, ReplayedFilePlaysAtLineSpeedAndThenStaysQuiet) {
    std::string trace;
    for (int i = 0; i < 6; ++i)
        trace += "$GPGGA,12351" + std::to_string(i) + ",4807.038,N,01131.000,E,1,08*47\r\n";
    trace.resize(240); // 240 bytes at 9600 baud (960 bytes/s): 250 ms
    testsupport::writeFile(root.file("gps/trace.nmea"), trace);
    configure(0, "pty", "file:gps/trace.nmea");
    std::string err;
    auto t0 = Clock::now();
    int fd = serial_open("/tyCo/1", &err);
    ASSERT_GE(fd, 0) << err;

    // A read that does not wait gets only the bytes due by then (about one a millisecond, none at
    // once); one that waits gets the rest of the line whole, once its last byte is due.
    char first[256];
    const ssize_t early = serial_read(fd, first, sizeof first, 0);
    ASSERT_GE(early, 0);
    EXPECT_LE(early, msSince(t0) + 1) << "more than the bytes due";
    const size_t line = trace.find('\n') + 1;
    const ssize_t got = serial_read(fd, first + early, sizeof first - size_t(early), 200);
    EXPECT_EQ(std::string(first, size_t(early + std::max<ssize_t>(got, 0))), trace.substr(0, line));
    EXPECT_EQ(readUpTo(fd, trace.size() - line, 200), trace.substr(line));
    const long took = msSince(t0);
    EXPECT_GE(took, 240);
    EXPECT_LT(took, 2000);

    // End of data: reads wait out their time-out and give 0, every time.
    for (int i = 0; i < 3; ++i) {
        auto t1 = Clock::now();
        EXPECT_EQ(serial_read(fd, first, sizeof first, 40), 0);
        EXPECT_GE(msSince(t1), 35);
    }
    EXPECT_EQ(serial_write(fd, "x", 1), 1); // nobody listens on a replayed line
    serial_close(fd);

    // A slower line plays slower: 48 bytes at 2400 baud take 200 ms. Every open starts afresh.
    fd = serial_open("/tyCo/1", &err);
    ASSERT_GE(fd, 0) << err;
    ASSERT_EQ(serial_setBaud(fd, 2400), 0);
    t0 = Clock::now();
    EXPECT_EQ(readUpTo(fd, 48, 500), trace.substr(0, 48));
    EXPECT_GE(msSince(t0), 190);
    serial_close(fd);

    configure(0, "file:gps/missing.nmea", "pty");
    EXPECT_EQ(serial_open("/tyCo/0", &err), -1);
    EXPECT_NE(err.find("gps/missing.nmea"), std::string::npos) << err;
}

// A sentence with its checksum.
std::string Nmea(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= uint8_t(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

TEST_F(SerialTest, ReplayedTraceSendsEachFixWhenItsTimeComesAndNeverFasterThanTheLine) {
    const std::string satellites = Nmea("GPGSV,3,1,10,02,24,074,36,05,45,185,45,07,59,259,31,09,73,333,37");
    // An RMC fix at hhmmss.ss of the day ddmmyy.
    auto fix = [](const char* time, const char* date) {
        return Nmea(std::string("GPRMC,") + time + ",A,4713.23758,N,01446.12298,E,0.02,," + date + ",,,A");
    };
    struct Line {
        std::string line;
        double due;        // s after the open, or after the line that starts the trace again
        bool anew = false; // the trace starts again here: the line goes once the line before ends
        bool held = false; // due after the test ends: nothing of it comes in the second it waits
    };
    const std::vector<Line> kTraces[] = {
        // Fixes at 23:59:59.5, 00:00:00.5 (past midnight) and 00:00:01.0; each fix's sentences
        // follow its RMC. A damaged line that names noon is no time to wait for.
        {
            {Nmea("GPRMC,235959.50,A,4713.23758,N,01446.12298,E,88.58,254.5,140626,,,A"), 0.0},
            {satellites, 0.0},
            {Nmea("GPRMC,000000.50,A,4713.23602,N,01446.11537,E,90.37,254.9,150626,,,A"), 1.0},
            {"$GPRMC,120000.00,A,4713.23476,N,01446.10846,E,92.12,255.4,150626,,,A*00\r\n", 1.0},
            {satellites, 1.0},
            {satellites, 1.0},
            {Nmea("GPGGA,000001.00,4713.23079,N,01446.08619,E,1,10,0.9,675.0,M,47.0,M,,"), 1.5},
            {satellites, 1.5},
        },
        // A receiver's cold boot: after 00:03:45 its clock says 23:59:48 of the day before. That
        // is no wait of nearly a day: the trace starts again there, and the next fixes count from it.
        {
            {Nmea("GPRMC,000344.50,V,,,,,,,150626,,,N"), 0.0},
            {Nmea("GPRMC,000345.00,V,,,,,,,150626,,,N"), 0.5},
            {fix("235948.00", "140626"), 0.0, true},
            {satellites, 0.0},
            {Nmea("GPGGA,235948.50,4713.23758,N,01446.12298,E,1,10,0.9,675.0,M,47.0,M,,"), 0.5},
            {Nmea("GPRMC,235949.00,A,4713.23758,N,01446.12298,E,0.03,,140626,,,A"), 1.0},
        },
        // Steps on by more than a receiver's longest pause, a minute: a receiver that started again
        // with a clock ahead, or two logs joined. Each goes at once: 8 hours, exactly 12 hours, and
        // 61 seconds on.
        {
            {Nmea("GPRMC,000345.00,V,,,,,,,150626,,,N"), 0.0},
            {fix("080000.00", "150626"), 0.0, true},
            {fix("080000.50", "150626"), 0.5},
            {fix("200000.50", "150626"), 0.0, true},
            {fix("200101.50", "150626"), 0.0, true},
            {fix("200102.00", "150626"), 0.5},
        },
        // Forward steps over midnight: 12:00:01 to 00:00:00 is almost 12 hours on, 23:59:30 to
        // 00:00:45 75 seconds: both go at once; 23:59:59.80 to 00:00:00.00 is a fix 0.2 s on.
        {
            {fix("120001.00", "140626"), 0.0},
            {fix("000000.00", "150626"), 0.0, true},
            {fix("000000.50", "150626"), 0.5},
            {fix("235930.00", "150626"), 0.0, true},
            {fix("000045.00", "160626"), 0.0, true},
            {fix("235959.80", "160626"), 0.0, true},
            {fix("000000.00", "170626"), 0.2},
            {fix("000000.50", "170626"), 0.7},
        },
        // A leap second: 00:00:00 comes a second after 23:59:60. A pause of exactly a minute is one
        // run whatever the fraction: 00:02:00.4 is a minute after 00:01:00.4, which is more than a
        // minute after 00:00:00 and goes at once.
        {
            {fix("235959.50", "311216"), 0.0},
            {fix("235960.00", "311216"), 0.5},
            {fix("000000.00", "010117"), 1.5},
            {fix("000100.40", "010117"), 0.0, true},
            {fix("000200.40", "010117"), 60.0, false, true},
        },
    };
    for (const auto& lines : kTraces) {
        std::string trace;
        for (const auto& l : lines) trace += l.line;
        testsupport::writeFile(root.file("gps/trace.nmea"), trace);
        configure(0, "pty", "file:gps/trace.nmea");
        std::string err;
        const auto t0 = Clock::now(); // the replay's pace counts from the open
        const int fd = serial_open("/tyCo/1", &err);
        ASSERT_GE(fd, 0) << err;
        // A line is due once its fix's time has come and, at 960 bytes/s, its bytes and those sent
        // since that time (or since the line before it ended) have passed on the line.
        double base = 0, lineFree = 0;
        for (const auto& l : lines) {
            if (l.anew) base = lineFree;
            const double due = std::max(base + l.due, lineFree) + l.line.size() / 960.0;
            lineFree = due;
            char buf[256];
            if (l.held) {
                EXPECT_EQ(serial_read(fd, buf, sizeof buf, 1000), 0) << l.line;
                continue;
            }
            const ssize_t got = serial_read(fd, buf, sizeof buf, 3000);
            const long at = msSince(t0);
            ASSERT_EQ(std::string(buf, size_t(std::max<ssize_t>(got, 0))), l.line)
                << "not handed over within 3 s";
            EXPECT_GE(at, long(due * 1000)) << l.line;
            // A line never comes 3 s late, so the trace plays in its own time and a new start
            // never waits for its fix time.
            EXPECT_LT(at, long(due * 1000) + 3000) << l.line;
        }
        serial_close(fd);
    }
}

TEST_F(SerialTest, FifoInputWithoutAWriterIsSilenceNotAnEnd) {
    configure(0, "pty", "fifo:gps.fifo");
    std::string err;
    int fd = serial_open("/tyCo/1", &err, O_RDONLY);
    ASSERT_GE(fd, 0) << err;
    int writer = open(root.file("gps.fifo").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "$GPVTG\r\n", 8), 8);
    close(writer);
    EXPECT_EQ(readUpTo(fd, 8, 1000), "$GPVTG\r\n");
    auto t0 = Clock::now();
    char c;
    EXPECT_EQ(serial_read(fd, &c, 1, 50), 0);
    EXPECT_GE(msSince(t0), 45);
    serial_close(fd);

    // A plain file where the FIFO should be is refused.
    testsupport::writeFile(root.file("plain"), "x");
    configure(0, "pty", "fifo:plain");
    EXPECT_EQ(serial_open("/tyCo/1", &err), -1);
    EXPECT_NE(err.find("not a FIFO"), std::string::npos) << err;
}

TEST_F(SerialTest, RefusalsAndCloseWakingABlockedReader) {
    configure(0, "pty", "pty");
    std::string err;
    EXPECT_EQ(serial_open("/tyCo/2", &err), -1);
    EXPECT_NE(err.find("/tyCo/2"), std::string::npos);
    EXPECT_EQ(serial_open(nullptr, &err), -1);
    char c;
    EXPECT_EQ(serial_read(12345, &c, 1, 0), -1);
    EXPECT_EQ(serial_write(12345, &c, 1), -1);
    EXPECT_EQ(serial_setBaud(12345, 9600), -1);
    serial_close(12345); // harmless

    SerialPortMap m;
    EXPECT_FALSE(serial_parseMapping("tty", root.path(), &m, &err));
    EXPECT_TRUE(serial_parseMapping("fifo:/abs/path", root.path(), &m, &err));
    EXPECT_EQ(m.path, "/abs/path");

    int fd = serial_open("/tyCo/0", &err);
    ASSERT_GE(fd, 0) << err;
    ssize_t result = 1;
    std::thread reader([&] { result = serial_read(fd, &c, 1, -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    serial_close(fd);
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_LT(msSince(t0), 1000);
}
