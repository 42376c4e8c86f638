// DK frames in: the TCP data link's receiver and the DK-over-UDP listener. Records go straight
// into the slots of the FIFO that the frame's handle names.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/bc2_internal.h"
#include "msdcom/bc_socket.h"
#include "msdcom/dynkomm.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>

std::atomic<int> udp_tx_socket{-1};
std::atomic<int> udp_rx_socket{-1};

namespace {

// A FIFO found by its handle, kept from being freed while a record is written into it: the peer
// may take its time to send the rest of a record.
class PinnedFifo {
public:
    explicit PinnedFifo(uint32_t handle) {
        dynkomm_fifo* f = nullptr;
        if (dynkomm_get_fifo(handle, &f) == 1 && f && dynkomm_fifo_pin(f)) fifo_ = f;
    }
    ~PinnedFifo() { dynkomm_fifo_unpin(fifo_); }
    PinnedFifo(const PinnedFifo&) = delete;
    PinnedFifo& operator=(const PinnedFifo&) = delete;
    dynkomm_fifo* get() const { return fifo_; }

private:
    dynkomm_fifo* fifo_ = nullptr;
};

uint8_t gFloodForeign = 0;
uint8_t gFloodTooLong = 0;
uint8_t gFloodUdpFull = 0;
uint8_t gFloodUdpForeign = 0;
uint8_t gFloodUdpNoFifo = 0;
uint8_t gFloodUdpWalk = 0;
uint8_t gFloodUdpTooLong = 0;
uint8_t gFloodUdpErr = 0;

bc2_channel* dkChannelOf(uint16_t pid) {
    return pid < BC2_PEERS ? hosts_list[pid].dk.load() : nullptr;
}

} // namespace

int bc_dk_receive(bc2_channel* ch, int sock) {
    uint8_t hdr[DK_HEADER_SIZE];
    const int r = bc2_recv_packet(sock, hdr, sizeof hdr, 0);
    if (r < 0) {
        if (!bcSocket_isShutdown() && !BaseCom_stop.load())
            syslogx(LOG_PRIO_ERR2,
                    "Divovur2: DK channel - Error PID 0x%X receiving serial network header, '%s'",
                    unsigned(ch->pid), strerror(errno));
        ++ch->rxErr;
        return 0;
    }
    if (r == 0) {
        syslogx(LOG_PRIO_INFO2, "Divovur2: DK channel - socket closed");
        return 0;
    }
    const DkHeader h = dk_decodeHeader(hdr);

    if (h.pid == app_pid) {
        ch->skip = 0;
        const PinnedFifo pinned(h.handle);
        dynkomm_fifo* fifo = pinned.get();
        if (!fifo) {
            if (!bc2_discard(sock, h.length)) {
                syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - Error receiving dynkom data");
                return 0;
            }
            return 1;
        }
        ++ch->rxFrames;
        // A record longer than the slot would overrun it and the slots behind it.
        if (h.length > fifo->slot_size) {
            SYSLOGX_FLOOD(
                gFloodTooLong, LOG_PRIO_ERR2,
                "Divovur2: DK channel - record of %u bytes for handle 0x%08X exceeds its slot of %u, dropped",
                unsigned(h.length), unsigned(h.handle), unsigned(fifo->slot_size));
            ++ch->rxErr;
            if (!bc2_discard(sock, h.length)) {
                syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - Error receiving dynkom data (3)");
                return 0;
            }
            return 1;
        }
        uint8_t* slot = dynkomm_write(fifo);
        if (!slot) {
            if (!bc2_discard(sock, h.length)) {
                syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - Error receiving dynkom data (2)");
                return 0;
            }
            return 1;
        }
        if (h.length > 0 && bc2_recv_packet(sock, slot, h.length, 0) != int(h.length)) {
            syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - Error receiving dynkom data");
            return 0;
        }
        dynkomm_writedone(fifo);
        return 1;
    }

    SYSLOGX_FLOOD(gFloodForeign, LOG_PRIO_ERR2,
                  "Divovur2: DK channel - received data for PID 0x%X - no routing available",
                  unsigned(h.pid));
    ++ch->rxErr;
    // One foreign frame is skipped; a second in a row, or a long one, means the stream is lost.
    if (ch->skip || h.length > BC2_DK_SCRATCH) {
        ch->skip = 0;
        return 0;
    }
    if (!bc2_discard(sock, h.length)) {
        syslogx(LOG_PRIO_ERR2, "Divovur2: DK channel - Error receiving dynkom data (4)");
        return 0;
    }
    ch->skip = 1;
    return 1;
}

void bc2_dk_datagram(const uint8_t* data, size_t n) {
    int lastSrc = -1;
    const bool whole = dk_walkDatagram(data, n, [&](const DkHeader& h, const uint8_t* record) {
        if (h.pid != app_pid) {
            SYSLOGX_FLOOD(gFloodUdpForeign, LOG_PRIO_ERR,
                          "Divovur2: DK UDP channel - received data for PID 0x%X - no routing available",
                          unsigned(h.pid));
            return;
        }
        const PinnedFifo pinned(h.handle);
        dynkomm_fifo* fifo = pinned.get();
        if (!fifo) {
            SYSLOGX_FLOOD(gFloodUdpNoFifo, LOG_PRIO_DEBUG2,
                          "Divovur2: DK UDP channel - no fifo for handle 0x%08X", unsigned(h.handle));
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
    taskCpuAffinitySet(0, 0x2);
    uint8_t buf[DK_DATAGRAM_MAX];
    for (;;) {
        const ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (BaseCom_stop.load()) return;
        if (bc2_idle_receive(n)) continue;
        if (n < 0) {
            SYSLOGX_FLOOD(gFloodUdpErr, LOG_PRIO_ERR,
                          "Divovur2: DK UDP channel - Error receiving UDP packet");
            taskDelay(1);
            continue;
        }
        bc2_dk_datagram(buf, size_t(n));
    }
}
