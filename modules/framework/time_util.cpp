#include "framework/time_util.h"

#include "platform/rtos/hostclock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<uint8_t> gSyncState{3};
std::atomic<uint32_t> gMaster1{0};
std::atomic<uint32_t> gMaster2{0};

bool toDate(int64_t sec, struct tm* out) {
    const time_t t = time_t(sec);
    return gmtime_r(&t, out) != nullptr;
}
} // namespace

uint32_t time_getTimestamp() {
    return time_timestampOf(hostclock_nowNs());
}
uint32_t time_timestampOf(uint64_t deviceNs) {
    return uint32_t(deviceNs / 100000ULL);
}

uint8_t time_getSyncState() {
    return gSyncState.load();
}
void time_setSyncState(uint8_t state) {
    gSyncState.store(state > 3 ? 3 : state);
}

uint32_t time_get_time_ms() {
    return uint32_t(hostclock_nowNs() / 1000000ULL);
}

void timeserv_readSystemTime(timeserv_time_t* f) {
    if (!f) return;
    const int64_t ns = hostclock_realtimeNs();
    struct tm tmv {};
    toDate(ns / 1000000000LL, &tmv);
    f->year = uint16_t(tmv.tm_year + 1900);
    f->month = uint16_t(tmv.tm_mon + 1);
    f->day = uint16_t(tmv.tm_mday);
    f->hour = uint16_t(tmv.tm_hour);
    f->minute = uint16_t(tmv.tm_min);
    f->second = uint16_t(tmv.tm_sec);
    f->millisecond = uint16_t((ns / 1000000LL) % 1000);
}

uint8_t timeserv_getMasterIds(uint32_t* first, uint32_t* second) {
    const uint32_t a = gMaster1.load(), b = gMaster2.load();
    if (a == 0 && b == 0) return 0;
    if (first) *first = a;
    if (second) *second = b;
    return 1;
}

void timeserv_setMasterIds(uint32_t first, uint32_t second) {
    gMaster1.store(first);
    gMaster2.store(second);
}

void clock_appltime(appl_time_t* time) {
    if (!time) return;
    const int64_t ns = hostclock_realtimeNs();
    time->sec = uint32_t(ns / 1000000000LL);
    time->nsec = uint32_t(ns % 1000000000LL);
}

void clock_difftime(const appl_time_t* later, const appl_time_t* earlier, appl_time_t* difference) {
    if (!later || !earlier || !difference) return;
    int64_t sec = int64_t(later->sec) - int64_t(earlier->sec);
    int64_t nsec = int64_t(later->nsec) - int64_t(earlier->nsec);
    if (nsec < 0) {
        nsec += 1000000000LL;
        --sec;
    }
    difference->sec = uint32_t(sec);
    difference->nsec = uint32_t(nsec);
}

bool conv_time_to_date(const appl_time_t* time, conv_date_t* date) {
    if (!time || !date) return false;
    struct tm tmv {};
    if (!toDate(int64_t(time->sec), &tmv)) return false;
    date->year = uint16_t(tmv.tm_year + 1900);
    date->month = uint16_t(tmv.tm_mon + 1);
    date->day = uint16_t(tmv.tm_mday);
    date->hour = uint16_t(tmv.tm_hour);
    date->minute = uint16_t(tmv.tm_min);
    date->second = uint16_t(tmv.tm_sec);
    return true;
}
