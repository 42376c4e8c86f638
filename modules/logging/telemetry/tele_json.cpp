// The JSON status datagram: lap distance, GPS position and the checksum of the device
// configuration "cfg:/dcp.ini", once a second over UDP to the pit's receiver.
#include "framework/appman.h"
#include "framework/fileutil.h"
#include "framework/syslog.h"
#include "logging/telemetry/tele_internal.h"
#include "measdata/chandata.h"
#include "measdata/crc.h"
#include "platform/rtos/rtos.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::mutex& gJsonMutex = *new std::mutex; // never destroyed: used until the process ends
TASK_ID gJsonTask = TASK_ID_ERROR;

void jsonTask() {
    tele_run_config cfg{};
    if (!tele_internal_config(&cfg)) return;
    if (cfg.lapdist) chan_meas_setup(cfg.lapdist, 3, 7);
    if (cfg.GPSLat) chan_meas_setup(cfg.GPSLat, 3, 7);
    if (cfg.GPSLong) chan_meas_setup(cfg.GPSLong, 3, 7);
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        syslogx(LOG_PRIO_ERR2, "tele_task_JSON(): Create UDP Tx Socket failed");
        return;
    }
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(appman_params().jsonReceiver);
    dest.sin_port = htons(TELE_JSON_PORT);

    size_t length = 0;
    char* dcp = fload("cfg:/dcp.ini", &length);
    const bool haveDcp = dcp != nullptr;
    const uint32_t crc = haveDcp ? crc32_bsd(dcp, length) : 0;
    std::free(dcp);
    if (haveDcp)
        syslogx(LOG_PRIO_DEBUG, "tele_task_JSON(): dcp.ini found, checksum : 0x%08x", unsigned(crc));
    else
        syslogx(LOG_PRIO_DEBUG, "tele_task_JSON(): NO dcp.ini found!");

    struct Closer {
        int fd;
        ~Closer() { close(fd); } // the task ends by unwinding at its wait
    } closer{sock};
    for (;;) {
        tele_internal_config(&cfg); // prjcode and sw_id of the running configuration
        const std::string text = tele_json_build(cfg, haveDcp, crc);
        if (text.size() > 2) {
            const ssize_t n =
                sendto(sock, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
            if (n != ssize_t(text.size()))
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "tele_task_JSON: could not send data on udp port Bytes %d",
                                  int(n));
        }
        taskDelay(sysClkRateGet());
    }
}

} // namespace

std::string tele_json_build(const tele_run_config& cfg, bool haveDcp, uint32_t dcpCrc) {
    std::string out = "{";
    char piece[128];
    double v = 0;
    auto add = [&](const char* text) {
        if (out.size() > 1) out += ",";
        out += text;
    };
    if (cfg.lapdist && chan_meas_getValue(cfg.lapdist, &v, 0)) {
        std::snprintf(piece, sizeof piece, "\"lapdist\":%d", int(uint32_t(v + 0.5)));
        add(piece);
    }
    if (cfg.GPSLat && chan_meas_getValue(cfg.GPSLat, &v, 0)) {
        std::snprintf(piece, sizeof piece, "\"gps_lat\":%.6f", double(float(v)));
        add(piece);
    }
    if (cfg.GPSLong && chan_meas_getValue(cfg.GPSLong, &v, 0)) {
        std::snprintf(piece, sizeof piece, "\"gps_long\":%.6f", double(float(v)));
        add(piece);
    }
    if (haveDcp) {
        std::snprintf(piece, sizeof piece, "\"dcp_ini_crc\":%u, \"prjcode\":%u, \"sw_id\":%u",
                      unsigned(dcpCrc), unsigned(cfg.projectCode), unsigned(cfg.SoftwareID));
        add(piece);
    }
    out += "}";
    return out;
}

void tele_json_start() {
    std::lock_guard<std::mutex> lk(gJsonMutex);
    if (gJsonTask != TASK_ID_ERROR) return;
    gJsonTask = taskSpawn("r_teleJSON", TELE_PRIORITY, VX_FP_TASK, TELE_STACK, jsonTask);
    if (gJsonTask == TASK_ID_ERROR) syslogx(LOG_PRIO_ERR, "tele_app_start(): could not start tele_task_JSON");
}

void tele_json_exit() {
    std::lock_guard<std::mutex> lk(gJsonMutex);
    if (gJsonTask == TASK_ID_ERROR) return;
    taskDelete(gJsonTask);
    taskJoin(gJsonTask, 3000);
    gJsonTask = TASK_ID_ERROR;
}
