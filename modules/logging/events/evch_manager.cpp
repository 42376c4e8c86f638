// The gateway client of the event channels: inputs grouped into one list per device and raster,
// subscribed through the measurement gateway; the gateway's callbacks put the values into the
// inputs.
#include "logging/events/eventchannels.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace {

enum { G4 = 0, G2 = 1, G1 = 2 };
constexpr uint32_t kMarker[3] = {0xFFFFFFFC, 0xFFFFFFFE, 0xFFFFFFFF};
constexpr unsigned kBytes[3] = {4, 2, 1};

int groupOf(unsigned size) {
    return size == 4 ? G4 : size == 2 ? G2 : size == 1 ? G1 : -1;
}

// Bit of a device in the time-out mask.
uint32_t deviceBit(uint16_t pid) {
    if (pid < 10) return 1u << 0;
    if (pid < 32) return 1u << 1;
    if (pid <= 61) return 1u << (pid - 30);
    return 1u << 31;
}

void countUp(uint16_t& n) {
    if (n < 0xFFFF) ++n;
}

void countUp(std::atomic<uint16_t>& n) {
    uint16_t v = n.load(std::memory_order_relaxed);
    while (v < 0xFFFF && !n.compare_exchange_weak(v, uint16_t(v + 1), std::memory_order_relaxed)) {
    }
}

void loseValues(CEvDataList* list) {
    list->forEachChannel([](EventChData* c) { c->setTimeout(); });
    list->dataValid.store(0);
}

// Lists the gateway has not yet confirmed stopped; the manager's destructor frees what is left.
std::mutex gStopLock;
std::vector<CEvDataList*> gStopping;

} // namespace

namespace evch {

const callback_list cdataman_callbacks = {{
    {nullptr, 0},
    {c2cpp_readCyclic, 100},
    {c2cpp_stopMeas, 100},
    {c2cpp_startMeas, 100},
    {nullptr, 0},
    {nullptr, 0},
}};

uint32_t c2cpp_readCyclic(uint32_t event, void* record, void* user) {
    auto* list = static_cast<CEvDataList*>(user);
    if (!list || !list->manager) return 0; // stays in the gateway's FIFO
    list->manager->readCyclic(event, record, list);
    return 1;
}

uint32_t c2cpp_startMeas(uint32_t event, void*, void* user) {
    auto* list = static_cast<CEvDataList*>(user);
    if (list && list->manager) list->manager->replyStart(event, list);
    return 0;
}

uint32_t c2cpp_stopMeas(uint32_t event, void*, void* user) {
    auto* list = static_cast<CEvDataList*>(user);
    if (list && list->manager) list->manager->replyStop(event, list);
    return 0;
}

} // namespace evch

CEvDataList::~CEvDataList() {
    for (EventChData*& g : group) {
        while (EventChData* c = g) {
            g = c->next;
            delete c;
        }
    }
}

EventChDataManager::EventChDataManager() : connection_(gw_connect(&evch::cdataman_callbacks)) {}

EventChDataManager::~EventChDataManager() {
    stopMeasurement();
    gw_disconnect(connection_);
    std::vector<CEvDataList*> left;
    {
        std::lock_guard<std::mutex> g(gStopLock);
        auto mine = [this](CEvDataList* l) { return l->manager == this; };
        std::copy_if(gStopping.begin(), gStopping.end(), std::back_inserter(left), mine);
        gStopping.erase(std::remove_if(gStopping.begin(), gStopping.end(), mine), gStopping.end());
    }
    for (CEvDataList* l : left) delete l;
}

void EventChDataManager::addData(EventChData* channel, unsigned short raster) {
    if (!channel) return;
    const int g = groupOf(channel->valueSize());
    if (g < 0) { // no type: never listed
        delete channel;
        return;
    }
    const auto pid = static_cast<uint16_t>(channel->address() >> 24);
    CEvDataList* list = lists_;
    while (list && !(list->pid == pid && list->raster == raster && list->words * 4u < list->capacity))
        list = list->next;
    if (!list) {
        list = new (std::nothrow) CEvDataList(pid, raster, this);
        if (!list) {
            delete channel;
            return;
        }
        list->next = lists_;
        lists_ = list;
        ++listCount_;
    }
    // The first channel of a size opens its group: header, address, terminating zero.
    list->words = static_cast<uint16_t>(list->words + (list->group[g] ? 1 : 3));
    channel->next = list->group[g];
    list->group[g] = channel;
    ++list->count[g];
}

void EventChDataManager::createMeaslists() {
    for (CEvDataList* l = lists_; l; l = l->next) {
        if (l->pid == 0) continue;
        l->recordSize = 4u + 4u * l->count[G4] + 2u * l->count[G2] + l->count[G1];
        // Sized from the words the list holds: a list can pass its capacity by a group's opening.
        l->addresses.assign(l->words + 1u, 0);
        size_t w = 0;
        for (int g = G4; g <= G1; ++g) {
            if (!l->group[g]) continue;
            l->addresses[w++] = kMarker[g];
            for (EventChData* c = l->group[g]; c; c = c->next) l->addresses[w++] = c->address() & 0xFFFFFFu;
            l->addresses[w++] = 0;
        }
        l->addresses[w] = 0;
    }
}

void EventChDataManager::startMeasurement() {
    for (CEvDataList* l = lists_; l; l = l->next) {
        if (l->pid == 0 || l->addresses.empty()) continue;
        l->handle =
            gw_setup_list(connection_, l->addresses.data(), l, static_cast<uint16_t>(4 * l->words + 4),
                          l->raster, l->pid, 0, 0, 1, 4, static_cast<uint16_t>(l->recordSize), 5);
    }
    gw_start_all(connection_);
}

void EventChDataManager::stopMeasurement() {
    std::vector<CEvDataList*> now;
    {
        std::lock_guard<std::mutex> g(gStopLock);
        for (CEvDataList* l = lists_; l; l = l->next) gStopping.push_back(l);
    }
    for (CEvDataList* l = lists_; l; l = l->next) {
        l->state.store(EVCH_LIST_STOPPING);
        // Lists the gateway never took get no confirmation: they go at once.
        if (l->pid == 0 || l->handle == 0) now.push_back(l);
    }
    lists_ = nullptr;
    listCount_ = 0;
    for (CEvDataList* l : now) replyStop(0, l);
    gw_kill_all_lists(connection_); // the others through their stop callback
}

void EventChDataManager::deleteList(CEvDataList* list) {
    {
        std::lock_guard<std::mutex> g(gStopLock);
        gStopping.erase(std::remove(gStopping.begin(), gStopping.end(), list), gStopping.end());
    }
    delete list;
}

void EventChDataManager::replyStop(unsigned int event, CEvDataList* list) {
    if (!list || event != 0 || list->state.load() != EVCH_LIST_STOPPING) return;
    list->state.store(EVCH_LIST_STOPPED);
    deleteList(list);
}

void EventChDataManager::replyStart(unsigned int event, CEvDataList* list) {
    if (list && event == 0) list->state.store(EVCH_LIST_STARTED);
}

void EventChDataManager::readCyclic(unsigned int event, void* record, CEvDataList* list) {
    if (!list || list->state.load() != EVCH_LIST_STARTED) return;
    if (event == GW_EVT_OK) {
        if (!record) return;
        list->consecutiveTimeouts = 0;
        list->dataValid.store(1);
        const auto* p = static_cast<const uint8_t*>(record) + 4; // behind the time stamp
        for (int g = G4; g <= G1; ++g) {
            for (EventChData* c = list->group[g]; c; c = c->next) {
                c->putData(p);
                p += kBytes[g];
            }
        }
        return;
    }
    if (event == GW_EVT_NODATA) {
        countUp(timeoutCount_);
        countUp(list->timeouts);
        timeoutMask_.fetch_or(deviceBit(list->pid));
        // A device gets four time-outs in a row before its values count as lost.
        if (list->consecutiveTimeouts < 4)
            ++list->consecutiveTimeouts;
        else
            loseValues(list);
        return;
    }
    loseValues(list);
}

void EventChDataManager::getStatus(bool* allValid, bool* anyValid, unsigned short* minTimeouts,
                                   unsigned short* maxTimeouts, unsigned long* timeoutCount,
                                   unsigned long* timeoutMask) {
    bool all = true, any = false;
    unsigned short lo = 0xFFFF, hi = 0;
    for (CEvDataList* l = lists_; l; l = l->next) {
        const bool valid = l->dataValid.load() != 0;
        all = all && valid;
        any = any || valid;
        lo = std::min(lo, l->timeouts);
        hi = std::max(hi, l->timeouts);
    }
    if (allValid) *allValid = all;
    if (anyValid) *anyValid = any;
    if (minTimeouts) *minTimeouts = lo;
    if (maxTimeouts) *maxTimeouts = hi;
    if (timeoutCount) *timeoutCount = timeoutCount_.load();
    if (timeoutMask) *timeoutMask = timeoutMask_.load();
}
