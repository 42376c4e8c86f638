// Stop, speed, kill and state requests for the lists of the measurement manager. Every list named
// by a word from the network is looked up (identity or handle) before it is touched.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/measman/meas_man_internal.h"

#include <mutex>

namespace {

// Lists of every raster chain whose requester is `pid`.
std::vector<meas_list*> listsOf(uint16_t pid) {
    std::vector<meas_list*> out;
    for (uint32_t r = 0; r < MEAS_MAN_RASTERS; ++r) {
        mm::Chain& c = mm::chain(r);
        std::lock_guard<std::mutex> g(c.lock);
        for (meas_list* l = c.head.load(std::memory_order_relaxed); l; l = l->next)
            if (l->reqPid == pid) out.push_back(l);
    }
    return out;
}

void setDivisor(meas_list* list, uint16_t divisor, bool reloadCountdown) {
    mm::Chain& c = mm::chain(list->raster);
    std::lock_guard<std::mutex> g(c.lock);
    // The event rasters copy under the event's time: their lists change at once.
    if (list->raster >= mm::kPacedRasters) {
        mm::applyDivisor(list, divisor, reloadCountdown);
        return;
    }
    if (list->changePending) mm::applyDivisor(list, list->nextDivisor, list->nextReload != 0);
    list->nextDivisor = divisor;
    list->nextReload = reloadCountdown ? 1 : 0;
    list->changeTs = time_getTimestamp();
    list->changePending = 1;
}

bool ready() {
    return meas_man_virtChan_registered.load() != 0 && meas_man_CanIO_initialized.load() != 0;
}

void answer(uint16_t cmd, uint16_t dst, uint32_t ctx, uint32_t rctx, const uint32_t* result) {
    comint_msg m;
    uint16_t len = 0;
    if (result) {
        ci_put32(m.data, *result);
        len = 4;
    }
    ci_init(&m, cmd, app_pid, dst, ctx, rctx, len);
    if (!mm::send(m))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man: answer 0x%04X to PID %X not sent", unsigned(cmd),
                          unsigned(dst));
}

} // namespace

void meas_man_break(comint_msg* message) {
    meas_list* list = mm::listByIdent(ci_rctx(message));
    if (list && meas_man_stop(list, 0) == 1) return;
    // The requester's FIFO stays: it logs the leak.
    answer(0x1100, ci_src(message), 0, ci_ctx(message), nullptr);
}

void meas_man_speed(comint_msg* message) {
    if (ci_len(message) < 2) return;
    meas_list* list = mm::listByIdent(ci_rctx(message));
    if (!list || list->mark.load() != MEAS_MAN_MARK_VALID) return;
    setDivisor(list, ci_get16(message->data), true);
}

void meas_man_kill_my_measurements(comint_msg* message) {
    for (meas_list* l : listsOf(ci_src(message))) {
        mm::releaseHandle(l);
        meas_man_stop(l, 0);
    }
}

void meas_man_get_measurement_state(comint_msg* message) {
    if (!ready()) return;
    const bool exists = !listsOf(uint16_t(ci_rctx(message))).empty();
    answer(exists ? 0x0103 : 0x0104, ci_src(message), 0, ci_ctx(message), nullptr);
}

void meas_man_break2(comint_msg* message) {
    const uint16_t src = ci_src(message);
    const uint32_t reqCtx = ci_ctx(message);
    meas_list* list = mm::listByHandle(ci_rctx(message));
    uint32_t result = 0;
    uint32_t peer = 0;
    if (list) {
        const uint32_t fifoHandle = list->fifoHandle;
        const uint16_t reqPid = list->reqPid;
        mm::releaseHandle(list);
        result = uint32_t(meas_man_stop(list, 1));
        // The list is out of its chain: nothing writes the FIFO any more.
        peer = dynkomm_fifo_unlink(reqPid, app_pid, fifoHandle);
    }
    if (reqCtx != 0) answer(0x0513, src, peer, reqCtx, &result);
}

void meas_man_speed2(comint_msg* message) {
    meas_list* list = ci_len(message) >= 2 ? mm::listByHandle(ci_rctx(message)) : nullptr;
    uint32_t result = 0;
    if (list && list->mark.load() == MEAS_MAN_MARK_VALID) {
        setDivisor(list, ci_get16(message->data), false);
        result = 1;
    }
    answer(0x0515, ci_src(message), ci_rctx(message), ci_ctx(message), &result);
}

void meas_man_get_measurement_state2(comint_msg* message) {
    if (!ready()) return;
    const uint32_t result = listsOf(uint16_t(ci_rctx(message))).empty() ? 0 : 1;
    answer(0x0517, ci_src(message), ci_rctx(message), ci_ctx(message), &result);
}
