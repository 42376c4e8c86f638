// Board state held by the kernel-side device manager and the FPGA: PWM outputs, digital inputs and
// outputs, supply state, the status-light word and the one-wire identity chip.
//
// How the host differs from the device:
// - Nothing drives a pin. Outputs are remembered so that tests and the shell can read back what
//   the application set; inputs and the supply state are whatever tests and the shell set.
// - The one-wire ROM id is a fixed host id until set; a test can make reads fail.
// All functions are thread-safe. Range checks only: messages are the framework's business.
#pragma once

#include <cstdint>

inline constexpr uint32_t BOARD_PWM_CHANNELS = 16;
inline constexpr uint32_t BOARD_DIGITAL_INPUTS = 9;   // inputs 0..8
inline constexpr uint32_t BOARD_DIGITAL_OUTPUTS = 17; // outputs 0..16
inline constexpr int BOARD_ROM_ID_SIZE = 8;

// PWM outputs. Set refuses a channel out of range, a duty outside 0..100 % and a negative or
// non-finite frequency. Get gives false for a channel out of range; an output never set reads 0 %
// at 0 Hz.
bool board_pwmSet(uint32_t channel, float dutyPercent, float frequencyHz);
bool board_pwmGet(uint32_t channel, float* dutyPercent, float* frequencyHz);

// Digital inputs 0..8: level 0 or 1 (any non-zero level is stored as 1); -1 / false out of range.
// A set is stamped with the time it came (hostclock_nowNs).
int board_dinGet(uint32_t input);
bool board_dinSet(uint32_t input, int level);
// The level as it stood at `atNs` (hostclock_nowNs's time): a task that the host runs late reads
// its input as it was at the task's own time, not a level set since. The last 16 changes of each
// input are kept; a time before them reads the level before the oldest.
int board_dinGetAt(uint32_t input, uint64_t atNs);

// Digital outputs 0..16: value as set (8-bit); -1 / false out of range.
bool board_doutSet(uint32_t output, uint8_t value);
int board_doutGet(uint32_t output);

// Supply state: good after start.
bool board_supplyGood();
void board_setSupplyGood(bool good);

// Status-light word. Set and clear of bits are atomic against each other.
uint32_t board_statusLights();
void board_setStatusLights(uint32_t word);
void board_statusLightsSetBits(uint32_t bits);
void board_statusLightsClearBits(uint32_t bits);

// One-wire identity chip. A failed read leaves `id` untouched and returns false.
bool board_owReadRomId(uint8_t id[BOARD_ROM_ID_SIZE]);
void board_owSetRomId(const uint8_t id[BOARD_ROM_ID_SIZE]);
void board_owSetReadFailure(bool fail);

// Back to the state after start (tests).
void board_reset();
