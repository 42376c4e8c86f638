// Every position the receiver took, each with its own time on the device's clock, kept for the
// GPS trigger line: the measurement variables hold only the newest values, and a reader that runs
// late (a host that held the process back hands the receiver's sentences over in a burst) would
// see none of those between.
//
// A fix's time is its UTC time mapped onto the device's clock by the smallest delay seen between a
// fix's time and its arrival: a fix that arrives late, behind others, keeps the time it was made.
// Midnight is passed through; a receiver whose clock goes back is mapped anew from that fix.
// The receiver's task writes, one reader per consumer reads; the queue keeps the newest
// GPS_FIXES_KEPT, no lock is taken and nothing is allocated.
#pragma once

#include "laptiming/gps_nmea.h"

#include <cstdint>

inline constexpr uint32_t GPS_FIXES_KEPT = 512; // 25 s at 20 fixes a second, GGA, RMC and VTG each

// The values as the measurement variables gps_lat, gps_long, gps_speed and gps_direction took them.
struct GpsFix {
    uint64_t atNs; // device time (hostclock_nowNs) of the fix
    float lat, lon;
    float speedKmh, heading;
};

// The parser, after a GGA, RMC or VTG was published: the record's values as one fix. GGA and RMC
// carry the fix's UTC time; a VTG belongs to the fix before it. `receivedNs` is the device time
// the sentence came.
void gps_fixTaken(const nmeaINFO* info, bool timed, uint64_t receivedNs);

// A consumer's place in the queue.
struct GpsFixReader {
    uint64_t next = 0;
};
// From the next fix taken on; those before are not read.
void gps_fixReaderStart(GpsFixReader* reader);
// The next fix made no later than `notAfterNs`, in the order taken; false when there is none yet.
// Fixes overwritten before they were read are passed over.
bool gps_fixNext(GpsFixReader* reader, uint64_t notAfterNs, GpsFix* fix);

// The receiver's start: no mapping of fix times yet (the fixes kept stay for their readers).
void gps_fixesReset();
