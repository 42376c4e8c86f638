#include "platform/board/board.h"

#include "platform/rtos/hostclock.h"

#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

// Family code 0x01, the serial number "MSDHOS" and the one-wire CRC-8 over both, as a chip would
// report it.
constexpr std::array<uint8_t, BOARD_ROM_ID_SIZE> kHostRomId = {0x01, 'M', 'S', 'D', 'H', 'O', 'S', 0x99};

struct Pwm {
    float duty = 0.0f;
    float frequency = 0.0f;
};

// The last changes of a digital input, each with the time it came and the level before it.
struct DinChange {
    uint64_t atNs;
    uint8_t before;
};
constexpr size_t kDinChanges = 16;

struct DinHistory {
    std::array<DinChange, kDinChanges> changes{};
    size_t count = 0; // changes made; the newest is at (count - 1) % kDinChanges
};

struct BoardState {
    std::array<Pwm, BOARD_PWM_CHANNELS> pwm{};
    std::array<uint8_t, BOARD_DIGITAL_INPUTS> din{};
    std::array<DinHistory, BOARD_DIGITAL_INPUTS> dinHistory{};
    std::array<uint8_t, BOARD_DIGITAL_OUTPUTS> dout{};
    bool supplyGood = true;
    uint32_t statusLights = 0;
    std::array<uint8_t, BOARD_ROM_ID_SIZE> romId = kHostRomId;
    bool romReadFails = false;
};

std::mutex g_lock;
BoardState g_board;

} // namespace

bool board_pwmSet(uint32_t channel, float dutyPercent, float frequencyHz) {
    if (channel >= BOARD_PWM_CHANNELS || !std::isfinite(dutyPercent) || !std::isfinite(frequencyHz) ||
        dutyPercent < 0.0f || dutyPercent > 100.0f || frequencyHz < 0.0f)
        return false;
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.pwm[channel] = {dutyPercent, frequencyHz};
    return true;
}

bool board_pwmGet(uint32_t channel, float* dutyPercent, float* frequencyHz) {
    if (channel >= BOARD_PWM_CHANNELS) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    if (dutyPercent) *dutyPercent = g_board.pwm[channel].duty;
    if (frequencyHz) *frequencyHz = g_board.pwm[channel].frequency;
    return true;
}

int board_dinGet(uint32_t input) {
    if (input >= BOARD_DIGITAL_INPUTS) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    return g_board.din[input];
}

bool board_dinSet(uint32_t input, int level) {
    if (input >= BOARD_DIGITAL_INPUTS) return false;
    const uint64_t now = hostclock_nowNs();
    std::lock_guard<std::mutex> guard(g_lock);
    const uint8_t before = g_board.din[input], after = level != 0;
    if (before == after) return true;
    g_board.din[input] = after;
    DinHistory& h = g_board.dinHistory[input];
    h.changes[h.count++ % kDinChanges] = {now, before};
    return true;
}

int board_dinGetAt(uint32_t input, uint64_t atNs) {
    if (input >= BOARD_DIGITAL_INPUTS) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    const DinHistory& h = g_board.dinHistory[input];
    int level = g_board.din[input];
    // From the newest change back: each one after `atNs` had not come yet then.
    for (size_t k = 0; k < h.count && k < kDinChanges; ++k) {
        const DinChange& c = h.changes[(h.count - 1 - k) % kDinChanges];
        if (c.atNs <= atNs) break;
        level = c.before;
    }
    return level;
}

bool board_doutSet(uint32_t output, uint8_t value) {
    if (output >= BOARD_DIGITAL_OUTPUTS) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.dout[output] = value;
    return true;
}

int board_doutGet(uint32_t output) {
    if (output >= BOARD_DIGITAL_OUTPUTS) return -1;
    std::lock_guard<std::mutex> guard(g_lock);
    return g_board.dout[output];
}

bool board_supplyGood() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_board.supplyGood;
}

void board_setSupplyGood(bool good) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.supplyGood = good;
}

uint32_t board_statusLights() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_board.statusLights;
}

void board_setStatusLights(uint32_t word) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.statusLights = word;
}

void board_statusLightsSetBits(uint32_t bits) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.statusLights |= bits;
}

void board_statusLightsClearBits(uint32_t bits) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.statusLights &= ~bits;
}

bool board_owReadRomId(uint8_t id[BOARD_ROM_ID_SIZE]) {
    if (!id) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_board.romReadFails) return false;
    std::memcpy(id, g_board.romId.data(), BOARD_ROM_ID_SIZE);
    return true;
}

void board_owSetRomId(const uint8_t id[BOARD_ROM_ID_SIZE]) {
    if (!id) return;
    std::lock_guard<std::mutex> guard(g_lock);
    std::memcpy(g_board.romId.data(), id, BOARD_ROM_ID_SIZE);
}

void board_owSetReadFailure(bool fail) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board.romReadFails = fail;
}

void board_reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_board = BoardState{};
}
