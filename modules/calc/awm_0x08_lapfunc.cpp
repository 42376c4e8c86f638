#include "calc/awm_0x08_lapfunc.h"

#include "framework/syslog.h"

#include <atomic>

namespace {
std::atomic<uint32_t> gRequests{0};

void request(uint32_t bit) {
    gRequests.fetch_or(bit, std::memory_order_acq_rel);
}
} // namespace

bool awm_0x08_lapfunc_configured() {
    return false;
}

void awm_0x08_lapfunc_checkOutCtr() {
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR, "awm_0x08_lapfunc_checkOutCtr(): lapfunc not operational");
}

void lapfunc_resetLap() {
    request(LAPFUNC_REQ_RESET_LAP);
}
void lapfunc_resetOut() {
    request(LAPFUNC_REQ_RESET_OUT);
}
void lapfunc_resetLapDist() {
    request(LAPFUNC_REQ_RESET_LAPDIST);
}
void lapfunc_resetBestLapTime() {
    request(LAPFUNC_REQ_RESET_BEST);
}
void lapfunc_incrOuting() {
    syslogx(LOG_PRIO_INFO, "lapfunc_incrOuting(): outing increment requested from extern");
    request(LAPFUNC_REQ_INCR_OUTING);
}
void lapfunc_incrLap() {
    request(LAPFUNC_REQ_INCR_LAP);
}
void lapfunc_resetSegments() {
    request(LAPFUNC_REQ_RESET_SEGMENTS);
}

uint32_t lapfunc_takeRequests() {
    return gRequests.exchange(0, std::memory_order_acq_rel);
}
