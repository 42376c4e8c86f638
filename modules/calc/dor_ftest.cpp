// The factory echo test of the serial ports: started by name, never by the application.
#include "calc/dor_data.h"

#include "framework/syslog.h"
#include "platform/board/serial.h"

#include <cstdio>
#include <string>

namespace {

constexpr int kReadTimeoutMs = 100;

} // namespace

TASK_ID rs232_loopback() {
    if (taskSpawn("r_rs232_loopback_0", 200, VX_FP_TASK, 8192, [] { rs232_loopback_task(0); }) ==
        TASK_ID_ERROR)
        syslogx(LOG_PRIO_ERR, "ftest_rs232_loopback(): task create rs232_loopback_1_task failed");
    const TASK_ID second =
        taskSpawn("r_rs232_loopback_1", 201, VX_FP_TASK, 8192, [] { rs232_loopback_task(1); });
    if (second == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "ftest_rs232_loopback(): task create rs232_loopback_2_task failed");
        return TASK_ID_ERROR;
    }
    return second;
}

void rs232_loopback_task(int port) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%d", "/tyCo/", port);
    std::string error;
    const int fd = serial_open(name, &error, O_RDWR);
    if (fd < 0) {
        syslogx(LOG_PRIO_ERR2, "Failed to open '%s' for ftest.", name);
        return;
    }
    syslogx(LOG_PRIO_INFO2, "Opened '%s' for ftest.", name);
    serial_setBaud(fd, 9600);
    for (;;) {
        char c = 0;
        const ssize_t n = serial_read(fd, &c, 1, kReadTimeoutMs);
        if (n < 0) break; // the port was closed (shutdown)
        if (n == 0) continue;
        if (c == '\0') {
            taskDelay(1);
            continue;
        }
        syslogx(LOG_PRIO_DEBUG2, "ftest '%s' got char: %c", name, c);
        serial_write(fd, &c, 1);
    }
    serial_close(fd);
}
