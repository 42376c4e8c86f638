// The DK link and the CI link against raw sockets, side by side in one run, over loopback.
//
// The receiving device is a child process (PID 7): its DK link receiver (TCP) and DK UDP listener
// write into a queue-mode FIFO; its CI link receiver and command task answer bounce requests
// (0x0105).
// The sending device (this process, PID 16) runs the serial-network sender, the two-half send
// buffers and the flush. Each DK batch moves one FIFO's worth of records (filled before the
// clock runs) and ends when the last record is in the receiving FIFO; with the clock stopped they
// are then taken out and checked (in order, unchanged). The raw sockets carry
// the same bytes in the same 1440-byte pieces (36 frames of 8 + 32 bytes) to a plain reader and end
// when the last byte is in. UDP senders keep at most a window of records in flight, as the socket
// buffers would otherwise drop datagrams. After each benchmark the records, frames and FIFO slots
// are checked: none lost, none changed.
//
// Comparisons, each inside one benchmark where the DK transfer and its raw baselines take turns
// batch by batch: DK over TCP against a raw TCP socket with the link's socket options (23360-byte
// buffers, no delay) and against one with no delay and the system's buffer sizes; DK over TCP on a
// connection with no delay and the system's buffer sizes against a raw socket set up alike; DK over
// UDP against raw UDP datagrams, and (a cross-protocol row, not like for like) against the raw TCP
// socket with the link's options; CI request to answer against a raw TCP echo of the same 28 bytes.
#include "bench_seconds.h"
#include "framework/appman.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/net_init.h"
#include "msdcom/network/sernet_man.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <netinet/tcp.h>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t kSender = 16, kReceiver = 7;
constexpr uint16_t kRecord = 32; // time stamp and seven values
constexpr size_t kFrame = DK_HEADER_SIZE + kRecord;
constexpr size_t kPiece = 36 * kFrame; // frames per send buffer half
constexpr uint16_t kOffset = 20000;    // DivoVur2 port offset of both devices
constexpr uint16_t kDkTcpPort = BC2_PORT_DK_LISTEN + kOffset, kDkUdpPort = BC2_PORT_DK_UDP_RX + kOffset;
constexpr uint16_t kCiPort = BC2_PORT_CI_LISTEN + kOffset, kDkSysPort = 29900;
constexpr uint16_t kRawPort = 29901, kRawNoDelayPort = 29902, kRawUdpPort = 29903, kEchoPort = 29904;
constexpr uint16_t kDepth = 32768;    // receiving and source FIFO slots
constexpr uint32_t kBatch = kDepth;   // records per DK iteration: never more than the FIFO holds
constexpr uint64_t kUdpWindow = 2048; // records in flight over UDP
constexpr size_t kCiPayload = 8;
constexpr auto kDeadline = std::chrono::seconds(5);

// What the receiving device tells the sender, in memory shared across the fork; each counter on
// a cache line of its own, so that the sender's polling does not slow its writer down.
struct alignas(64) Count {
    std::atomic<uint64_t> v{0};
};
struct Shared {
    Count written;  // slots written into the receiving FIFO (the transfer ends here)
    Count checkTo;  // the sender asks for the records up to here to be checked
    Count records;  // checked and taken from the receiving FIFO
    Count changed;  // of them out of order or not as sent
    Count frames;   // DK frames counted by the link receivers (16-bit counters)
    Count rxErrors; // errors counted by the link receivers
    Count rawBytes, rawNoDelayBytes, rawUdpBytes;
    Count handle; // of the receiving FIFO
};
Shared* gShared = nullptr;

sockaddr_in loop(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

void bindTo(int fd, uint16_t port) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = loop(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bind");
        _exit(2);
    }
}

int listenOn(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    bindTo(fd, port);
    listen(fd, 4);
    return fd;
}

int udpOn(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int big = 4 << 20; // as much as the system allows
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    bindTo(fd, port);
    return fd;
}

// A link's socket options, or only no delay (the system's buffer sizes).
int connectTo(uint16_t port, bool linkOptions) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (linkOptions)
        bc2_set_tcp_options(fd, "bench");
    else
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in a = loop(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(2);
    }
    return fd;
}

// The bytes of record `seq`: its number, then a pattern that follows from it.
void fillRecord(uint8_t* r, uint32_t seq) {
    std::memcpy(r, &seq, 4);
    for (uint32_t i = 4; i < kRecord; ++i) r[i] = uint8_t(seq * 7u + i);
}
bool recordIs(const uint8_t* r, uint32_t seq) {
    uint8_t want[kRecord];
    fillRecord(want, seq);
    return std::memcmp(r, want, kRecord) == 0;
}

void countBytes(int fd, std::atomic<uint64_t>* total) {
    std::vector<uint8_t> buf(65536);
    uint64_t n = 0;
    for (;;) {
        const ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0) return;
        n += uint64_t(r);
        total->store(n, std::memory_order_release);
    }
}

// ---------------------------------------------------------------------------------------------
// The receiving device

[[noreturn]] void receiver(int lifeline) {
    app_pid = kReceiver;
    routing_ini();
    dynkomm_ini();
    comint_ini();
    net_ini();
    BC2_create_channel_config(&hosts_list[BC2_MC_ENTRY], BC2_CHAN_CI); // the command task serves
    routing_set_table_entries(routing_entry{ROUTE_ETH, INADDR_LOOPBACK}, kSender, kSender);
    bc2_host& peer = hosts_list[kSender];
    peer.fromAddr.store(htonl(INADDR_LOOPBACK));
    peer.portOffset.store(kOffset);
    peer.version.store(0x0204);
    dynkomm_fifo* fifo = SerNet_man_reserve(kRecord, kDepth, DYNKOMM_FLAG_QUEUE, 0, kSender, 0);
    const uint32_t handle = dynkomm_get_magic();
    dynkomm_fifo_set(handle, fifo);
    bc2_channel* dk = BC2_create_channel_config(&peer, BC2_CHAN_DK);
    bc2_channel* ci = BC2_create_channel_config(&peer, BC2_CHAN_CI);

    const int lDk = listenOn(kDkTcpPort), lDkSys = listenOn(kDkSysPort), lCi = listenOn(kCiPort),
              lRaw = listenOn(kRawPort), lNoDelay = listenOn(kRawNoDelayPort), lEcho = listenOn(kEchoPort);
    const int udpDk = udpOn(kDkUdpPort), udpRaw = udpOn(kRawUdpPort);
    gShared->handle.v.store(handle, std::memory_order_release);

    auto acceptLink = [](int l, bool linkOptions) {
        const int fd = accept(l, nullptr, nullptr);
        if (linkOptions) bc2_set_tcp_options(fd, "bench"); // as the passive side of a link does
        return fd;
    };
    const int dkSock = acceptLink(lDk, true), dkSysSock = acceptLink(lDkSys, false);
    const int ciSock = acceptLink(lCi, true);
    const int raw = acceptLink(lRaw, true), noDelay = acceptLink(lNoDelay, false),
              echo = acceptLink(lEcho, true);
    dk->sock.store(dkSock);
    // The same link's receiver on a connection with the system's buffer sizes.
    auto* dkSys = new bc2_channel;
    dkSys->type = BC2_CHAN_DK;
    dkSys->pid = kSender;
    ci->sock.store(ciSock);

    // The receivers write the FIFO and tell the sender how far it is written.
    auto published = [fifo] {
        gShared->written.v.store(fifo->write_index.load(), std::memory_order_release);
    };
    // Tells the sender the link receivers' counts, and when asked (with the clock stopped) takes
    // the records out of the receiving FIFO, checking each.
    std::thread checker([&] {
        uint64_t n = 0, bad = 0;
        for (;;) {
            gShared->frames.v.store(uint16_t(dk->rxFrames.load() + dkSys->rxFrames.load()));
            gShared->rxErrors.v.store(dk->rxErr.load() + dkSys->rxErr.load());
            const uint64_t to = gShared->checkTo.v.load(std::memory_order_acquire);
            if (n < to) {
                while (n < to) {
                    const uint8_t* r = dynkomm_read(fifo);
                    if (!r) break;
                    if (!recordIs(r, uint32_t(n))) ++bad;
                    dynkomm_readdone(fifo);
                    ++n;
                }
                gShared->changed.v.store(bad, std::memory_order_relaxed);
                gShared->records.v.store(n, std::memory_order_release);
            }
            std::this_thread::yield();
        }
    });
    std::thread dkRx([&] {
        bc2_dk_rx_reset(dk);
        while (bc_dk_receive(dk, dkSock)) published();
    });
    std::thread dkSysRx([&] {
        bc2_dk_rx_reset(dkSys);
        while (bc_dk_receive(dkSys, dkSysSock)) published();
    });
    std::thread udpRx([&] {
        uint8_t buf[DK_DATAGRAM_MAX];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(udpDk, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            bc2_dk_datagram(buf, size_t(n), from);
            published();
        }
    });
    std::thread ciRx([&] {
        while (bc_ci_receive(ci, ciSock)) {
        }
    });
    std::thread rawRx([&] { countBytes(raw, &gShared->rawBytes.v); });
    std::thread noDelayRx([&] { countBytes(noDelay, &gShared->rawNoDelayBytes.v); });
    std::thread rawUdpRx([&] {
        std::vector<uint8_t> buf(65536);
        uint64_t n = 0;
        for (;;) {
            const ssize_t r = recv(udpRaw, buf.data(), buf.size(), 0);
            if (r > 0) gShared->rawUdpBytes.v.store(n += uint64_t(r), std::memory_order_release);
        }
    });
    std::thread echoer([&] {
        uint8_t m[CI_HDR_LEN + kCiPayload];
        for (;;) {
            size_t got = 0;
            while (got < sizeof m) {
                const ssize_t r = recv(echo, m + got, sizeof m - got, 0);
                if (r <= 0) return;
                got += size_t(r);
            }
            send(echo, m, sizeof m, MSG_NOSIGNAL);
        }
    });
    // Ends with the sender.
    char c;
    while (read(lifeline, &c, 1) > 0) {
    }
    _exit(0);
}

// ---------------------------------------------------------------------------------------------
// The sending device

bc2_channel* gCh = nullptr;
dynkomm_fifo* gSource = nullptr;
int gDkLink = -1, gDkSys = -1; // DK link connections: the link's socket options, the system's buffers
int gRaw = -1, gRawNoDelay = -1, gRawUdp = -1, gCi = -1, gEcho = -1;
uint32_t gSeq = 0;        // next record number
uint64_t gTcpRecords = 0; // records sent over the TCP link, for the frame count

void setUpSender() {
    app_pid = kSender;
    routing_ini();
    dynkomm_ini();
    SerNet_man_ini();
    hosts_list[kReceiver].version.store(0x0204);
    routing_set_table_entries(routing_entry{ROUTE_ETH, INADDR_LOOPBACK}, kReceiver, kReceiver); // online: UDP
    while (gShared->handle.v.load(std::memory_order_acquire) == 0) std::this_thread::yield();
    gCh = BC2_create_channel_config(&hosts_list[kReceiver], BC2_CHAN_DK);
    gCh->peerUdp = loop(kDkUdpPort);
    gDkLink = connectTo(kDkTcpPort, true);
    gDkSys = connectTo(kDkSysPort, false);
    gCi = connectTo(kCiPort, true);
    gRaw = connectTo(kRawPort, true);
    gRawNoDelay = connectTo(kRawNoDelayPort, false);
    gEcho = connectTo(kEchoPort, true);
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    bindTo(udp, uint16_t(BC2_PORT_DK_UDP_TX + kOffset)); // the receiver knows the sender by this port
    udp_tx_socket.store(udp);
    gRawUdp = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loop(kRawUdpPort);
    connect(gRawUdp, reinterpret_cast<const sockaddr*>(&to), sizeof to);

    dynkomm_fifo_params p;
    p.peer = gShared->handle.v.load();
    p.src_pid = kSender;
    p.dst_pid = kReceiver;
    p.depth = kDepth;
    p.slot_size = kRecord;
    p.raster = 0;
    p.flags = DYNKOMM_FLAG_QUEUE;
    gSource = dynkomm_fifo_new(p);
}

void fillSource(uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t* s = dynkomm_write(gSource);
        if (!s) std::abort(); // the source holds one batch
        fillRecord(s, gSeq++);
        dynkomm_writedone(gSource);
    }
}

// Waits until `counter` reaches `target`; false after the deadline.
bool reach(const std::atomic<uint64_t>& counter, uint64_t target) {
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (counter.load(std::memory_order_acquire) < target) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}

// Takes the records sent so far out of the receiving FIFO, checking each (clock stopped).
void takeRecords() {
    gShared->checkTo.v.store(gSeq, std::memory_order_release);
    reach(gShared->records.v, gSeq);
}

// The end of a DK benchmark: every record sent came out of the receiving FIFO, in order and
// unchanged; the FIFO's slots were written exactly that often; the link counted every frame.
void checkRecords(benchmark::State& state) {
    takeRecords();
    const uint64_t sent = gSeq;
    const uint64_t lost = sent - gShared->records.v.load();
    const uint64_t changed = gShared->changed.v.load();
    bool slotsOk = false, framesOk = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < until && !(slotsOk && framesOk)) {
        slotsOk = gShared->written.v.load() == sent;
        framesOk = gShared->frames.v.load() == uint16_t(gTcpRecords) && gShared->rxErrors.v.load() == 0;
        std::this_thread::yield();
    }
    state.counters["lost"] = double(lost);
    state.counters["changed"] = double(changed);
    if (lost || changed || !slotsOk || !framesOk) {
        static char text[200];
        std::snprintf(text, sizeof text,
                      "%llu records lost, %llu changed; FIFO slots written %llu of %llu; link frames %u of "
                      "%u, %u errors",
                      (unsigned long long)lost, (unsigned long long)changed,
                      (unsigned long long)gShared->written.v.load(), (unsigned long long)sent,
                      unsigned(gShared->frames.v.load()), unsigned(uint16_t(gTcpRecords)),
                      unsigned(gShared->rxErrors.v.load()));
        state.SkipWithError(text);
    }
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One batch over the DK link by TCP: seconds until the last record is in the receiving FIFO, or a
// negative value when it is not there by the deadline. The source is filled before the clock runs.
double dkTcpBatch() {
    takeRecords();
    fillSource(kBatch);
    const uint64_t target = gSeq;
    const auto t0 = std::chrono::steady_clock::now();
    SerNet_man_sender_offline(0);
    SerNet_man_flush_offline();
    if (!reach(gShared->written.v, target)) return -1;
    gTcpRecords += kBatch;
    return since(t0);
}

// One batch over the DK link by UDP, at most a window of records in flight.
double dkUdpBatch() {
    uint8_t hdr[DK_HEADER_SIZE];
    dk_encodeHeader(DkHeader{kReceiver, kRecord, uint32_t(gShared->handle.v.load())}, hdr);
    takeRecords();
    fillSource(kBatch);
    const uint64_t target = gSeq;
    uint64_t sent = target - kBatch;
    const auto t0 = std::chrono::steady_clock::now();
    while (const uint8_t* rec = dynkomm_read(gSource)) {
        // Datagrams beyond the window would be dropped by the receiver's socket.
        if (++sent % 256 == 0)
            while (sent - gShared->written.v.load(std::memory_order_acquire) > kUdpWindow)
                std::this_thread::yield();
        dyncom_send_eth_online(hdr, rec);
        dynkomm_readdone(gSource);
    }
    SerNet_man_flush_online();
    if (!reach(gShared->written.v, target)) return -1;
    return since(t0);
}

// The same bytes as a DK batch, in the same pieces, over a raw TCP socket.
double rawTcpBatch(int fd, std::atomic<uint64_t>* received) {
    static const std::vector<uint8_t> piece(kPiece, 0x5A);
    const uint64_t bytes = uint64_t(kBatch) * kFrame;
    const uint64_t target = received->load() + bytes;
    const auto t0 = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; sent < bytes;) {
        const size_t n = size_t(std::min<uint64_t>(piece.size(), bytes - sent));
        const ssize_t w = send(fd, piece.data(), n, MSG_NOSIGNAL);
        if (w <= 0) return -1;
        sent += uint64_t(w);
    }
    if (!reach(*received, target)) return -1;
    return since(t0);
}

// The same bytes as raw UDP datagrams of the same pieces, with the same window.
double rawUdpBatch() {
    static const std::vector<uint8_t> piece(kPiece, 0x5A);
    const uint64_t bytes = uint64_t(kBatch) * kFrame, window = kUdpWindow * kFrame;
    const uint64_t start = gShared->rawUdpBytes.v.load(), target = start + bytes;
    const auto t0 = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; sent < bytes;) {
        while (start + sent - gShared->rawUdpBytes.v.load(std::memory_order_acquire) > window)
            std::this_thread::yield();
        const size_t n = size_t(std::min<uint64_t>(piece.size(), bytes - sent));
        if (send(gRawUdp, piece.data(), n, 0) != ssize_t(n)) continue;
        sent += n;
    }
    if (!reach(gShared->rawUdpBytes.v, target)) return -1;
    return since(t0);
}

struct Side {
    const char* name; // counter names: <name>_records_per_s, and ratio_to_<name> for the baselines
    std::function<double()> batch;
};

// The DK transfer and its raw baselines take turns batch by batch in one loop, the order rotating
// from iteration to iteration, so that a change of the machine's load falls on all alike. Each
// batch is timed by the wall clock (the transfer runs in other threads and in the other process).
// Reports the median records per second of each and the medians of the iterations' ratios of the
// DK transfer's rate to each baseline's.
void interleaved(benchmark::State& state, const std::vector<Side>& sides) {
    const size_t kinds = sides.size();
    std::vector<std::vector<double>> seconds(kinds), ratios(kinds);
    size_t round = 0;
    for (auto _ : state) {
        std::vector<double> t(kinds);
        for (size_t k = 0; k < kinds; ++k) {
            const size_t which = (round + k) % kinds;
            t[which] = sides[which].batch();
            if (t[which] < 0) {
                state.SkipWithError((std::string(sides[which].name) + ": not all delivered").c_str());
                return;
            }
        }
        ++round;
        for (size_t k = 0; k < kinds; ++k) {
            seconds[k].push_back(t[k]);
            if (k > 0) ratios[k].push_back(t[k] / t[0]);
        }
    }
    for (size_t k = 0; k < kinds; ++k) {
        state.counters[std::string(sides[k].name) + "_records_per_s"] =
            double(kBatch) / msdbench::Median(seconds[k]);
        if (k > 0) state.counters[std::string("ratio_to_") + sides[k].name] = msdbench::Median(ratios[k]);
    }
}

void useDkSocket(int sock) {
    if (semTake(gCh->io, WAIT_FOREVER) == OK) {
        bc2_swap_socket_locked(gCh, sock);
        semGive(gCh->io);
    }
}

// DK over TCP on a link with its socket options, against raw TCP sockets with the link's options
// and with no delay and the system's buffer sizes.
void BM_DkTcp(benchmark::State& state) {
    useDkSocket(gDkLink);
    SerNet_man_start_sending(gSource);
    interleaved(state,
                {{"dk_tcp", dkTcpBatch},
                 {"raw_tcp_link_options", [] { return rawTcpBatch(gRaw, &gShared->rawBytes.v); }},
                 {"raw_tcp_nodelay", [] { return rawTcpBatch(gRawNoDelay, &gShared->rawNoDelayBytes.v); }}});
    SerNet_man_stop_sending(gSource);
    checkRecords(state);
}

// The same DK link on a connection with no delay and the system's buffer sizes, against a raw
// socket set up alike.
void BM_DkTcpSystemBuffers(benchmark::State& state) {
    useDkSocket(gDkSys);
    SerNet_man_start_sending(gSource);
    interleaved(state,
                {{"dk_tcp_system_buffers", dkTcpBatch},
                 {"raw_tcp_nodelay", [] { return rawTcpBatch(gRawNoDelay, &gShared->rawNoDelayBytes.v); }}});
    SerNet_man_stop_sending(gSource);
    checkRecords(state);
}

// DK over UDP against raw UDP datagrams; and, across protocols, against a raw TCP socket with the
// link's options ("ratio_to_raw_tcp_cross_protocol": UDP records against TCP bytes, not like for
// like).
void BM_DkUdp(benchmark::State& state) {
    interleaved(state, {{"dk_udp", dkUdpBatch},
                        {"raw_udp", rawUdpBatch},
                        {"raw_tcp_cross_protocol", [] { return rawTcpBatch(gRaw, &gShared->rawBytes.v); }}});
    checkRecords(state);
}

bool readExact(int fd, uint8_t* out, size_t n) {
    for (size_t got = 0; got < n;) {
        const ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

constexpr int kRoundTrips = 200; // per block

// Requests over the CI link (0x0105 bounce to the receiving device, served by its command task) and
// their answers (0x0106 with the same payload).
double ciBlock() {
    comint_msg m;
    uint8_t answer[CI_HDR_LEN + kCiPayload];
    static uint32_t n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
        ci_init(&m, 0x0105, kSender, kReceiver, 0x11, 0x22, kCiPayload);
        ci_put32(m.data, ++n);
        ci_put32(m.data + 4, ~n);
        send(gCi, &m, ci_wire_len(&m), MSG_NOSIGNAL);
        // The command word is at byte 16 of the header, big-endian.
        if (!readExact(gCi, answer, sizeof answer) || (answer[16] << 8 | answer[17]) != 0x0106 ||
            std::memcmp(answer + CI_HDR_LEN, m.data, kCiPayload) != 0)
            return -1;
    }
    return since(t0);
}

// A raw TCP echo of the same 28 bytes.
double echoBlock() {
    uint8_t out[CI_HDR_LEN + kCiPayload] = {}, back[sizeof out];
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kRoundTrips; ++i) {
        send(gEcho, out, sizeof out, MSG_NOSIGNAL);
        if (!readExact(gEcho, back, sizeof back)) return -1;
    }
    return since(t0);
}

// The CI request and the raw echo take turns block by block; medians of the answers per second and
// of the blocks' ratios.
void BM_CiRequestAnswer(benchmark::State& state) {
    std::vector<double> ci, echo, ratio;
    for (auto _ : state) {
        double c, e;
        if (ci.size() % 2) {
            c = ciBlock();
            e = echoBlock();
        } else {
            e = echoBlock();
            c = ciBlock();
        }
        if (c < 0 || e < 0) {
            state.SkipWithError(c < 0 ? "no answer, or not the request's" : "no echo");
            return;
        }
        ci.push_back(c);
        echo.push_back(e);
        ratio.push_back(e / c);
    }
    state.counters["ci_answers_per_s"] = kRoundTrips / msdbench::Median(ci);
    state.counters["raw_echo_answers_per_s"] = kRoundTrips / msdbench::Median(echo);
    state.counters["ratio_to_raw_echo"] = msdbench::Median(ratio);
}

BENCHMARK(BM_DkTcp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DkTcpSystemBuffers)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DkUdp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CiRequestAnswer)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return 1;
    gShared = new (mem) Shared{};
    int lifeline[2];
    if (pipe(lifeline) != 0) return 1;
    // The child is forked before any thread exists.
    const pid_t child = fork();
    if (child == 0) {
        close(lifeline[1]);
        receiver(lifeline[0]);
    }
    close(lifeline[0]);
    setUpSender();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    close(lifeline[1]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 0;
}
