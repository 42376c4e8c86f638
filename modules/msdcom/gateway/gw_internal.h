// Records of the measurement gateway shared by its files. Lists, subscriptions, connections, PID
// states and raster chains are guarded by the gateway mutex; the pending-request queue by the
// request mutex. Lock order: gateway mutex before request mutex, everywhere.
#pragma once

#include "msdcom/ci/magic_number.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>
#include <vector>

struct gw_mhandle;

// A gateway list: one request on one device, shared by its subscribers.
struct gw_mlist {
    uint16_t raster = 0;
    uint16_t pid = 0;
    uint16_t listLen = 0;
    uint16_t divisorReq = 0;
    uint16_t speedPending = 0;
    uint16_t divisorCur = 0;
    uint16_t depth = 0;
    uint16_t flags = 0;
    uint16_t recordSize = 0;
    uint16_t channelCount = 0;
    uint32_t byName = 0;
    uint32_t timeoutReload = 0;
    uint8_t timeoutReported = 0;
    uint32_t timeoutCount = 0;
    uint32_t noMeasCount = 0;
    uint32_t retryCount = 0;
    uint8_t* copy = nullptr; // the consumer's list, as given (host order)
    // The FIFO the records arrive in, by its wire identifier: looked up at every pass, so a FIFO
    // that its path manager released is simply found empty.
    uint32_t fifoIdent = 0;
    uint32_t fifoHandle = 0; // name lists: the FIFO handle this device reserved
    uint32_t serverId = 0;   // the device's list identity (address) or list handle (names)
    gw_mlist* nextPid = nullptr;
    gw_mlist* nextRaster = nullptr;
    gw_mlist* prevPid = nullptr;
    gw_mlist* prevRaster = nullptr;
    bool chained = false; // in its raster chain
    gw_mhandle* subscribers = nullptr;
    uint32_t state = GW_LS_CFG;
    uint32_t refCount = 0;
    uint16_t killed = 0;
    uint16_t killHoldReload = 100;
    uint16_t killHold = 100;
    uint16_t stoppable = 0;
    uint16_t latency = 0;
    uint8_t tsError = 0;
};

// A subscription.
struct gw_mhandle {
    gw_mlist* list = nullptr;
    void* user = nullptr;
    uint32_t handle = 0;
    gw_connection* conn = nullptr;
    gw_mhandle* nextConn = nullptr;
    gw_mhandle* prevConn = nullptr;
    gw_mhandle* nextList = nullptr;
    gw_mhandle* prevList = nullptr;
};

struct gw_connection {
    const callback_list* callbacks = nullptr;
    gw_mhandle* subs = nullptr;
    gw_connection* next = nullptr;
};

namespace gwi {

inline constexpr uint16_t TICK_MS = 10;
inline constexpr uint16_t REQUEST_MS = 1500;
inline constexpr uint16_t ANSWER_MS = 1500;
inline constexpr uint16_t POLL_MS = 150;
inline constexpr uint16_t KILL_HOLD_MS = 100;
inline constexpr int STARTS_PER_TICK = 20;
inline constexpr uint32_t MEASPN_LIMIT = 164; // 165 ticks of "no measurement" restart a list
inline constexpr uint32_t RETRY_LIMIT = 3;
inline constexpr int32_t FUTURE_STAMP_LIMIT = 1000; // 100 ms in 100 µs units
inline constexpr int MUTEX_STOP_TICKS = 100;

// One request that expects an answer.
struct Request {
    Request* next = nullptr;
    Request* prev = nullptr;
    gw_mlist* list = nullptr;
    uint32_t handle = 0;
    uint16_t timeoutEvent = 0; // 0 means 3
    uint16_t msLeft = REQUEST_MS;
    uint16_t pair = GW_CB_START;
    uint8_t answered = 0;
    uint32_t fifoHandle = 0; // name lists: the FIFO handle the request (start) or list (stop) uses
};

struct PidState {
    uint16_t answerReload = ANSWER_MS;
    uint16_t answerTimer = 0;
    uint16_t pollReload = POLL_MS;
    uint16_t pollTimer = 0;
    std::atomic<uint16_t> reported{GW_PID_OFFLINE}; // written by 0x0103/0x0104 through its identifier
    std::atomic<uint16_t> current{GW_PID_OFFLINE};  // read without a lock (gw_pid_offline)
    uint16_t previous = GW_PID_OFFLINE;
    uint16_t runM = 0;
    uint16_t reqM = 0;
    gw_mlist* lists = nullptr;
    // Statistics.
    uint16_t dataCntOffline = 0;
    uint16_t dataCntOnline = 0;
    uint16_t noDataCnt = 0;
    uint16_t mlistCnt = 0;
    uint16_t stateCnt[GW_LS_COUNT] = {};
};

enum class SlotKind : uint8_t { Free = 0, Request, Subscription };
struct MagicSlot {
    SlotKind kind = SlotKind::Free;
    void* object = nullptr;
};

struct State {
    SEM_ID mhandleSem = SEM_ID_NULL; // gw_mhandle_sem
    SEM_ID requestSem = SEM_ID_NULL; // gw_request_sem
    magic_table* magics = nullptr;
    std::vector<MagicSlot> magicArr; // requestMagicArr
    PidState pids[GW_PIDS];
    gw_mlist* rasterLists[GW_RASTERS] = {};
    Request* requestHead = nullptr;
    Request* expiring = nullptr; // timed out, waiting for their callbacks (request mutex)
    gw_connection* connections = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> ready{false};
};

State& gw();

// Mutexes; the take logs "<who>(): Error acquiring semaphore ..." when it fails.
bool lockGateway(const char* who);
void unlockGateway(const char* who);
bool lockRequests(const char* who);
void unlockRequests();

// Handle numbers of requests (under the request mutex) and subscriptions (under the gateway mutex).
uint32_t newHandle(SlotKind kind, void* object);
void* handleObject(SlotKind kind, uint32_t handle);
// Deletes the handle (held when `hold`, else free at once) and forgets its object.
void dropHandle(uint32_t handle, bool hold);

PidState* pidState(uint16_t pid); // nullptr for 64 and above
const char* pidStateName(uint16_t state);

// Subscribers of a list: every one's callback of `pair` gets (event, data, user).
void tellAll(gw_mlist* list, int pair, uint32_t event, void* data);
gw_callback_t callbackOf(const gw_mhandle* sub, int pair);

// Raster and PID chains.
void chainRaster(gw_mlist* list);
void unchainRaster(gw_mlist* list);

// Requests (gw_request.cpp). Under the gateway mutex.
int startListInternal(gw_mlist* list); // gw_start_list_internal
// The stop request of a list: 0x0512 through the pending queue for a name list, 0x0502 directly
// for an address list. A list the device never named (no server identity) has nothing to stop.
bool sendStop(gw_mlist* list);
// gw_list_speed_internal: 1 when the divisor change was sent.
int listSpeedInternal(gw_mlist* list, uint16_t divisor);
// Pending records: made with a handle, queued, dropped at once.
Request* newRequest(gw_mlist* list, int pair);
void queueRequest(Request* request);
void dropRequest(Request* request);
// The unanswered start record named by `handle` (under the request mutex), or nullptr.
Request* findRequest(uint32_t handle);

// Frees a list's memory (gw_consumer.cpp).
void freeListMemory(gw_mlist* list);

// Removal (gw_monitor.cpp): frees a killed list (gw_kill_list_internal). Under the gateway mutex.
void killListInternal(gw_mlist* list);

} // namespace gwi
