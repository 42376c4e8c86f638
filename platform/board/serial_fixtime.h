// The time of the fix that a recorded receiver line belongs to, for replaying a recorded trace in
// the time it was recorded in.
#pragma once

#include <cstddef>
#include <cstdint>

// Whole milliseconds since midnight (UTC) of the fix that the NMEA sentence in [line, line + n)
// reports: the time field of RMC, GGA, GNS and ZDA (any talker) and of GLL, digits beyond the
// millisecond dropped; a leap second, 23:59:60, reads from 86400000. Whole numbers, so that the
// step between two fixes is exact. False for another sentence, an empty or malformed time field, or
// a line whose checksum is missing or wrong (a damaged line carries no time to wait for).
bool serial_fixTime(const char* line, size_t n, int64_t* msOfDay);
