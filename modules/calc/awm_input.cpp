#include "calc/awm_input.h"

#include "calc/awm_upn.h"
#include "framework/appman.h"
#include "framework/raster.h"
#include "framework/syslog.h"
#include "msdcom/gateway/gw_meas.h"
#include "platform/rtos/hostclock.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace {

// The gateway gives up on a value that has not come for this long.
constexpr uint32_t kTimeoutMs = 500;
// The clock hands out late ticks for up to a second: a pass runs at most that late, and while it
// runs, the records of the calculation passes due from a second before its time on come in. Their
// changes, one per record at most, are kept for it.
constexpr uint32_t kLateTicksMs = 1000;
constexpr size_t kMinChanges = 8;

size_t changesKept(int periodMs) {
    return std::max(kMinChanges, periodMs > 0 ? size_t(2 * kLateTicksMs / uint32_t(periodMs)) + 1 : 0);
}

uint32_t dataEvent(uint32_t event, void* data, void* user) {
    auto* in = static_cast<AwmInput*>(user);
    if (event == GW_EVT_OK) {
        if (!data) return 0;
        in->put(static_cast<const uint8_t*>(data) + 4); // after the time stamp
        return 1;
    }
    if (event == GW_EVT_NODATA || event == GW_EVT_OFFLINE) in->lost();
    return 0;
}

uint32_t startEvent(uint32_t event, void*, void* user) {
    auto* in = static_cast<AwmInput*>(user);
    if (event == GW_EVT_OK) {
        syslogx(LOG_PRIO_INFO2, "%s: input %s (0x%06X of PID %u) delivering", in->owner(), in->name(),
                unsigned(in->address() & 0xFFFFFFu), unsigned(in->pid()));
        return 0;
    }
    in->lost();
    // A device that is not connected yet gets the request again once it is.
    if (event == GW_EVT_OFFLINE) return 0;
    syslogx(LOG_PRIO_ERR2, "%s: input %s (0x%06X of PID %u) not delivered (gateway event %u)", in->owner(),
            in->name(), unsigned(in->address() & 0xFFFFFFu), unsigned(in->pid()), unsigned(event));
    return 0;
}

const callback_list kCallbacks = {{
    {nullptr, 0},
    {dataEvent, 100},
    {nullptr, 0},
    {startEvent, 0},
    {nullptr, 0},
    {nullptr, 0},
}};

std::mutex gConnMutex;
gw_connection* gConn = nullptr;

gw_connection* connection() {
    std::lock_guard<std::mutex> g(gConnMutex);
    if (!gConn) gConn = gw_connect(&kCallbacks);
    return gConn;
}

uint32_t markerOf(uint32_t width) {
    switch (width) {
    case 4:
        return 0xFFFFFFFC;
    case 2:
        return 0xFFFFFFFE;
    default:
        return 0xFFFFFFFF;
    }
}

} // namespace

uint32_t awm_input_width(uint8_t type) {
    switch (type) {
    case 0:
    case 1:
    case 7:
        return 1;
    case 2:
    case 3:
        return 2;
    case 4:
    case 5:
    case 6:
        return 4;
    default:
        return 0;
    }
}

bool awm_input_convert(const awm_input_cfg& cfg, uint32_t raw, double* value) {
    const double x = awm_man_conv2double(raw, cfg.type == 7 ? 1 : cfg.type);
    const float* k = cfg.coef;
    const double den = double(k[3]) * x * x + double(k[4]) * x + double(k[5]);
    if (den == 0.0) return false;
    const double v = (double(k[0]) * x * x + double(k[1]) * x + double(k[2])) / den;
    if (!std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool AwmInput::start(const awm_input_cfg& cfg, uint16_t raster, const char* owner, const char* name) {
    stop();
    cfg_ = cfg;
    owner_ = owner;
    name_ = name;
    if (!configured()) return true;
    const uint32_t width = awm_input_width(cfg.type);
    pid_ = cfg.pid != 0 ? cfg.pid : app_pid;
    if (width == 0 || pid_ >= GW_PIDS) {
        syslogx(LOG_PRIO_ERR2, "%s: input %s refused: type code %u, PID %u", owner, name, unsigned(cfg.type),
                unsigned(pid_));
        cfg_ = awm_input_cfg{};
        return false;
    }
    {
        std::lock_guard<std::mutex> g(changesLock_);
        changes_.assign(changesKept(raster2rate(raster)), Change{});
        changeCount_ = newest_ = 0;
    }
    gw_connection* conn = connection();
    const uint32_t list[4] = {markerOf(width), cfg.address & 0x00FFFFFFu, 0, 0};
    const int period = raster2rate(raster);
    const uint32_t ticks = period > 0 ? kTimeoutMs / uint32_t(period) : 0;
    subscription_ =
        conn ? gw_setup_list(conn, list, this, sizeof list, raster, pid_, 0, 0, 1, 4, 8, ticks) : 0;
    if (subscription_ == 0) {
        syslogx(LOG_PRIO_ERR2, "%s: input %s (0x%06X of PID %u) not subscribed", owner, name,
                unsigned(cfg.address & 0xFFFFFFu), unsigned(pid_));
        cfg_ = awm_input_cfg{};
        return false;
    }
    gw_start_list(subscription_);
    return true;
}

void AwmInput::stop() {
    if (subscription_ != 0) gw_kill_list(subscription_); // no delivery reaches the input after this
    subscription_ = 0;
    cfg_ = awm_input_cfg{};
    fresh_.store(false);
    std::lock_guard<std::mutex> g(changesLock_);
    changeCount_ = 0;
}

bool AwmInput::read(double* value) const {
    if (!configured() || !fresh_.load(std::memory_order_acquire)) return false;
    return awm_input_convert(cfg_, raw_.load(std::memory_order_relaxed), value);
}

void AwmInput::put(const uint8_t* value) {
    const uint32_t width = awm_input_width(cfg_.type);
    uint32_t raw = 0;
    for (uint32_t b = 0; b < width; ++b) raw = raw << 8 | value[b];
    raw_.store(raw, std::memory_order_relaxed);
    fresh_.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> g(changesLock_);
    const int kept = int(changes_.size());
    if (kept == 0 || (changeCount_ > 0 && changes_[size_t(newest_)].raw == raw)) return;
    newest_ = (newest_ + 1) % kept;
    changes_[size_t(newest_)] = {raw, hostclock_nowNs()};
    changeCount_ = std::min(changeCount_ + 1, kept);
}

bool AwmInput::readAsOf(uint64_t ns, double* value) const {
    if (!configured() || !fresh_.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> g(changesLock_);
    const int kept = int(changes_.size());
    if (changeCount_ == 0) return false;
    for (int i = 0; i < changeCount_; ++i) {
        const Change& c = changes_[size_t((newest_ + kept - i) % kept)];
        if (c.at <= ns) return awm_input_convert(cfg_, c.raw, value);
    }
    return false; // every change kept came after `ns`: what stood then is not known
}

void AwmInput::lost() {
    fresh_.store(false, std::memory_order_release);
}

void awm_input_disconnect() {
    std::lock_guard<std::mutex> g(gConnMutex);
    if (gConn) gw_disconnect(gConn);
    gConn = nullptr;
}
