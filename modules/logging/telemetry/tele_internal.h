// Between the telemetry frames and the JSON status datagram.
#pragma once

#include "logging/telemetry/tele_app.h"

#include <string>

// A copy of the running link settings, or null before the first start.
const tele_run_config* tele_internal_config(tele_run_config* out);
// Starts "r_teleJSON" once; later calls do nothing.
void tele_json_start();
void tele_json_exit();
// The datagram's text from the channels and the CRC of "cfg:/dcp.ini" (haveDcp false: none).
std::string tele_json_build(const tele_run_config& cfg, bool haveDcp, uint32_t dcpCrc);
