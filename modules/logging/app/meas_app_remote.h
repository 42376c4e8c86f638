// Remote control of the logging: the PC-connection service reports PC tools that connect and
// leave on the queue "/MeasAppRCTRL_RX" and is answered on "/MeasAppRCTRL_TX"; the commands become
// requests of the state machine, and a watch task pings the PC so that logging comes back when it
// vanishes without saying goodbye.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr const char* RCTRL_RX_QUEUE = "/MeasAppRCTRL_RX";
inline constexpr const char* RCTRL_TX_QUEUE = "/MeasAppRCTRL_TX";
inline constexpr int RCTRL_MSG = 5; // {command or status, 4 address bytes}
inline constexpr uint8_t MEAS_REPLY_ERROR = 0xFF;
inline constexpr int RCTRL_TASK_PRIORITY = 131;
inline constexpr int RCTRL_TASK_STACK = 8192;
inline constexpr int RCTRL_ATTEMPTS = 100;

// Events of the watch task: stop and destroy start a watch, start and init end it.
inline constexpr uint32_t RCTRL_EV_STOP = 1, RCTRL_EV_DESTROY = 2, RCTRL_EV_START = 4, RCTRL_EV_INIT = 8;

// The PC being watched (0 none), first number of the dotted form in the low byte.
extern std::atomic<uint32_t> remotectrl_lost_ip;
extern std::atomic<uint8_t> remotectrl_retry_ctr;
// 1: the PC's init (0xED) is refused: the watch built logging again, or a destroy came without an
// address. A stop or an addressed destroy clears it.
extern std::atomic<uint8_t> remotectrl_remoteinit_lock;

// Requests of the PC-connection service: 1 accepted (or nothing to do while logging is
// inactive), 0 refused because another request is pending or, for a start or an init, by its lock.
// Addresses as remotectrl_lost_ip.
int meas_app_remotestart();
int meas_app_remotestop(uint32_t ip);
int meas_app_remoteinit();
// The state machine, at each step: a start or init kept while logging could not take it is
// carried out once no stop, init or destroy is pending.
void meas_app_remoteDeferred();
int meas_app_remotedestroy(uint32_t ip);
int meas_app_remoteTransfer(uint32_t ip);
// Whether the state machine has yet to carry a request out (stopped; the transfer's stop;
// destroyed). The answer to a stop or destroy then waits for the files it closed.
bool meas_app_remotestop_busy();
bool meas_app_remoteTransferBusy();
bool meas_app_remotedestroy_busy();
uint8_t meas_app_get_remotectrl_remotestart_lock();
uint8_t meas_app_get_remotestop_active();

// Clears the watch and the locks and starts "r_rCtrlLost" and then "r_rCtrlLisQ".
void meas_app_remote_ini();
// The two tasks' bodies.
void remotectrl_lost_task();
void remotectrl_listenQueue();
// The watch task's part of a stop: remote stop active, unless a start came first.
void remotectrl_markStopActive();
// The PC's commands and the watch in one order, each message counted from its arrival in the queue
// "/MeasAppRCTRL_RX" (its number there, 1 the first). The listener tells each message it takes
// (`counted`: a command that bears on the logging: a stop, a destroy, a flash request or their
// ends), the one it begins to handle, and when the request of a counted one is made or refused.
void remotectrl_pcMessageTaken(uint64_t number, bool counted);
void remotectrl_pcMessageBegins(uint64_t number);
void remotectrl_pcCommandSettled(uint64_t number);
// The messages that have come into the queue so far, taken or waiting (the listener's queue).
uint64_t remotectrl_arrivals();
// The order when the watch (re)starts on a stop or destroy.
uint32_t remotectrl_watchBegins();
// The watch's ask at its fifth failed ping, for the stop or destroy it watches since `order` (the
// last of them `watched`, "stop" or "destroy"), logged here. It asks for what brings logging back
// from the state it finds: an init where nothing is built, a start where the measurement is built
// and stopped; no lock refuses it. A command of the PC that came into the queue before this moment
// is taken first: 1 asked (carried out, or kept until logging can take it); 0 asked once the
// commands of the PC that came before are made or refused (by the listener, then), unless one of
// them is made; -1 never for this watch, the PC's own command after the watched one decides.
int remotectrl_lostAsk(uint32_t order, const char* watched);
// The end of a watch: the watched address and the pending events cleared, unless a new stop or
// destroy is waiting.
void remotectrl_endWatch();
// One command of the queue that came at `at` (time stamp, 100 us): its reply, or none (-1).
int remotectrl_command(uint8_t command, uint32_t ip, uint32_t at);
// The shutdown: a stop or destroy still waiting for its files is answered FF now (at most 1 s).
void remotectrl_shutdown();
