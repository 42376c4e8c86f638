// The time of the fix that a recorded receiver line belongs to, for replaying a recorded trace in
// the time it was recorded in.
#pragma once

#include <cstddef>

// Seconds since midnight (UTC) of the fix that the NMEA sentence in [line, line + n) reports: the
// time field of RMC, GGA, GNS and ZDA (any talker) and of GLL. False for another sentence, an empty
// or malformed time field, or a line whose checksum is missing or wrong (a damaged line carries no
// time to wait for).
bool serial_fixTime(const char* line, size_t n, double* secondsOfDay);
