// The GPS receiver's two tasks: "r_gpsTask" reads lines from "/tyCo/1" and parses them,
// "r_gpsTaskOut" publishes the record's status part every 100 ms and clears it after 2.5 s
// without a position sentence.
#include "laptiming/gps_task.h"

#include "laptiming/gps_fixes.h"
#include "laptiming/gps_nmea.h"

#include "framework/board_io.h"
#include "framework/syslog.h"
#include "measdata/seram.h"
#include "platform/board/serial.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

namespace {

constexpr const char* kPort = "/tyCo/1";
constexpr int kReadTimeoutMs = 100; // a time-out is silence on the line, not its end
constexpr float kSilenceSeconds = 2.5f;

struct GpsTasks {
    std::mutex m; // guards fd between the task and the shutdown
    int fd = -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> stopOutput{false};
    TASK_ID task = TASK_ID_ERROR;
    TASK_ID output = TASK_ID_ERROR;
};

GpsTasks& tasks() {
    static GpsTasks t;
    return t;
}

void parseLine(char* line, int len) {
    line[len] = '\0';
    semTake(nmea_info.lock, WAIT_FOREVER);
    gps_parse(line, len + 1, &nmea_info);
    semGive(nmea_info.lock);
}

// Assembles lines of at most GPS_LINE_MAX characters: LF ends a line, a CR before it is dropped,
// a NUL drops what came so far.
struct LineAssembler {
    char buf[GPS_LINE_MAX + 2];
    int len = 0;

    void put(char c) {
        if (c == '\0') {
            buf[len] = '\0';
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "gps_task() received NULL Byte, dumping sentence '%s'", buf);
            len = 0;
            return;
        }
        if (c == '\n') {
            if (len > 0 && buf[len - 1] == '\r') --len;
            flush();
            return;
        }
        buf[len++] = c;
        if (len == GPS_LINE_MAX) flush();
    }
    void flush() {
        if (len > 0) parseLine(buf, len);
        len = 0;
    }
};

// Opens the port at GPS_BAUDRATE and publishes the descriptor for the shutdown; -1 when it cannot
// be opened or the shutdown has begun.
int openPort() {
    const uint32_t baud = seramCal().GPS_BAUDRATE;
    if (baud == 0)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "gps_task() init gps serial baudrate impossible: baudrate zero");
    const int fd = gps_intf_open(baud > uint32_t(INT_MAX) ? -1 : int(baud));
    if (fd < 0) return -1;
    GpsTasks& t = tasks();
    std::lock_guard<std::mutex> guard(t.m);
    if (t.stop.load()) {
        serial_close(fd);
        return -1;
    }
    t.fd = fd;
    return fd;
}

void closePort() {
    GpsTasks& t = tasks();
    std::lock_guard<std::mutex> guard(t.m);
    if (t.fd >= 0) serial_close(t.fd);
    t.fd = -1;
}

float secondsSince(const nmeaMONOTIME& earlier, const nmeaMONOTIME& now) {
    int64_t sec = int64_t(now.sec) - int64_t(earlier.sec);
    int64_t nsec = int64_t(now.nsec) - int64_t(earlier.nsec);
    if (nsec < 0) {
        nsec += 1000000000;
        --sec;
    }
    return float(sec) + float(nsec) * 1e-9f;
}

} // namespace

int gps_intf_open(int baud) {
    std::string why;
    const int fd = serial_open(kPort, &why, O_RDONLY);
    if (fd < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "gps_intf_open() Can not open gps stream.");
        return -1;
    }
    if (serial_setBaud(fd, baud) != 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "gps_intf_open() could not set baudrate: errno %s, %d",
                          std::strerror(errno), baud);
        serial_close(fd);
        return -1;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2, "gps_intf_open() fOpened '%s' for gps at %dbaud", kPort, baud);
    return fd;
}

void gps_task() {
    GpsTasks& t = tasks();
    LineAssembler line;
    char chunk[256];
    while (!t.stop.load()) {
        const int fd = openPort();
        if (fd < 0) return;
        for (;;) {
            const ssize_t n = serial_read(fd, chunk, sizeof chunk, kReadTimeoutMs);
            if (t.stop.load()) break;
            if (n == 0) continue;
            if (n < 0) {
                line.flush();
                break;
            }
            for (ssize_t i = 0; i < n; ++i) line.put(chunk[i]);
        }
        closePort();
        if (t.stop.load()) return;
        // A failing line is reopened, but not faster than ten times a second.
        taskDelay(sysClkRateGet() / 10);
    }
}

void gps_task_output() {
    GpsTasks& t = tasks();
    while (!t.stopOutput.load()) {
        semTake(nmea_info.lock, WAIT_FOREVER);
        if (nmea_info.lastSet && secondsSince(nmea_info.last, gps_monoNow()) > kSilenceSeconds) {
            nmea_info.smask = 0;
            nmea_info.sig = 0;
            nmea_info.fix = 1;
            nmea_info.PDOP = nmea_info.HDOP = nmea_info.VDOP = 100.0;
            nmea_info.inuse = 0;
            for (nmeaSATELLITE& s : nmea_info.sat) s.in_use = 0;
            nmea_info.lastSet = false;
            SYSLOGX_ONCE_SITE(LOG_PRIO_DEBUG, "gps_task_output() gps data on serial timeouted");
        }
        gps_outputStatus(&nmea_info);
        semGive(nmea_info.lock);
        taskDelay(sysClkRateGet() / 10);
    }
}

void gps_init() {
    gps_nmea_data_reset(&nmea_info);
    gps_fixesReset();
    if (!pinConfig_getRS232GPSEnabled()) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_INFO, "GPS not configured, no GPS");
        return;
    }
    if (nmea_info.lock == SEM_ID_NULL) nmea_info.lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (nmea_info.lock == SEM_ID_NULL) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gps_init(): gps semaphore not created");
        return;
    }
    GpsTasks& t = tasks();
    t.stop = false;
    t.stopOutput = false;
    t.task = taskSpawn("r_gpsTask", 126, VX_FP_TASK, 20000, gps_task);
    if (t.task == TASK_ID_ERROR) SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gpsi_init(): task create gps_task failed");
    t.output = taskSpawn("r_gpsTaskOut", 126, VX_FP_TASK, 2000, gps_task_output);
    if (t.output == TASK_ID_ERROR)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "gpsi_init(): task create gps_task_output failed");
}

void gps_stop() {
    GpsTasks& t = tasks();
    t.stop = true;
    closePort(); // wakes the read
    if (t.task != TASK_ID_ERROR) {
        taskDelete(t.task); // wakes the pause before a reopen
        taskJoin(t.task, 2000);
        t.task = TASK_ID_ERROR;
    }
}

void gps_stopOutput() {
    GpsTasks& t = tasks();
    t.stopOutput = true;
    if (t.output != TASK_ID_ERROR) {
        taskDelete(t.output); // wakes its pause, also on a hand-driven clock
        taskJoin(t.output, 2000);
        t.output = TASK_ID_ERROR;
    }
}

void rs232_loopback_2_task() {
    std::string why;
    const int fd = serial_open(kPort, &why, O_RDWR);
    if (fd < 0) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "Failed to open GPS_IO_CHANNEL");
        return;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_INFO2, "Opened ittyb: for ftest.");
    for (;;) {
        char c = 0;
        if (serial_read(fd, &c, 1, 0) != 1) {
            taskDelay(sysClkRateGet() / 10);
            continue;
        }
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "ftest ittyb: got char: %c", c);
        serial_write(fd, &c, 1);
    }
}
