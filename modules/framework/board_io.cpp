#include "framework/board_io.h"

#include "framework/raster.h"
#include "framework/syslog.h"
#include "platform/board/board.h"

#include <cstring>
#include <mutex>

volatile uint32_t meas_led_status = 0;

namespace {
std::mutex gLedMutex;
}

// A raster's pass reads the input as it stood at the pass's due time: a pass that the host runs late
// (after a hold, its late ticks counted out) sees no change that came after its own time, so a
// beacon is timed by when it came, not by when the late pass ran.
int digital_ioIn(uint32_t n) {
    const uint64_t due = raster_passDueNs();
    return (due != 0 ? board_dinGetAt(n, due) : board_dinGet(n)) > 0 ? 1 : 0;
}

void digital_ioOut(uint32_t channel, uint8_t value) {
    if (channel > 16) {
        syslogx(LOG_PRIO_ERR, "digital_ioOut(): call to unknown channel %d", int(channel));
        return;
    }
    board_doutSet(channel, value);
}

void PwmOut_Set(uint32_t channel, float dutyPercent, float frequencyHz) {
    if (!board_pwmSet(channel, dutyPercent, frequencyHz)) {
        static uint8_t flood = 0;
        SYSLOGX_FLOOD(flood, LOG_PRIO_ERR, "PwmOut_Set(): channel %u refused (duty %.1f %%, %.1f Hz)",
                      unsigned(channel), double(dutyPercent), double(frequencyHz));
    }
}

void PwmOut_StopAll() {
    for (uint32_t ch = 0; ch < BOARD_PWM_CHANNELS; ++ch) {
        float duty = 0, freq = 0;
        if (board_pwmGet(ch, &duty, &freq)) board_pwmSet(ch, 0.0f, freq);
    }
}

bool pinConfig_getRS232GPSEnabled() {
    return true;
}
bool pinConfig_getRS232TeleEnabled() {
    return true;
}
bool supply_isGood() {
    return board_supplyGood();
}

void meas_led_set_status(uint32_t bits) {
    std::lock_guard<std::mutex> lk(gLedMutex);
    meas_led_status = meas_led_status | bits;
    board_setStatusLights(meas_led_status);
}

void meas_led_clr_status(uint32_t bits) {
    std::lock_guard<std::mutex> lk(gLedMutex);
    meas_led_status = meas_led_status & ~bits;
    board_setStatusLights(meas_led_status);
}

void ow_readRomID(uint8_t id[8]) {
    if (!id) return;
    if (!board_owReadRomId(id)) {
        std::memset(id, 0, 8);
        syslogx(LOG_PRIO_ERR, "Reading OWID failed");
    }
}

void add_subnet(uint32_t address) {
    syslogx(LOG_PRIO_INFO, "add_subnet(): route to %u.%u.%u.0/24 (not applied on this host)",
            unsigned(address >> 24), unsigned((address >> 16) & 0xFF), unsigned((address >> 8) & 0xFF));
}

void setDefaultGateway(uint32_t address) {
    syslogx(LOG_PRIO_INFO, "setDefaultGateway(): gateway %u.%u.%u.%u (not applied on this host)",
            unsigned(address >> 24), unsigned((address >> 16) & 0xFF), unsigned((address >> 8) & 0xFF),
            unsigned(address & 0xFF));
}
