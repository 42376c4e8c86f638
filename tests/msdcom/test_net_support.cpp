// Helpers of the network tests (no test cases here).
#include "test_net_support.h"

#include "testsupport.h"

#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

// ---------------------------------------------------------------------------------------------
// Log

LogTap::LogTap() {
    static const bool opened = syslog_init(0);
    (void)opened;
    thread_ = std::thread([this] { run(); });
}

LogTap::~LogTap() {
    stop_ = true;
    thread_.join();
}

void LogTap::run() {
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE_NAME, 0, 0, 0, 0, nullptr);
    SyslogRecord rec;
    while (!stop_) {
        if (q && msgQReceive(q, &rec, sizeof rec, NO_WAIT) == ssize_t(sizeof rec)) {
            std::lock_guard<std::mutex> lk(m_);
            lines_.emplace_back(rec.message);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<std::string> LogTap::lines() {
    std::lock_guard<std::mutex> lk(m_);
    return lines_;
}

int LogTap::count(const std::string& text) {
    std::lock_guard<std::mutex> lk(m_);
    int n = 0;
    for (const auto& l : lines_) n += l.find(text) != std::string::npos;
    return n;
}

bool LogTap::has(const std::string& text) {
    return count(text) > 0;
}

bool LogTap::waitFor(const std::string& text, int timeoutMs) {
    return waitUntil([&] { return has(text); }, timeoutMs);
}

void LogTap::clear() {
    std::lock_guard<std::mutex> lk(m_);
    lines_.clear();
}

bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    return testsupport::waitUntil(pred, timeoutMs);
}

// ---------------------------------------------------------------------------------------------
// Bytes

uint32_t addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

sockaddr_in sockAddr(const char* dotted, uint16_t port) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = addr(dotted);
    s.sin_port = htons(port);
    return s;
}

namespace {
void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = uint8_t(x >> 8);
    v[at + 1] = uint8_t(x);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    put16(v, at, uint16_t(x >> 16));
    put16(v, at + 2, uint16_t(x));
}
void put64(std::vector<uint8_t>& v, size_t at, uint64_t x) {
    put32(v, at, uint32_t(x >> 32));
    put32(v, at + 4, uint32_t(x));
}
} // namespace

std::vector<uint8_t> presenceBytes(const PresenceSpec& p) {
    std::vector<uint8_t> v(60, 0);
    const uint32_t a = addr(p.address);
    std::memcpy(v.data(), &a, 4);
    put16(v, 10, p.pid);
    put32(v, 12, p.timeoutMs);
    put64(v, 24, p.heard);
    put64(v, 32, p.ciMask);
    put64(v, 40, p.dkMask);
    put32(v, 48, 200);
    put32(v, 52, p.seq);
    put16(v, 56, p.version);
    put16(v, 58, p.portOffset);
    return v;
}

std::vector<uint8_t> ciBytes(uint16_t cmd, uint16_t src, uint16_t dst, uint32_t ctx, uint32_t rctx,
                             const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> v(20, 0);
    put16(v, 2, uint16_t(payload.size()));
    put16(v, 4, src);
    put16(v, 6, dst);
    put32(v, 8, ctx);
    put32(v, 12, rctx);
    put16(v, 16, cmd);
    v.insert(v.end(), payload.begin(), payload.end());
    return v;
}

std::vector<uint8_t> dkBytes(uint16_t pid, uint32_t handle, const std::vector<uint8_t>& record) {
    std::vector<uint8_t> v(8, 0);
    put16(v, 0, pid);
    put16(v, 2, uint16_t(record.size()));
    put32(v, 4, handle);
    v.insert(v.end(), record.begin(), record.end());
    return v;
}

// ---------------------------------------------------------------------------------------------
// Peer

namespace {

int udpSocket() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    return s;
}

bool bindTo(int s, const std::string& address, uint16_t port) {
    const sockaddr_in a = sockAddr(address.c_str(), port);
    return bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool readable(int s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

} // namespace

TestPeer::TestPeer(uint16_t pid, const char* address, uint16_t portOffset)
    : pid_(pid), address_(address), offset_(portOffset) {
    presTx_ = udpSocket();
    in_addr ifaddr{};
    ifaddr.s_addr = addr(address);
    setsockopt(presTx_, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr);
    bindTo(presTx_, address_, uint16_t(BC2_PORT_PRESENCE_TX + offset_));
    mcTx_ = udpSocket();
    setsockopt(mcTx_, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr);
    bindTo(mcTx_, address_, 0);
    dkUdp_ = udpSocket();
    bindTo(dkUdp_, address_, uint16_t(BC2_PORT_DK_UDP_RX + offset_));
    dkUdpTx_ = udpSocket();
    bindTo(dkUdpTx_, address_, uint16_t(BC2_PORT_DK_UDP_TX + offset_));
}

TestPeer::~TestPeer() {
    stopAnnouncing();
    for (int* fd : {&presTx_, &presRx_, &ciListen_, &dkListen_, &dkUdp_, &dkUdpTx_, &mcTx_, &ci_, &dk_})
        closeFd(*fd);
}

PresenceSpec TestPeer::spec() const {
    PresenceSpec s;
    s.pid = pid_;
    s.address = address_.c_str();
    s.portOffset = offset_;
    return s;
}

void TestPeer::sendPresence(const PresenceSpec& spec, size_t length) {
    std::vector<uint8_t> v = presenceBytes(spec);
    v.resize(length, 0);
    sendPresenceRaw(v);
}

void TestPeer::sendPresenceRaw(const std::vector<uint8_t>& bytes) {
    const sockaddr_in g = sockAddr(BC2_PRESENCE_GROUP, BC2_PORT_PRESENCE);
    sendto(presTx_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&g), sizeof g);
    lastSent_ = std::chrono::steady_clock::now();
}

void TestPeer::announce(uint16_t devicePid, bool linksUp) {
    PresenceSpec s = spec();
    s.seq = ++seq_;
    s.heard = 1ull << devicePid;
    s.ciMask = 1ull << pid_;
    s.dkMask = 1ull << pid_;
    if (linksUp) {
        s.ciMask |= 1ull << devicePid;
        s.dkMask |= 1ull << devicePid;
    }
    sendPresence(s);
}

void TestPeer::startAnnouncing(uint16_t devicePid) {
    stopAnnouncing();
    announcing_ = true;
    announcer_ = std::thread([this, devicePid] {
        while (announcing_) {
            announce(devicePid, linked_);
            for (int i = 0; i < 20 && announcing_; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
}

void TestPeer::stopAnnouncing() {
    announcing_ = false;
    if (announcer_.joinable()) announcer_.join();
}

bool TestPeer::receivePresence(uint16_t fromPid, std::vector<uint8_t>* bytes, sockaddr_in* from,
                               int timeoutMs) {
    if (presRx_ < 0) {
        presRx_ = udpSocket();
        ip_mreq m{};
        m.imr_multiaddr.s_addr = addr(BC2_PRESENCE_GROUP);
        m.imr_interface.s_addr = addr(address_.c_str());
        setsockopt(presRx_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        const sockaddr_in any = sockAddr("0.0.0.0", BC2_PORT_PRESENCE);
        bind(presRx_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (!readable(presRx_, 20)) continue;
        uint8_t buf[1000];
        sockaddr_in f{};
        socklen_t len = sizeof f;
        const ssize_t n = recvfrom(presRx_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&f), &len);
        if (n >= 12 && uint16_t(buf[10] << 8 | buf[11]) == fromPid) {
            bytes->assign(buf, buf + n);
            if (from) *from = f;
            return true;
        }
    }
    return false;
}

int TestPeer::tcpFrom(uint16_t localPort) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const linger lin{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    bindTo(s, address_, localPort);
    return s;
}

int TestPeer::connectCi(const char* deviceAddr, uint16_t deviceOffset) {
    closeFd(ci_);
    ci_ = tcpFrom(uint16_t(BC2_PORT_CI_ACTIVE + offset_));
    const sockaddr_in d = sockAddr(deviceAddr, uint16_t(BC2_PORT_CI_LISTEN + deviceOffset));
    if (connect(ci_, reinterpret_cast<const sockaddr*>(&d), sizeof d) != 0) closeFd(ci_);
    noteLinks();
    return ci_;
}

int TestPeer::connectDk(const char* deviceAddr, uint16_t deviceOffset) {
    closeFd(dk_);
    dk_ = tcpFrom(uint16_t(BC2_PORT_DK_ACTIVE + offset_));
    const sockaddr_in d = sockAddr(deviceAddr, uint16_t(BC2_PORT_DK_LISTEN + deviceOffset));
    if (connect(dk_, reinterpret_cast<const sockaddr*>(&d), sizeof d) != 0) closeFd(dk_);
    noteLinks();
    return dk_;
}

void TestPeer::listen() {
    ciListen_ = tcpFrom(uint16_t(BC2_PORT_CI_LISTEN + offset_));
    dkListen_ = tcpFrom(uint16_t(BC2_PORT_DK_LISTEN + offset_));
    ::listen(ciListen_, 4);
    ::listen(dkListen_, 4);
}

int TestPeer::acceptCi(int timeoutMs, sockaddr_in* from) {
    if (!readable(ciListen_, timeoutMs)) return -1;
    sockaddr_in f{};
    socklen_t len = sizeof f;
    closeFd(ci_);
    ci_ = accept4(ciListen_, reinterpret_cast<sockaddr*>(&f), &len, SOCK_CLOEXEC);
    if (from) *from = f;
    noteLinks();
    return ci_;
}

int TestPeer::acceptDk(int timeoutMs, sockaddr_in* from) {
    if (!readable(dkListen_, timeoutMs)) return -1;
    sockaddr_in f{};
    socklen_t len = sizeof f;
    closeFd(dk_);
    dk_ = accept4(dkListen_, reinterpret_cast<sockaddr*>(&f), &len, SOCK_CLOEXEC);
    if (from) *from = f;
    noteLinks();
    return dk_;
}

bool TestPeer::sendAll(int sock, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool TestPeer::receiveExact(int sock, uint8_t* out, size_t n, int timeoutMs) {
    size_t got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got < n) {
        const int left = int(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count());
        if (left <= 0 || !readable(sock, left)) return false;
        const ssize_t r = recv(sock, out + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

bool TestPeer::receiveCi(int sock, std::vector<uint8_t>* msg, int timeoutMs) {
    uint8_t hdr[20];
    if (!receiveExact(sock, hdr, sizeof hdr, timeoutMs)) return false;
    const size_t len = size_t(hdr[2] << 8 | hdr[3]);
    msg->assign(hdr, hdr + 20);
    msg->resize(20 + len);
    return len == 0 || receiveExact(sock, msg->data() + 20, len, timeoutMs);
}

bool TestPeer::linkClosed(int sock, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (!readable(sock, 20)) continue;
        uint8_t buf[256];
        const ssize_t r = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN)) return true;
    }
    return false;
}

bool TestPeer::receiveDkDatagram(std::vector<uint8_t>* out, int timeoutMs) {
    if (!readable(dkUdp_, timeoutMs)) return false;
    uint8_t buf[2000];
    const ssize_t n = recv(dkUdp_, buf, sizeof buf, 0);
    if (n < 0) return false;
    out->assign(buf, buf + n);
    return true;
}

void TestPeer::sendDkDatagram(const char* deviceAddr, const std::vector<uint8_t>& bytes,
                              uint16_t deviceOffset) {
    const sockaddr_in d = sockAddr(deviceAddr, uint16_t(BC2_PORT_DK_UDP_RX + deviceOffset));
    sendto(dkUdpTx_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d), sizeof d);
}

void TestPeer::sendCiMulticast(const std::vector<uint8_t>& bytes) {
    const sockaddr_in g = sockAddr(BC2_CI_MC_GROUP, BC2_PORT_CI_MC);
    sendto(mcTx_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&g), sizeof g);
}

} // namespace nettest
