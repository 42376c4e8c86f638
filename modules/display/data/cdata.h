// Display data: every value the display shows. A CData is one input of one element (its value or
// its visibility channel) or one of the display's configuration inputs. Equal inputs share one
// CDataMeas, which keeps the latest raw sample under its own semaphore and the converted value.
// The CDataManager groups the value objects into CDataLists per source device and raster, turns
// each into a measurement list, subscribes it through the measurement gateway and takes the samples
// in its callbacks (the gateway's raster task, under the gateway mutex).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "display/config/display_records.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/rtos/rtos.h"

struct verbtab_s;

enum CDataType_t : uint32_t {
    CDATA_VALUE = 0,      // value channel of an element
    CDATA_VISIBILITY = 1, // visibility channel of an element
    CDATA_CONFIG = 2,     // reset, page or brightness input
};

// Raw data type codes.
enum : uint8_t {
    RAW_SINT8 = 0,
    RAW_UINT8 = 1,
    RAW_SINT16 = 2,
    RAW_UINT16 = 3,
    RAW_SINT32 = 4,
    RAW_UINT32 = 5,
    RAW_FLOAT = 6,
    RAW_FLAG = 7,
    RAW_NONE = 255,
};

// Display mode of every visibility channel.
inline constexpr uint32_t CDATA_MODE_VISIBILITY = 8;
// Size of the buffer that getDataStr writes (the text is at most 255 bytes).
inline constexpr int CDATA_STR_SIZE = 256;

class CDataManager;
class CDataList;

class CDataMeas {
public:
    CDataMeas(uint32_t address, uint32_t mask, uint8_t type, const float coeff[6], verbtab_s* vtab,
              uint32_t dispmode);
    ~CDataMeas();
    CDataMeas(const CDataMeas&) = delete;
    CDataMeas& operator=(const CDataMeas&) = delete;

    bool valid() const { return sem != SEM_ID_NULL; } // false when the semaphore could not be made

    // One value of a sample record (big-endian, as many bytes as the type has).
    void putData(const void* sample);
    void getRawData(unsigned& out);
    void getRawData(int& out);
    void getRawData(double& out);
    void updateData();
    void getQuantData(unsigned& out) const;
    void getQuantData(int& out) const;
    void getQuantData(double& out) const;
    bool getMeasUpdateState() const { return fresh.load() != 0; }
    void setTimeout() { fresh.store(0); }
    // The display text of the converted value into out (CDATA_STR_SIZE bytes); empty when the value
    // is not fresh or the display mode is not 1 to 7.
    void getDataStr(const char* format, char* out) const;

    CDataMeas* next = nullptr; // within its list group
    uint32_t address;
    uint32_t mask;
    uint8_t shift;
    uint8_t type;
    SEM_ID sem = SEM_ID_NULL;
    std::atomic<int32_t> fresh{0};
    union {
        uint32_t word; // integer types, sign-extended for the signed ones
        double real;   // type 6
    } raw{};
    double converted = 0;
    float a, b, c, d, e, f;
    verbtab_s* vtab;
    uint32_t dispmode;
};

class CData {
public:
    CData(const display_elem_s* elem, CDataType_t kind);
    explicit CData(const awm_meas_in* input);
    ~CData() = default;
    CData(const CData&) = delete;
    CData& operator=(const CData&) = delete;

    static uint8_t convDataType(uint32_t typeEnum);
    static bool containsMeasChan(const display_elem_s* elem);
    static bool containsVisChan(const display_elem_s* elem);
    bool isEqualData(const CData* other) const;
    CDataMeas* newMeas();
    void setMeas(CDataMeas* shared) { meas = shared; }

    void updateData() {
        if (meas) meas->updateData();
    }
    template <class T> void getRawData(T& out) {
        if (meas) meas->getRawData(out);
    }
    template <class T> void getQuantData(T& out) const {
        if (meas) meas->getQuantData(out);
    }
    bool getMeasUpdateState() const { return meas && meas->getMeasUpdateState(); }
    void setTimeout() {
        if (meas) meas->setTimeout();
    }
    void getDataStr(const char* format, char* out) const {
        if (meas) meas->getDataStr(format, out);
    }

    CData* next = nullptr; // in the manager's list of all CData
    CDataMeas* meas = nullptr;
    uint32_t address = 0;
    uint32_t mask = 0;
    uint8_t shift = 0;
    uint8_t type = RAW_NONE;
    float a = 0, b = 1, c = 0, d = 0, e = 0, f = 1;
    verbtab_s* vtab = nullptr;
    uint32_t dispmode = 0;
    CDataType_t kind;

private:
    void copyInput(const awm_meas_in& in);
};

// List states.
enum : uint16_t { CDL_NEW = 0, CDL_STARTED = 1, CDL_STOPPING = 2, CDL_STOPPED = 3 };

class CDataList {
public:
    static constexpr uint16_t CAPACITY = 464; // bytes of addresses one list takes

    CDataList(uint16_t pid, uint16_t rate, CDataManager* owner) : pid(pid), rate(rate), manager(owner) {}
    ~CDataList();
    CDataList(const CDataList&) = delete;
    CDataList& operator=(const CDataList&) = delete;

    // The value objects of a record in record order: 4-byte, 2-byte, then 1-byte group.
    template <class F> void forEachMeas(F&& fn) {
        for (CDataMeas* g : group)
            for (CDataMeas* m = g; m; m = m->next) fn(m);
    }

    uint16_t pid;
    uint16_t rate;
    CDataMeas* group[3] = {nullptr, nullptr, nullptr}; // 4-byte, 2-byte, 1-byte values
    uint16_t count[3] = {0, 0, 0};
    std::atomic<uint16_t> state{CDL_NEW};
    CDataList* next = nullptr;
    uint32_t* addresses = nullptr;
    uint16_t words = 0; // words of the address list without its final 0
    uint16_t capacity = CAPACITY;
    uint16_t recordSize = 0;
    uint16_t consecutiveTimeouts = 0;
    std::atomic<uint16_t> totalTimeouts{0};
    std::atomic<uint8_t> online{0};
    uint32_t handle = 0; // gateway subscription, 0 when none
    CDataManager* manager;
};

class CDataManager {
public:
    CDataManager();
    ~CDataManager();
    CDataManager(const CDataManager&) = delete;
    CDataManager& operator=(const CDataManager&) = delete;

    CData* addData(const display_elem_s* elem, unsigned short rate, CDataType_t kind);
    void addData(CData* data, unsigned short rate);
    void createMeaslists();
    void startMeasurement();
    void stopMeasurement();
    void readCyclic(unsigned event, void* data, CDataList* list);
    void replyStop(unsigned event, CDataList* list);
    void replyStart(unsigned event, CDataList* list);
    void getStatus(bool* allOnline, bool* anyOnline, unsigned short* minTimeouts, unsigned short* maxTimeouts,
                   unsigned long* timeoutEvents, unsigned long* timeoutPidMask) const;

    // True once every list that stopMeasurement stopped has confirmed its stop: the manager may go.
    bool allStopped() const;
    CDataList* lists() const { return mpLists; }
    CData* data() const { return mpData; }
    uint16_t listCount() const { return muLists; }

private:
    void deleteAllData();
    void deleteList(CDataList* list);

    std::atomic<uint32_t> mTimeoutEvents{0};
    std::atomic<uint32_t> mTimeoutPidMask{0};
    CDataList* mpLists = nullptr;
    CData* mpData = nullptr;
    uint16_t muLists = 0;
    gw_connection* mpConnection = nullptr;
    CDataMeas* mpUnlisted = nullptr; // value objects of an unknown type: in no list, never fresh
    // Lists stopped and not yet confirmed; the stop callback may come from the gateway's task.
    mutable std::mutex mStopMutex;
    std::vector<CDataList*> mStopping;
};

extern const callback_list cdataman_callbacks;
uint32_t c2cpp_readCyclic(uint32_t event, void* data, void* user);
uint32_t c2cpp_stopMeas(uint32_t event, void* data, void* user);
uint32_t c2cpp_startMeas(uint32_t event, void* data, void* user);

// Text of one value in a display mode (1 to 7) through the element's format: the formatting of
// getDataStr for a fresh value. Formats come from the configuration file: a piece is printed only
// when it holds exactly one conversion of its mode's kind; anything else is copied as text. out
// takes CDATA_STR_SIZE bytes.
void CDataFormat(uint32_t dispmode, double value, const char* format, const verbtab_s* vtab, char* out);
