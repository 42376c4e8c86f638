// The system log. Every record goes to the named queue "/syslogq", read by the log process.
#pragma once

#include <atomic>
#include <cstdint>

// Syslog priorities: facility times 8 plus severity.
enum : int {
    LOG_PRIO_DEBUG_PREV = 143,
    LOG_PRIO_CRIT = 146,
    LOG_PRIO_ERR = 147,
    LOG_PRIO_WARNING = 148,
    LOG_PRIO_INFO = 150,
    LOG_PRIO_DEBUG = 151,
    LOG_PRIO_ERR2 = 155,
    LOG_PRIO_WARNING2 = 156,
    LOG_PRIO_INFO2 = 158,
    LOG_PRIO_DEBUG2 = 159,
};

// Appends one record (message cut to 200 characters). Never fails towards the caller: when the
// queue is full the record is counted as lost.
void syslogx(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same, and the session's first lines end with this record: the log keeps them over its
// rotation (the measurement's start; only the session's first such record counts).
void syslogx_headEnd(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The flood rule's one warning for the call site that owns `counter`.
void syslogss_floodwarn(uint8_t* counter);
// The same for a call site reached from several tasks (SYSLOGX_ONCE_SITE).
void syslogss_floodwarn(std::atomic<uint8_t>* counter);
// Counts one record of a shared call site: the count before it, stopping at 14.
uint8_t syslogss_floodcount(std::atomic<uint8_t>* counter);

// The flood rule of one call site: 13 records, then one warning, then silence.
#define SYSLOGX_FLOOD(counter, priority, ...)                                                              \
    do {                                                                                                   \
        if ((counter) < 13) {                                                                              \
            ++(counter);                                                                                   \
            syslogx((priority), __VA_ARGS__);                                                              \
        } else if ((counter) == 13) {                                                                      \
            (counter) = 14;                                                                                \
            syslogss_floodwarn(&(counter));                                                                \
        }                                                                                                  \
    } while (0)

// The same with a counter of its own per expansion site, safe when several tasks reach it.
#define SYSLOGX_ONCE_SITE(priority, ...)                                                                   \
    do {                                                                                                   \
        static std::atomic<uint8_t> syslogx_site_counter_{0};                                              \
        const uint8_t syslogx_seen_ = syslogss_floodcount(&syslogx_site_counter_);                          \
        if (syslogx_seen_ < 13)                                                                            \
            syslogx((priority), __VA_ARGS__);                                                              \
        else if (syslogx_seen_ == 13)                                                                      \
            syslogss_floodwarn(&syslogx_site_counter_);                                                    \
    } while (0)

// Start-up: opens "/syslogq" and names this application as the records' origin. Before it (and
// when the queue cannot be opened) records go to stderr.
bool syslog_init(int rtpIndex);

// Records lost because the queue was full or missing (host diagnostics).
uint32_t syslog_lostCount();
