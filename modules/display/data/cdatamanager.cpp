#include <new>
#include <vector>

#include "display/data/cdata.h"

namespace {

enum { G4 = 0, G2 = 1, G1 = 2 };
constexpr uint32_t kMarker[3] = {0xFFFFFFFC, 0xFFFFFFFE, 0xFFFFFFFF};
constexpr int kBytes[3] = {4, 2, 1};

int GroupOf(uint8_t type) {
    switch (type) {
    case RAW_SINT32:
    case RAW_UINT32:
    case RAW_FLOAT:
        return G4;
    case RAW_SINT16:
    case RAW_UINT16:
        return G2;
    case RAW_SINT8:
    case RAW_UINT8:
    case RAW_FLAG:
        return G1;
    default:
        return -1;
    }
}

// Bit of the time-out PID mask: PIDs below 10 share bit 0, below 32 bit 1, the others PID - 30.
uint32_t PidBit(uint16_t pid) {
    if (pid < 10) return 1u;
    if (pid < 32) return 2u;
    const int bit = pid - 30;
    return 1u << (bit > 31 ? 31 : bit);
}

void CountUp(std::atomic<uint16_t>& n) {
    if (n.load() < 0xFFFF) n.store(static_cast<uint16_t>(n.load() + 1));
}

void LoseValues(CDataList* list) {
    list->forEachMeas([](CDataMeas* m) { m->setTimeout(); });
    list->online.store(0);
}

} // namespace

const callback_list cdataman_callbacks = {{
    {nullptr, 0},
    {c2cpp_readCyclic, 100},
    {c2cpp_stopMeas, 100},
    {c2cpp_startMeas, 100},
    {nullptr, 0},
    {nullptr, 0},
}};

uint32_t c2cpp_readCyclic(uint32_t event, void* data, void* user) {
    auto* list = static_cast<CDataList*>(user);
    if (!list || !list->manager) return 0;
    list->manager->readCyclic(event, data, list);
    return 1;
}

uint32_t c2cpp_startMeas(uint32_t event, void*, void* user) {
    auto* list = static_cast<CDataList*>(user);
    if (list && list->manager) list->manager->replyStart(event, list);
    return 0;
}

uint32_t c2cpp_stopMeas(uint32_t event, void*, void* user) {
    auto* list = static_cast<CDataList*>(user);
    if (list && list->manager) list->manager->replyStop(event, list);
    return 0;
}

CDataList::~CDataList() {
    for (CDataMeas*& g : group) {
        while (CDataMeas* m = g) {
            g = m->next;
            delete m;
        }
    }
    delete[] addresses;
}

CDataManager::CDataManager() : mpConnection(gw_connect(&cdataman_callbacks)) {}

CDataManager::~CDataManager() {
    stopMeasurement();
    gw_disconnect(mpConnection); // confirms what is still subscribed
    while (CDataList* l = mpLists) {
        mpLists = l->next;
        delete l;
    }
    // Lists the gateway no longer knew get no confirmation; nothing refers to them now.
    std::lock_guard<std::mutex> lock(mStopMutex);
    for (CDataList* l : mStopping) delete l;
    mStopping.clear();
    deleteAllData();
}

bool CDataManager::allStopped() const {
    std::lock_guard<std::mutex> lock(mStopMutex);
    return mStopping.empty();
}

CData* CDataManager::addData(const display_elem_s* elem, unsigned short rate, CDataType_t kind) {
    const bool has = kind == CDATA_VISIBILITY ? CData::containsVisChan(elem) : CData::containsMeasChan(elem);
    if (!has) return nullptr;
    auto* data = new (std::nothrow) CData(elem, kind);
    if (data) addData(data, rate);
    return data;
}

void CDataManager::addData(CData* data, unsigned short rate) {
    if (!data) return;
    CData* equal = nullptr;
    for (CData* d = mpData; d && !equal; d = d->next)
        if (d->isEqualData(data)) equal = d;
    data->next = mpData;
    mpData = data;
    if (equal) {
        data->setMeas(equal->meas);
        return;
    }
    CDataMeas* meas = data->newMeas();
    if (!meas) return;
    const int g = GroupOf(meas->type);
    if (g < 0) { // a type the display does not know: never listed, never fresh
        meas->next = mpUnlisted;
        mpUnlisted = meas;
        return;
    }
    const auto pid = static_cast<uint16_t>(data->address >> 24);
    CDataList* list = mpLists;
    while (list && !(list->pid == pid && list->rate == rate && list->words * 4u < list->capacity))
        list = list->next;
    if (!list) {
        list = new (std::nothrow) CDataList(pid, rate, this);
        if (!list) {
            meas->next = mpUnlisted;
            mpUnlisted = meas;
            return;
        }
        list->next = mpLists;
        mpLists = list;
        ++muLists;
    }
    if (!list->group[g]) list->words = static_cast<uint16_t>(list->words + 2);
    list->words = static_cast<uint16_t>(list->words + 1);
    meas->next = list->group[g];
    list->group[g] = meas;
    ++list->count[g];
}

void CDataManager::createMeaslists() {
    for (CDataList* l = mpLists; l; l = l->next) {
        if (l->pid == 0) continue;
        l->recordSize = static_cast<uint16_t>(4 + 4 * l->count[G4] + 2 * l->count[G2] + l->count[G1]);
        // Sized from the words the list holds (at most 118 and the final 0), not its capacity.
        delete[] l->addresses;
        l->addresses = new (std::nothrow) uint32_t[l->words + 1u];
        if (!l->addresses) continue;
        uint32_t* w = l->addresses;
        for (int g = G4; g <= G1; ++g) {
            if (!l->group[g]) continue;
            *w++ = kMarker[g];
            for (CDataMeas* m = l->group[g]; m; m = m->next) *w++ = m->address & 0xFFFFFFu;
            *w++ = 0;
        }
        *w = 0;
    }
}

void CDataManager::startMeasurement() {
    for (CDataList* l = mpLists; l; l = l->next) {
        if (l->pid == 0 || !l->addresses) continue;
        l->handle = gw_setup_list(mpConnection, l->addresses, l, static_cast<uint16_t>(4 * l->words + 4),
                                  l->rate, l->pid, 0, 0, 1, 4, l->recordSize, 5);
    }
    gw_start_all(mpConnection);
}

void CDataManager::stopMeasurement() {
    std::vector<CDataList*> now;
    {
        std::lock_guard<std::mutex> lock(mStopMutex);
        for (CDataList* l = mpLists; l; l = l->next) mStopping.push_back(l);
    }
    for (CDataList* l = mpLists; l; l = l->next) {
        l->state.store(CDL_STOPPING);
        // Lists the gateway never took get no confirmation: they stop at once.
        if (l->pid == 0 || l->handle == 0) now.push_back(l);
    }
    for (CDataList* l : now) replyStop(0, l);
    gw_kill_all_lists(mpConnection); // confirms the others through the stop callback
    mpLists = nullptr;
    muLists = 0;
    deleteAllData();
}

void CDataManager::deleteList(CDataList* list) {
    {
        std::lock_guard<std::mutex> lock(mStopMutex);
        for (auto it = mStopping.begin(); it != mStopping.end(); ++it) {
            if (*it == list) {
                mStopping.erase(it);
                break;
            }
        }
    }
    for (CDataList** link = &mpLists; *link; link = &(*link)->next) {
        if (*link == list) {
            *link = list->next;
            --muLists;
            break;
        }
    }
    delete list;
}

void CDataManager::deleteAllData() {
    while (CData* d = mpData) {
        mpData = d->next;
        delete d;
    }
    while (CDataMeas* m = mpUnlisted) {
        mpUnlisted = m->next;
        delete m;
    }
}

void CDataManager::replyStop(unsigned event, CDataList* list) {
    if (!list || event != 0 || list->state.load() != CDL_STOPPING) return;
    list->state.store(CDL_STOPPED);
    deleteList(list);
    deleteAllData(); // once, with the first confirmed stop
}

void CDataManager::replyStart(unsigned event, CDataList* list) {
    if (list && event == 0) list->state.store(CDL_STARTED);
}

void CDataManager::readCyclic(unsigned event, void* data, CDataList* list) {
    if (!list || list->state.load() != CDL_STARTED) return;
    if (event == GW_EVT_OK) {
        if (!data) return;
        list->consecutiveTimeouts = 0;
        list->online.store(1);
        const auto* p = static_cast<const uint8_t*>(data) + 4; // behind the time stamp
        for (int g = G4; g <= G1; ++g) {
            for (CDataMeas* m = list->group[g]; m; m = m->next) {
                m->putData(p);
                p += kBytes[g];
            }
        }
        return;
    }
    if (event == GW_EVT_NODATA) {
        if (mTimeoutEvents.load() < 0xFFFF) mTimeoutEvents.fetch_add(1);
        CountUp(list->totalTimeouts);
        mTimeoutPidMask.fetch_or(PidBit(list->pid));
        if (list->consecutiveTimeouts < 4)
            ++list->consecutiveTimeouts;
        else
            LoseValues(list);
        return;
    }
    LoseValues(list);
}

void CDataManager::getStatus(bool* allOnline, bool* anyOnline, unsigned short* minTimeouts,
                             unsigned short* maxTimeouts, unsigned long* timeoutEvents,
                             unsigned long* timeoutPidMask) const {
    bool all = true, any = false;
    unsigned short lo = 0xFFFF, hi = 0;
    for (const CDataList* l = mpLists; l; l = l->next) {
        const bool on = l->online.load() != 0;
        all = all && on;
        any = any || on;
        const unsigned short t = l->totalTimeouts.load();
        if (t < lo) lo = t;
        if (t > hi) hi = t;
    }
    if (allOnline) *allOnline = all;
    if (anyOnline) *anyOnline = any;
    if (minTimeouts) *minTimeouts = lo;
    if (maxTimeouts) *maxTimeouts = hi;
    if (timeoutEvents) *timeoutEvents = mTimeoutEvents.load();
    if (timeoutPidMask) *timeoutPidMask = mTimeoutPidMask.load();
}
