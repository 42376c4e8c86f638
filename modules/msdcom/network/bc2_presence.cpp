// DivoVur2 presence: the own record sent five times a second, the peer table kept from the
// records heard, ageing, restart detection and the decision who connects.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/bc_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <iterator>
#include <mutex>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

Bc2Record local_host;
bc2_host hosts_list[BC2_HOST_ENTRIES];
std::atomic<bool> BaseCom_stop{false};
std::atomic<bool> bc2_ready2connect{false};
std::atomic<uint16_t> bc_rxcnt{0};
bc2_log_floods bc2_floods;

namespace {

std::atomic<uint16_t> gOwnOffset{0};
std::atomic<uint32_t> gOwnAddr{0};
std::atomic<int> gTxSocket{-1};
std::atomic<int> gRxSocket{-1};

// The beacons this device sent last. The host hears its own beacon back on loopback, and another
// device with the same PID on the same address sends from the same port (SO_REUSEPORT): only the
// record tells them apart. The own one comes from the own address and port, carries a sequence
// number this device sent and has not heard back yet (each is heard once, in the order sent), and
// the bytes it was sent with.
constexpr uint32_t kSentKept = 32; // 6.4 s of beacons: a listener held up that long still knows its own
struct SentBeacons {
    std::mutex m;
    uint8_t bytes[kSentKept][BC2_REC_SIZE]{};
    uint32_t seqOf[kSentKept]{}; // 0: none
    uint32_t lastSent = 0, lastHeard = 0;
};
SentBeacons gSent;
// Another device with our PID is reported once: it sends five records a second.
std::atomic<bool> gTwinReported{false};

void forgetSentBeacons() {
    std::lock_guard<std::mutex> lk(gSent.m);
    std::memset(gSent.seqOf, 0, sizeof gSent.seqOf);
    gSent.lastSent = gSent.lastHeard = 0;
    gTwinReported.store(false);
}

bool ownBeacon(const uint8_t* bytes, size_t n, const sockaddr_in& from) {
    if (from.sin_port != htons(uint16_t(BC2_PORT_PRESENCE_TX + bc2_ownOffset()))) return false;
    const uint32_t own = bc2_ownAddr();
    if (own != htonl(INADDR_ANY) && from.sin_addr.s_addr != own) return false;
    if (n != BC2_REC_SIZE) return false;
    const uint32_t seq = be32(bytes + BC2_REC_SEQ);
    std::lock_guard<std::mutex> lk(gSent.m);
    if (seq == 0 || seq > gSent.lastSent || seq <= gSent.lastHeard) return false;
    const uint32_t slot = seq % kSentKept;
    if (gSent.seqOf[slot] == seq && std::memcmp(gSent.bytes[slot], bytes, n) != 0) return false;
    gSent.lastHeard = seq;
    return true;
}

bool joinGroup(int sock, const char* group) {
    ip_mreq mreq{};
    inet_pton(AF_INET, group, &mreq.imr_multiaddr);
    mreq.imr_interface.s_addr = bc2_ownAddr();
    return setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
}

} // namespace

uint16_t bc2_ownOffset() {
    return gOwnOffset.load();
}
uint32_t bc2_ownAddr() {
    return gOwnAddr.load();
}

sockaddr_in bc2_sockaddr(uint32_t addrNetOrder, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addrNetOrder;
    a.sin_port = htons(port);
    return a;
}

uint32_t bc2_addrRank(uint32_t addrNetOrder) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&addrNetOrder);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// ---------------------------------------------------------------------------------------------
// Sending and ageing

void bc2_age_peers(int32_t elapsedMs) {
    for (uint16_t pid = 0; pid < BC2_PEERS; ++pid) {
        bc2_host& h = hosts_list[pid];
        if (h.state.load() != 1 || h.origin.load() != BC2_ORIGIN_PRESENCE) continue;
        const int32_t left = h.remaining.fetch_sub(elapsedMs) - elapsedMs;
        if (left >= 0) continue;
        syslogx(LOG_PRIO_WARNING2, "UDP_send: Channel to PID 0x%X timed out, closing it...", unsigned(pid));
        local_host.clearBit(BC2_REC_HEARD, pid);
        h.state.store(0);
        syslogx(LOG_PRIO_WARNING2, "Host PID 0x%X is Offline", unsigned(pid));
        syslogx(LOG_PRIO_ERR2, "UDP_send: BC2_disconnect");
        if (bc2_channel* ci = h.ci.load()) BC2_disconnect(ci);
        if (bc2_channel* dk = h.dk.load()) BC2_disconnect(dk);
    }
}

void BC2_UDP_send() {
    const int sock = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_send(): Create UDP Tx Socket failed");
        return;
    }
    bc2_track_socket(&gTxSocket, sock);
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_send(): Setting Tx socket reuse option failed, errno %s",
                strerror(errno));
    in_addr ifaddr{};
    ifaddr.s_addr = bc2_ownAddr();
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_send(): Setting Tx socket multicast interface failed, errno %s",
                strerror(errno));
        return;
    }
    const uint16_t port = uint16_t(BC2_PORT_PRESENCE_TX + bc2_ownOffset());
    const sockaddr_in local = bc2_sockaddr(bc2_ownAddr(), port);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_send(): Socket bind Tx on port %u failed, errno %s", unsigned(port),
                strerror(errno));
        return;
    }
    const unsigned char loop = 0;
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_send(): Setting Tx socket multicast loop option failed, errno %s",
                strerror(errno));

    sockaddr_in group = bc2_sockaddr(0, BC2_PORT_PRESENCE);
    inet_pton(AF_INET, BC2_PRESENCE_GROUP, &group.sin_addr);
    uint8_t failFlood = 0;
    while (!BaseCom_stop.load()) {
        if (bc2_ready2connect.load()) {
            local_host.incrementU32(BC2_REC_SEQ);
            uint8_t bytes[BC2_REC_SIZE];
            local_host.copyOut(bytes);
            bc2_presence_sent(bytes);
            if (sendto(sock, bytes, sizeof bytes, 0, reinterpret_cast<const sockaddr*>(&group),
                       sizeof group) != ssize_t(sizeof bytes))
                SYSLOGX_FLOOD(failFlood, LOG_PRIO_ERR2, "BC2_UDP_send(): Sending multicast message failed");
            bc2_age_peers(BC2_SEND_PERIOD_MS);
        }
        taskDelay(sysClkRateGet() * BC2_SEND_PERIOD_MS / 1000);
    }
}

// ---------------------------------------------------------------------------------------------
// Receiving

namespace {
// A peer that keeps restarting, or forged records, would log a restart per datagram.
uint8_t gFloodRestart = 0;
} // namespace

void bc2_presence_sent(const uint8_t bytes[BC2_REC_SIZE]) {
    const uint32_t seq = be32(bytes + BC2_REC_SEQ);
    std::lock_guard<std::mutex> lk(gSent.m);
    std::memcpy(gSent.bytes[seq % kSentKept], bytes, BC2_REC_SIZE);
    gSent.seqOf[seq % kSentKept] = seq;
    gSent.lastSent = seq;
}

void bc2_presence_received(const uint8_t* bytes, size_t n, const sockaddr_in& from) {
    ++bc_rxcnt;
    Bc2Presence p{};
    if (!bc2_parsePresence(bytes, n, &p)) {
        SYSLOGX_FLOOD(bc2_floods.shortRecord, LOG_PRIO_WARNING2,
                      "BC2_UDP_listen() short presence record ignored, %u bytes", unsigned(n));
        return;
    }
    // The peer table and the routing table have 64 places; PID 64 and above name no peer.
    if (p.pid >= BC2_PEERS) {
        SYSLOGX_FLOOD(bc2_floods.wrongPid, LOG_PRIO_ERR2, "BC2_UDP_listen() wrong pid received %d",
                      int(p.pid));
        return;
    }
    if (p.pid == app_pid) {
        if (ownBeacon(bytes, n, from)) {
            SYSLOGX_FLOOD(bc2_floods.ownPid, LOG_PRIO_DEBUG2,
                          "BC2_UDP_listen() received our own pid, ignored");
        } else if (!gTwinReported.exchange(true)) {
            char at[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &from.sin_addr, at, sizeof at);
            syslogx(LOG_PRIO_ERR2,
                    "BC2_UDP_listen(): another device with our PID 0x%X is on the network at %s:%u: its "
                    "records are ignored; every device needs a PID of its own",
                    unsigned(p.pid), at, unsigned(ntohs(from.sin_port)));
        }
        return;
    }
    bc2_host& h = hosts_list[p.pid];
    h.fromAddr.store(from.sin_addr.s_addr);
    h.fromPort.store(from.sin_port);
    h.origin.store(BC2_ORIGIN_PRESENCE);
    h.version.store(p.version);
    h.portOffset.store(p.portOffset);
    if (h.state.load() == 0) h.state.store(1);
    constexpr uint32_t kLongest = 0x7FFFFF00u; // a huge time-out must not wrap the signed countdown
    h.remaining.store(int32_t(p.timeoutMs < kLongest ? p.timeoutMs : kLongest) + BC2_SEND_PERIOD_MS);

    routing_learn_from_presence(p.pid, ntohl(from.sin_addr.s_addr));

    const uint32_t stored = h.rec.u32(BC2_REC_SEQ);
    if (p.seq < stored && stored != 0xFFFFFFFFu) {
        if (bc2_channel* ci = h.ci.load()) BC2_disconnect(ci);
        if (bc2_channel* dk = h.dk.load()) BC2_disconnect(dk);
        SYSLOGX_FLOOD(gFloodRestart, LOG_PRIO_INFO2,
                      "Divovur2: Reset detected on PID 0x%X, illegal msg sequence counter", unsigned(p.pid));
    }

    h.rec.assign(bytes, n);
    local_host.setBit(BC2_REC_HEARD, p.pid);

    if (h.rec.bit(BC2_REC_HEARD, app_pid)) {
        BC2_connect_manager(&h, BC2_CHAN_CI);
        BC2_connect_manager(&h, BC2_CHAN_DK);
    }
}

void BC2_UDP_listen() {
    bc2_listener_setup setup;
    const int sock = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_listen(): Create UDP Rx Socket failed");
        return;
    }
    bc2_track_socket(&gRxSocket, sock);
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_listen: Setting Rx socket reuse option failed, errno %s",
                strerror(errno));
    if (!joinGroup(sock, BC2_PRESENCE_GROUP)) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_listen: Setting Rx socket multicast option failed, errno %s",
                strerror(errno));
        return;
    }
    const sockaddr_in any = bc2_sockaddr(htonl(INADDR_ANY), BC2_PORT_PRESENCE);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        syslogx(LOG_PRIO_ERR2, "BC2_UDP_listen: Socket bind Rx failed");
        return;
    }
    setup.receiving();
    uint8_t errFlood = 0;
    uint8_t buf[1000];
    while (!BaseCom_stop.load()) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (BaseCom_stop.load()) break;
        if (bc2_idle_receive(n)) continue;
        if (n < 0) {
            SYSLOGX_FLOOD(errFlood, LOG_PRIO_ERR2, "BC2_UDP_listen: recvfrom failed errno %s",
                          strerror(errno));
            taskDelay(1);
            continue;
        }
        bc2_presence_received(buf, size_t(n), from);
    }
}

// ---------------------------------------------------------------------------------------------
// Connection decision

void BC2_connect_manager(bc2_host* entry, uint16_t type) {
    std::atomic<bc2_channel*>& slot = type == BC2_CHAN_CI ? entry->ci : entry->dk;
    bc2_channel* ch = slot.load();
    if (!ch) {
        syslogx(LOG_PRIO_INFO2, "BC2_connect_manager: call BC BC2_create_channel_config %s",
                type == BC2_CHAN_CI ? "CI" : "DK");
        ch = BC2_create_channel_config(entry, type);
        if (!ch) return;
    }
    const uint16_t state = ch->state.load();
    if (state == BC2_STATE_CONNECTED || state == BC2_STATE_CONNECTING) return;
    ch->state.store(BC2_STATE_CONNECTING);

    const size_t maskOff = type == BC2_CHAN_CI ? BC2_REC_CIMASK : BC2_REC_DKMASK;
    const uint16_t peer = ch->pid;
    const bool ownShows = local_host.bit(maskOff, peer);
    if (entry->rec.bit(maskOff, app_pid) && ownShows) {
        ch->state.store(BC2_STATE_CONNECTED);
    } else {
        if (ownShows) {
            syslogx(LOG_PRIO_ERR, "BC2_connect_manager local_con_state chan_type %X, remotePID %X",
                    unsigned(type), unsigned(peer));
            BC2_disconnect(ch);
        }
        const uint32_t own = bc2_addrRank(bc2_ownAddr());
        const uint32_t theirs = bc2_addrRank(entry->fromAddr.load());
        if (own > theirs) BC2_recv_activate(ch);
    }
    taskDelay(1);
}

// ---------------------------------------------------------------------------------------------
// Queries

uint64_t udp_get_detect_mask() {
    return local_host.u64(BC2_REC_HEARD);
}
uint64_t comint_get_connect_mask() {
    return local_host.u64(BC2_REC_CIMASK);
}
uint64_t dk_get_connect_mask() {
    return local_host.u64(BC2_REC_DKMASK);
}

bool BC2_connected(uint16_t pid) {
    return pid < BC2_PEERS && local_host.bit(BC2_REC_CIMASK, pid) && local_host.bit(BC2_REC_DKMASK, pid);
}

int BC2_getRemoteCapabilty(uint16_t pid, int capability) {
    if (!BC2_connected(pid)) return 2;
    static constexpr uint16_t kNeeded[3] = {0x0202, 0x0203, 0x0204};
    if (capability < 0 || capability > 2) return 1;
    return hosts_list[pid].version.load() >= kNeeded[capability] ? 0 : 1;
}

int BC2_debugoutGlob(BC2_debugGlob_t* out) {
    if (!out) return 0;
    out->seqCnt = local_host.u32(BC2_REC_SEQ);
    out->bcRxCnt = bc_rxcnt.load();
    out->mcRxCnt = cimc_rxcnt.load();
    out->mcRxErr = cimc_rxerr.load();
    return 1;
}

int BC2_debugoutPID(uint16_t pid, BC2_debugPID_t* out) {
    if (!out) return 0;
    *out = BC2_debugPID_t{};
    if (pid >= BC2_PEERS) return 1;
    const bc2_host& h = hosts_list[pid];
    out->remSeqCnt = h.rec.u32(BC2_REC_SEQ);
    if (const bc2_channel* ci = h.ci.load()) {
        out->cmdState = uint8_t(ci->state.load());
        out->cmdTxCnt = ci->txMsgs.load();
        out->cmdTxErr = ci->txErr.load();
        out->cmdRxCnt = ci->rxFrames.load();
        out->cmdRxErr = ci->rxErr.load();
    }
    if (const bc2_channel* dk = h.dk.load()) {
        out->dataState = uint8_t(dk->state.load());
        out->dataTxCntOnline = dk->txOnline.load();
        out->dataTxCntOffline = dk->txMsgs.load();
        out->dataTxErr = dk->txErr.load();
        out->dataRxCntOnline = dk->rxUdp.load();
        out->dataRxCntOffline = dk->rxFrames.load();
        out->dataRxErr = dk->rxErr.load();
    }
    out->remoteVersion = h.version.load();
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Start and stop

namespace {

struct TaskSpec {
    const char* name;
    int priority;
    int stack;
    void (*body)();
    const char* spawnFail;
    const char* verifyFail;
    bool listener; // reports the end of its socket set-up (bc2_listener_setup)
};

void ciDaemon() {
    BC2_connect_passive(BC2_CHAN_CI);
}
void dkDaemon() {
    BC2_connect_passive(BC2_CHAN_DK);
}

const TaskSpec kTasks[] = {
    {"r_BC2_CI_daemon", 74, 5000, ciDaemon, "BC2_eth_ini(): taskSpawn failed 'BC2 CI daemon'",
     "BC2_eth_ini(): Failed to start task 'tBC2 CI daemon'", true},
    {"r_BC2_DK_daemon", 79, 5000, dkDaemon, "BC2_eth_ini(): Failed to start task 'BC2 DK daemon'",
     "BC2_eth_ini(): Failed to start task 'tBC2 DK daemon'", true},
    {"r_UDP_MC_listen", 75, 5000, BC2_UDP_listen, "BC2_eth_ini(): Failed to start task 'UDP MC listen'",
     "BC2_eth_ini(): Failed to start task 'tUDP MC listen'", true},
    {"r_UDP_MC_send", 76, 5000, BC2_UDP_send, "BC2_eth_ini(): Failed to start task 'UDP MC send'",
     "BC2_eth_ini(): Failed to start task 'tUDP MC send'", false},
    {"r_BC2_MC_CI_listen", 77, 5000, BC2_CI_MC_listen,
     "BC2_eth_ini(): Failed to start task 'BC2 CI MC listen'",
     "BC2_eth_ini(): Failed to start task 'tBC2 CI MC listen'", true},
    {"r_BC2_DK_UDP_listen", 78, 10000, BC2_dk_udp_listen,
     "BC2_eth_ini(): Failed to start task 'BC2 DK UDP listen'",
     "BC2_eth_ini(): Failed to start task 'tBC2 DK UDP listen'", true},
};

// Listening tasks from `first` to the end of the table.
int listenersFrom(const TaskSpec* first) {
    int n = 0;
    for (const TaskSpec* t = first; t != std::end(kTasks); ++t) n += t->listener;
    return n;
}

void createDkTxSocket() {
    const int sock = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        syslogx(LOG_PRIO_ERR2, "Divovur2: Create UDP Tx Socket failed (DK)");
        return;
    }
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "BC2_eth_ini: Setting Tx socket reuse address option failed, errno %s",
                strerror(errno));
    const sockaddr_in local = bc2_sockaddr(bc2_ownAddr(), uint16_t(BC2_PORT_DK_UDP_TX + bc2_ownOffset()));
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG_PRIO_ERR2, "Divovur2: UDP Socket bind Tx failed (DK)");
        bcSocket_close(sock);
        return;
    }
    udp_tx_socket.store(sock);
}

} // namespace

void bc2_fill_local_host() {
    gOwnOffset.store(AppMan_getBC2PortOffset());
    gOwnAddr.store(htonl(AppMan_getIpAddr()));

    local_host.clear();
    uint8_t addr[4];
    const uint32_t a = bc2_ownAddr();
    std::memcpy(addr, &a, 4);
    local_host.setU32(BC2_REC_ADDR, be32(addr));
    local_host.setU16(BC2_REC_PID, app_pid);
    local_host.setU32(BC2_REC_TIMEOUT, BC2_TIMEOUT_MS);
    local_host.setBit(BC2_REC_CIMASK, app_pid);
    local_host.setBit(BC2_REC_DKMASK, app_pid);
    local_host.setU32(BC2_REC_PERIOD, BC2_SEND_PERIOD_MS);
    local_host.setU32(BC2_REC_SEQ, 0);
    local_host.setU16(BC2_REC_VERSION, BC2_VERSION);
    local_host.setU16(BC2_REC_PORTOFF, bc2_ownOffset());

    for (bc2_host& h : hosts_list) h.forgetPeer();
    gFloodRestart = 0;
    forgetSentBeacons();
    if (app_pid < BC2_PEERS) {
        hosts_list[app_pid].version.store(BC2_VERSION);
        hosts_list[app_pid].portOffset.store(bc2_ownOffset());
    }
}

namespace {

// Why the device network cannot carry the device's address, empty when it can: the interface that
// has the address must be up (a loopback address is the loopback interface's, whatever its own
// address is). The sockets' failures alone only say that an option could not be set.
std::string networkDown(uint32_t own) {
    if (own == htonl(INADDR_ANY)) return {};
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &own, text, sizeof text);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::string("the interfaces cannot be read: ") + std::strerror(errno);
    const bool loopback = (ntohl(own) >> 24) == 127;
    const ifaddrs* holder = nullptr;
    for (const ifaddrs* i = list; i && !holder; i = i->ifa_next) {
        const bool has = i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                         reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == own;
        if (has || (loopback && (i->ifa_flags & IFF_LOOPBACK))) holder = i;
    }
    std::string why;
    if (!holder)
        why = std::string("no interface has the device's address ") + text;
    else if (!(holder->ifa_flags & IFF_UP))
        why = std::string("interface ") + holder->ifa_name + ", which carries the device's address " + text +
              ", is down";
    freeifaddrs(list);
    return why;
}

} // namespace

void BC2_eth_ini() {
    bc2_fill_local_host();
    const std::string down = networkDown(bc2_ownAddr());
    if (!down.empty())
        syslogx(LOG_PRIO_ERR,
                "BC2_eth_ini(): the device network is not up: %s; nothing is sent or received on it",
                down.c_str());
    createDkTxSocket();

    // Every listening task is announced before the first runs, so that the last one to report,
    // and not the first, completes the start-up.
    bc2_listeners_expect(listenersFrom(kTasks));
    for (const TaskSpec& t : kTasks) {
        const TASK_ID tid = taskSpawn(t.name, t.priority, VX_FP_TASK, size_t(t.stack), t.body);
        if (tid == TASK_ID_ERROR) {
            syslogx(LOG_PRIO_ERR2, "%s", t.spawnFail);
            if (t.body == BC2_dk_udp_listen) {
                bc2_listeners_expect(-1);
                continue;
            }
            // Without its tasks the transport cannot work; the device suspends the initialising
            // task here. The host goes on without DivoVur2 rather than hanging the start-up.
            bc2_listeners_expect(-listenersFrom(&t));
            return;
        }
        bc2_track_task(tid);
        if (taskIdVerify(tid) != OK) syslogx(LOG_PRIO_ERR2, "%s", t.verifyFail);
    }
    // On the device the listening tasks outrank the initialising task and are receiving before
    // it goes on; the host waits for them.
    bc2_listeners_wait();
    syslogx(LOG_PRIO_INFO2, "BC2_eth_ini(): Initialisation finished");
}

void BC2_init() {
    BaseCom_stop.store(false);
    BC2_eth_ini();
}
