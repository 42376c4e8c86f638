// The event service: events (raised by the event channels and by the error memory) go to every
// device of the network as CI command 0x1500, through a queue that the raster task of the hook
// "EventService" empties every 10 ms. Received events are handed to the event loggers of the
// running measurements (eventlogger.h).
#pragma once

#include "msdcom/ci/ci_msg.h"

#include <cstdint>

inline constexpr uint16_t EVLOG_CMD = 0x1500;
inline constexpr int EVLOG_QUEUE_MSGS = 64;
inline constexpr int EVLOG_QUEUE_MSG_LEN = 120;
inline constexpr int EVLOG_SERVICE_PRIORITY = 67;
inline constexpr int EVLOG_SERVICE_PERIOD_MS = 10;
inline constexpr int EVLOG_SERVICE_STACK = 4096;
inline constexpr int EVLOG_SENDS_PER_CYCLE = 10;
inline constexpr size_t EVLOG_TEXT_MAX = 80;          // name and text together
inline constexpr uint16_t EVLOG_PAYLOAD_MIN = 18;     // fixed fields and the two NULs
inline constexpr uint16_t EVLOG_ERR_PATH_QUEUE = 496; // error memory: the event queue was full
inline constexpr uint16_t EVLOG_ERR_PATH_POOL = 497;  // error memory: a logger's pool was full
inline constexpr uint8_t EVLOG_ERR_TYPE_FULL = 46;
inline constexpr uint32_t EVLOG_DURATION_NONE = 0xFFFFFFFF;

// The event as its source hands it over, in host order.
struct evlog_event_t {
    uint32_t eventId;
    uint32_t timestamp; // 100 us units
    uint32_t duration;  // 100 us units; 0 and 0xFFFFFFFF mean none
    uint8_t kind;
    uint8_t severity;
};

// Start-up: the event queue and the raster hook. 1 ok, 0 failed (logged).
int eventlogging_service_init();
// Builds the 0x1500 message and queues it without waiting (see the service's file for the full
// queue's notice).
void eventlogging_send(const evlog_event_t* event, const char* name, const char* text);
// One cycle of the service's raster: at most 10 messages leave.
void eventloggingServiceTask();
// Handler of 0x1500: the event goes to every registered logger.
void eventlogging_cmd(comint_msg* message);
// Registers eventlogging_cmd and the error memory's event hook (start-up, with the service).
void eventlogging_register();

// Builds the 0x1500 message of an event from this device (header and payload); gives the bytes on
// the wire.
size_t eventlogging_build(comint_msg* message, const evlog_event_t* event, const char* name,
                          const char* text);

// The event of a new error-memory entry: its identifier and texts are made from path and type.
struct ErrorMemEntry;
void eventlogging_errorEvent(const ErrorMemEntry& entry);

// Host and tests: removes the queue and the hook's state (the raster task is the framework's).
void eventlogging_service_exit();
