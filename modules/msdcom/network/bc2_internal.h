// DivoVur2 records shared by the presence, link and data-link files (and by their tests).
#pragma once

#include "msdcom/network/bc2_net.h"
#include "msdcom/network/bc2_record.h"
#include "msdcom/network/dk_frame.h"
#include "platform/rtos/rtos.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <netinet/in.h>

enum : uint16_t { BC2_CHAN_CI = 0, BC2_CHAN_DK = 1 };

// Channel states.
enum : uint16_t {
    BC2_STATE_IDLE = 0, // new, or the active connect failed
    BC2_STATE_DISCONNECTED = 2,
    BC2_STATE_CONNECTED = 3,
    BC2_STATE_CONNECTING = 4,
};

inline constexpr int BC2_HOST_ENTRIES = 66;
inline constexpr uint16_t BC2_ORIGIN_PRESENCE = 2;
inline constexpr int32_t BC2_SEND_PERIOD_MS = 200;
inline constexpr uint32_t BC2_TIMEOUT_MS = 1000;
inline constexpr size_t BC2_CI_RXBUF = 8192;
inline constexpr size_t BC2_DK_SCRATCH = 512;
// Receive buffer of a DK link: many frames per receive, and the longest frame (8 + 65535 bytes)
// fits whole.
inline constexpr size_t BC2_DK_RXBUF = 72 * 1024;
inline constexpr int BC2_RECV_PRIORITY = 77;
inline constexpr int BC2_RECV_STACK = 10000;
inline constexpr int BC2_TCP_BUFSIZE = 23360;

// Send-buffer states: a run of failures is reported once.
enum : uint16_t { BC2_SND_OK = 0, BC2_SND_ERR_REPORTED = 1, BC2_SND_SHORT_REPORTED = 2 };

// Two halves of one Ethernet payload each; frames are appended to the active half, and after a
// complete send the other half becomes active.
struct bc2_sendbuf {
    SEM_ID mutex = SEM_ID_NULL;
    uint16_t state = 0;
    uint16_t fill = 0;    // bytes in the active half
    uint16_t sent = 0;    // of them already sent (a short TCP send resumes here)
    uint16_t type = 0;    // 0 offline, 1 online
    uint16_t half = 0;    // byte offset of the active half: 0 or DK_DATAGRAM_MAX
    uint32_t cutLink = 0; // while `sent` > 0: the link (bc2_channel::linkGen) that has the first part
    std::atomic<uint32_t> epoch{0}; // counts re-initialisations: a cut frame dies with its buffer
    uint8_t data[2 * DK_DATAGRAM_MAX];
};

// Bytes of a DK link received and not yet cut into frames (the receive task's own).
struct bc2_dkrx {
    std::unique_ptr<uint8_t[]> buf; // BC2_DK_RXBUF bytes, made on the first receive
    size_t fill = 0;
};

struct bc2_host;

struct bc2_channel {
    const char* name = "CI";
    uint16_t type = BC2_CHAN_CI;
    uint16_t pid = 0;
    bc2_host* host = nullptr;
    SEM_ID wake = SEM_ID_NULL;
    TASK_ID task = TASK_ID_ERROR;
    std::atomic<uint16_t> state{BC2_STATE_IDLE};

    // The link socket. Changed only under `io`; senders hold `io` while they write to it. The
    // receive task alone closes the socket it receives on (`rxsock`): others shut it down, which
    // wakes the receiver, so that no descriptor is closed under a task that still uses it.
    SEM_ID io = SEM_ID_NULL;
    std::atomic<int> sock{-1};
    int rxsock = -1;
    // DK, under `io`: a send buffer whose half went out only in part owns the TCP stream until its
    // rest is out, so that the peer never sees a cut frame followed by another frame. A new socket
    // (bc2_swap_socket_locked) starts a new link without owner.
    uint32_t linkGen = 0;
    int8_t cutOwner = -1;  // buffer index, -1 none
    uint32_t cutEpoch = 0; // the owner's epoch when it cut

    sockaddr_in peerListen{}; // the peer's CI or DK listening address
    sockaddr_in peerUdp{};    // DK: the peer's DK UDP address
    sockaddr_in mcGroup{};    // the multicast channel's destination
    bool hasUdpDest = false;
    bc2_sendbuf buf[2]; // DK: 0 offline, 1 online

    std::atomic<uint16_t> txOnline{0}, txMsgs{0}, txErr{0}, rxUdp{0}, rxFrames{0}, rxErr{0};
    uint8_t skip = 0; // DK receive: a frame for a foreign PID was just skipped
    bc2_dkrx rx;      // DK receive: bytes not yet cut into frames
};

// Puts `fd` in place of the link socket, with `io` held; gives the old one.
inline int bc2_swap_socket_locked(bc2_channel* ch, int fd) {
    ++ch->linkGen;
    ch->cutOwner = -1;
    return ch->sock.exchange(fd);
}
// The same only while the link socket is `expected`; else `expected` takes the current one.
inline bool bc2_replace_socket_locked(bc2_channel* ch, int& expected, int fd) {
    if (!ch->sock.compare_exchange_strong(expected, fd)) return false;
    ++ch->linkGen;
    ch->cutOwner = -1;
    return true;
}

struct bc2_host {
    Bc2Record rec; // the last presence record received (own entry: unused)
    std::atomic<bc2_channel*> dk{nullptr};
    std::atomic<bc2_channel*> ci{nullptr};
    std::atomic<int32_t> remaining{0};
    std::atomic<uint16_t> state{0}; // 0 offline or never heard, 1 heard
    std::atomic<uint16_t> version{0};
    std::atomic<uint16_t> portOffset{0};
    std::atomic<uint16_t> origin{0};
    std::atomic<uint32_t> fromAddr{0}; // network order: where the last record came from
    std::atomic<uint16_t> fromPort{0}; // network order

    // Forgets what was heard of the peer (its channels stay as they are).
    void forgetPeer() {
        rec.clear();
        remaining.store(0);
        state.store(0);
        version.store(0);
        portOffset.store(0);
        origin.store(0);
        fromAddr.store(0);
        fromPort.store(0);
    }
};

extern Bc2Record local_host;
extern bc2_host hosts_list[BC2_HOST_ENTRIES];
extern std::atomic<bool> BaseCom_stop;
extern std::atomic<bool> bc2_ready2connect;
extern std::atomic<uint16_t> bc_rxcnt;
extern std::atomic<uint16_t> cimc_rxcnt, cimc_rxerr;
extern std::atomic<int> udp_tx_socket, udp_rx_socket;

// Own settings read at BC2_eth_ini.
uint16_t bc2_ownOffset();
uint32_t bc2_ownAddr(); // network order
sockaddr_in bc2_sockaddr(uint32_t addrNetOrder, uint16_t port);

// Presence side.
// Reads the own address and port offset, fills `local_host` and clears the peer table.
void bc2_fill_local_host();
void BC2_UDP_send();
void BC2_UDP_listen();
// The sender's note of the record it is about to send, by which the listener knows its own beacon.
void bc2_presence_sent(const uint8_t bytes[BC2_REC_SIZE]);
// One received presence datagram from `from` (the listener's work, also driven by tests).
void bc2_presence_received(const uint8_t* bytes, size_t n, const sockaddr_in& from);
// One ageing step of the sender.
void bc2_age_peers(int32_t elapsedMs);
void BC2_connect_manager(bc2_host* entry, uint16_t type);
// Address order of the connection decision: the four wire bytes read least significant first.
uint32_t bc2_addrRank(uint32_t addrNetOrder);

// Links.
bc2_channel* BC2_create_channel_config(bc2_host* entry, uint16_t type);
void BC2_snd_framer_ini(bc2_sendbuf* buf, uint16_t type);
int BC2_recv_activate(bc2_channel* ch);
void BC2_disconnect(bc2_channel* ch);
int bc2_recv_packet(int sock, void* buffer, size_t n, int flags);
void bc2_set_tcp_options(int sock, const char* who);
void BC2_connect_passive(uint16_t type);
void BC2_eth_recv(bc2_channel* ch);
int BC2_connect_active(bc2_channel* ch);
int bc_ci_receive(bc2_channel* ch, int sock);
// Receives what the DK link has and writes every whole frame into its FIFO; 1 keep the link, 0
// drop it. A new link starts with bc2_dk_rx_reset.
int bc_dk_receive(bc2_channel* ch, int sock);
void bc2_dk_rx_reset(bc2_channel* ch);
void BC2_CI_MC_listen();
void BC2_dk_udp_listen();
// One received DK datagram from `from` (the UDP listener's work, also driven by tests and fuzzing).
void bc2_dk_datagram(const uint8_t* data, size_t n, const sockaddr_in& from);
// Reads and drops `n` bytes of the link; false when the link failed.
bool bc2_discard(int sock, size_t n);

// The multicast channel of entry 65.
bc2_channel* bc2_mc_channel();

// Start-up of the listening tasks (presence, CI and DK listening sockets, CI multicast, DK over
// UDP). BC2_eth_ini announces how many it spawns; each reports once that its socket set-up is over,
// receiving or failed (logged). When the last has reported, `bc2_ready2connect` is set if a CI or
// DK listening socket listens.
class bc2_listener_setup {
public:
    explicit bc2_listener_setup(bool tcp = false) : tcp_(tcp) {}
    ~bc2_listener_setup() { done(false); } // a task that ends before receiving reports a failure
    bc2_listener_setup(const bc2_listener_setup&) = delete;
    bc2_listener_setup& operator=(const bc2_listener_setup&) = delete;
    // The socket is bound (and listens): what arrives from now on is received.
    void receiving() { done(true); }

private:
    void done(bool receiving);
    bool tcp_;
    bool reported_ = false;
};
void bc2_listeners_expect(int n);
// Waits (bounded) until every listening task announced has reported; false after the limit (logged).
bool bc2_listeners_wait();
// True when no announced listening task is still setting up.
bool bc2_listeners_ready();
void bc2_listeners_reset();

// Flood counters of the presence and CI log lines (one per call site, see syslog.h).
struct bc2_log_floods {
    uint8_t wrongPid = 0, ownPid = 0, shortRecord = 0;
    uint8_t mcSize = 0, oversize = 0, badLen = 0;
};
extern bc2_log_floods bc2_floods;

// Host: after BC2_stop, gives back channels and sockets so that BC2_init can run again in the
// same process (tests restart the transport between cases).
void bc2_release();
// Host: spawned DivoVur2 tasks, for BC2_stop to wake and wait for.
void bc2_track_task(TASK_ID tid);
// Stores `sock` in `slot` and remembers the slot, so that BC2_stop can wake the task blocked on it.
void bc2_track_socket(std::atomic<int>* slot, int sock);
// True for a receive that ended by its time limit, or by a signal handler, with nothing received
// (the loop goes on).
bool bc2_idle_receive(ssize_t result);
