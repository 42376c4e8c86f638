// DK frames out: appending to the two-half send buffers of a peer's data link and the flush at
// the end of each 10 ms send cycle.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/bc2_internal.h"
#include "msdcom/routing.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

uint8_t gFloodTooBig = 0;

enum class SendResult { Complete, Error, Short };

struct Route {
    bc2_channel* ch = nullptr;
    bc2_sendbuf* buf = nullptr;
    bool udp = false;
};

// Buffer and way out of a frame for `pid`: offline frames (and online ones for peers older than
// 0x0201) take buffer 0 over TCP; online frames buffer 1, over UDP when the route is Ethernet.
Route routeFor(uint16_t pid, bool online) {
    Route r;
    if (pid >= BC2_PEERS) return r;
    r.ch = hosts_list[pid].dk.load();
    if (!r.ch) return r;
    if (online && hosts_list[pid].version.load() < 0x0201) online = false;
    r.buf = &r.ch->buf[online ? 1 : 0];
    r.udp = online && routing_get_next(pid).kind == ROUTE_ETH;
    return r;
}

bool usable(const Route& r) {
    if (!r.ch || !r.buf || r.buf->mutex == SEM_ID_NULL) return false;
    return r.udp ? udp_tx_socket.load() >= 1 : r.ch->sock.load() >= 1;
}

// Sends the unsent part of the active half, called with the buffer's mutex held. A TCP send
// waits at most the link's send time limit; what the socket did not take stays for the next flush.
SendResult sendActiveHalf(const Route& r, int* sentNow, int* err) {
    bc2_sendbuf& b = *r.buf;
    const uint8_t* from = b.data + b.half + b.sent;
    const size_t want = size_t(b.fill - b.sent);
    ssize_t n;
    if (r.udp) {
        n = sendto(udp_tx_socket.load(), from, want, 0, reinterpret_cast<const sockaddr*>(&r.ch->peerUdp),
                   sizeof r.ch->peerUdp);
    } else {
        if (semTake(r.ch->io, WAIT_FOREVER) != OK) {
            *err = errno;
            return SendResult::Error;
        }
        const int fd = r.ch->sock.load();
        n = fd >= 0 ? send(fd, from, want, MSG_NOSIGNAL) : -1;
        if (fd < 0) errno = ENOTCONN;
        semGive(r.ch->io);
    }
    *err = errno;
    *sentNow = int(n);
    if (n < 0) return SendResult::Error;
    if (size_t(n) < want) {
        b.sent = uint16_t(b.sent + size_t(n));
        return SendResult::Short;
    }
    return SendResult::Complete;
}

void switchHalves(bc2_sendbuf& b) {
    b.state = BC2_SND_OK;
    b.fill = 0;
    b.sent = 0;
    b.half = b.half == 0 ? uint16_t(DK_DATAGRAM_MAX) : uint16_t(0);
}

int appendFrame(const uint8_t* header, const void* record, bool online) {
    if (!header) return 0;
    const DkHeader h = dk_decodeHeader(header);
    const char* who = online ? "dyncom_send_eth_online()" : "dyncom_send_eth()";
    const size_t frame = DK_HEADER_SIZE + h.length;
    if (frame > DK_DATAGRAM_MAX || (h.length > 0 && !record)) {
        SYSLOGX_FLOOD(gFloodTooBig, LOG_PRIO_ERR,
                      "%s:[0x%02x] frame of %u bytes does not fit a send buffer, refused", who,
                      unsigned(h.pid), unsigned(frame));
        return 0;
    }
    const Route r = routeFor(h.pid, online);
    if (!usable(r)) return 0;
    bc2_sendbuf& b = *r.buf;
    if (semTake(b.mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_PRIO_ERR, "%s:[0x%02x] semTake failed - errno %s", who, unsigned(h.pid), strerror(errno));
        return 0;
    }
    int ok = 1;
    if (b.fill + frame > DK_DATAGRAM_MAX && b.fill > 0) {
        int sentNow = 0, err = 0;
        switch (sendActiveHalf(r, &sentNow, &err)) {
        case SendResult::Complete:
            if (b.type == 1)
                ++r.ch->txOnline;
            else
                ++r.ch->txMsgs;
            switchHalves(b);
            break;
        case SendResult::Error:
            ++r.ch->txErr;
            if (b.state != BC2_SND_ERR_REPORTED) {
                syslogx(LOG_PRIO_ERR, "dyncom_send_eth():[0x%02x] socket send error - errno %s",
                        unsigned(h.pid), strerror(err));
                b.state = BC2_SND_ERR_REPORTED;
            }
            ok = 0;
            break;
        case SendResult::Short:
            ++r.ch->txErr;
            if (b.state != BC2_SND_SHORT_REPORTED) {
                syslogx(LOG_PRIO_ERR,
                        "dyncom_send_eth():[0x%02x] send buffer overrun, req %d only %d error_snd_pos %d "
                        "bytes of "
                        "dynkom data sent",
                        unsigned(h.pid), int(b.fill), sentNow, int(b.sent));
                b.state = BC2_SND_SHORT_REPORTED;
            }
            ok = 0;
            break;
        }
    }
    if (ok) {
        uint8_t* at = b.data + b.half + b.fill;
        std::memcpy(at, header, DK_HEADER_SIZE);
        if (h.length > 0) std::memcpy(at + DK_HEADER_SIZE, record, h.length);
        b.fill = uint16_t(b.fill + frame);
    }
    if (semGive(b.mutex) != OK)
        syslogx(LOG_PRIO_ERR, "dyncom_send_eth(): semGive failed - errno %s", strerror(errno));
    return ok;
}

} // namespace

int dyncom_send_eth(const uint8_t* header, const void* record) {
    return appendFrame(header, record, false);
}
int dyncom_send_eth_online(const uint8_t* header, const void* record) {
    return appendFrame(header, record, true);
}

void Dynkom_flush_eth(int mode) {
    const bool online = mode == 0;
    for (uint16_t pid = 0; pid < BC2_PEERS; ++pid) {
        if (pid == app_pid) continue;
        bc2_channel* ch = hosts_list[pid].dk.load();
        if (!ch) continue;
        // The flush serves the buffer of its kind; a peer older than 0x0201 keeps online frames in
        // buffer 0, which the offline flush sends.
        Route r;
        r.ch = ch;
        r.buf = &ch->buf[online ? 1 : 0];
        r.udp = online && routing_get_next(pid).kind == ROUTE_ETH;
        if (!usable(r)) continue;
        bc2_sendbuf& b = *r.buf;
        if (semTake(b.mutex, WAIT_FOREVER) != OK) {
            syslogx(LOG_PRIO_INFO2, "Dynkom_flush_eth(): pid: 0x%02x, semTake failed - errno %s",
                    unsigned(pid), strerror(errno));
            continue;
        }
        if (b.fill > b.sent) {
            int sentNow = 0, err = 0;
            switch (sendActiveHalf(r, &sentNow, &err)) {
            case SendResult::Complete:
                switchHalves(b);
                if (online)
                    ++ch->txOnline;
                else
                    ++ch->txMsgs;
                break;
            case SendResult::Error:
                if (b.state != BC2_SND_ERR_REPORTED) {
                    syslogx(LOG_PRIO_INFO2, "Dynkom_flush_eth(): pid: 0x%02x, send error during flush: %s",
                            unsigned(pid), strerror(err));
                    b.state = BC2_SND_ERR_REPORTED;
                }
                ++ch->txErr;
                break;
            case SendResult::Short:
                if (b.state != BC2_SND_SHORT_REPORTED) {
                    syslogx(LOG_PRIO_INFO2,
                            "Dynkom_flush_eth(): pid: 0x%02x, send buffer overrun, req %d only %d "
                            "error_snd_pos %d "
                            "bytes of dynkom data sent",
                            unsigned(pid), int(b.fill), sentNow, int(b.sent));
                    b.state = BC2_SND_SHORT_REPORTED;
                }
                ++ch->txErr;
                break;
            }
        }
        if (semGive(b.mutex) != OK)
            syslogx(LOG_PRIO_INFO2, "Dynkom_flush_eth_offline(): semGive failed - errno %s", strerror(errno));
    }
}
