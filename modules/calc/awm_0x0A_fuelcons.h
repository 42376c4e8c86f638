// The fuel-consumption channel (calculation-channel module 0x0A) as the lap-trigger exchange
// reaches it. The channel module is not part of this build, so no fuel-consumption channel exists.
#pragma once

// Marks a lap for the fuel-consumption channel and returns the fuel used on the lap just
// completed; 0.0 when no fuel-consumption channel exists (always, in this build).
float awm_0x0A_fuelcons_setLaptrigger();
