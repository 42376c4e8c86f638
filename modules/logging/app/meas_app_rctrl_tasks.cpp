// The two tasks of the remote control: the queue listener, which answers the PC-connection service
// only once the state machine has carried its request out, and the watch task, which pings the PC
// of a stop or destroy and gives logging back when the PC is gone.
#include "framework/board_io.h"
#include "framework/errmem.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "logging/app/meas_app.h"
#include "logging/app/meas_app_remote.h"
#include "logging/app/meas_app_store.h"
#include "measdata/ecumaster.h"
#include "platform/kernel/ping.h"
#include "platform/rtos/rtos.h"
#include "platform/rtos/sysmq.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr int PING_FAILURES_TOLERATED = 4;
constexpr uint32_t kWaitTold = 100000; // 10 s in 100 us ticks
constexpr int kPollTicks = 10;         // the files are looked at every 10 ms

// The shutdown answers what still waits; the listener says when it is done with its requests.
std::atomic<bool> gAnswerNow{false};
std::atomic<bool> gAnswering{false};

// A message of the queue with its number of arrival there and the time it was taken (100 us): a
// request is answered within 12 s of its own coming, also when it came while another was being
// handled. Only the listener touches them.
struct Arrival {
    uint8_t m[RCTRL_MSG];
    uint64_t number;
    uint32_t at;
    bool counted; // a command that bears on the logging: it comes before a later ask of the watch
};
std::deque<Arrival> gArrivals;
constexpr size_t kArrivalsKept = 16; // more stay in the queue until these are handled
// The queue, while the listener has it open; the watch counts its arrivals under gRxLock.
std::atomic<SysMq*> gRx{nullptr};
std::mutex gRxLock;
uint8_t gReceiveFlood = 0;
// The command being handled still counts as waiting (its request is not made or refused yet).
bool gUnsettled = false;
uint64_t gHandled = 0;

bool bearsOnLogging(uint8_t command) {
    return command == 0xE0 || command == 0xE1 || command == 0xD1 || command == 0xED || command == 0xEE;
}

void settle() {
    if (!gUnsettled) return;
    gUnsettled = false;
    remotectrl_pcCommandSettled(gHandled);
}

// Takes the messages that have come, each with its number of arrival and stamped as it is taken;
// `wait`: blocks until one comes when none is kept.
void takeArrivals(bool wait) {
    SysMq* rx = gRx.load();
    if (!rx) return;
    while (gArrivals.size() < kArrivalsKept) {
        uint8_t m[RCTRL_MSG] = {};
        uint64_t number = 0;
        const ssize_t n = sysmq_receiveNumbered(rx, m, sizeof m,
                                                wait && gArrivals.empty() ? WAIT_FOREVER : NO_WAIT, &number);
        if (n == RCTRL_MSG) {
            Arrival a;
            std::memcpy(a.m, m, sizeof m);
            a.number = number;
            a.at = time_getTimestamp();
            a.counted = bearsOnLogging(m[0]);
            remotectrl_pcMessageTaken(number, a.counted);
            gArrivals.push_back(a);
            gAnswering = true;
            continue;
        }
        if (n < 0 && errno == EAGAIN) return; // nothing more has come
        // A short message carries no whole address: nothing is done with it.
        if (n >= 0) remotectrl_pcMessageTaken(number, false);
        char why[64];
        if (n < 0)
            std::snprintf(why, sizeof why, "%s", std::strerror(errno));
        else
            std::snprintf(why, sizeof why, "message of %d bytes", int(n));
        SYSLOGX_FLOOD(gReceiveFlood, LOG_PRIO_ERR,
                      "remotectrl_listenQueue() error receiving command line: %s", why);
        if (n < 0) {
            taskDelay(1);
            return;
        }
    }
}

// A pause of the listener, which takes what comes meanwhile.
void listenPause(int ticks) {
    takeArrivals(false);
    taskDelay(ticks);
}

void ipText(uint32_t ip, char* out, size_t size) {
    std::snprintf(out, size, "%u.%u.%u.%u", unsigned(ip & 0xFF), unsigned(ip >> 8 & 0xFF),
                  unsigned(ip >> 16 & 0xFF), unsigned(ip >> 24));
}

// Up to RCTRL_ATTEMPTS tries one tick apart; then waits, a tick at a time, until the state
// machine has done it and, for a stop or destroy (`files`), until the files it closed are closed
// on their drives. 0x00 done with every file whole, 0xFF never accepted or a file unfinished. All
// within 11.5 s of the request's coming (`at`): one that came while another was being handled has
// only what is left of its own time, and one whose time is over is not carried out. One that is
// taken goes on after its answer (`goesOn` says so when it is answered before it is done).
int requestAndWait(int (*request)(uint32_t), uint32_t ip, uint32_t at, bool (*busy)(), const char* failText,
                   bool files, const char* goesOn = "") {
    constexpr uint32_t kBound = MeasAppStore_FilesWait::kAnswerTicks;
    auto age = [at] { return uint32_t(time_getTimestamp() - at); };
    for (int attempt = 1; attempt <= RCTRL_ATTEMPTS; ++attempt) {
        if (age() >= kBound) {
            syslogx(LOG_PRIO_ERR,
                    "remotectrl_listenQueue() %s came %.1f s ago, behind another request: not carried out, "
                    "answering MEAS_REPLY_ERROR",
                    failText, double(age()) / 10000.0);
            return MEAS_REPLY_ERROR;
        }
        // Made before the request: the files there at it are the request's, and stay in the queue.
        MeasAppStore_FilesWait wait(failText);
        wait.countFrom(at);
        if (request(ip)) {
            settle();
            uint32_t told = time_getTimestamp();
            int result = 0;
            for (;;) {
                const bool carried = !busy();
                if (!files) {
                    result = carried ? 1 : (gAnswerNow.load() || age() >= kBound) ? -1 : 0;
                } else if (carried) {
                    result = wait.poll();
                } else if (wait.ageTicks() >= kBound) {
                    // Taken, not done in time: the answer comes all the same, and the request goes on.
                    result = wait.giveUp(goesOn, "not finished in time", true);
                }
                if (result == 0 && gAnswerNow.load()) result = files ? wait.giveUp("the process ends") : -1;
                if (result != 0) break;
                listenPause(kPollTicks);
                if (!files || uint32_t(time_getTimestamp() - told) < kWaitTold) continue;
                told = time_getTimestamp();
                const std::string waits = wait.waitsFor();
                if (!waits.empty())
                    syslogx(LOG_PRIO_ERR, "remotectrl_listenQueue() %s waits for files not closed: %s",
                            failText, waits.c_str());
            }
            if (result > 0) return 0x00;
            // Done, but not every file is whole on every drive: not a success. A file whose close its
            // drive still makes is not unfinished, and is not named so.
            syslogx(LOG_PRIO_ERR, "remotectrl_listenQueue() %s: files %s, answering MEAS_REPLY_ERROR",
                    failText, files && wait.onlyClosing() ? "still being closed" : "not finished");
            return MEAS_REPLY_ERROR;
        }
        // Logging cannot take it now: said once, and once more when the tries are over.
        if (attempt == 1)
            syslogx(LOG_PRIO_WARNING,
                    "remotectrl_listenQueue() %s failed #1 (flags %03X), tried again %d times", failText,
                    unsigned(meas_app_get_flags()), RCTRL_ATTEMPTS - 1);
        listenPause(1);
    }
    syslogx(
        LOG_PRIO_ERR,
        "remotectrl_listenQueue() %s refused %d times (flags %03X): logging cannot take it now, answering "
        "MEAS_REPLY_ERROR",
        failText, RCTRL_ATTEMPTS, unsigned(meas_app_get_flags()));
    return MEAS_REPLY_ERROR;
}

} // namespace

int remotectrl_command(uint8_t command, uint32_t ip, uint32_t at) {
    switch (command) {
    case 0xD1:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() Flash request");
        meas_led_set_status(0x3000000);
        error_mgr_clear_all();
        return requestAndWait(meas_app_remotedestroy, ip, at, meas_app_remotedestroy_busy,
                              "meas_app_remotedestroy", true, "the destroy goes on");
    case 0xD2:
        meas_led_clr_status(0x2000000);
        return -1;
    case 0xD3:
        meas_led_set_status(0x4000000);
        return -1;
    case 0xE0:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() Plixor connected");
        return requestAndWait(meas_app_remotedestroy, ip, at, meas_app_remotedestroy_busy,
                              "meas_app_remotedestroy", true, "the destroy goes on");
    case 0xE1:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() Trevanox connected");
        return requestAndWait(meas_app_remotestop, ip, at, meas_app_remotestop_busy, "meas_app_remotestop",
                              true, "the stop goes on");
    case 0xE2:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() DataTransferMeas connected");
        return requestAndWait(meas_app_remoteTransfer, ip, at, meas_app_remoteTransferBusy,
                              "meas_app_remoteTransferBegin", false);
    case 0xED:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() Plixor disconnected");
        meas_app_remoteinit();
        return -1;
    case 0xEE:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() Trevanox disconnected");
        meas_app_remotestart();
        return -1;
    case 0xEF:
        syslogx(LOG_PRIO_INFO, "remotectrl_listenQueue() DataTransferMeas disconnected");
        meas_app_remoteread = 0;
        return -1;
    default:
        syslogx(LOG_PRIO_WARNING, "remotectrl_listenQueue() received unknown command 0x%02X",
                unsigned(command));
        return -1;
    }
}

void remotectrl_listenQueue() {
    // Closed also when the task is deleted in its wait.
    std::unique_ptr<SysMq, void (*)(SYSMQ_ID)> rx(sysmq_open(RCTRL_RX_QUEUE, 1, RCTRL_MSG), sysmq_close);
    if (!rx) {
        syslogx(LOG_PRIO_ERR, "remotectrl_listenQueue() queue(RX) open failed: %s", std::strerror(errno));
        return;
    }
    std::unique_ptr<SysMq, void (*)(SYSMQ_ID)> tx(sysmq_open(RCTRL_TX_QUEUE, 1, RCTRL_MSG), sysmq_close);
    if (!tx) {
        syslogx(LOG_PRIO_ERR, "remotectrl_listenQueue() queue(TX) open failed: %s", std::strerror(errno));
        return;
    }
    gRx = rx.get();
    // Given up before the queue is closed, also when the task is deleted in its wait.
    struct Unpublish {
        ~Unpublish() {
            std::lock_guard<std::mutex> lk(gRxLock);
            gRx = nullptr;
        }
    } unpublish;
    for (;;) {
        takeArrivals(true);
        if (gArrivals.empty()) continue;
        const Arrival a = gArrivals.front();
        gArrivals.pop_front();
        const uint32_t ip =
            uint32_t(a.m[1]) | uint32_t(a.m[2]) << 8 | uint32_t(a.m[3]) << 16 | uint32_t(a.m[4]) << 24;
        gAnswering = true;
        remotectrl_pcMessageBegins(a.number);
        gUnsettled = a.counted;
        gHandled = a.number;
        const int status = remotectrl_command(a.m[0], ip, a.at);
        settle();
        if (status >= 0) {
            const uint8_t reply[RCTRL_MSG] = {uint8_t(status), 0, 0, 0, 0};
            // Bounded: a service that has gone away must not hold the listener.
            if (sysmq_send(tx.get(), reply, sizeof reply, sysClkRateGet()) != OK) {
                if (status == 0)
                    syslogx(LOG_PRIO_ERR, "remotectrl_listenQueue(): sending reply error (%s)",
                            std::strerror(errno));
                else
                    syslogx(LOG_PRIO_ERR,
                            "remotectrl_listenQueue(): sending reply MEAS_REPLY_ERROR error (%s)",
                            std::strerror(errno));
            }
        }
        gAnswering = !gArrivals.empty();
    }
}

uint64_t remotectrl_arrivals() {
    std::lock_guard<std::mutex> lk(gRxLock);
    SysMq* rx = gRx.load();
    return rx ? sysmq_arrivals(rx) : 0;
}

void remotectrl_shutdown() {
    gAnswerNow = true;
    for (int i = 0; i < 1000 && gAnswering.load(); ++i) taskDelay(1);
}

void remotectrl_lost_task() {
    syslogx(LOG_PRIO_INFO, "remotectrl_lost_task: init:");
    const int halfSecond = sysClkRateGet() / 2;
    constexpr uint32_t kWatchStart = RCTRL_EV_STOP | RCTRL_EV_DESTROY,
                       kWatchEnd = RCTRL_EV_START | RCTRL_EV_INIT;
    for (;;) {
        uint32_t events = 0;
        if (eventReceive(kWatchStart, EVENTS_WAIT_ANY, WAIT_FOREVER, &events) != OK) {
            syslogx(LOG_PRIO_ERR, "remotectrl_lost_task(): receiving event failed");
            continue;
        }
        ping_setTimeout(1);
        bool stopWatch = false, destroyWatch = false;
        const char* watched = "stop"; // the last of them
        int failed = 0;               // over the whole watch of a request, not only in a row
        bool asked = false; // logging asked back (carried out, kept, or once the PC's commands before
                            // it are taken), or the PC's command decides
        uint32_t order = 0; // the PC's requests taken when the watch (re)started
        for (;;) {
            // A stop or destroy (also one that comes during the watch) starts it for its PC.
            if (events & kWatchStart) {
                if (events & RCTRL_EV_STOP) {
                    stopWatch = true;
                    watched = "stop";
                    remotectrl_markStopActive();
                }
                if (events & RCTRL_EV_DESTROY) {
                    destroyWatch = true;
                    watched = "destroy";
                }
                failed = 0;
                asked = false;
                order = remotectrl_watchBegins();
            }
            if (remotectrl_lost_ip.load() == 0) break;
            const uint32_t round = tickGet();
            char host[16];
            ipText(remotectrl_lost_ip.load(), host, sizeof host);
            if (xcpMasterPresent() || ping(host, 1, 0) == OK) {
            } else if (failed < PING_FAILURES_TOLERATED) {
                const int e = errno;
                ++failed;
                if (e != S_pingLib_TIMEOUT)
                    syslogx(LOG_PRIO_WARNING, "remote lost, ping returns errno %s(%d)", std::strerror(e), e);
            } else if (!asked) {
                // Asked once, in the order of the PC's commands: a start or init that logging cannot
                // take yet is kept and carried out once it can, and no lock refuses it then.
                asked = true;
                remotectrl_lostAsk(order, watched);
            }
            // Half a second a round at least, whatever the ping returned (one without a route to
            // the PC fails at once).
            const int rest = halfSecond - int(tickGet() - round);
            if (rest > 0) taskDelay(rest);
            // A time-out here only means that no start or init has come. An init builds and starts:
            // it ends a stop's watch too.
            uint32_t ended = 0;
            if (eventReceive(kWatchEnd, EVENTS_WAIT_ANY | EVENTS_KEEP_UNWANTED, NO_WAIT, &ended) == OK) {
                if (ended & (RCTRL_EV_START | RCTRL_EV_INIT)) stopWatch = false;
                if (ended & RCTRL_EV_INIT) destroyWatch = false;
            }
            if (!stopWatch && !destroyWatch) break;
            events = 0;
            eventReceive(kWatchStart, EVENTS_WAIT_ANY | EVENTS_KEEP_UNWANTED, NO_WAIT, &events);
        }
        remotectrl_endWatch();
    }
}
