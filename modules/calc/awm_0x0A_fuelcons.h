// The fuel-consumption channel (calculation-channel module 0x0A): configures the fuel part of the
// lap model from its record in the channel table (awm_model_cfg.h), feeds the model's 100 ms step
// with the fuel input, the reset input and the lap mark, and keeps the consumed and the total fuel
// in cells of its own, stored in NV record 12 once a second when they changed, so that they come
// back as start values after a restart.
#pragma once

#include <cstdint>

struct awm_fuelcons_cfg;

// Set-up from the channel table: the model's parameters, the inputs and the fuel cells. False
// (logged) for a second fuel-consumption channel.
bool awm_0x0A_fuelcons_ini(uint32_t channel, const awm_fuelcons_cfg& cfg);
// Host and tests: the inputs stop; the channel no longer exists.
void awm_0x0A_fuelcons_exit();
bool awm_0x0A_fuelcons_configured();

// Model inputs (100 ms).
float awm_0x0A_fuelcons_getFuel();         // converted fuel input; 0 while not configured, stopped or invalid
uint8_t awm_0x0A_fuelcons_getReset();      // reset input level; inactive while not configured or stopped
uint8_t awm_0x0A_fuelcons_getLaptrigger(); // 1 once after a lap was marked

// Marks a lap for the fuel-consumption channel and returns the fuel used on the lap just
// completed; 0.0 when no fuel-consumption channel exists.
float awm_0x0A_fuelcons_setLaptrigger();

// The 100 ms raster after the model step: stores the fuel values once a second when they changed.
void awm_0x0A_fuelcons_store();
