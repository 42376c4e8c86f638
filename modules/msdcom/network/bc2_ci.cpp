// CI messages over DivoVur2: the CI link receiver, the sends towards peers, and the CI multicast
// channel that carries broadcasts.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/comint.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/bc_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<uint16_t> cimc_rxcnt{0};
std::atomic<uint16_t> cimc_rxerr{0};

namespace {

std::atomic<int> gMcSocket{-1};

// Sends the whole message on the channel's link, serialised with every other send on it. A link
// that took only part of a message is shut down: the peer would read the rest as a new header.
bool sendWhole(bc2_channel* ch, const comint_msg* m, int* err) {
    const auto* p = reinterpret_cast<const uint8_t*>(m);
    const size_t n = ci_wire_len(m);
    if (semTake(ch->io, WAIT_FOREVER) != OK) {
        *err = errno;
        return false;
    }
    const int fd = ch->sock.load();
    size_t done = 0;
    *err = 0;
    while (fd >= 0 && done < n) {
        const ssize_t r = send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            *err = r < 0 ? errno : EPIPE;
            break;
        }
        done += size_t(r);
    }
    if (fd < 0) *err = ENOTCONN;
    if (fd >= 0 && done < n) shutdown(fd, SHUT_RDWR); // the receive task closes the link
    semGive(ch->io);
    return done == n;
}

bc2_channel* unicastChannel(uint16_t dst) {
    if (dst > BC2_PEERS) return nullptr;
    bc2_channel* ch = hosts_list[dst].ci.load();
    return ch && ch->sock.load() >= 0 ? ch : nullptr;
}

// A message whose length field is beyond what a link carries cannot be sent from its buffer.
bool sendable(const comint_msg* m) {
    if (ci_len(m) <= CI_PAYLOAD_MAX_LINK) return true;
    SYSLOGX_FLOOD(bc2_floods.badLen, LOG_PRIO_ERR2,
                  "Divovur2: CI message 0x%X with payload length %u not sent", unsigned(ci_cmd(m)),
                  unsigned(ci_len(m)));
    return false;
}

} // namespace

bc2_channel* bc2_mc_channel() {
    return hosts_list[BC2_MC_ENTRY].ci.load();
}

int comint_status() {
    return bc2_mc_channel() ? 1 : 0;
}

uint16_t comint_put_eth(const comint_msg* message) {
    if (!message || !sendable(message)) return 0;
    const uint16_t dst = ci_dst(message);
    if (dst == CI_PID_ALL) {
        bc2_channel* mc = bc2_mc_channel();
        if (!mc) return 0;
        const ssize_t n = sendto(mc->sock.load(), message, ci_wire_len(message), 0,
                                 reinterpret_cast<const sockaddr*>(&mc->mcGroup), sizeof mc->mcGroup);
        ++mc->txOnline;
        if (n != ssize_t(ci_wire_len(message))) {
            SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2, "Divovur2: comint_put_eth() Error sending mulitcast comint cmd");
            ++mc->txErr;
            return 0;
        }
        return 1;
    }
    if (dst > BC2_PEERS) return 0;
    bc2_channel* ch = unicastChannel(dst);
    if (!ch) return 0;
    int err = 0;
    if (sendWhole(ch, message, &err)) {
        ++ch->txMsgs;
        return 1;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                      "Divovur2: comint_put_eth() Error sending comint cmd to PID 0x%X -> 0x%X, cmd 0x%X",
                      unsigned(ci_src(message)), unsigned(dst), unsigned(ci_cmd(message)));
    ++ch->txErr;
    return 0;
}

uint16_t comint_put_locSock(const comint_msg* message) {
    if (!message || !sendable(message)) return 0;
    const uint16_t dst = ci_dst(message);
    bc2_channel* ch = unicastChannel(dst);
    if (!ch) return 0;
    int err = 0;
    if (sendWhole(ch, message, &err)) {
        ++ch->txMsgs;
        return 1;
    }
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                      "Divovur2: comint_put_locSock() Error sending comint cmd 0x%X to PID 0x%X, %s",
                      unsigned(ci_cmd(message)), unsigned(dst), strerror(err));
    ++ch->txErr;
    return 0;
}

int bc_ci_receive(bc2_channel* ch, int sock) {
    comint_msg msg;
    const int r = bc2_recv_packet(sock, &msg, CI_HDR_LEN, 0);
    if (r < 0) {
        if (!bcSocket_isShutdown() && !BaseCom_stop.load())
            syslogx(LOG_PRIO_ERR2,
                    "Divovur2: CI channel - Error PID 0x%X receiving serial network header, '%s'",
                    unsigned(ch->pid), strerror(errno));
        ++ch->rxErr;
        return 0;
    }
    if (r == 0) {
        syslogx(LOG_PRIO_INFO2, "Divovur2: CI channel - socket closed");
        return 0;
    }
    const uint16_t len = ci_len(&msg);
    if (len > CI_PAYLOAD_MAX_LINK) {
        // Refused before a byte of it is read into the message; the payload is read and dropped
        // so that the next header is found where it belongs.
        SYSLOGX_FLOOD(bc2_floods.oversize, LOG_PRIO_ERR2, "bc_ci_receive recv. bytes : %d (%d)", int(len),
                      int(CI_PAYLOAD_MAX_LINK));
        ++ch->rxErr;
        if (!bc2_discard(sock, len)) {
            syslogx(LOG_PRIO_ERR2, "Divovur2:CI channel - Error receiving comint cmd");
            return 0;
        }
        return 1;
    }
    if (len > 0 && bc2_recv_packet(sock, msg.data, len, 0) != int(len)) {
        syslogx(LOG_PRIO_ERR2, "Divovur2:CI channel - Error receiving comint cmd");
        ++ch->rxErr;
        return 0;
    }
    if (ci_dst(&msg) == app_pid) {
        ++ch->rxFrames;
        comint_queue_cmd(&msg);
    } else {
        comint_put_cmd(&msg, 0);
    }
    return 1;
}

void BC2_CI_MC_listen() {
    bc2_listener_setup setup;
    const int sock = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Create UDP socket failed");
        return;
    }
    bc2_track_socket(&gMcSocket, sock);
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Setting socket reuse option failed, errno %s",
                strerror(errno));
    in_addr ifaddr{};
    ifaddr.s_addr = bc2_ownAddr();
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Setting multicast interface failed, errno %s",
                strerror(errno));
        return;
    }
    ip_mreq mreq{};
    inet_pton(AF_INET, BC2_CI_MC_GROUP, &mreq.imr_multiaddr);
    mreq.imr_interface.s_addr = bc2_ownAddr();
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Setting multicast membership failed, errno %s",
                strerror(errno));
        return;
    }
    const sockaddr_in any = bc2_sockaddr(htonl(INADDR_ANY), BC2_PORT_CI_MC);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Socket bind failed, errno %s", strerror(errno));
        return;
    }
    const unsigned char loop = 0;
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: Setting multicast loop option failed, errno %s",
                strerror(errno));

    auto* ch = new (std::nothrow) bc2_channel;
    if (!ch) {
        syslogx(LOG_PRIO_ERR2, "BC2_CI_MC_listen: malloc for channel failed");
        return;
    }
    ch->type = BC2_CHAN_CI;
    ch->name = "CI";
    ch->pid = BC2_MC_ENTRY;
    ch->host = &hosts_list[BC2_MC_ENTRY];
    ch->io = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE | SEM_DELETE_SAFE);
    ch->mcGroup = bc2_sockaddr(0, BC2_PORT_CI_MC);
    inet_pton(AF_INET, BC2_CI_MC_GROUP, &ch->mcGroup.sin_addr);
    ch->sock.store(sock);
    ch->state.store(BC2_STATE_CONNECTED);
    hosts_list[BC2_MC_ENTRY].ci.store(ch);
    setup.receiving();

    uint8_t errFlood = 0;
    comint_msg msg;
    for (;;) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        const ssize_t n = recvfrom(sock, &msg, 512, 0, reinterpret_cast<sockaddr*>(&from), &flen);
        if (BaseCom_stop.load()) return;
        if (bc2_idle_receive(n)) continue;
        if (n < 0) {
            SYSLOGX_FLOOD(errFlood, LOG_PRIO_ERR2,
                          "BC2_CI_MC_listen(): Error receiving serial network header");
            ++cimc_rxerr;
            taskDelay(1);
            continue;
        }
        if (size_t(n) < CI_HDR_LEN || ci_wire_len(&msg) != size_t(n)) {
            SYSLOGX_FLOOD(bc2_floods.mcSize, LOG_PRIO_ERR2,
                          "BC2_CI_MC_listen(): datagram of %d bytes does not match its header, dropped",
                          int(n));
            ++cimc_rxerr;
            continue;
        }
        // Linux delivers our own broadcasts back to us; this device served them when it sent them.
        if (ci_src(&msg) == app_pid || from.sin_addr.s_addr == bc2_ownAddr()) continue;
        ++cimc_rxcnt;
        ci_set_dst(&msg, app_pid);
        comint_queue_cmd(&msg);
    }
}
