// The event service: events of this device leave as CI command 0x1500 to every device, through a
// queue emptied by the raster task of the hook "EventService"; received ones go to the loggers.
#include "logging/events/eventlogging.h"

#include "framework/appman.h"
#include "framework/errmem.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "logging/events/eventlogger.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/measman/meas_man.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<MSG_Q_ID> EventQueueID{MSG_Q_ID_NULL};
std::atomic<bool> gHooked{false};
// A "discarded" notice went out and the queue has not taken an event since.
std::atomic<bool> gNoticePending{false};

void count(uint32_t& counter) {
    __atomic_fetch_add(&counter, 1u, __ATOMIC_RELAXED);
}

} // namespace

size_t eventlogging_build(comint_msg* m, const evlog_event_t* ev, const char* name, const char* text) {
    name = name ? name : "";
    text = text ? text : "";
    const size_t nameLen = strnlen(name, EVLOG_TEXT_MAX);
    const size_t textLen = strnlen(text, EVLOG_TEXT_MAX - nameLen);
    const auto len = static_cast<uint16_t>(EVLOG_PAYLOAD_MIN + nameLen + textLen);
    ci_init(m, EVLOG_CMD, app_pid, CI_PID_ALL, 0, 0, len);
    uint8_t* p = m->data;
    ci_put32(p, ev->eventId);
    ci_put32(p + 4, ev->timestamp);
    ci_put32(p + 8, ev->duration);
    p[12] = ev->kind;
    p[13] = ev->severity;
    ci_put16(p + 14, app_pid);
    std::memcpy(p + 16, name, nameLen);
    p[16 + nameLen] = 0;
    std::memcpy(p + 17 + nameLen, text, textLen);
    p[17 + nameLen + textLen] = 0;
    return CI_HDR_LEN + len;
}

int eventlogging_service_init() {
    if (EventQueueID.load() == MSG_Q_ID_NULL) {
        MSG_Q_ID q = msgQCreate(EVLOG_QUEUE_MSGS, EVLOG_QUEUE_MSG_LEN, MSG_Q_FIFO);
        if (q == MSG_Q_ID_NULL) {
            syslogx(LOG_PRIO_ERR, "eventlogging_service_init(): could not create queue");
            return 0;
        }
        EventQueueID.store(q);
    }
    if (!gHooked.load()) {
        if (!raster_hookFunction("EventService", EVLOG_SERVICE_PRIORITY, EVLOG_SERVICE_PERIOD_MS,
                                 eventloggingServiceTask, EVLOG_SERVICE_STACK, -1, -1)) {
            syslogx(LOG_PRIO_ERR, "eventlogging_service_init, raster_hookFunction failed!");
            return 0;
        }
        gHooked.store(true);
    }
    syslogx(LOG_PRIO_INFO, "Eventlogging service started.");
    return 1;
}

void eventlogging_service_exit() {
    if (MSG_Q_ID q = EventQueueID.exchange(MSG_Q_ID_NULL)) msgQDelete(q);
    gNoticePending.store(false);
}

void eventlogging_send(const evlog_event_t* event, const char* name, const char* text) {
    if (!event) return;
    SeramSigPage& sig = seramSig();
    if (!meas_man_copy_offline_data_enabled()) {
        count(sig.event_send_discarded_cnt);
        return;
    }
    comint_msg m;
    const size_t bytes = eventlogging_build(&m, event, name, text);
    MSG_Q_ID q = EventQueueID.load();
    if (q != MSG_Q_ID_NULL && msgQSend(q, &m, bytes, NO_WAIT, MSG_PRI_NORMAL) == OK) {
        if (gNoticePending.exchange(false)) error_mgr_clear(EVLOG_ERR_PATH_QUEUE);
        return;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventlogging_send(): cannot send msg to queue, errno %s",
                      q == MSG_Q_ID_NULL ? "no queue" : std::strerror(errno));
    if (q == MSG_Q_ID_NULL || msgQNumMsgs(q) < EVLOG_QUEUE_MSGS) return;
    // The queue is full: one notice in place of the events lost until it takes one again.
    if (gNoticePending.exchange(true)) return;
    error_mgr_set(EVLOG_ERR_PATH_QUEUE, EVLOG_ERR_TYPE_FULL, 0);
    const evlog_event_t notice{0, event->timestamp, 0, 0, 3};
    eventlogging_build(&m, &notice, "Event(s) discarded", "");
    comint_put_cmd(&m, 1);
    count(sig.event_send_cnt);
    count(sig.event_send_discarded_cnt);
}

void eventloggingServiceTask() {
    MSG_Q_ID q = EventQueueID.load();
    if (q == MSG_Q_ID_NULL) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventloggingServiceTask, queue invalid!");
        return;
    }
    SeramSigPage& sig = seramSig();
    comint_msg m;
    for (int sent = 0; sent < EVLOG_SENDS_PER_CYCLE;) {
        if (msgQReceive(q, &m, EVLOG_QUEUE_MSG_LEN, NO_WAIT) == ERROR) return;
        if (comint_put_cmd(&m, 1) == 1) {
            count(sig.event_send_cnt);
            ++sent;
        } else {
            count(sig.event_send_discarded_cnt);
        }
    }
}

void eventlogging_cmd(comint_msg* message) {
    const uint16_t len = ci_len(message);
    const uint16_t src = ci_src(message);
    if (len < EVLOG_PAYLOAD_MIN) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventlogging_cmd(): event from PID %X with %u bytes, dropped",
                          unsigned(src), unsigned(len));
        return;
    }
    const uint8_t* p = message->data;
    const uint32_t duration = ci_get32(p + 8);
    uint32_t time = ci_get32(p + 4);
    if (duration != 0 && duration != EVLOG_DURATION_NONE) time += duration;
    eventlogger_dispatch(p, len, src, time);
}

void eventlogging_errorEvent(const ErrorMemEntry& e) {
    // Our own identifier for error-memory events: 0x01 in the top byte, then path and type.
    const evlog_event_t ev{0x01000000u | (uint32_t(e.path) << 8) | e.type, e.lastTs, 0, 1, 3};
    char name[24], text[48];
    std::snprintf(name, sizeof name, "Error %u/%u", unsigned(e.path), unsigned(e.type));
    std::snprintf(text, sizeof text, "error memory path %u type %u%s", unsigned(e.path), unsigned(e.type),
                  e.mil ? " MIL" : "");
    eventlogging_send(&ev, name, text);
}

void eventlogging_register() {
    ci_register_handler(EVLOG_CMD, eventlogging_cmd);
    error_mgr_setEventHook(eventlogging_errorEvent);
}
