// Helpers of the GPS tests: sentences with their checksum, the log, the gps_* variables.
#pragma once

#include "testsupport.h"

#include "framework/syslog.h"
#include "measdata/seram.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace gpstest {

// "$" + body + "*" + the XOR of the body in two hex digits.
inline std::string nmea(const std::string& body) {
    unsigned x = 0;
    for (char c : body) x ^= uint8_t(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", x);
    return "$" + body + tail;
}

// Opens the log queue (once) and empties it.
inline void startLog() {
    static const bool opened = syslog_init(0);
    (void)opened;
    testsupport::drainSyslog();
}

inline int logged(const std::vector<std::string>& lines, const std::string& text) {
    return testsupport::countContaining(lines, text);
}

// A variable of the signal page, read as other tasks read it.
template <typename T> T var(T& cell) {
    return std::atomic_ref<T>(cell).load(std::memory_order_relaxed);
}

inline SeramSigPage& sig() {
    return seramSig();
}

} // namespace gpstest
