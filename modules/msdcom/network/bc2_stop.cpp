// The end of DivoVur2: BC2_stop ends the loops of its tasks. On the host it also wakes every task
// that blocks in a socket call or on its wake semaphore and waits until they have ended, so that
// the ordered shutdown leaves no task of the transport running.
#include "framework/syslog.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/bc_socket.h"

#include <cerrno>
#include <chrono>
#include <mutex>
#include <sys/socket.h>
#include <vector>

namespace {

std::mutex gTrackMutex;
std::vector<TASK_ID> gTasks;
std::vector<std::atomic<int>*> gSockets;
bool gAllEnded = true;

constexpr int kJoinLimitMs = 3000;

template <class Fn> void forEachChannel(Fn&& fn) {
    for (bc2_host& h : hosts_list) {
        if (bc2_channel* ci = h.ci.load()) fn(ci);
        if (bc2_channel* dk = h.dk.load()) fn(dk);
    }
}

} // namespace

void bc2_track_task(TASK_ID tid) {
    std::lock_guard<std::mutex> lk(gTrackMutex);
    gTasks.push_back(tid);
}

void bc2_track_socket(std::atomic<int>* slot, int sock) {
    slot->store(sock);
    // A blocked receive wakes when its socket is shut down; a receive that starts after a stop
    // wakes by its receive time limit and sees the stop.
    const timeval limit{0, 200 * 1000};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::lock_guard<std::mutex> lk(gTrackMutex);
    if (BaseCom_stop.load()) shutdown(sock, SHUT_RDWR); // BC2_stop has passed already
    for (auto* s : gSockets)
        if (s == slot) return;
    gSockets.push_back(slot);
}

bool bc2_idle_receive(ssize_t result) {
    // A receive with a time limit is not restarted after a signal handler: that too is a wake-up.
    return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

void BC2_stop() {
    BaseCom_stop.store(true);
    std::vector<TASK_ID> tasks;
    {
        std::lock_guard<std::mutex> lk(gTrackMutex);
        for (auto* s : gSockets) {
            const int fd = s->load();
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
        }
        tasks = gTasks;
    }
    forEachChannel([](bc2_channel* ch) {
        if (ch->host == &hosts_list[BC2_MC_ENTRY]) return; // its socket is a tracked one
        if (semTake(ch->io, WAIT_FOREVER) == OK) {
            const int fd = ch->sock.load();
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
            if (ch->rxsock >= 0) shutdown(ch->rxsock, SHUT_RDWR);
            semGive(ch->io);
        }
        if (ch->wake) semGive(ch->wake);
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kJoinLimitMs);
    bool all = true;
    for (TASK_ID t : tasks) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (taskJoin(t, int(left.count() > 0 ? left.count() : 0)) != OK) {
            const char* name = taskName(t);
            syslogx(LOG_PRIO_ERR2, "BC2_stop(): task %s did not end", name ? name : "?");
            all = false;
        }
    }
    std::lock_guard<std::mutex> lk(gTrackMutex);
    gAllEnded = all;
}

void bc2_release() {
    std::lock_guard<std::mutex> lk(gTrackMutex);
    if (!gAllEnded) {
        // A task that did not end may still use its channel; keeping the memory is the safe side.
        syslogx(LOG_PRIO_ERR2, "bc2_release(): DivoVur2 tasks still running, channels kept");
        return;
    }
    for (bc2_host& h : hosts_list) {
        for (std::atomic<bc2_channel*>* slot : {&h.ci, &h.dk}) {
            bc2_channel* ch = slot->exchange(nullptr);
            if (!ch) continue;
            const int fd = ch->sock.exchange(-1);
            if (fd >= 0 && &h != &hosts_list[BC2_MC_ENTRY]) bcSocket_close(fd);
            if (ch->wake) semDelete(ch->wake);
            if (ch->io) semDelete(ch->io);
            for (auto& b : ch->buf)
                if (b.mutex) semDelete(b.mutex);
            delete ch;
        }
        h.forgetPeer();
    }
    for (auto* s : gSockets) {
        const int fd = s->exchange(-1);
        if (fd >= 0) bcSocket_close(fd);
    }
    const int tx = udp_tx_socket.exchange(-1);
    if (tx >= 0) bcSocket_close(tx);
    gSockets.clear();
    gTasks.clear();
    local_host.clear();
    bc2_listeners_reset();
    bc2_ready2connect.store(false);
    bc2_floods = bc2_log_floods{};
    bc_rxcnt.store(0);
    cimc_rxcnt.store(0);
    cimc_rxerr.store(0);
}
