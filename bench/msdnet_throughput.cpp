// Records per second through the DK link. The receiving device is a child process (PID 7) whose
// link receivers (TCP and UDP) write into a queue-mode FIFO drained by a reader thread; the
// sending device (this process, PID 16) runs the serial-network sender, the two-half send
// buffers and the flush. The comparison is a raw loopback TCP socket that carries the same bytes
// in the same 1472-byte pieces to a plain reader. Loopback only.
#include "framework/appman.h"
#include "msdcom/bc2_internal.h"
#include "msdcom/dynkomm.h"
#include "msdcom/routing.h"
#include "msdcom/sernet_man.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint16_t kSender = 16, kReceiver = 7;
constexpr uint16_t kRecord = 32; // time stamp and seven values
constexpr uint16_t kTcpPort = 29861, kUdpPort = 29852, kRawPort = 29870;
constexpr int kBatch = 20000; // records per measured run

int gCtl[2]; // parent -> child: commands; child -> parent: counts
pid_t gChild = -1;
uint32_t gHandle = 0; // the receiving FIFO's handle on the child

sockaddr_in loop(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// ---------------------------------------------------------------------------------------------
// The receiving device

[[noreturn]] void receiver() {
    app_pid = kReceiver;
    dynkomm_ini();
    dynkomm_fifo* fifo = SerNet_man_reserve(kRecord, 512, DYNKOMM_FLAG_QUEUE, 0, kSender, 0);
    gHandle = dynkomm_get_magic();
    dynkomm_fifo_set(gHandle, fifo);
    bc2_channel* ch = BC2_create_channel_config(&hosts_list[kSender], BC2_CHAN_DK);

    std::atomic<uint64_t> records{0}, rawBytes{0};
    std::thread reader([&] {
        for (;;) {
            if (dynkomm_read(fifo)) {
                dynkomm_readdone(fifo);
                ++records;
            } else {
                std::this_thread::yield();
            }
        }
    });
    const int on = 1;
    const int lt = socket(AF_INET, SOCK_STREAM, 0), lr = socket(AF_INET, SOCK_STREAM, 0);
    const int u = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(lt, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(lr, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int big = 4 << 20;
    setsockopt(u, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a = loop(kTcpPort);
    bind(lt, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a = loop(kRawPort);
    bind(lr, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a = loop(kUdpPort);
    bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(lt, 1);
    listen(lr, 1);
    write(gCtl[1], &gHandle, sizeof gHandle);
    const int tcp = accept(lt, nullptr, nullptr);
    const int raw = accept(lr, nullptr, nullptr);
    std::thread tcpRx([&] {
        while (bc_dk_receive(ch, tcp)) {
        }
    });
    std::thread udpRx([&] {
        uint8_t buf[DK_DATAGRAM_MAX];
        for (;;) {
            const ssize_t n = recv(u, buf, sizeof buf, 0);
            if (n > 0) bc2_dk_datagram(buf, size_t(n));
        }
    });
    std::thread rawRx([&] {
        uint8_t buf[65536];
        for (;;) {
            const ssize_t n = recv(raw, buf, sizeof buf, 0);
            if (n <= 0) break;
            rawBytes += uint64_t(n);
        }
    });
    // Each command byte asks for the counts.
    char c;
    while (read(gCtl[1], &c, 1) == 1) {
        const uint64_t counts[2] = {records.load(), rawBytes.load()};
        write(gCtl[1], counts, sizeof counts);
    }
    _exit(0);
}

void counts(uint64_t* records, uint64_t* rawBytes) {
    const char c = 'c';
    write(gCtl[0], &c, 1);
    uint64_t v[2];
    read(gCtl[0], v, sizeof v);
    *records = v[0];
    *rawBytes = v[1];
}

// Waits until the receiver's count reaches `target` or stops moving for 200 ms.
uint64_t settle(bool raw, uint64_t target) {
    uint64_t last = ~0ull, now = 0, same = 0;
    for (;;) {
        uint64_t r, b;
        counts(&r, &b);
        now = raw ? b : r;
        if (now >= target) return now;
        same = now == last ? same + 1 : 0;
        if (same > 200) return now;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// ---------------------------------------------------------------------------------------------
// The sending device

bc2_channel* gCh = nullptr;
dynkomm_fifo* gSource = nullptr;
int gRaw = -1;

void setUpSender() {
    app_pid = kSender;
    routing_ini();
    dynkomm_ini();
    SerNet_man_ini();
    hosts_list[kReceiver].version.store(0x0204);
    routing_set_table_entries(routing_entry{ROUTE_ETH, INADDR_LOOPBACK}, kReceiver, kReceiver);
    gCh = BC2_create_channel_config(&hosts_list[kReceiver], BC2_CHAN_DK);
    gCh->peerUdp = loop(kUdpPort);
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    bc2_set_tcp_options(tcp, "bench");
    sockaddr_in a = loop(kTcpPort);
    connect(tcp, reinterpret_cast<sockaddr*>(&a), sizeof a);
    gCh->sock.store(tcp);
    udp_tx_socket.store(socket(AF_INET, SOCK_DGRAM, 0));
    gRaw = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(gRaw, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    a = loop(kRawPort);
    connect(gRaw, reinterpret_cast<sockaddr*>(&a), sizeof a);

    dynkomm_fifo_params p;
    p.peer = gHandle;
    p.src_pid = kSender;
    p.dst_pid = kReceiver;
    p.depth = 512;
    p.slot_size = kRecord;
    p.raster = 0;
    p.flags = DYNKOMM_FLAG_QUEUE;
    gSource = dynkomm_fifo_new(p);
}

void fill(int n, uint32_t* seq) {
    for (int i = 0; i < n; ++i) {
        uint8_t* s = dynkomm_write(gSource);
        if (!s) return;
        std::memcpy(s, seq, 4);
        ++*seq;
        dynkomm_writedone(gSource);
    }
}

void BM_DkLinkTcp(benchmark::State& state) {
    uint32_t seq = 0;
    uint64_t delivered = 0;
    SerNet_man_start_sending(gSource);
    for (auto _ : state) {
        uint64_t before, raw;
        counts(&before, &raw);
        for (int sent = 0; sent < kBatch; sent += 256) {
            fill(256, &seq);
            SerNet_man_sender_offline(0);
            SerNet_man_flush_offline();
        }
        delivered += settle(false, before + kBatch) - before;
    }
    SerNet_man_stop_sending(gSource);
    state.counters["records/s"] = benchmark::Counter(double(delivered), benchmark::Counter::kIsRate);
    state.counters["delivered"] = double(delivered) / double(state.iterations() * kBatch);
}

void BM_DkLinkUdp(benchmark::State& state) {
    uint32_t seq = 0;
    uint64_t delivered = 0;
    uint8_t hdr[DK_HEADER_SIZE];
    dk_encodeHeader(DkHeader{kReceiver, kRecord, gHandle}, hdr);
    for (auto _ : state) {
        uint64_t before, raw;
        counts(&before, &raw);
        for (int sent = 0; sent < kBatch; sent += 128) {
            fill(128, &seq);
            while (const uint8_t* rec = dynkomm_read(gSource)) {
                dyncom_send_eth_online(hdr, rec);
                dynkomm_readdone(gSource);
            }
            SerNet_man_flush_online();
            // The receiving FIFO has 512 slots; a UDP sender cannot be held back, so give the
            // reader the time a 10 ms send cycle would.
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        delivered += settle(false, before + kBatch) - before;
    }
    state.counters["records/s"] = benchmark::Counter(double(delivered), benchmark::Counter::kIsRate);
    state.counters["delivered"] = double(delivered) / double(state.iterations() * kBatch);
}

void BM_RawLoopbackTcp(benchmark::State& state) {
    // The same bytes: frames of 8 + 32 bytes, 36 to a 1472-byte piece.
    std::vector<uint8_t> piece(36 * (DK_HEADER_SIZE + kRecord), 0x5A);
    const uint64_t bytes = uint64_t(kBatch) * (DK_HEADER_SIZE + kRecord);
    uint64_t records = 0;
    for (auto _ : state) {
        uint64_t r, before;
        counts(&r, &before);
        for (uint64_t sent = 0; sent < bytes;) {
            const size_t n = std::min<uint64_t>(piece.size(), bytes - sent);
            const ssize_t w = send(gRaw, piece.data(), n, 0);
            if (w <= 0) break;
            sent += uint64_t(w);
        }
        records += (settle(true, before + bytes) - before) / (DK_HEADER_SIZE + kRecord);
    }
    state.counters["records/s"] = benchmark::Counter(double(records), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DkLinkTcp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DkLinkUdp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawLoopbackTcp)->Unit(benchmark::kMillisecond)->UseRealTime();

// Reports each DK run next to the raw socket run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("records/s");
            if (it == r.counters.end()) continue;
            const std::string name = r.benchmark_name();
            if (name.find("Raw") != std::string::npos)
                raw_ = it->second.value;
            else
                dk_[name] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [name, rate] : dk_)
            if (raw_ > 0)
                std::printf("%s: %.0f records/s, %.2f x the raw loopback socket (%.0f records/s)\n",
                            name.c_str(), rate, rate / raw_, raw_);
    }

private:
    double raw_ = 0;
    std::map<std::string, double> dk_;
};

} // namespace

int main(int argc, char** argv) {
    // The child is forked before any thread exists.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, gCtl) != 0) return 1;
    gChild = fork();
    if (gChild == 0) {
        close(gCtl[0]);
        receiver();
    }
    close(gCtl[1]);
    if (read(gCtl[0], &gHandle, sizeof gHandle) != ssize_t(sizeof gHandle)) return 1;
    setUpSender();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    kill(gChild, SIGKILL);
    waitpid(gChild, nullptr, 0);
    return 0;
}
