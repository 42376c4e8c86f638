// The measurement gateway ("MeasGate", `gw_*`): the one way in which a part of the system receives
// measurement values of any device, this one included. A consumer connects once with a table of
// callbacks, sets up one subscription per list of values, device PID and raster, and starts it.
// The gateway requests the list from the device (the own PID is served by the own measurement
// manager, on the same road), watches the device, re-requests after a reset, an offline period or
// a time-stamp error, and calls the consumer's callbacks from the raster task of the list's raster
// with the gateway mutex held.
//
// Callbacks may copy what they need, take their own locks and call gw_pid_offline; they must not
// call any other gateway operation.
#pragma once

#include "msdcom/ci/ci_msg.h"
#include "msdcom/ci/dynkomm_fifo.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Consumer interface

// A callback gets (event, data, user) and returns a value; only the data event 0 uses it (low 16
// bits non-zero: the record was consumed).
using gw_callback_t = uint32_t (*)(uint32_t event, void* data, void* user);

struct gw_callback_pair {
    gw_callback_t fn; // null: the event is not wanted
    uint32_t value;   // the consumer's (100 or 0); not read by the gateway
};

// Pairs by position.
enum : int {
    GW_CB_UNUSED = 0,
    GW_CB_DATA = 1,    // records and data-flow events
    GW_CB_STOP = 2,    // the subscription was removed
    GW_CB_START = 3,   // the outcome of a (re)start
    GW_CB_SPEED = 4,   // a divisor change got no answer
    GW_CB_TIMEOUT = 5, // data stopped or resumed (first subscriber of a list only)
    GW_CB_PAIRS = 6,
};

// Owned by the consumer and kept by reference for the life of the connection.
struct callback_list {
    gw_callback_pair pair[GW_CB_PAIRS];
};

// Event codes.
enum : uint32_t {
    GW_EVT_OK = 0,        // data: a record; start: the list runs; stop: removed; time-out: data again
    GW_EVT_NOREPLY = 3,   // no answer within 1500 ms
    GW_EVT_NODATA = 6,    // no record within the list's time-out
    GW_EVT_REFUSED = 7,   // the device refused the list
    GW_EVT_OFFLINE = 8,   // the device went offline while the list ran / had no link at the start
    GW_EVT_LOST = 11,     // the device went offline before or while the list ran
    GW_EVT_TOO_LONG = 12, // the list is longer than GW_LIST_MAX_BYTES and is never sent
};

inline constexpr uint16_t GW_LIST_MAX_BYTES = 480;
inline constexpr int GW_PIDS = 64;    // PIDs 0..63 are watched
inline constexpr int GW_RASTERS = 20; // raster indices of lists

// List states, as the statistics name them.
enum : uint32_t {
    GW_LS_CFG = 0,      // set up, not started
    GW_LS_P_INI = 1,    // start requested by the consumer
    GW_LS_P_ETRY = 2,   // to be requested (again)
    GW_LS_P_ERR = 3,    // device went offline before the list ran
    GW_LS_STP = 4,      // request sent, answer awaited
    GW_LS_MEAS = 5,     // running
    GW_LS_MEASPN = 6,   // running, but the device reports no measurement for this device
    GW_LS_DEST = 7,     // removal requested after it ran or was requested
    GW_LS_INS_DEST = 8, // removal of a list that was never requested
    GW_LS_OFF_ETRY = 9, // device went offline while it ran
    GW_LS_OFF_ERR = 10, // consumers told of the offline device
    GW_LS_STERR = 11,   // start failed (too long, or refused by name)
    GW_LS_COUNT = 12,
};

// PID states.
enum : uint16_t {
    GW_PID_NOMEAS = 0,  // online, holds no measurement for this device
    GW_PID_MEAS = 1,    // online, holds one
    GW_PID_OFFLINE = 2, // no answer to the state poll
    GW_PID_STARTUP = 3,
    GW_PID_KILLMEAS = 4, // asked to drop all measurements of this device
};

struct gw_connection;

// A new connection, or nullptr ("gw_connect() callback_list NULL" for a null table, or no memory).
gw_connection* gw_connect(const callback_list* callbacks);

// One subscription to an address list (markers 0xFFFFFFFC/0xFFFFFFFE/0xFFFFFFFF, addresses, 0 per
// group, a final 0; host order; `list_len` bytes, a multiple of 4) of device `pid` at raster index
// `raster`. Equal single-value subscriptions with stoppable 0 share one list. `depth` 0 takes the
// slot count of the raster; `timeout` counts ticks of the raster without a record (0: none).
// Returns the subscription's handle number, 0 on failure (logged).
uint32_t gw_setup_list(gw_connection* connection, const uint32_t* list, void* user, uint16_t list_len,
                       uint16_t raster, uint16_t pid, uint16_t stoppable, uint16_t flags, uint16_t divisor,
                       uint16_t depth, uint16_t record_size, uint32_t timeout);
// The same for a list of names (each ended by NUL, optionally with "[n]") of the device named
// `device_name` (pidByDevicename); the device decides the record layout (answer 0x0511).
uint32_t gw_setup_list_measByName(gw_connection* connection, const char* device_name, const char* names,
                                  void* user, uint16_t list_len, uint16_t channel_count, uint16_t raster,
                                  uint16_t stoppable, uint16_t flags, uint16_t divisor, uint16_t depth,
                                  uint32_t timeout);

// Marks the subscription's list for (re)start; the monitoring sends the request once the device
// is seen online. Start event 8 at once when the device has no command and data link.
void gw_start_list(uint32_t subscription);
int gw_start_all(gw_connection* connection); // 0
// Removes one subscription (stop event 0); the last one of a list stops it on the device.
void gw_kill_list(uint32_t subscription);
void gw_kill_all_lists(gw_connection* connection);
// Kills all subscriptions and frees the connection; nullptr is ignored. 0.
int gw_disconnect(gw_connection* connection);
// 1 when the divisor change was sent; 0 for a null connection, a subscription that does not
// validate, or a list that is not stoppable or not running.
int gw_list_speed(gw_connection* connection, uint32_t subscription, uint16_t divisor);
// 1 when the device is offline (or pid >= 64). Takes no lock.
int gw_pid_offline(uint16_t pid);
// PID of a device-type name or position suffix; 0 (logged) when nothing matches.
uint16_t pidByDevicename(const char* name);

// ---------------------------------------------------------------------------------------------
// Start-up, shutdown, periodic work

// Initial PID states, empty chains, the two mutexes, the handle table; registers the answer
// handlers and (once per process) the raster hooks. Before any consumer connects. False on
// failure (logged).
bool gw_meas_ini();
// The whole gateway for the start-up sequence: gw_meas_ini and the channel-data subscriber.
bool gw_init();
// Connects channel data of other devices (chan_setRemoteSubscriber) to the gateway.
bool gw_chandata_ini();
// Ordered shutdown: delivery, monitoring and time-outs cease; devices running lists of this
// device are told to drop them.
void gw_stop();
// Host and tests: drops every list, subscription, connection and request; gw_meas_ini may run
// again afterwards. Nobody may use the gateway meanwhile.
void gw_meas_exit();

void gw_meas_monitoring();  // 10 ms raster
void gw_request_timeout();  // 10 ms raster
void gw_raster(int raster); // raster task of `raster`
void gw_meas_1s();          // 1000 ms raster: collection tick of the handle table

// ---------------------------------------------------------------------------------------------
// Requests and answers (command table rows and the measurement manager)

// Sends `message` and keeps a pending record (callback pair `pair`, 1500 ms) for `list`; the
// message's context becomes the record's handle. 1 sent and queued, 0 not (context 0).
struct gw_mlist;
int gw_ci_put_cmd(comint_msg* message, int flag, int pair, gw_mlist* list);
// Builds and queues the name request 0x0510 to `pid` with a fresh FIFO handle as reply context
// (returned through `fifo_handle` when given). 1 when queued.
int meas_man_create2(uint32_t request_handle, const char* names, uint16_t pid, uint16_t raster,
                     uint16_t divisor, uint16_t length, uint16_t channel_count, uint16_t depth,
                     uint16_t flags, uint32_t* fifo_handle = nullptr);
// 0x0504 to `pid`: drop every list of this device.
void gw_kill_pid(uint16_t pid);

void gw_meascreate_reply(comint_msg* message);                   // 0x0501
void meas_man_meas2_create_reply(comint_msg* message);           // 0x0511
void meas_man_break2_reply(comint_msg* message);                 // 0x0513
void meas_man_speed2_reply(comint_msg* message);                 // 0x0515
void meas_man_get_measurement_state2_reply(comint_msg* message); // 0x0517
void gw_meas_timestamp_err(comint_msg* message);                 // 0x0506
void gw_meas2_timestamp_err(comint_msg* message);                // 0x0518
// 1 when the pending start of a name list was answered with a running list.
int gw_meascreate_reply_measByName(uint32_t request_handle, uint32_t server_handle, dynkomm_fifo* fifo,
                                   uint8_t* answer_data);
void gw_service_reply_meas2(uint32_t request_handle, uint32_t result);
void gw_meas_state_reply(uint16_t pid, uint32_t value);

// ---------------------------------------------------------------------------------------------
// Diagnostics

// Prints every PID not offline to stdout.
void gw_print_pidstate();
inline constexpr int GW_DEBUGOUT_WORDS = 19;
// 0 when `out` is null; else 1 and: current state, ReqM, RunM, lists, records delivered in
// latest-value mode, in queue mode, no-data events, then the list counts of states 0..11 (as of
// the last monitoring tick).
int gw_debugoutPID(uint16_t pid, uint16_t* out);
