// The send schedule of the two 10 ms send rasters: which raster indices' senders run in a cycle.
#include "msdcom/network/sernet_man.h"

#include <atomic>

int sernet_man_due_rasters(uint32_t c, int out[11]) {
    int n = 0;
    for (int r : {10, 0, 1, 2, 3}) out[n++] = r;
    if (c % 2 == 1) out[n++] = 4;
    if (c % 5 == 1) out[n++] = 5;
    if (c % 10 == 3)
        for (int r : {6, 11, 12}) out[n++] = r;
    if (c % 20 == 11) out[n++] = 7;
    if (c % 50 == 12) out[n++] = 8;
    if (c % 100 == 18) out[n++] = 9;
    return n;
}

namespace {

// Each send raster counts its own cycles; only its own task touches the counter.
void sendCycle(uint32_t& cycle, void (*sender)(int), void (*flush)()) {
    int due[11];
    const int n = sernet_man_due_rasters(cycle, due);
    for (int i = 0; i < n; ++i) sender(due[i]);
    flush();
    ++cycle;
}

uint32_t gOnlineCycle = 0;
uint32_t gOfflineCycle = 0;

} // namespace

void rEthSend_online() {
    sendCycle(gOnlineCycle, SerNet_man_sender_online, SerNet_man_flush_online);
}
void rEthSend_offline() {
    sendCycle(gOfflineCycle, SerNet_man_sender_offline, SerNet_man_flush_offline);
}
