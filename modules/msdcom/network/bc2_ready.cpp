// Start-up of the DivoVur2 listening tasks: each one reports when its socket set-up is over, and
// BC2_eth_ini returns only after all have, so that nothing a peer sends once the device is up (or
// once it hears the device's presence) can come before the socket that receives it.
#include "framework/syslog.h"
#include "msdcom/network/bc2_internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex gMutex;
std::condition_variable gChanged;
int gPending = 0;           // listening tasks spawned whose set-up is not over yet
bool gTcpListening = false; // a CI or DK listening socket listens

// The set-up of a listening task is a few socket calls; the limit only keeps a start-up whose task
// never runs from hanging.
constexpr auto kSetupLimit = std::chrono::seconds(10);

void settle() {
    // No presence goes out before a peer that hears it can reach every listening socket.
    if (gPending == 0) bc2_ready2connect.store(gTcpListening);
    gChanged.notify_all();
}

} // namespace

void bc2_listener_setup::done(bool receiving) {
    if (reported_) return;
    reported_ = true;
    std::lock_guard<std::mutex> lk(gMutex);
    if (receiving && tcp_) gTcpListening = true;
    if (gPending > 0) --gPending;
    settle();
}

void bc2_listeners_expect(int n) {
    std::lock_guard<std::mutex> lk(gMutex);
    gPending += n;
    if (gPending < 0) gPending = 0;
    settle();
}

bool bc2_listeners_wait() {
    std::unique_lock<std::mutex> lk(gMutex);
    if (gChanged.wait_for(lk, kSetupLimit, [] { return gPending == 0; })) return true;
    syslogx(LOG_PRIO_ERR2, "BC2_eth_ini(): %d listening task(s) not set up", gPending);
    return false;
}

bool bc2_listeners_ready() {
    std::lock_guard<std::mutex> lk(gMutex);
    return gPending == 0;
}

void bc2_listeners_reset() {
    std::lock_guard<std::mutex> lk(gMutex);
    gPending = 0;
    gTcpListening = false;
}
