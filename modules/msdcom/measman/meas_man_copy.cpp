// The copy: one record per due list of a raster, after that raster's calculation channels. It
// walks the raster's chain under the chain's lock, so a list that a request handler unchains is
// never in use when it is freed.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/ci/dynkomm_fifo.h"
#include "msdcom/measman/meas_man_internal.h"

#include <mutex>

namespace {

// The values of the list, group by group, behind the time stamp.
void fillRecord(const meas_list* l, uint8_t* slot, uint32_t timestamp) {
    ci_put32(slot, timestamp);
    uint8_t* out = slot + 4;
    const uint32_t* w = l->words.data();
    const seramMeasHandle_t* h = l->handles.data();
    size_t i = 0;
    // The list was checked when it was made: every group ends in 0, the list in a further 0.
    while (w[i] != 0) {
        const uint32_t width = mm::groupWidth(w[i]);
        const bool raw = mm::isRawHead(w[i]);
        for (++i; w[i] != 0; ++i) {
            if (raw)
                seramMeasCopyRaw(out, width, &h[i]);
            else
                seramMeasCopy_bigEndian(out, width, &h[i]);
            out += width;
        }
        ++i;
    }
}

// A stored-data list's time stamps ran backwards: the requester hears it once.
void timestampNotice(const meas_list* l, int raster) {
    comint_msg m;
    ci_init(&m, l->byName ? 0x0518 : 0x0506, app_pid, l->reqPid, uint32_t(raster),
            l->byName ? l->handle : l->ident, 0);
    if (!mm::send(m))
        SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "meas_man_copy(): time stamp notice to PID %X not sent",
                          unsigned(l->reqPid));
}

} // namespace

void meas_man_copy(int raster, uint32_t timestamp) {
    if (raster < 0 || raster >= MEAS_MAN_RASTERS) return;
    mm::Chain& c = mm::chain(uint32_t(raster));
    if (c.head.load(std::memory_order_acquire) == nullptr) {
        mm::measblock_stopped[raster].store(0, std::memory_order_relaxed);
        return;
    }
    std::lock_guard<std::mutex> g(c.lock);
    meas_list* head = c.head.load(std::memory_order_relaxed);
    if (!head) return;
    if (timestamp == 0 && !(head->flags & MEAS_MAN_FLAG_ZERO_TS)) timestamp = time_getTimestamp();

    uint32_t stopped = 0;
    for (const meas_list* l = head; l; l = l->next) stopped += l->stopped;
    mm::measblock_stopped[raster].store(stopped, std::memory_order_relaxed);

    const bool offlineOn = mm::copyOfflineEnabled.load(std::memory_order_relaxed);
    for (meas_list* l = head; l; l = l->next) {
        if (l->changePending && int32_t(timestamp - l->changeTs) >= 0) {
            mm::applyDivisor(l, l->nextDivisor, l->nextReload != 0);
            l->changePending = 0;
        }
        if (l->countdown == 0) {
            l->countdown = l->divisor;
            continue;
        }
        if (l->countdown > 1) {
            --l->countdown;
            continue;
        }
        if (l->flags & MEAS_MAN_FLAG_STORED) {
            // Until copying is enabled the countdown stays at 1: the first due tick writes.
            if (!offlineOn || l->stopped) continue;
            // Compared as a difference, so that the wrap of the time stamp is no step back.
            if (l->lastTsValid && int32_t(timestamp - l->lastTs) < 0) {
                l->stopped = 1;
                timestampNotice(l, raster);
                continue;
            }
            l->lastTs = timestamp;
            l->lastTsValid = 1;
        }
        if (uint8_t* slot = dynkomm_write(l->fifo)) {
            fillRecord(l, slot, timestamp);
            dynkomm_writedone(l->fifo);
        } else {
            mm::data_loss_cnt[raster].fetch_add(1, std::memory_order_relaxed);
        }
        l->countdown = l->divisor;
    }
}
