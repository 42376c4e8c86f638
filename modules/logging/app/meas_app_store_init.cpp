#include "framework/board_io.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/app/meas_app_store.h"
#include "logging/store/meas_app_pretrig.h"
#include "measdata/crc.h"

#include <cerrno>
#include <cstring>

LIST gFileQueue;
SEM_ID gFileQueueSem = SEM_ID_NULL;
std::atomic<uint32_t> meas_data_size_m01_uncompressed{0}, meas_data_size_m01_compressed{0};
std::atomic<uint32_t> meas_data_size_m03_uncompressed{0}, meas_data_size_m03_compressed{0};

namespace {
std::atomic<uint32_t> loggerId{0};

uint8_t bcd(unsigned v) {
    return uint8_t(((v / 10) % 10) << 4 | (v % 10));
}
} // namespace

int MeasAppStore_init() {
    static const meas_app_PreTrigFileQueue queue{meas_app_file_closing};
    lstInit(&gFileQueue);
    if (!gFileQueueSem) gFileQueueSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!gFileQueueSem) {
        syslogx(LOG_PRIO_ERR, "MeasAppStore_init(): failed to create semaphore, errno %s",
                std::strerror(errno));
        return 1;
    }
    meas_app_PreTrigSetFileQueue(&queue);
    uint8_t rom[8];
    ow_readRomID(rom);
    loggerId = crc32_bsd(rom, sizeof rom);
    return 0;
}

uint32_t meas_app_getLoggerId() {
    return loggerId.load();
}

void get_bcd_time(uint8_t out[6]) {
    appl_time_t now{};
    clock_appltime(&now);
    conv_date_t d{};
    if (!conv_time_to_date(&now, &d)) return;
    out[0] = bcd(d.year % 100);
    out[1] = bcd(d.month);
    out[2] = bcd(d.day);
    out[3] = bcd(d.hour);
    out[4] = bcd(d.minute);
    out[5] = bcd(d.second);
}
