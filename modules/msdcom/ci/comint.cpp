#include "msdcom/ci/comint.h"

#include "framework/appman.h"
#include "framework/msd_shell.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/routing.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

std::atomic<MSG_Q_ID> gQueue{MSG_Q_ID_NULL};
std::atomic<TASK_ID> gTask{TASK_ID_ERROR};
std::mutex gIniLock;

// Set by the first refused send of a run of refusals, cleared by the next success.
std::atomic<bool> gQueueFailing{false};
uint8_t gFailFlood = 0;  // written only by the task that sets the flag
uint8_t gAliveFlood = 0; // written only by the task that clears it
std::atomic<int> gHighwater{0};

struct ErrorRing {
    std::mutex lock;
    comint_err_entry entries[COMINT_ERR_ENTRIES]{};
    uint32_t counter = 0;
};
ErrorRing gErrors;

int cmdErrorRing(int, char**) {
    shell_printf("comint errors since start: %u\n", unsigned(comint_error_count()));
    for (int i = 0; i < COMINT_ERR_ENTRIES; ++i) {
        const comint_err_entry e = comint_error_entry(i);
        if (e.code == 0) continue;
        shell_printf("%2d: code %u cmd 0x%04X %X->%X len %u ctx 0x%08X rctx 0x%08X\n", i, unsigned(e.code),
                     unsigned(ci_swap16(e.cmd)), unsigned(ci_swap16(e.src)), unsigned(ci_swap16(e.dst)),
                     unsigned(ci_swap16(e.len)), unsigned(ci_swap32(e.ctx)), unsigned(ci_swap32(e.rctx)));
    }
    return int(comint_error_count());
}

} // namespace

bool comint_queue_ini() {
    std::lock_guard<std::mutex> g(gIniLock);
    if (gQueue.load() != MSG_Q_ID_NULL) return true;
    const MSG_Q_ID q = msgQCreate(COMINT_QUEUE_MSGS, int(CI_SLOT_LEN), MSG_Q_PRIORITY);
    if (q == MSG_Q_ID_NULL) {
        syslogx(LOG_PRIO_CRIT, "comint_ini(): Failed to create message queue");
        return false;
    }
    gQueue.store(q);
    return true;
}

bool comint_ini() {
    ci_register_own_handlers();
    if (!shellhost_isRegistered("comint_err")) msd_shellAddCommand("comint_err", cmdErrorRing);
    if (!comint_queue_ini()) return false;
    std::lock_guard<std::mutex> g(gIniLock);
    if (gTask.load() != TASK_ID_ERROR) return true;
    const TASK_ID tid =
        taskSpawn("r_Comint", COMINT_TASK_PRIORITY, VX_FP_TASK, COMINT_TASK_STACK, Comint_Task);
    if (tid == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_CRIT, "comint_ini(): Failed to start Comint_Task");
        return false;
    }
    gTask.store(tid);
    return true;
}

void comint_exit() {
    std::lock_guard<std::mutex> g(gIniLock);
    const TASK_ID tid = gTask.exchange(TASK_ID_ERROR);
    if (tid != TASK_ID_ERROR) {
        taskDelete(tid);
        taskJoin(tid, 5000);
    }
    const MSG_Q_ID q = gQueue.exchange(MSG_Q_ID_NULL);
    if (q != MSG_Q_ID_NULL) msgQDelete(q);
    gQueueFailing.store(false);
    gHighwater.store(0);
}

bool comint_receive(comint_msg* out, int ticks) {
    const MSG_Q_ID q = gQueue.load();
    return out && q != MSG_Q_ID_NULL && msgQReceive(q, out, CI_SLOT_LEN, ticks) != ERROR;
}

uint16_t comint_queue_cmd(const comint_msg* message) {
    if (!message) return 0;
    const uint16_t len = ci_len(message);
    if (len > CI_PAYLOAD_MAX_QUEUE) {
        SYSLOGX_ONCE_SITE(LOG_PRIO_WARNING, "comint_queue_cmd(): CI msg 0x%X, %X->%X, payload %u, refused",
                          unsigned(ci_cmd(message)), unsigned(ci_src(message)), unsigned(ci_dst(message)),
                          unsigned(len));
        return 0;
    }
    const MSG_Q_ID q = gQueue.load(std::memory_order_acquire);
    if (q == MSG_Q_ID_NULL) return 0;
    const STATUS st = msgQSend(q, message, CI_HDR_LEN + len, NO_WAIT, MSG_PRI_NORMAL);
    if (st != OK) {
        // Only the first refusal of a run is logged; every refusal is reported as such.
        if (!gQueueFailing.exchange(true, std::memory_order_acq_rel))
            SYSLOGX_FLOOD(gFailFlood, LOG_PRIO_WARNING,
                          "Sending CI msg 0x%X to comint task failed, %X->%X, Q status %X, Q Err %X",
                          unsigned(ci_cmd(message)), unsigned(ci_src(message)), unsigned(ci_dst(message)),
                          unsigned(st), 0u);
        return 0;
    }
    if (gQueueFailing.load(std::memory_order_relaxed) &&
        gQueueFailing.exchange(false, std::memory_order_acq_rel))
        SYSLOGX_FLOOD(gAliveFlood, LOG_PRIO_INFO, "Sending CI msg 0x%X to comint task back alive, %X->%X",
                      unsigned(ci_cmd(message)), unsigned(ci_src(message)), unsigned(ci_dst(message)));
    return 1;
}

uint16_t comint_put_cmd(const comint_msg* message, int flag) {
    if (!message) return 0;
    uint16_t result = 0;
    uint32_t code = COMINT_ERR_REFUSED;
    const uint16_t dst = ci_dst(message);
    if (ci_len(message) > CI_PAYLOAD_MAX_LINK) {
        result = 0; // longer than any link or the queue carries
    } else if (dst == app_pid || flag == 1) {
        result = comint_queue_cmd(message);
    } else if (dst == CI_PID_ALL) {
        result = msdcom_net().comint_put_eth(message);
        if (result == 1) {
            // This device serves its own broadcast too; the caller's message stays as it was.
            comint_msg own;
            std::memcpy(&own, message, ci_wire_len(message));
            ci_set_dst(&own, app_pid);
            result = comint_queue_cmd(&own);
        }
    } else {
        switch (routing_get_next(dst).kind) {
        case ROUTE_ETH:
            result = msdcom_net().comint_put_eth(message);
            break;
        case ROUTE_LOCSOCK:
            result = msdcom_net().comint_put_locSock(message);
            break;
        default:
            code = COMINT_ERR_NO_ROUTE;
            break;
        }
    }
    if (result != 1) comint_error(code, message);
    return result;
}

void Comint_Task() {
    while (msdcom_net().comint_status() != 1) taskDelay(sysClkRateGet() / 10);
    comint_msg message;
    for (;;) {
        const MSG_Q_ID q = gQueue.load(std::memory_order_acquire);
        if (q == MSG_Q_ID_NULL || msgQReceive(q, &message, CI_SLOT_LEN, WAIT_FOREVER) == ERROR) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "Comint_Task: msgQReceive() result: %s", std::strerror(errno));
            taskDelay(1); // never spin on a broken queue
            continue;
        }
        const int depth = msgQNumMsgs(q);
        if (depth > gHighwater.load(std::memory_order_relaxed)) {
            gHighwater.store(depth, std::memory_order_relaxed);
            if (depth > 100)
                syslogx(LOG_PRIO_DEBUG, "Comint_Task: msgQ_comint() filled upto: %d of %d", depth,
                        COMINT_QUEUE_MSGS);
        }
        if (ci_dst(&message) == app_pid)
            ci_serve_command(&message);
        else if (comint_put_cmd(&message, 0) != 1)
            comint_error(COMINT_ERR_FORWARD, &message);
    }
}

void comint_error(uint32_t code, const comint_msg* message) {
    std::lock_guard<std::mutex> g(gErrors.lock);
    comint_err_entry& e = gErrors.entries[gErrors.counter & (COMINT_ERR_ENTRIES - 1)];
    e = comint_err_entry{};
    e.code = code;
    if (message) {
        e.reserved0 = message->reserved0;
        e.len = message->len;
        e.src = message->src;
        e.dst = message->dst;
        e.ctx = message->ctx;
        e.rctx = message->rctx;
        e.cmd = message->cmd;
    }
    ++gErrors.counter;
}

void comint_error_ini() {
    std::lock_guard<std::mutex> g(gErrors.lock);
    gErrors.counter = 0;
}

uint32_t comint_error_count() {
    std::lock_guard<std::mutex> g(gErrors.lock);
    return gErrors.counter;
}

comint_err_entry comint_error_entry(int index) {
    std::lock_guard<std::mutex> g(gErrors.lock);
    return gErrors.entries[index & (COMINT_ERR_ENTRIES - 1)];
}

int comint_queue_highwater() {
    return gHighwater.load();
}
bool comint_queue_failing() {
    return gQueueFailing.load();
}
