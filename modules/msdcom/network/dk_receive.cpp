// DK frames in: the TCP data link's receiver and the DK-over-UDP listener. The link is received
// in large pieces and cut into frames; each record goes into the FIFO that its handle names, and
// only when it comes from the peer that feeds that FIFO.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/bc_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <sys/socket.h>

std::atomic<int> udp_tx_socket{-1};
std::atomic<int> udp_rx_socket{-1};

namespace {

uint8_t gFloodForeign = 0;
uint8_t gFloodTooLong = 0;
uint8_t gFloodUdpFull = 0;
uint8_t gFloodUdpForeign = 0;
uint8_t gFloodUdpNoFifo = 0;
uint8_t gFloodUdpWalk = 0;
uint8_t gFloodUdpTooLong = 0;
uint8_t gFloodUdpErr = 0;

std::atomic<uint32_t> gStrangerDrops{0};

bc2_channel* dkChannelOf(uint16_t pid) {
    return pid < BC2_PEERS ? hosts_list[pid].dk.load() : nullptr;
}

// The FIFO that a run of frames names by its handle: looked up once per run, kept from being
// freed while records are written into it, and judged once whether the sender may feed it.
template <class Accept> class FifoCache {
public:
    explicit FifoCache(Accept accept) : accept_(accept) {}
    ~FifoCache() { forget(); }
    FifoCache(const FifoCache&) = delete;
    FifoCache& operator=(const FifoCache&) = delete;

    struct Hit {
        dynkomm_fifo* fifo; // nullptr: no FIFO under the handle
        bool accepted;      // the sender is the peer that feeds it
    };
    Hit find(uint32_t handle) {
        if (valid_ && handle == handle_) return hit_;
        forget();
        dynkomm_fifo* f = nullptr;
        if (dynkomm_get_fifo(handle, &f) == 1 && f && dynkomm_fifo_pin(f)) hit_ = Hit{f, accept_(f)};
        handle_ = handle;
        valid_ = true;
        return hit_;
    }

private:
    void forget() {
        if (hit_.fifo) dynkomm_fifo_unpin(hit_.fifo);
        hit_ = Hit{nullptr, false};
        valid_ = false;
    }
    Accept accept_;
    uint32_t handle_ = 0;
    bool valid_ = false;
    Hit hit_{nullptr, false};
};

// Where a record came from: a peer's DK link or a datagram's sender.
struct Origin {
    const bc2_channel* link = nullptr;
    const sockaddr_in* addr = nullptr;
};

const char* originText(char* out, size_t size, const Origin& from) {
    if (from.link) {
        std::snprintf(out, size, "the DK link of PID 0x%X", unsigned(from.link->pid));
    } else {
        char a[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &from.addr->sin_addr, a, sizeof a);
        std::snprintf(out, size, "%s:%u", a, unsigned(ntohs(from.addr->sin_port)));
    }
    return out;
}

// A record for a FIFO that another peer feeds (or that this device feeds itself) is dropped:
// nobody else may write into a FIFO that has one writer.
void dropFromStranger(uint32_t handle, const dynkomm_fifo* fifo, const Origin& from) {
    const uint32_t n = gStrangerDrops.fetch_add(1, std::memory_order_relaxed) + 1;
    char text[48];
    SYSLOGX_ONCE_SITE(LOG_PRIO_ERR2,
                      "Divovur2: DK record for handle 0x%08X from %s dropped, its FIFO is fed by PID 0x%X "
                      "(%u dropped)",
                      unsigned(handle), originText(text, sizeof text, from), unsigned(fifo->src_pid),
                      unsigned(n));
}

// Over UDP the feeding peer is known by the address of its presence records and its DK send port.
bool fromFeeder(const dynkomm_fifo* fifo, const sockaddr_in& from) {
    const uint16_t src = fifo->src_pid;
    if (src >= BC2_PEERS || src == app_pid) return false;
    const bc2_host& h = hosts_list[src];
    const uint32_t addr = h.fromAddr.load();
    return addr != 0 && from.sin_addr.s_addr == addr &&
           ntohs(from.sin_port) == uint16_t(BC2_PORT_DK_UDP_TX + h.portOffset.load());
}

// Cuts the whole frames out of the received bytes; gives the bytes used, or SIZE_MAX when the
// stream is lost (the link is dropped).
size_t cutFrames(bc2_channel* ch, const uint8_t* data, size_t n) {
    const uint16_t peer = ch->pid;
    FifoCache cache([peer](const dynkomm_fifo* f) { return f->src_pid == peer; });
    uint16_t frames = 0, errors = 0;
    size_t pos = 0;
    size_t result = 0;
    for (;;) {
        if (n - pos < DK_HEADER_SIZE) {
            result = pos;
            break;
        }
        const DkHeader h = dk_decodeHeader(data + pos);
        const bool foreign = h.pid != app_pid;
        // One foreign frame is skipped; a second in a row, or a long one, means the stream is lost.
        if (foreign && (ch->skip || h.length > BC2_DK_SCRATCH)) {
            SYSLOGX_FLOOD(gFloodForeign, LOG_PRIO_ERR2,
                          "Divovur2: DK channel - received data for PID 0x%X - no routing available",
                          unsigned(h.pid));
            ++errors;
            ch->skip = 0;
            result = SIZE_MAX;
            break;
        }
        if (n - pos - DK_HEADER_SIZE < h.length) {
            result = pos; // the rest of the frame is still on its way
            break;
        }
        const uint8_t* record = data + pos + DK_HEADER_SIZE;
        pos += DK_HEADER_SIZE + h.length;
        if (foreign) {
            SYSLOGX_FLOOD(gFloodForeign, LOG_PRIO_ERR2,
                          "Divovur2: DK channel - received data for PID 0x%X - no routing available",
                          unsigned(h.pid));
            ++errors;
            ch->skip = 1;
            continue;
        }
        ch->skip = 0;
        const auto hit = cache.find(h.handle);
        if (!hit.fifo) continue; // no FIFO (any more): the record is dropped
        if (!hit.accepted) {
            dropFromStranger(h.handle, hit.fifo, Origin{ch, nullptr});
            ++errors;
            continue;
        }
        ++frames;
        // A record longer than the slot would overrun it and the slots behind it.
        if (h.length > hit.fifo->slot_size) {
            SYSLOGX_FLOOD(
                gFloodTooLong, LOG_PRIO_ERR2,
                "Divovur2: DK channel - record of %u bytes for handle 0x%08X exceeds its slot of %u, dropped",
                unsigned(h.length), unsigned(h.handle), unsigned(hit.fifo->slot_size));
            ++errors;
            continue;
        }
        uint8_t* slot = dynkomm_write(hit.fifo);
        if (!slot) continue; // full: the record is dropped
        std::memcpy(slot, record, h.length);
        dynkomm_writedone(hit.fifo);
    }
    if (frames) ch->rxFrames += frames;
    if (errors) ch->rxErr += errors;
    return result;
}

} // namespace

uint32_t bc2_dk_stranger_drops() {
    return gStrangerDrops.load(std::memory_order_relaxed);
}

void bc2_dk_rx_reset(bc2_channel* ch) {
    ch->rx.fill = 0;
    ch->skip = 0;
}

int bc_dk_receive(bc2_channel* ch, int sock) {
    bc2_dkrx& rx = ch->rx;
    if (!rx.buf) {
        rx.buf.reset(new (std::nothrow) uint8_t[BC2_DK_RXBUF]);
        rx.fill = 0;
        if (!rx.buf) {
            syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - no memory for the receive buffer of PID 0x%X",
                    unsigned(ch->pid));
            return 0;
        }
    }
    ssize_t r;
    for (;;) {
        r = recv(sock, rx.buf.get() + rx.fill, BC2_DK_RXBUF - rx.fill, 0);
        if (r < 0 && errno == EINTR) continue;
        // The receive time limit only lets the task look at the stop flag: a quiet link is not a
        // broken one.
        if (bc2_idle_receive(r) && !BaseCom_stop.load()) continue;
        break;
    }
    if (r < 0) {
        if (!bcSocket_isShutdown() && !BaseCom_stop.load())
            syslogx(LOG_PRIO_ERR2,
                    "Divovur2: DK channel - Error PID 0x%X receiving serial network header, '%s'",
                    unsigned(ch->pid), strerror(errno));
        ++ch->rxErr;
        return 0;
    }
    if (r == 0) {
        if (rx.fill > 0) {
            syslogx(LOG_PRIO_ERR2,
                    "Divovur2: DK channel - Error PID 0x%X, link closed within a frame (%u bytes)",
                    unsigned(ch->pid), unsigned(rx.fill));
            ++ch->rxErr;
        }
        syslogx(LOG_PRIO_INFO2, "Divovur2: DK channel - socket closed");
        return 0;
    }
    const size_t have = rx.fill + size_t(r);
    const size_t used = cutFrames(ch, rx.buf.get(), have);
    if (used == SIZE_MAX) return 0;
    // The start of a frame whose rest is on its way moves to the front (the longest frame fits).
    if (used < have) std::memmove(rx.buf.get(), rx.buf.get() + used, have - used);
    rx.fill = have - used;
    return 1;
}

void bc2_dk_datagram(const uint8_t* data, size_t n, const sockaddr_in& from) {
    int lastSrc = -1;
    FifoCache cache([&from](const dynkomm_fifo* f) { return fromFeeder(f, from); });
    const bool whole = dk_walkDatagram(data, n, [&](const DkHeader& h, const uint8_t* record) {
        if (h.pid != app_pid) {
            SYSLOGX_FLOOD(gFloodUdpForeign, LOG_PRIO_ERR,
                          "Divovur2: DK UDP channel - received data for PID 0x%X - no routing available",
                          unsigned(h.pid));
            return;
        }
        const auto hit = cache.find(h.handle);
        dynkomm_fifo* fifo = hit.fifo;
        if (!fifo) {
            SYSLOGX_FLOOD(gFloodUdpNoFifo, LOG_PRIO_DEBUG2,
                          "Divovur2: DK UDP channel - no fifo for handle 0x%08X", unsigned(h.handle));
            return;
        }
        if (!hit.accepted) {
            dropFromStranger(h.handle, fifo, Origin{nullptr, &from});
            return;
        }
        if (h.length > fifo->slot_size) {
            SYSLOGX_FLOOD(gFloodUdpTooLong, LOG_PRIO_ERR,
                          "Divovur2: DK UDP channel - record of %u bytes for handle 0x%08X exceeds its slot "
                          "of %u, dropped",
                          unsigned(h.length), unsigned(h.handle), unsigned(fifo->slot_size));
            if (bc2_channel* ch = dkChannelOf(fifo->src_pid)) ++ch->rxErr;
            return;
        }
        uint8_t* slot = dynkomm_write(fifo);
        if (!slot) {
            SYSLOGX_FLOOD(
                gFloodUdpFull, LOG_PRIO_INFO,
                "Divovur2: DK UDP channel - cannot write data to fifo data from pid 0x%02x, type 0x%x, slots "
                "%d, raster %d",
                unsigned(fifo->src_pid), unsigned(fifo->flags), int(fifo->depth), int(fifo->raster));
            return;
        }
        std::memcpy(slot, record, h.length);
        dynkomm_writedone(fifo);
        lastSrc = fifo->src_pid;
    });
    if (!whole)
        SYSLOGX_FLOOD(
            gFloodUdpWalk, LOG_PRIO_ERR,
            "Divovur2: DK UDP channel - frame runs past the end of a %u-byte datagram, rest dropped",
            unsigned(n));
    if (lastSrc >= 0)
        if (bc2_channel* ch = dkChannelOf(uint16_t(lastSrc))) ++ch->rxUdp;
}

void BC2_dk_udp_listen() {
    bc2_listener_setup setup;
    int sock = udp_rx_socket.load();
    if (sock >= 0) {
        syslogx(LOG_PRIO_ERR2, "Divovur2: Socket Rx already exists... (DK)");
    } else {
        sock = bcSocket_get(AF_INET, SOCK_DGRAM, 0);
        if (sock < 0) {
            syslogx(LOG_PRIO_ERR2, "Divovur2: Create UDP Rx Socket failed (DK)");
            return;
        }
        bc2_track_socket(&udp_rx_socket, sock);
    }
    const int on = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
        syslogx(LOG_PRIO_ERR2, "Divovur2: Setting Rx socket reuse option failed, errno %s (DK)",
                strerror(errno));
    const sockaddr_in local = bc2_sockaddr(bc2_ownAddr(), uint16_t(BC2_PORT_DK_UDP_RX + bc2_ownOffset()));
    if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        syslogx(LOG_PRIO_ERR2, "Divovur2: UDP Socket bind Rx failed (DK)");
        return;
    }
    setup.receiving();
    taskCpuAffinitySet(0, 0x2);
    uint8_t buf[DK_DATAGRAM_MAX];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (BaseCom_stop.load()) return;
        if (bc2_idle_receive(n)) continue;
        if (n < 0) {
            SYSLOGX_FLOOD(gFloodUdpErr, LOG_PRIO_ERR,
                          "Divovur2: DK UDP channel - Error receiving UDP packet");
            taskDelay(1);
            continue;
        }
        bc2_dk_datagram(buf, size_t(n), from);
    }
}
