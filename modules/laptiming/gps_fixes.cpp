#include "laptiming/gps_fixes.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>

namespace {

constexpr uint64_t kWriting = ~uint64_t(0);
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kDayMs = 86400000;
// How fast the mapping follows a device clock that runs slower than the receiver's: 100 ppm.
constexpr int64_t kFollowNsPerMs = 100;

// One fix; its number tells whether it is whole (a seqlock of one writer).
struct Slot {
    std::atomic<uint64_t> seq{kWriting};
    std::atomic<uint64_t> atNs{0};
    std::atomic<uint32_t> lat{0}, lon{0}, speed{0}, heading{0};
};

Slot gRing[GPS_FIXES_KEPT];
std::atomic<uint64_t> gWritten{0};

// The writer's side: the mapping of fix times onto the device's clock.
struct FixClock {
    bool mapped = false;
    int64_t offsetNs = 0;    // device time less the UTC time of a fix that came without delay
    int64_t dayMs = 0;       // days passed since the first fix, in ms
    int64_t lastOfDayMs = 0; // the last fix's time of day
    int64_t lastUtcMs = 0;   // the last fix's time, days included
    uint64_t lastAtNs = 0;
};
FixClock gClock;

uint32_t bits(float v) {
    return std::bit_cast<uint32_t>(v);
}

// A reader that sees a value stored after the slot was marked as being written sees the mark too.
float value(const std::atomic<uint32_t>& cell) {
    return std::bit_cast<float>(cell.load(std::memory_order_acquire));
}

// The fix's UTC time in ms, counted on over midnight (a day that ends in a leap second, 23:59:60,
// is a second longer).
int64_t utcOf(const nmeaINFO* info) {
    FixClock& c = gClock;
    const int64_t ofDay =
        ((int64_t(info->hour) * 60 + info->min) * 60 + info->sec) * 1000 + int64_t(info->hsec) * 10;
    if (c.mapped && ofDay + kDayMs / 2 < c.lastOfDayMs)
        c.dayMs += c.lastOfDayMs >= kDayMs ? kDayMs + 1000 : kDayMs;
    c.lastOfDayMs = ofDay;
    return c.dayMs + ofDay;
}

uint64_t deviceTimeOf(const nmeaINFO* info, uint64_t receivedNs) {
    FixClock& c = gClock;
    const int64_t utc = utcOf(info);
    const int64_t delay = int64_t(receivedNs) - utc * kNsPerMs;
    // A fix time that goes back is a receiver whose clock started again: the mapping starts anew
    // from it. One that leaps ahead came with less delay than any before.
    const bool again = !c.mapped || utc < c.lastUtcMs;
    if (again || delay < c.offsetNs) {
        c.offsetNs = delay;
        c.mapped = true;
        if (again) c.lastAtNs = 0;
    } else {
        c.offsetNs += std::min(delay - c.offsetNs, std::max<int64_t>(0, utc - c.lastUtcMs) * kFollowNsPerMs);
    }
    c.lastUtcMs = utc;
    const uint64_t at = uint64_t(utc * kNsPerMs + c.offsetNs);
    return std::clamp(at, std::min(c.lastAtNs, receivedNs), receivedNs);
}

} // namespace

void gps_fixTaken(const nmeaINFO* info, bool timed, uint64_t receivedNs) {
    if (info == nullptr) return;
    FixClock& c = gClock;
    const uint64_t at = timed ? deviceTimeOf(info, receivedNs) : c.mapped ? c.lastAtNs : receivedNs;
    c.lastAtNs = at;
    const uint64_t n = gWritten.load(std::memory_order_relaxed);
    Slot& s = gRing[n % GPS_FIXES_KEPT];
    s.seq.store(kWriting, std::memory_order_relaxed);
    s.atNs.store(at, std::memory_order_release);
    // As gps_outputRMC, gps_outputGGA and gps_outputVTG publish them.
    s.lat.store(bits(float(gps_nmeaToDegrees(info->lat))), std::memory_order_release);
    s.lon.store(bits(float(gps_nmeaToDegrees(info->lon))), std::memory_order_release);
    s.speed.store(bits(float(info->speed)), std::memory_order_release);
    s.heading.store(bits(float(info->direction)), std::memory_order_release);
    s.seq.store(n, std::memory_order_release);
    gWritten.store(n + 1, std::memory_order_release);
}

void gps_fixReaderStart(GpsFixReader* reader) {
    if (reader) reader->next = gWritten.load(std::memory_order_acquire);
}

bool gps_fixNext(GpsFixReader* reader, uint64_t notAfterNs, GpsFix* fix) {
    if (reader == nullptr || fix == nullptr) return false;
    for (;;) {
        const uint64_t written = gWritten.load(std::memory_order_acquire);
        if (reader->next >= written) return false;
        if (written - reader->next > GPS_FIXES_KEPT) reader->next = written - GPS_FIXES_KEPT;
        const uint64_t n = reader->next;
        const Slot& s = gRing[n % GPS_FIXES_KEPT];
        if (s.seq.load(std::memory_order_acquire) != n) {
            ++reader->next; // written over meanwhile
            continue;
        }
        GpsFix f{s.atNs.load(std::memory_order_acquire), value(s.lat), value(s.lon), value(s.speed),
                 value(s.heading)};
        if (s.seq.load(std::memory_order_relaxed) != n) {
            ++reader->next;
            continue;
        }
        if (f.atNs > notAfterNs) return false;
        ++reader->next;
        *fix = f;
        return true;
    }
}

void gps_fixesReset() {
    gClock = FixClock{};
}
