// Event channels: "cfg:/eventcfg.xml" lists up to 50 events, each watching one input channel of a
// device on the vehicle network. The inputs come through the measurement gateway every 10 ms; when
// one changes in its configured direction the event goes to the event service with its id,
// severity, time, duration, name and text, and its flag in `Cfg_events_arr` is held at 1 for the
// configured delay.
#pragma once

#include "measdata/chantype.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>
#include <vector>

class XmlFile;
class XmlScan;
class XmlTagParser;
class XmlVTabParser;

inline constexpr int EVCH_MAX_EVENTS = 50;
inline constexpr uint32_t EVCH_MAX_DELAY_MS = 250;
inline constexpr int EVCH_INIT_PRIORITY = 68;
inline constexpr size_t EVCH_INIT_STACK = 65536;
inline constexpr uint16_t EVCH_RASTER = 3; // 10 ms
inline constexpr uint32_t EVCH_EVENT_ID_BASE = 0x02000000;
inline constexpr uint8_t EVCH_KIND = 2; // kind of the events of this module on the network

// Start-up and the 10 ms raster.
void eventChannelsInit();
void eventChannelsInitTask();
void eventChannels_10ms();
void eventChannelsDelete();

// One input channel: a value of a device at an address, with type, mask and the linear conversion.
class EventChData {
public:
    // Reads the attributes of the current `triggerInput` tag; raises the parser's texts.
    explicit EventChData(XmlScan* scanner);
    ~EventChData();
    EventChData(const EventChData&) = delete;
    EventChData& operator=(const EventChData&) = delete;

    // Raw data type code of a channel type; 0xFF for none.
    static uint8_t convDataType(TypeEnum_t type);

    // One value of a gateway record (big-endian, as many bytes as the type has).
    void putData(const void* value);
    void updateData();
    void getRawData(unsigned long& out) const;
    void getRawData(long& out) const;
    void getRawData(double& out) const;
    void getQuantData(unsigned long& out);
    void getQuantData(long& out);
    void getQuantData(double& out);
    uint8_t getMeasUpdateState() const { return update_.load(std::memory_order_acquire); }
    void setTimeout() { update_.store(0, std::memory_order_release); }

    uint32_t address() const { return address_; }
    uint8_t typeCode() const { return type_; }
    // Bytes of the value in a record: 4, 2, 1, or 0 for no type.
    unsigned valueSize() const;
    const char* name() const { return name_; }

    EventChData* next = nullptr; // within its list

private:
    bool isSigned() const;
    bool isFloat() const;

    uint32_t address_ = 0; // top byte device PID, low 24 bits the address
    uint32_t mask_ = 0;
    uint8_t shift_ = 0;
    uint8_t type_ = 0xFF;
    char name_[255] = {};
    char vtab_[255] = {}; // kept, not applied
    float a_ = 0, b_ = 0, c_ = 0, d_ = 0, e_ = 0, f_ = 0;
    // Written by the gateway's delivery, read by the 10 ms check: one word each.
    std::atomic<uint8_t> update_{0};
    std::atomic<uint8_t> quantFresh_{0};
    std::atomic<uint64_t> raw_{0}; // a 32-bit integer, or the bits of a double for FLOAT
    double quant_ = 0;
};

class EventChDataManager;

enum : uint16_t { EVCH_LIST_NEW = 0, EVCH_LIST_STARTED = 1, EVCH_LIST_STOPPING = 2, EVCH_LIST_STOPPED = 3 };

// One gateway list: the inputs of one device at one raster, grouped by value size.
class CEvDataList {
public:
    static constexpr uint16_t CAPACITY = 464; // bytes of addresses a list fills before a new one

    CEvDataList(uint16_t pid, uint16_t raster, EventChDataManager* owner)
        : pid(pid), raster(raster), manager(owner) {}
    ~CEvDataList();
    CEvDataList(const CEvDataList&) = delete;
    CEvDataList& operator=(const CEvDataList&) = delete;

    template <class F> void forEachChannel(F&& fn) {
        for (EventChData* g : group)
            for (EventChData* c = g; c; c = c->next) fn(c);
    }

    uint16_t pid;
    uint16_t raster;
    EventChData* group[3] = {nullptr, nullptr, nullptr}; // 4-byte, 2-byte, 1-byte values
    uint16_t count[3] = {0, 0, 0};
    std::atomic<uint16_t> state{EVCH_LIST_NEW};
    // Words while filling; the built list has them plus the final zero (its length in bytes is
    // 4 * words + 4).
    uint16_t words = 0;
    std::vector<uint32_t> addresses;
    uint16_t capacity = CAPACITY;
    uint32_t recordSize = 0;
    uint16_t consecutiveTimeouts = 0;
    uint16_t timeouts = 0; // saturating
    std::atomic<uint8_t> dataValid{0};
    uint32_t handle = 0;
    EventChDataManager* manager;
    CEvDataList* next = nullptr;
};

// The gateway client of the event channels.
class EventChDataManager {
public:
    EventChDataManager();
    ~EventChDataManager();
    EventChDataManager(const EventChDataManager&) = delete;
    EventChDataManager& operator=(const EventChDataManager&) = delete;

    // Takes ownership of the channel (a channel without a type is deleted at once).
    void addData(EventChData* channel, unsigned short raster);
    void createMeaslists();
    void startMeasurement();
    void stopMeasurement();
    void readCyclic(unsigned int event, void* record, CEvDataList* list);
    void replyStart(unsigned int event, CEvDataList* list);
    void replyStop(unsigned int event, CEvDataList* list);
    void getStatus(bool* allValid, bool* anyValid, unsigned short* minTimeouts, unsigned short* maxTimeouts,
                   unsigned long* timeoutCount, unsigned long* timeoutMask);

    CEvDataList* lists() const { return lists_; }
    int listCount() const { return listCount_; }

private:
    void deleteList(CEvDataList* list);

    std::atomic<uint16_t> timeoutCount_{0};
    std::atomic<uint32_t> timeoutMask_{0};
    CEvDataList* lists_ = nullptr;
    int listCount_ = 0;
    gw_connection* connection_ = nullptr;
};

namespace evch {
// The gateway's callbacks of the event channels: data, stop, start.
uint32_t c2cpp_readCyclic(uint32_t event, void* record, void* list);
uint32_t c2cpp_startMeas(uint32_t event, void* record, void* list);
uint32_t c2cpp_stopMeas(uint32_t event, void* record, void* list);
extern const callback_list cdataman_callbacks;

// The truth test of an input: its physical value truncated toward zero, saturated to 32 bits; NaN
// counts as 0.
int32_t toInt32(double value);
uint32_t toUInt32(double value);
} // namespace evch

enum : uint8_t { EVCH_EDGE_RISING = 0, EVCH_EDGE_FALLING = 1, EVCH_EDGE_BOTH = 2 };

struct EventRecord {
    EventRecord* next;
    uint32_t time;
    uint32_t eventId;
    uint8_t severity;
    uint8_t edge;
    uint8_t lastValue;
    uint8_t lastUpdate;
    uint8_t index;
    uint8_t holdCycles;
    uint8_t holdCounter;
    char name[21];
    char text[61];
    EventChData* input;
};

// The event set of one configuration file.
class eventchannels {
public:
    // Reads and checks the file and starts the inputs; raises the error texts with their position.
    explicit eventchannels(const char* fileName);
    ~eventchannels();
    eventchannels(const eventchannels&) = delete;
    eventchannels& operator=(const eventchannels&) = delete;

    // The 10 ms check of every event.
    void cyclic();

    int eventCount() const { return count_; }
    const EventRecord* events() const { return events_; }
    EventChDataManager* manager() const { return manager_; }

private:
    void readEventList();
    void readEvent();
    void addEvent(EventChData* input);
    void release();

    SEM_ID mutex_ = SEM_ID_NULL;
    EventRecord* events_ = nullptr;
    int count_ = 0;
    XmlFile* file_ = nullptr;
    XmlScan* scanner_ = nullptr;
    XmlTagParser* eventParser_ = nullptr;
    EventChDataManager* manager_ = nullptr;
    bool owner_ = false; // false for a second construction, which does nothing
    // Attributes of the Event being read.
    char name_[21] = {};
    char text_[61] = {};
    uint32_t delay_ = 0;
    char severity_[16] = {};
    char edge_[16] = {};
    uint32_t eventId_ = 0;
    uint32_t idx_ = 0;
};

namespace evch {
// The one event set, the start-up task, whether the start-up was requested and whether the set was
// built.
extern std::atomic<eventchannels*> handle;
extern std::atomic<TASK_ID> taskid;
extern std::atomic<bool> started;
extern std::atomic<bool> initEventConfigXML;
} // namespace evch
