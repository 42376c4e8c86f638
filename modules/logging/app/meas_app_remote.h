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
// The PC's commands and the watch in one order. The listener counts each command of the PC that
// bears on the logging (stop, destroy, flash request, their ends) from the moment it takes it off
// the queue until its request is made or refused; each stop, destroy, start or init of the PC that
// is taken moves the order on.
void remotectrl_pcCommandCame();
void remotectrl_pcCommandSettled();
// The order when the watch (re)starts on a stop or destroy.
uint32_t remotectrl_watchBegins();
// The watch's ask at its fifth failed ping, for the stop and/or destroy it watches since `order`:
// 1 asked (carried out, or kept until logging can take it); 0 not now, a command of the PC that
// came before is still to be taken; -1 never for this watch, the PC's own command that came after
// the watched one decides.
int remotectrl_lostAsk(uint32_t order, bool stop, bool destroy);
// The end of a watch: the watched address and the pending events cleared, unless a new stop or
// destroy is waiting.
void remotectrl_endWatch();
// One command of the queue that came at `at` (time stamp, 100 us): its reply, or none (-1).
int remotectrl_command(uint8_t command, uint32_t ip, uint32_t at);
// The shutdown: a stop or destroy still waiting for its files is answered FF now (at most 1 s).
void remotectrl_shutdown();
