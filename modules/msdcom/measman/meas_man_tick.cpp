// The 10 ms tick of the measurement manager: stored data is copied only while the time service is
// in full synchronisation (from 100 ms after it is reached until 5 s after it is lost, with error
// 482 when stored data was asked for), and once a second the data losses and stopped lists are
// reported.
#include "framework/errmem.h"
#include "framework/syslog.h"
#include "framework/time_util.h"
#include "msdcom/measman/meas_man_internal.h"

namespace {

constexpr uint8_t kFullSync = 3;
constexpr uint32_t kHoldTicks = 500;    // 5 s without full sync before stored data stops
constexpr uint32_t kFullSyncTicks = 10; // 100 ms of full sync before stored data starts
constexpr uint32_t kReportTicks = 100;  // 1 s

// Touched by the 10 ms raster only (reset at start-up).
struct Tick {
    uint32_t hold = kHoldTicks;
    uint32_t fullSyncCountdown = kFullSyncTicks;
    bool errorSet = false;
    uint32_t ticks = 0;
    uint32_t stoppedLogged = 0;
    uint32_t stoppedPrevSecond = 0;
};
Tick gTick;
std::atomic<uint32_t> gLossSum{0};

} // namespace

namespace mm {
std::atomic<bool> copyOfflineEnabled{false};
std::atomic<bool> offlineRequested{false};
std::atomic<uint32_t> syncErrDelay{0};

void resetTick() {
    gTick = Tick{};
    gLossSum.store(0);
    copyOfflineEnabled.store(false);
    offlineRequested.store(false);
    syncErrDelay.store(0);
}
} // namespace mm

void meas_man_10ms() {
    Tick& t = gTick;
    uint32_t delay = mm::syncErrDelay.load();
    while (delay > 0 && !mm::syncErrDelay.compare_exchange_weak(delay, delay - 1)) {
    }

    if (time_getSyncState() != kFullSync) {
        if (t.hold > 0) {
            --t.hold;
        } else {
            mm::copyOfflineEnabled.store(false);
            t.fullSyncCountdown = kFullSyncTicks;
            if (mm::syncErrDelay.load() == 0 && mm::offlineRequested.load() && !t.errorSet) {
                error_mgr_set(MEAS_MAN_ERRMEM_SYNC, MEAS_MAN_ERRMEM_SYNC_TYPE, 1);
                t.errorSet = true;
                syslogx(LOG_PRIO_INFO, "meas_man_10ms: set ERROR_MGR_ERR_TYPE_SYNC_ERROR");
            }
        }
    } else {
        if (t.errorSet) {
            error_mgr_clear(MEAS_MAN_ERRMEM_SYNC);
            t.errorSet = false;
            syslogx(LOG_PRIO_INFO, "meas_man_10ms: clr ERROR_MGR_ERR_TYPE_SYNC_ERROR");
        }
        if (t.fullSyncCountdown > 0) {
            if (t.fullSyncCountdown == kFullSyncTicks)
                syslogx(LOG_PRIO_INFO, "meas_man_10ms: reached TIMESERVER_STATE_FULL_SYNC");
            if (--t.fullSyncCountdown == 0) mm::copyOfflineEnabled.store(true);
        }
        t.hold = kHoldTicks;
    }

    if (++t.ticks < kReportTicks) return;
    t.ticks = 0;
    uint32_t loss = 0;
    uint32_t stopped = 0;
    for (int r = 0; r < MEAS_MAN_RASTERS; ++r) {
        loss += mm::data_loss_cnt[r].load(std::memory_order_relaxed);
        stopped += mm::measblock_stopped[r].load(std::memory_order_relaxed);
    }
    if (loss != gLossSum.load()) {
        gLossSum.store(loss);
        syslogx(LOG_PRIO_ERR, "meas_man_10ms(): data loss update: loss count :%u", unsigned(loss));
    }
    // A count that held for a whole second, and not the one reported last.
    if (stopped != t.stoppedLogged && stopped == t.stoppedPrevSecond) {
        syslogx(LOG_PRIO_INFO, "meas_man_10ms(): stopped measbocks found:%u", unsigned(stopped));
        t.stoppedLogged = stopped;
    }
    t.stoppedPrevSecond = stopped;
}

uint32_t meas_man_get_data_loss_cnt() {
    return gLossSum.load();
}

bool meas_man_copy_offline_data_enabled() {
    return mm::copyOfflineEnabled.load();
}
