// Board inputs and outputs as the application uses them.
#pragma once

#include <cstdint>

// Non-zero when input n (0..8) is high; in a raster's pass, as it stood at the pass's due time.
int digital_ioIn(uint32_t n);
void digital_ioOut(uint32_t channel, uint8_t value); // channels above 16 are refused (logged)
void PwmOut_Set(uint32_t channel, float dutyPercent, float frequencyHz);
void PwmOut_StopAll(); // ordered shutdown: every output to 0 %
bool pinConfig_getRS232GPSEnabled();
bool pinConfig_getRS232TeleEnabled();
bool supply_isGood();

extern volatile uint32_t meas_led_status; // the logging status word shown on the status lights
void meas_led_set_status(uint32_t bits);
void meas_led_clr_status(uint32_t bits);

void ow_readRomID(uint8_t id[8]);
// Network settings: logged; the host's routes are never touched.
void add_subnet(uint32_t address);
void setDefaultGateway(uint32_t address);
