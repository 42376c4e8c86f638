// The event logger of a measurement: received events filed by source PID in a fixed pool, written
// after the data delay as meta-data records of type 6.
#include "logging/events/eventlogger.h"

#include "framework/errmem.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/events/eventlogging.h"
#include "measdata/seram.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

std::atomic<uint32_t> datadelay_copy{3000};

struct eventlogger::EventItem {
    EventItem* next;
    uint32_t time;
    uint32_t length;
    uint8_t data[EVLOG_ITEM_PAYLOAD];
};

struct eventlogger::Bucket {
    Bucket* next;
    uint16_t pid;
    EventItem* head;
    EventItem* tail;
};

namespace {

// 116 bytes on the device; a host pointer makes the link longer.
constexpr size_t kItemSize = std::max(sizeof(eventlogger::EventItem), size_t(116));

// The registered loggers by measurement index; read by the 0x1500 handler under the lock, so a
// logger being destroyed is never handed an event.
std::mutex gTableLock;
eventlogger* gHandle[EVLOG_LOGGERS] = {};

// Time stamps wrap: `t` is at or before `limit` when their signed difference says so.
bool notAfter(uint32_t t, uint32_t limit) {
    return int32_t(t - limit) <= 0;
}

void countWrite() {
    __atomic_fetch_add(&seramSig().event_write_cnt, 1u, __ATOMIC_RELAXED);
}

} // namespace

eventlogger::eventlogger(int index, EventRecordSink* sink) : sink_(sink) {
    static_assert(sizeof(EventItem) <= kItemSize && sizeof(Bucket) <= kItemSize, "pool items hold both");
    if (index < 0 || index >= EVLOG_LOGGERS) throw "invalid index";
    mutex_ = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    if (mutex_ == SEM_ID_NULL) throw "could not create semaphore";
    wake_ = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (wake_ == SEM_ID_NULL) {
        semDelete(mutex_);
        throw "could not create semaphore";
    }
    appNames_loadOnce();
    pool_ = poolCreate("eventLogPool", kItemSize, alignof(EventItem), EVLOG_POOL_ITEMS, 0, nullptr,
                       POOL_THREAD_SAFE);
    if (!pool_) {
        semDelete(wake_);
        semDelete(mutex_);
        throw "could not create pool";
    }
    index_ = index;
    char name[24];
    std::snprintf(name, sizeof name, "r_evLog_%d", index);
    task_ = taskSpawn(name, EVLOG_TASK_PRIORITY, VX_FP_TASK, EVLOG_TASK_STACK, [this] { task(); });
    if (task_ == TASK_ID_ERROR) {
        poolDelete(pool_, true);
        semDelete(wake_);
        semDelete(mutex_);
        throw "could not spawn task";
    }
    std::lock_guard<std::mutex> g(gTableLock);
    gHandle[index_] = this;
}

eventlogger::~eventlogger() {
    {
        std::lock_guard<std::mutex> g(gTableLock);
        if (gHandle[index_] == this) gHandle[index_] = nullptr;
    }
    if (task_ != TASK_ID_ERROR && task_ != 0 && task_ != taskIdSelf()) {
        taskDelete(task_);
        taskJoin(task_, 3000);
    }
    if (semTake(mutex_, WAIT_FOREVER) != OK)
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventlogger::~eventlogger(): could not take semaphore (%s)",
                          std::strerror(errno));
    buckets_ = nullptr;
    poolDelete(pool_, true);
    pool_ = nullptr;
    semDelete(wake_);
    semDelete(mutex_);
}

size_t eventlogger::poolFree() const {
    return poolFreeCount(pool_);
}

// Every tick while events are held, each written once its data delay has passed; with none held
// there is nothing to look at until the next one comes.
void eventlogger::task() {
    for (;;) {
        if (held_.load() == 0) {
            semTake(wake_, WAIT_FOREVER);
            continue;
        }
        taskDelay(1);
        const uint32_t limit = time_getTimestamp() - datadelay_copy.load();
        if (!flushUntil(limit)) return;
    }
}

void eventlogger::poolFull(int where, uint16_t pid, uint32_t time) {
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                      "eventlogger::putEvent(): pool full (%d), discarding event from pid %x with TS %d",
                      where, unsigned(pid), int(time));
    if (!poolFullSet_) {
        poolFullSet_ = true;
        error_mgr_set(EVLOG_ERR_PATH_POOL, EVLOG_ERR_TYPE_FULL, 0);
    }
}

void eventlogger::poolOk() {
    if (poolFullSet_) {
        poolFullSet_ = false;
        error_mgr_clear(EVLOG_ERR_PATH_POOL);
    }
}

void eventlogger::putEvent(const uint8_t* data, uint32_t length, uint16_t pid, uint32_t time) {
    if (semTake(mutex_, WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventlogger::putEvent(): could not take semaphore (%s)",
                          std::strerror(errno));
        return;
    }
    // The bucket of the PID, in ascending order.
    Bucket** link = &buckets_;
    while (*link && (*link)->pid < pid) link = &(*link)->next;
    Bucket* bucket = *link;
    if (!bucket || bucket->pid != pid) {
        void* mem = poolItemGet(pool_);
        if (!mem) {
            poolFull(!buckets_ ? 1 : link == &buckets_ ? 2 : 3, pid, time);
            semGive(mutex_);
            return;
        }
        poolOk();
        bucket = new (mem) Bucket{*link, pid, nullptr, nullptr};
        *link = bucket;
    }
    void* mem = poolItemGet(pool_);
    if (!mem) {
        poolFull(4, pid, time);
        semGive(mutex_);
        return;
    }
    poolOk();
    auto* item = new (mem) EventItem{nullptr, time, 0, {}};
    if (length > EVLOG_ITEM_PAYLOAD) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                          "eventlogger::putEvent(): event from pid 0x%.2x truncated from %d to %d bytes",
                          unsigned(pid), int(length), int(EVLOG_ITEM_PAYLOAD));
        std::memcpy(item->data, data, EVLOG_ITEM_PAYLOAD);
        item->data[EVLOG_ITEM_PAYLOAD - 2] = 0; // the texts stay terminated
        item->data[EVLOG_ITEM_PAYLOAD - 1] = 0;
        item->length = EVLOG_ITEM_PAYLOAD;
    } else {
        std::memcpy(item->data, data, length);
        item->length = length;
    }
    if (bucket->tail)
        bucket->tail->next = item;
    else
        bucket->head = item;
    bucket->tail = item;
    const bool first = held_.fetch_add(1) == 0;
    semGive(mutex_);
    if (first) semGive(wake_);
}

int eventlogger::flushUntil(uint32_t limit) {
    if (semTake(mutex_, WAIT_FOREVER) != OK) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "eventlogger::flushUntil(): could not take semaphore (%s)",
                          std::strerror(errno));
        return 0;
    }
    for (Bucket* b = buckets_; b; b = b->next) {
        while (EventItem* e = b->head) {
            if (!notAfter(e->time, limit)) break;
            writeEvent(e->data, e->length, b->pid, e->time);
            held_.fetch_sub(1);
            b->head = e->next;
            if (!b->head) b->tail = nullptr;
            if (poolItemReturn(pool_, e) != OK)
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR,
                                  "eventlogger::flushUntil(): error returning element back to pool (%s)",
                                  std::strerror(errno));
        }
    }
    semGive(mutex_);
    return 1;
}

void eventlogger::writeEvent(const uint8_t* data, uint32_t length, uint16_t pid, uint32_t time) {
    const uint32_t payload = std::min<uint32_t>(length, EVLOG_ITEM_PAYLOAD);
    const char* app = appNames_get(pid);
    const size_t nameLen = strnlen(app, EVLOG_APP_NAME);
    uint8_t* w = writeBuffer_;
    const uint8_t head[4] = {0x00, 0x01, 0x00, 0x01};
    std::memcpy(w, head, sizeof head);
    std::memcpy(w + 4, data, payload);
    std::memcpy(w + 4 + payload, app, nameLen);
    w[4 + payload + nameLen] = 0;
    const auto total = static_cast<uint32_t>(payload + nameLen + 5);
    if (sink_) sink_->putMetaData(writeBuffer_, total, time, EVLOG_RECORD_TYPE);
    countWrite();
}

namespace {

std::atomic<MetaDataPutFn> gStorePut{nullptr};

// Records of a logger into the store of its measurement.
class StoreSink : public EventRecordSink {
public:
    explicit StoreSink(void* handle) : handle_(handle) {}
    bool putMetaData(const uint8_t* record, uint32_t length, uint32_t timestamp, uint8_t type) override {
        const MetaDataPutFn put = gStorePut.load();
        if (!put) return false;
        put(handle_, record, length, timestamp, type);
        return true;
    }

private:
    void* handle_;
};

template <class Sink> eventlogger* create(int index, Sink sink) {
    datadelay_copy.store(uint32_t(seramCal().DATADELAY) * 10u);
    try {
        auto* logger = new eventlogger(index, std::move(sink));
        syslogx(LOG_PRIO_INFO, "Eventlogging logger setup for m0%d", index + 1);
        return logger;
    } catch (const char* text) {
        syslogx(LOG_PRIO_ERR, "eventLoggerInit(): %s", text);
    } catch (const std::bad_alloc&) {
        syslogx(LOG_PRIO_ERR, "eventLoggerInit(): %s", "Out of memory error");
    }
    return nullptr;
}

} // namespace

eventlogger::eventlogger(int index, std::unique_ptr<EventRecordSink> sink) : eventlogger(index, sink.get()) {
    ownedSink_ = std::move(sink);
}

void eventlogger_setMetaDataStore(MetaDataPutFn put) {
    gStorePut.store(put);
}

void* eventLoggerInit(int index, void* metaDataHandle) {
    return create(index, std::unique_ptr<EventRecordSink>(new StoreSink(metaDataHandle)));
}

eventlogger* eventLoggerCreate(int index, EventRecordSink* sink) {
    return create(index, sink);
}

void eventLoggerFlushUntil(void* logger, uint32_t time) {
    if (logger) static_cast<eventlogger*>(logger)->flushUntil(time);
}

void eventLoggerDelete(void* logger) {
    delete static_cast<eventlogger*>(logger);
}

void eventlogger_dispatch(const uint8_t* payload, uint32_t length, uint16_t pid, uint32_t time) {
    std::lock_guard<std::mutex> g(gTableLock);
    for (eventlogger* l : gHandle)
        if (l) l->putEvent(payload, length, pid, time);
}
