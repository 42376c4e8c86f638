// DK frames out: appending to the two-half send buffers of a peer's data link and the flush at
// the end of each 10 ms send cycle.
#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

uint8_t gFloodTooBig = 0;

enum class SendResult {
    Complete,
    Error,
    Short,
    Held,  // the other buffer of the link has a cut frame on the stream: nothing sent
    Stale, // the first part of this half went to a link that is gone: the rest is of no use
};

struct Route {
    bc2_channel* ch = nullptr;
    bc2_sendbuf* buf = nullptr;
    int index = 0;
    bool udp = false;
};

Route routeOf(bc2_channel* ch, uint16_t pid, int index) {
    Route r;
    r.ch = ch;
    r.index = index;
    r.buf = &ch->buf[index];
    r.udp = index == 1 && routing_get_next(pid).kind == ROUTE_ETH;
    return r;
}

// Buffer and way out of a frame for `pid`: offline frames (and online ones for peers older than
// 0x0201) take buffer 0 over TCP; online frames buffer 1, over UDP when the route is Ethernet.
Route routeFor(uint16_t pid, bool online) {
    if (pid >= BC2_PEERS) return Route{};
    bc2_channel* ch = hosts_list[pid].dk.load();
    if (!ch) return Route{};
    if (online && hosts_list[pid].version.load() < 0x0201) online = false;
    return routeOf(ch, pid, online ? 1 : 0);
}

bool usable(const Route& r) {
    if (!r.ch || !r.buf || r.buf->mutex == SEM_ID_NULL) return false;
    return r.udp ? udp_tx_socket.load() >= 1 : r.ch->sock.load() >= 1;
}

// With `io` held: whether this buffer may write to the link's TCP stream now.
SendResult mayUseStream(const Route& r) {
    const bc2_channel& ch = *r.ch;
    const bc2_sendbuf& b = *r.buf;
    if (b.sent > 0 && b.cutLink != ch.linkGen) return SendResult::Stale;
    if (ch.cutOwner >= 0 && ch.cutOwner != r.index && ch.buf[ch.cutOwner].epoch.load() == ch.cutEpoch)
        return SendResult::Held;
    return SendResult::Complete;
}

// Sends the unsent part of the active half, called with the buffer's mutex held. A TCP send
// waits at most the link's send time limit; what the socket did not take stays for the next send
// or flush, and until it is out the other buffer keeps off the stream: a peer never sees a cut
// frame followed by another frame.
SendResult sendActiveHalf(const Route& r, int* sentNow, int* err) {
    bc2_sendbuf& b = *r.buf;
    const uint8_t* from = b.data + b.half + b.sent;
    const size_t want = size_t(b.fill - b.sent);
    *sentNow = 0;
    *err = 0;
    ssize_t n;
    // A half begun on the TCP stream is finished there, whatever the route says now.
    if (r.udp && b.sent == 0) {
        do {
            n = sendto(udp_tx_socket.load(), from, want, 0, reinterpret_cast<const sockaddr*>(&r.ch->peerUdp),
                       sizeof r.ch->peerUdp);
        } while (n < 0 && errno == EINTR); // a signal handler ran before anything went
        *err = errno;
    } else {
        bc2_channel& ch = *r.ch;
        if (semTake(ch.io, WAIT_FOREVER) != OK) {
            *err = errno;
            return SendResult::Error;
        }
        const SendResult may = mayUseStream(r);
        if (may != SendResult::Complete) {
            semGive(ch.io);
            return may;
        }
        const int fd = ch.sock.load();
        do {
            // A send with a time limit is not restarted after a signal handler.
            n = fd >= 0 ? send(fd, from, want, MSG_NOSIGNAL) : -1;
        } while (n < 0 && errno == EINTR);
        *err = fd >= 0 ? errno : ENOTCONN;
        if (n > 0 && size_t(n) < want) {
            ch.cutOwner = int8_t(r.index);
            ch.cutEpoch = b.epoch.load();
            b.cutLink = ch.linkGen;
        } else if (n >= 0 && size_t(n) == want && ch.cutOwner == r.index) {
            ch.cutOwner = -1;
        }
        semGive(ch.io);
    }
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

void countSent(const Route& r) {
    if (r.buf->type == 1)
        ++r.ch->txOnline;
    else
        ++r.ch->txMsgs;
}

// Appends one frame, called with the buffer's mutex held. A frame that does not fit the active
// half sends that half first; if it cannot go, the frame is dropped (a run of failures is
// reported once).
int appendLocked(const Route& r, const DkHeader& h, const uint8_t* header, const void* record) {
    bc2_sendbuf& b = *r.buf;
    const size_t frame = DK_HEADER_SIZE + h.length;
    if (b.fill + frame > DK_DATAGRAM_MAX && b.fill > 0) {
        int sentNow = 0, err = 0;
        switch (sendActiveHalf(r, &sentNow, &err)) {
        case SendResult::Complete:
            countSent(r);
            switchHalves(b);
            break;
        case SendResult::Stale:
            ++r.ch->txErr;
            switchHalves(b);
            break;
        case SendResult::Error:
            ++r.ch->txErr;
            if (b.state != BC2_SND_ERR_REPORTED) {
                syslogx(LOG_PRIO_ERR, "dyncom_send_eth():[0x%02x] socket send error - errno %s",
                        unsigned(h.pid), strerror(err));
                b.state = BC2_SND_ERR_REPORTED;
            }
            return 0;
        case SendResult::Short:
        case SendResult::Held:
            ++r.ch->txErr;
            if (b.state != BC2_SND_SHORT_REPORTED) {
                syslogx(LOG_PRIO_ERR,
                        "dyncom_send_eth():[0x%02x] send buffer overrun, req %d only %d error_snd_pos %d "
                        "bytes of dynkom data sent",
                        unsigned(h.pid), int(b.fill), sentNow, int(b.sent));
                b.state = BC2_SND_SHORT_REPORTED;
            }
            return 0;
        }
    }
    uint8_t* at = b.data + b.half + b.fill;
    std::memcpy(at, header, DK_HEADER_SIZE);
    if (h.length > 0) std::memcpy(at + DK_HEADER_SIZE, record, h.length);
    b.fill = uint16_t(b.fill + frame);
    return 1;
}

const char* whoOf(bool online) {
    return online ? "dyncom_send_eth_online()" : "dyncom_send_eth()";
}

bool fits(const DkHeader& h, const void* record, bool online) {
    const size_t frame = DK_HEADER_SIZE + h.length;
    if (frame <= DK_DATAGRAM_MAX && (h.length == 0 || record)) return true;
    SYSLOGX_FLOOD(gFloodTooBig, LOG_PRIO_ERR,
                  "%s:[0x%02x] frame of %u bytes does not fit a send buffer, refused", whoOf(online),
                  unsigned(h.pid), unsigned(frame));
    return false;
}

bool lock(const Route& r, uint16_t pid, bool online) {
    if (semTake(r.buf->mutex, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_PRIO_ERR, "%s:[0x%02x] semTake failed - errno %s", whoOf(online), unsigned(pid),
            strerror(errno));
    return false;
}

void unlock(const Route& r) {
    if (semGive(r.buf->mutex) != OK)
        syslogx(LOG_PRIO_ERR, "dyncom_send_eth(): semGive failed - errno %s", strerror(errno));
}

int appendFrame(const uint8_t* header, const void* record, bool online) {
    if (!header) return 0;
    const DkHeader h = dk_decodeHeader(header);
    if (!fits(h, record, online)) return 0;
    const Route r = routeFor(h.pid, online);
    if (!usable(r) || !lock(r, h.pid, online)) return 0;
    const int ok = appendLocked(r, h, header, record);
    unlock(r);
    return ok;
}

} // namespace

int dyncom_send_eth(const uint8_t* header, const void* record) {
    return appendFrame(header, record, false);
}
int dyncom_send_eth_online(const uint8_t* header, const void* record) {
    return appendFrame(header, record, true);
}

int dyncom_send_eth_fifo(const uint8_t* header, dynkomm_fifo* fifo) {
    if (!header || !fifo) return 0;
    const DkHeader h = dk_decodeHeader(header);
    const Route r = routeFor(h.pid, false);
    // Records that cannot go are taken all the same, as one by one they would be.
    const bool open = fits(h, fifo->slots(), false) && usable(r) && lock(r, h.pid, false);
    int sent = 0;
    while (const uint8_t* rec = dynkomm_read(fifo)) {
        if (open) sent += appendLocked(r, h, header, rec);
        dynkomm_readdone(fifo);
    }
    if (open) unlock(r);
    return sent;
}

void Dynkom_flush_eth(int mode) {
    const bool online = mode == 0;
    for (uint16_t pid = 0; pid < BC2_PEERS; ++pid) {
        if (pid == app_pid) continue;
        bc2_channel* ch = hosts_list[pid].dk.load();
        if (!ch) continue;
        // The flush serves the buffer of its kind; a peer older than 0x0201 keeps online frames in
        // buffer 0, which the offline flush sends.
        const Route r = routeOf(ch, pid, online ? 1 : 0);
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
                countSent(r);
                break;
            case SendResult::Stale:
                switchHalves(b);
                ++ch->txErr;
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
            case SendResult::Held:
                if (b.state != BC2_SND_SHORT_REPORTED) {
                    syslogx(LOG_PRIO_INFO2,
                            "Dynkom_flush_eth(): pid: 0x%02x, send buffer overrun, req %d only %d "
                            "error_snd_pos %d bytes of dynkom data sent",
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
