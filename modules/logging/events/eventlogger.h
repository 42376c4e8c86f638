// The event logger: one per logging measurement. It files the events received from the network by
// source PID, holds them back for the data delay and then writes each as a meta-data record of
// type 6, with the name of the sending application from "cfg:/apps.xml".
#pragma once

#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr int EVLOG_LOGGERS = 3;
inline constexpr size_t EVLOG_POOL_ITEMS = 512;
inline constexpr size_t EVLOG_ITEM_PAYLOAD = 98;
inline constexpr int EVLOG_TASK_PRIORITY = 143;
inline constexpr size_t EVLOG_TASK_STACK = 65536;
inline constexpr uint8_t EVLOG_RECORD_TYPE = 6;
inline constexpr int EVLOG_APP_PIDS = 64;
inline constexpr size_t EVLOG_APP_NAME = 16;

// Where a logger's records go: the meta-data store of its measurement.
class EventRecordSink {
public:
    virtual ~EventRecordSink() = default;
    // One meta-data record of `type`, stamped `timestamp`; true when taken.
    virtual bool putMetaData(const uint8_t* record, uint32_t length, uint32_t timestamp, uint8_t type) = 0;
};

// Application names by PID (16 characters and a NUL each).
struct AppNameTable {
    char name[EVLOG_APP_PIDS][EVLOG_APP_NAME + 1];
};
// The table before "cfg:/apps.xml": the built-in names.
AppNameTable appNames_defaults();
// Reads an apps.xml text over `names`: only a whole, faultless file changes it. False with the
// error text (with its position) in `error`.
bool appNames_parse(const char* text, AppNameTable* names, std::string* error);
// The name of a PID for the records: empty for a PID the table does not have.
const char* appNames_get(uint16_t pid);
// Reads "cfg:/apps.xml" into the table once per run (a faulty file is logged and changes nothing).
// True when this call read it.
bool appNames_loadOnce();
// Host and tests: the defaults again, and the file is read again at the next logger.
void appNames_reset();

class eventlogger {
public:
    // Raises "invalid index", "could not create semaphore", "could not create pool", "could not
    // spawn task". Registers the logger in its place of the table.
    eventlogger(int index, EventRecordSink* sink);
    // The same, owning its sink.
    eventlogger(int index, std::unique_ptr<EventRecordSink> sink);
    ~eventlogger(); // unregisters first; events not yet written are lost
    eventlogger(const eventlogger&) = delete;
    eventlogger& operator=(const eventlogger&) = delete;

    void putEvent(const uint8_t* data, uint32_t length, uint16_t pid, uint32_t time);
    // Writes every event stamped at or before `limit` (by signed 32-bit difference), lower PIDs
    // first. 1, or 0 when the mutex could not be taken.
    int flushUntil(uint32_t limit);
    void writeEvent(const uint8_t* data, uint32_t length, uint16_t pid, uint32_t time);

    int index() const { return index_; }
    size_t poolFree() const;

    // Items of the pool: buckets (one per source PID) and events.
    struct EventItem;
    struct Bucket;

private:
    void task();
    void poolFull(int where, uint16_t pid, uint32_t time);
    void poolOk();

    int index_ = -1;
    std::unique_ptr<EventRecordSink> ownedSink_;
    EventRecordSink* sink_ = nullptr;
    SEM_ID mutex_ = SEM_ID_NULL;
    SEM_ID wake_ = SEM_ID_NULL;       // given when the first event is held
    std::atomic<uint32_t> held_{0};   // events held, not yet written
    POOL_ID pool_ = nullptr;
    Bucket* buckets_ = nullptr;
    TASK_ID task_ = 0;
    bool poolFullSet_ = false;
    uint8_t writeBuffer_[EVLOG_ITEM_PAYLOAD + EVLOG_APP_NAME + 5] = {};
};

// The store's operation that takes a meta-data record for the file of a measurement whose time
// range holds `ts` (the pretrigger interface of the logging store).
using MetaDataPutFn = void (*)(void* handle, const void* payload, uint32_t length, uint32_t ts, uint8_t type);
// Names the store's operation for the loggers of eventLoggerInit (start-up of the store).
void eventlogger_setMetaDataStore(MetaDataPutFn put);

// The entry points of the logging application: the logger of a measurement whose meta-data
// records go to the store with `metaDataHandle`; none when it cannot be built (logged).
void* eventLoggerInit(int index, void* metaDataHandle);
void eventLoggerFlushUntil(void* logger, uint32_t time);
void eventLoggerDelete(void* logger);
// The same logger with its records going to `sink` (the caller keeps it).
eventlogger* eventLoggerCreate(int index, EventRecordSink* sink);

// Hands a received event to every registered logger (the table is read under its lock).
void eventlogger_dispatch(const uint8_t* payload, uint32_t length, uint16_t pid, uint32_t time);
// The data delay of the loggers in 100 us units (DATADELAY x 10, set by eventLoggerInit).
extern std::atomic<uint32_t> datadelay_copy;
