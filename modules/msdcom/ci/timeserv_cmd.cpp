#include "msdcom/ci/timeserv_cmd.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/ci/comint.h"

namespace {

constexpr uint16_t TIME_FIELDS_LEN = 14; // seven u16 fields

void putTime(uint8_t* p, const timeserv_time_t& t) {
    const uint16_t f[7] = {t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond};
    for (int i = 0; i < 7; ++i) ci_put16(p + 2 * i, f[i]);
}

timeserv_time_t getTime(const uint8_t* p) {
    timeserv_time_t t;
    t.year = ci_get16(p);
    t.month = ci_get16(p + 2);
    t.day = ci_get16(p + 4);
    t.hour = ci_get16(p + 6);
    t.minute = ci_get16(p + 8);
    t.second = ci_get16(p + 10);
    t.millisecond = ci_get16(p + 12);
    return t;
}

bool plausible(const timeserv_time_t& t) {
    return t.year >= 1970 && t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31 && t.hour < 24 &&
           t.minute < 60 && t.second < 61 && t.millisecond < 1000;
}

} // namespace

void timeserv_distributeTime_cmd(comint_msg* message) {
    if (ci_len(message) < 8) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "timeserv_distributeTime_cmd(): payload %u bytes of 8, from PID %X, dropped",
                          unsigned(ci_len(message)), unsigned(ci_src(message)));
        return;
    }
    const uint32_t first = ci_get32(message->data), second = ci_get32(message->data + 4);
    uint32_t oldFirst = 0, oldSecond = 0;
    timeserv_getMasterIds(&oldFirst, &oldSecond);
    if (first == oldFirst && second == oldSecond) return;
    timeserv_setMasterIds(first, second);
    syslogx(LOG_PRIO_INFO, "timeserv_distributeTime_cmd(): time masters 0x%08X 0x%08X from PID %X",
            unsigned(first), unsigned(second), unsigned(ci_src(message)));
}

void timeserv_newSystemTime_cmd(comint_msg* message) {
    if (ci_len(message) < TIME_FIELDS_LEN) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "timeserv_newSystemTime_cmd(): payload %u bytes of %u, from PID %X, dropped",
                          unsigned(ci_len(message)), unsigned(TIME_FIELDS_LEN), unsigned(ci_src(message)));
        return;
    }
    const timeserv_time_t t = getTime(message->data);
    if (!plausible(t)) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "timeserv_newSystemTime_cmd(): implausible time from PID %X, dropped",
                          unsigned(ci_src(message)));
        return;
    }
    SYSLOGX_ONCE_SITE(
        LOG_PRIO_INFO,
        "timeserv_newSystemTime_cmd(): system time %04u-%02u-%02u %02u:%02u:%02u.%03u from PID %X",
        unsigned(t.year), unsigned(t.month), unsigned(t.day), unsigned(t.hour), unsigned(t.minute),
        unsigned(t.second), unsigned(t.millisecond), unsigned(ci_src(message)));
}

void timeserv_suggestOwnTime_cmd(comint_msg* message) {
    const uint16_t requester = ci_src(message);
    if (requester == app_pid) return; // our own broadcast
    comint_msg answer;
    ci_init(&answer, TIMESERV_CMD_NEW_TIME, app_pid, requester, ci_rctx(message), ci_ctx(message),
            TIME_FIELDS_LEN);
    timeserv_time_t now{};
    timeserv_readSystemTime(&now);
    putTime(answer.data, now);
    comint_put_cmd(&answer, 1);
}
