// Time of the device: time stamps, the millisecond clock, the application clock and the date.
// All come from the one host clock.
#pragma once

#include <cstdint>

// Time stamp in units of 100 us, free-running and wrapping.
uint32_t time_getTimestamp();
// The time stamp of a moment of device time (nanoseconds of the host clock), e.g. a tick's due time.
uint32_t time_timestampOf(uint64_t deviceNs);
// 0..3, 3 = full synchronisation. The host clock counts as the global time (3) unless set.
uint8_t time_getSyncState();
void time_setSyncState(uint8_t state); // tests and the shell
// Free-running millisecond clock.
uint32_t time_get_time_ms();

struct timeserv_time_t {
    uint16_t year, month, day, hour, minute, second, millisecond;
};
void timeserv_readSystemTime(timeserv_time_t* fields);
// Non-zero when the time service knows its masters; fills the ids (either pointer may be null).
uint8_t timeserv_getMasterIds(uint32_t* first, uint32_t* second);
void timeserv_setMasterIds(uint32_t first, uint32_t second); // time service / tests

struct appl_time_t {
    uint32_t sec;
    uint32_t nsec;
};
void clock_appltime(appl_time_t* time);
void clock_difftime(const appl_time_t* later, const appl_time_t* earlier, appl_time_t* difference);

struct conv_date_t {
    uint16_t year, month, day, hour, minute, second;
};
// The application clock counts from 1970 (UTC). True when converted.
bool conv_time_to_date(const appl_time_t* time, conv_date_t* date);
