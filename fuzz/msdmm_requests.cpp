// Measurement requests from the network to the measurement manager: the first byte chooses the
// request (bit 0: by address 0x0500 or by name 0x0510) and the requester (bit 1: this device or a
// peer without a link), the rest is the payload. What the request made is copied on every raster
// twice and then stopped, so each input starts from an empty manager.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "measdata/meascalinfo.h"
#include "measdata/seram.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/measman/meas_man.h"
#include "msdcom/measman/meas_man_internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr uint16_t kOwnPid = 1;
constexpr uint16_t kPeerPid = 7;

bool setUp() {
    syslog_init(0); // records go to the log queue, which drops them when full
    app_pid = kOwnPid;
    routing_ini();
    dynkomm_ini();
    comint_queue_ini();
    ci_register_own_handlers();
    seramInit();
    meascalinfo_init();
    meas_man_ini();
    return true;
}

// Serves what the request queued for this device (the path answers), drops the rest.
void pump() {
    comint_msg q;
    for (int round = 0; round < 8 && comint_receive(&q, 0); ++round)
        if (ci_dst(&q) == app_pid) ci_serve_command(&q);
    while (comint_receive(&q, 0)) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = setUp();
    (void)ready;
    if (size < 1) return 0;
    const bool byName = data[0] & 1;
    const uint16_t src = (data[0] & 2) ? kPeerPid : kOwnPid;
    const size_t len = std::min<size_t>(size - 1, CI_PAYLOAD_MAX_QUEUE);
    const uint32_t fifoHandle = byName && src == kOwnPid ? dynkomm_fifo_reserve(kOwnPid) : 0x03000011;

    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    ci_init(&m, byName ? 0x0510 : 0x0500, src, kOwnPid, 0x1234, byName ? fifoHandle : 0, uint16_t(len));
    std::memcpy(m.data, data + 1, len);
    ci_serve_command(&m);
    pump();
    for (int tick = 1; tick <= 2; ++tick)
        for (int r = 0; r < MEAS_MAN_RASTERS; ++r) meas_man_copy(r, uint32_t(tick));
    meas_man_exit();
    pump();
    if (src == kOwnPid && byName) dynkomm_free_magic_direct(fifoHandle); // when the request kept none
    // The collection ticks of both handle tables and of released FIFOs, once per input.
    dynkomm_1s();
    magicNumber_garbageCollection(mm::magics());
    return 0;
}
