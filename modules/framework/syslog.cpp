#include "framework/syslog.h"

#include "framework/time_util.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<MSG_Q_ID> gQueue{MSG_Q_ID_NULL};
std::atomic<uint32_t> gLost{0};
char gOrigin[sizeof(SyslogRecord::origin)] = "app";

void fillRecord(SyslogRecord* rec, int priority) {
    std::memset(rec, 0, sizeof(*rec));
    rec->priority = priority;
    appl_time_t now;
    clock_appltime(&now);
    rec->timeSec = now.sec;
    const char* name = taskName(0);
    std::snprintf(rec->tag, sizeof(rec->tag), "%u %s", time_get_time_ms(), name ? name : "?");
    std::snprintf(rec->origin, sizeof(rec->origin), "%s", gOrigin);
}

void post(SyslogRecord* rec) {
    MSG_Q_ID q = gQueue.load(std::memory_order_acquire);
    if (q && msgQSend(q, rec, sizeof(*rec), NO_WAIT, MSG_PRI_NORMAL) == OK) return;
    if (q) {
        gLost.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::fprintf(stderr, "%s\n", syslogreader_format(*rec).c_str());
}

} // namespace

bool syslog_init(int rtpIndex) {
    std::snprintf(gOrigin, sizeof(gOrigin), "app%d", rtpIndex);
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, SYSLOG_QUEUE_DEPTH, int(sizeof(SyslogRecord)), MSG_Q_FIFO,
                          OM_CREATE, nullptr);
    gQueue.store(q, std::memory_order_release);
    return q != MSG_Q_ID_NULL;
}

namespace {
void vsyslogx(uint32_t flags, int priority, const char* format, va_list ap) {
    SyslogRecord rec;
    fillRecord(&rec, priority);
    rec.flags = flags;
    if (format) std::vsnprintf(rec.message, sizeof(rec.message), format, ap);
    post(&rec);
}
} // namespace

void syslogx(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslogx(0, priority, format, ap);
    va_end(ap);
}

void syslogx_headEnd(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslogx(SYSLOG_HEAD_END, priority, format, ap);
    va_end(ap);
}

namespace {
// The counter's address names the call site; its low 32 bits are enough to tell sites apart.
void warnSite(const void* counter) {
    syslogx(LOG_PRIO_WARNING, "Flooding suspicion! Syslogx message 0x%08x will be suppressed in future",
            unsigned(reinterpret_cast<uintptr_t>(counter) & 0xFFFFFFFFu));
}
} // namespace

void syslogss_floodwarn(uint8_t* counter) { warnSite(counter); }

void syslogss_floodwarn(std::atomic<uint8_t>* counter) { warnSite(counter); }

uint8_t syslogss_floodcount(std::atomic<uint8_t>* counter) {
    uint8_t seen = counter->load(std::memory_order_relaxed);
    while (seen < 14 && !counter->compare_exchange_weak(seen, uint8_t(seen + 1), std::memory_order_relaxed)) {
    }
    return seen;
}

uint32_t syslog_lostCount() { return gLost.load(); }
