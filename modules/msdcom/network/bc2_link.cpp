// DivoVur2 links: the channel record of each peer and link type, the passive and the active
// connect, and the receive task that runs a link until it drops.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/bc_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::mutex gActivateMutex; // two tasks may activate one channel at the same time
std::atomic<int> gListen[2] = {-1, -1};

uint16_t listenPort(uint16_t type) {
    return type == BC2_CHAN_CI ? BC2_PORT_CI_LISTEN : BC2_PORT_DK_LISTEN;
}
uint16_t activePort(uint16_t type) {
    return type == BC2_CHAN_CI ? BC2_PORT_CI_ACTIVE : BC2_PORT_DK_ACTIVE;
}
size_t maskOffset(uint16_t type) {
    return type == BC2_CHAN_CI ? BC2_REC_CIMASK : BC2_REC_DKMASK;
}

// Closes a link socket that no receive task uses (or the receive task's own).
void closeLinkSocket(bc2_channel* ch, int fd) {
    if (bcSocket_isShutdown()) return;
    if (bcSocket_close(fd) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_disconnect(): close of TCP %s socket failed (%u)", ch->name,
                unsigned(fd));
}

// Takes `fd` out of the channel: the receive task's socket is only shut down (the receive task
// wakes and closes it), any other is closed here. Called with `io` held.
void dropSocketLocked(bc2_channel* ch, int fd) {
    if (fd == ch->rxsock)
        shutdown(fd, SHUT_RDWR);
    else
        closeLinkSocket(ch, fd);
}

void reinitBuffers(bc2_channel* ch) {
    if (ch->type != BC2_CHAN_DK) return;
    BC2_snd_framer_ini(&ch->buf[0], 0);
    BC2_snd_framer_ini(&ch->buf[1], 1);
}

bool isHigherThanPeer(const bc2_channel* ch) {
    return bc2_addrRank(bc2_ownAddr()) > bc2_addrRank(ch->peerListen.sin_addr.s_addr);
}

} // namespace

void BC2_snd_framer_ini(bc2_sendbuf* buf, uint16_t type) {
    if (buf->mutex == SEM_ID_NULL)
        buf->mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    if (semTake(buf->mutex, WAIT_FOREVER) != OK) return;
    buf->state = BC2_SND_OK;
    buf->epoch.fetch_add(1);
    buf->fill = 0;
    buf->sent = 0;
    buf->type = type;
    buf->half = 0;
    semGive(buf->mutex);
}

bc2_channel* BC2_create_channel_config(bc2_host* entry, uint16_t type) {
    if (!entry || (type != BC2_CHAN_CI && type != BC2_CHAN_DK)) return nullptr;
    auto* ch = new (std::nothrow) bc2_channel;
    if (!ch) return nullptr;
    ch->type = type;
    ch->name = type == BC2_CHAN_CI ? "CI" : "DK";
    ch->host = entry;
    ch->pid = uint16_t(entry - hosts_list);
    ch->io = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    const uint32_t peerAddr = entry->fromAddr.load();
    const uint16_t peerOff = entry->portOffset.load();
    ch->peerListen = bc2_sockaddr(peerAddr, uint16_t(listenPort(type) + peerOff));
    if (type == BC2_CHAN_DK) {
        ch->peerUdp = bc2_sockaddr(peerAddr, uint16_t(BC2_PORT_DK_UDP_RX + peerOff));
        ch->hasUdpDest = true;
        reinitBuffers(ch);
    }
    std::atomic<bc2_channel*>& slot = type == BC2_CHAN_CI ? entry->ci : entry->dk;
    bc2_channel* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, ch)) {
        // Another task made it first; that one is the channel.
        semDelete(ch->io);
        for (auto& b : ch->buf)
            if (b.mutex) semDelete(b.mutex);
        delete ch;
        return expected;
    }
    return ch;
}

int BC2_recv_activate(bc2_channel* ch) {
    std::lock_guard<std::mutex> lk(gActivateMutex);
    if (ch->wake != SEM_ID_NULL) return semGive(ch->wake) == OK ? 1 : 0;
    // The first activation runs the task at once: the semaphore starts with one count.
    ch->wake = semCCreate(SEM_Q_PRIORITY, 1);
    if (ch->wake == SEM_ID_NULL) {
        syslogx(LOG_PRIO_ERR, "BC2_recv_activate(): semCCreate failed - errno %s", strerror(errno));
        return 0;
    }
    char name[32];
    std::snprintf(name, sizeof name, "r_%s_PID%02X", ch->name, unsigned(ch->pid));
    const TASK_ID tid =
        taskSpawn(name, BC2_RECV_PRIORITY, VX_FP_TASK, BC2_RECV_STACK, [ch] { BC2_eth_recv(ch); });
    if (tid == TASK_ID_ERROR) {
        syslogx(LOG_PRIO_ERR, "Divovur2: creation of %s receive task for PID 0x%X failed", ch->name,
                unsigned(ch->pid));
        semDelete(ch->wake);
        ch->wake = SEM_ID_NULL;
        return 0;
    }
    ch->task = tid;
    bc2_track_task(tid);
    return 1;
}

void BC2_disconnect(bc2_channel* ch) {
    if (!ch) {
        syslogx(LOG_PRIO_ERR, "BC2_disconnect(): NULL pointer file %s line %d", "modules/msdcom/DivoVur2",
                __LINE__);
        return;
    }
    if (semTake(ch->io, WAIT_FOREVER) == OK) {
        const int fd = bc2_swap_socket_locked(ch, -1);
        if (fd >= 0) {
            if (!bcSocket_isShutdown())
                syslogx(LOG_PRIO_INFO2, "Divovur2: Disconnecting TCP %s socket", ch->name);
            dropSocketLocked(ch, fd);
        }
        semGive(ch->io);
    }
    reinitBuffers(ch);
}

int bc2_recv_packet(int sock, void* buffer, size_t n, int flags) {
    auto* p = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(sock, p + got, n - got, flags);
        if (r < 0 && errno == EINTR) continue;
        // The receive time limit only lets the task look at the stop flag: a quiet link is not a
        // broken one.
        if (bc2_idle_receive(r) && !BaseCom_stop.load()) continue;
        if (r < 1) return int(r);
        got += size_t(r);
    }
    return int(n);
}

bool bc2_discard(int sock, size_t n) {
    uint8_t scratch[BC2_DK_SCRATCH];
    while (n > 0) {
        const size_t chunk = n < sizeof scratch ? n : sizeof scratch;
        if (bc2_recv_packet(sock, scratch, chunk, 0) != int(chunk)) return false;
        n -= chunk;
    }
    return true;
}

void bc2_set_tcp_options(int sock, const char* who) {
    const int tos = 0x10;
    const int on = 1;
    const int bufSize = BC2_TCP_BUFSIZE;
    const linger lin{1, 0}; // a close resets the connection: no TIME_WAIT on the fixed ports
    // CI sends are whole messages or nothing; a peer that stops reading must not hold the sender.
    const timeval sendLimit{1, 0};
    if (setsockopt(sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting IP_TOS option failed", who);
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting TCP_NODELAY option failed", who);
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting SO_SNDBUF option failed", who);
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof bufSize) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting SO_RCVBUF option failed", who);
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting SO_REUSEPORT option failed", who);
    if (setsockopt(sock, SOL_SOCKET, SO_LINGER, &lin, sizeof lin) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting SO_LINGER option failed", who);
    if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit) != 0)
        syslogx(LOG_PRIO_ERR2, "%s: Setting SO_SNDTIMEO option failed", who);
}

// ---------------------------------------------------------------------------------------------
// Passive side

namespace {

bc2_host* findPeer(uint32_t addr, uint16_t port, uint16_t type) {
    for (uint16_t pid = 0; pid < BC2_PEERS; ++pid) {
        bc2_host& h = hosts_list[pid];
        if (h.fromAddr.load() != addr || addr == 0) continue;
        if (h.version.load() >= 0x0202 && uint16_t(h.portOffset.load() + activePort(type)) != port) continue;
        return &h;
    }
    return nullptr;
}

} // namespace

void BC2_connect_passive(uint16_t type) {
    bc2_listener_setup setup(true);
    const uint16_t port = uint16_t(listenPort(type) + bc2_ownOffset());
    const int lsock = bcSocket_get(AF_INET, SOCK_STREAM, 0);
    if (lsock < 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_connect_passive: Create TCP socket failed");
        return;
    }
    bc2_track_socket(&gListen[type], lsock);
    bc2_set_tcp_options(lsock, "BC2_connect_passive");
    const sockaddr_in local = bc2_sockaddr(bc2_ownAddr(), port);
    if (bind(lsock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_connect_passive: Socket bind on port %u failed, errno %s", unsigned(port),
                strerror(errno));
        return;
    }
    if (listen(lsock, 10) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_connect_passive: listen on port %u failed, errno %s", unsigned(port),
                strerror(errno));
        return;
    }
    setup.receiving(); // sets bc2_ready2connect once every listening task is set up

    uint8_t acceptFlood = 0, acceptedFlood = 0, unknownFlood = 0;
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(lsock, &set);
        // Wakes now and then to see a stop that came before its socket was shut down.
        timeval limit{0, 200 * 1000};
        const int r = select(lsock + 1, &set, nullptr, nullptr, &limit);
        if (BaseCom_stop.load()) return;
        if (r == 0) continue;
        if (r < 0) {
            if (errno == EINTR) continue;
            syslogx(LOG_PRIO_ERR2, "BC2_connect_passive: select() failed, errno %s", strerror(errno));
            return;
        }
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const int fd = bcSocket_accept(lsock, reinterpret_cast<sockaddr*>(&from), &len);
        if (BaseCom_stop.load()) {
            if (fd >= 0) bcSocket_close(fd);
            return;
        }
        if (fd < 0 && errno == EINTR) continue; // a signal handler ran: the connection still waits
        if (fd < 0) {
            SYSLOGX_FLOOD(acceptFlood, LOG_PRIO_ERR2,
                          "BC2_connect_passive: accept on port %u failed, errno %s", unsigned(port),
                          strerror(errno));
            taskDelay(1);
            continue;
        }
        // Anyone may connect and leave again at any rate: the line must not flood the log.
        SYSLOGX_FLOOD(acceptedFlood, LOG_PRIO_INFO2, "BC2_connect_passive, port %u, fd %u", unsigned(port),
                      unsigned(fd));

        bc2_host* peer = findPeer(from.sin_addr.s_addr, ntohs(from.sin_port), type);
        if (!peer) {
            char text[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            SYSLOGX_FLOOD(unknownFlood, LOG_PRIO_INFO2,
                          "BC2_connect_passive: connection from %s:%u matches no peer, closed", text,
                          unsigned(ntohs(from.sin_port)));
            bcSocket_close(fd);
            continue;
        }
        std::atomic<bc2_channel*>& slot = type == BC2_CHAN_CI ? peer->ci : peer->dk;
        bc2_channel* ch = slot.load();
        if (!ch) ch = BC2_create_channel_config(peer, type);
        if (!ch) {
            bcSocket_close(fd);
            continue;
        }
        bc2_set_tcp_options(fd, "BC2_connect_passive");
        // A new connection replaces the old one: the old socket is closed first, so that it
        // neither leaks nor keeps a receive task on a link the peer has given up.
        if (semTake(ch->io, WAIT_FOREVER) == OK) {
            const int old = bc2_swap_socket_locked(ch, fd);
            if (old >= 0) dropSocketLocked(ch, old);
            semGive(ch->io);
        }
        if (!BC2_recv_activate(ch)) {
            syslogx(LOG_PRIO_ERR2, "BC2_connect_passive(): creation of %s receive task failed", ch->name);
            if (semTake(ch->io, WAIT_FOREVER) == OK) {
                int expected = fd;
                if (bc2_replace_socket_locked(ch, expected, -1) && bcSocket_close(fd) != 0)
                    syslogx(LOG_PRIO_ERR2, "BC2_connect_passive(): close of TCP %s socket failed", ch->name);
                semGive(ch->io);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Active side and receiving

int BC2_connect_active(bc2_channel* ch) {
    static uint8_t failFlood = 0;
    const int fd = bcSocket_get(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    bc2_set_tcp_options(fd, "BC2_connect_active");
    const sockaddr_in local = bc2_sockaddr(bc2_ownAddr(), uint16_t(activePort(ch->type) + bc2_ownOffset()));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_connect_active: Socket bind failed, errno %s", strerror(errno));
    syslogx(LOG_PRIO_DEBUG2, "BC2_connect_active: going to connect, fd %u", unsigned(fd));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ch->peerListen), sizeof ch->peerListen) != 0) {
        SYSLOGX_FLOOD(failFlood, LOG_PRIO_ERR2, "BC2_connect_active: Connecting TCP socket failed: %s",
                      strerror(errno));
        if (!bcSocket_isShutdown()) bcSocket_close(fd);
        return -1;
    }
    syslogx(LOG_PRIO_DEBUG2, "BC2_connect_active: connected, fd %u", unsigned(fd));
    return fd;
}

void BC2_eth_recv(bc2_channel* ch) {
    if (ch->type == BC2_CHAN_DK) taskCpuAffinitySet(0, 0x2);
    const size_t maskOff = maskOffset(ch->type);
    for (;;) {
        semTake(ch->wake, WAIT_FOREVER);
        if (BaseCom_stop.load()) return;

        // The socket to receive on is taken under `io`, so that nobody closes it in between.
        if (semTake(ch->io, WAIT_FOREVER) != OK) continue;
        int cur = ch->sock.load();
        ch->rxsock = cur;
        semGive(ch->io);
        if (cur < 0) {
            // Only the side with the larger address connects; a stray wake-up of the other side
            // waits for the peer instead of racing it.
            if (!isHigherThanPeer(ch)) continue;
            const int fd = BC2_connect_active(ch);
            if (fd < 0) {
                SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "BC2_eth_recv: %s - could not create socket!", ch->name);
                ch->state.store(BC2_STATE_IDLE);
                continue;
            }
            if (semTake(ch->io, WAIT_FOREVER) != OK) {
                closeLinkSocket(ch, fd);
                continue;
            }
            int expected = -1;
            if (bc2_replace_socket_locked(ch, expected, fd)) {
                cur = fd;
            } else {
                // A connection arrived while we connected: that one is the link.
                closeLinkSocket(ch, fd);
                cur = expected;
            }
            ch->rxsock = cur;
            semGive(ch->io);
        }

        ch->state.store(BC2_STATE_CONNECTED);
        local_host.setBit(maskOff, ch->pid);
        const uint64_t ms = tickGet64() * 1000 / uint64_t(sysClkRateGet());
        syslogx(LOG_PRIO_INFO2, "BC2_eth_recv(): %s channel to PID 0x%X established after: %d.%03ds",
                ch->name, unsigned(ch->pid), int(ms / 1000), int(ms % 1000));

        if (ch->type == BC2_CHAN_DK) bc2_dk_rx_reset(ch);
        auto receive = ch->type == BC2_CHAN_CI ? bc_ci_receive : bc_dk_receive;
        while (!BaseCom_stop.load() && receive(ch, cur)) {
        }

        // The link is down: this task closes the socket it received on.
        if (semTake(ch->io, WAIT_FOREVER) == OK) {
            int mine = cur;
            const bool wasCurrent = bc2_replace_socket_locked(ch, mine, -1);
            ch->rxsock = -1;
            if (wasCurrent && !bcSocket_isShutdown())
                syslogx(LOG_PRIO_INFO2, "Divovur2: Disconnecting TCP %s socket", ch->name);
            closeLinkSocket(ch, cur);
            semGive(ch->io);
        }
        reinitBuffers(ch);
        local_host.clearBit(maskOff, ch->pid);
        ch->state.store(BC2_STATE_DISCONNECTED);
        if (BaseCom_stop.load()) return;
    }
}
