#include "pctool.h"

#include "bytes.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {
namespace {

sockaddr_in at(const char* address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

bool readExact(int fd, uint8_t* out, size_t n, int timeoutMs) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        const ssize_t r = recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

int remainingMs(std::chrono::steady_clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

} // namespace

PcTool::PcTool(uint16_t toolPid, const char* toolAddress, uint16_t devicePid)
    : toolPid_(toolPid), toolAddr_(toolAddress), devPid_(devicePid) {
    const int on = 1;
    in_addr me{};
    inet_pton(AF_INET, toolAddress, &me);
    presTx_ = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(presTx_, IPPROTO_IP, IP_MULTICAST_IF, &me, sizeof me);
    const sockaddr_in local = at(toolAddress, 9851);
    bind(presTx_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    presRx_ = socket(AF_INET, SOCK_DGRAM, 0);
    setsockopt(presRx_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    ip_mreq m{};
    inet_pton(AF_INET, "239.239.239.200", &m.imr_multiaddr);
    m.imr_interface = me;
    setsockopt(presRx_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    const sockaddr_in any = at("0.0.0.0", 9850);
    bind(presRx_, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    dkUdp_ = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in dkLocal = at(toolAddress, 9852);
    bind(dkUdp_, reinterpret_cast<const sockaddr*>(&dkLocal), sizeof dkLocal);
    const int rcvbuf = 4 << 20;
    setsockopt(dkUdp_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    dkUdpTx_ = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in dkTx = at(toolAddress, 9853);
    bind(dkUdpTx_, reinterpret_cast<const sockaddr*>(&dkTx), sizeof dkTx);
}

PcTool::~PcTool() {
    stop_ = true;
    if (announcer_.joinable()) announcer_.join();
    for (int fd : {presTx_, presRx_, ci_, dk_, dkUdp_, dkUdpTx_})
        if (fd >= 0) close(fd);
}

bool PcTool::hear(uint16_t pid, std::string* address, uint16_t* version, uint16_t* offset, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{presRx_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        uint8_t r[1000];
        const ssize_t n = recv(presRx_, r, sizeof r, 0);
        if (n < 60 || get16(r + 10) != pid) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, r, text, sizeof text);
        *address = text;
        *version = get16(r + 56);
        *offset = get16(r + 58);
        return true;
    }
    return false;
}

void PcTool::announce() {
    announcer_ = std::thread([this] {
        uint32_t seq = 0;
        while (!stop_) {
            const bool up = linked_;
            std::vector<uint8_t> r(60, 0);
            inet_pton(AF_INET, toolAddr_.c_str(), r.data());
            r[10] = uint8_t(toolPid_ >> 8);
            r[11] = uint8_t(toolPid_);
            set32(&r[12], 1000);
            set32(&r[28], 1u << devPid_); // heard
            const uint64_t own = 1ull << toolPid_;
            const uint64_t links = own | (up ? 1ull << devPid_ : 0);
            for (size_t off : {32u, 40u}) {
                set32(&r[off], uint32_t(links >> 32));
                set32(&r[off + 4], uint32_t(links));
            }
            set32(&r[48], 200);
            set32(&r[52], ++seq);
            r[56] = 0x02;
            r[57] = 0x04;
            const sockaddr_in g = at("239.239.239.200", 9850);
            sendto(presTx_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&g), sizeof g);
            for (int i = 0; i < 20 && !stop_; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (up && i % 5 == 0) keepBusy();
            }
        }
    });
}

bool PcTool::link(const std::string& device, uint16_t offset) {
    ci_ = connectFrom(9862, device, uint16_t(9860 + offset));
    dk_ = ci_ >= 0 ? connectFrom(9863, device, uint16_t(9861 + offset)) : -1;
    linked_ = ci_ >= 0 && dk_ >= 0;
    if (!linked_) { // both or none, so that the tool can try again
        for (int* fd : {&ci_, &dk_})
            if (*fd >= 0) close(*fd);
        ci_ = dk_ = -1;
    }
    return linked_;
}

// Traffic on both links every 50 ms, as a tool's own polls give: a bounce (0x0105, answered 0x0106)
// and an empty DK frame for a handle the device does not have (dropped).
void PcTool::keepBusy() {
    sendCi(0x0105, 0, 0, {});
    const uint8_t frame[8] = {uint8_t(devPid_ >> 8), uint8_t(devPid_), 0, 0, 0, 0, 0, 0};
    std::lock_guard<std::mutex> g(dkSend_);
    send(dk_, frame, sizeof frame, MSG_NOSIGNAL);
}

bool PcTool::sendCi(uint16_t cmd, uint32_t ctx, uint32_t rctx, const std::vector<uint8_t>& payload) {
    return sendCiAs(toolPid_, cmd, ctx, rctx, payload);
}

bool PcTool::sendCiAs(uint16_t src, uint16_t cmd, uint32_t ctx, uint32_t rctx,
                      const std::vector<uint8_t>& payload) {
    std::lock_guard<std::mutex> g(ciSend_);
    std::vector<uint8_t> m;
    put16(m, 0);
    put16(m, uint16_t(payload.size()));
    put16(m, src);
    put16(m, devPid_);
    put32(m, ctx);
    put32(m, rctx);
    put16(m, cmd);
    put16(m, 0);
    m.insert(m.end(), payload.begin(), payload.end());
    return send(ci_, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size());
}

bool PcTool::receiveCi(uint16_t cmd, std::vector<uint8_t>* msg, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        uint8_t head[20];
        if (!readExact(ci_, head, 20, timeoutMs)) return false;
        msg->assign(head, head + 20);
        msg->resize(20 + get16(head + 2));
        if (!readExact(ci_, msg->data() + 20, msg->size() - 20, timeoutMs)) return false;
        if (get16(head + 16) == cmd) return true;
    }
    return false;
}

bool PcTool::receiveDk(uint16_t* dst, uint32_t* handle, std::vector<uint8_t>* record, int timeoutMs) {
    uint8_t head[8];
    if (!readExact(dk_, head, 8, timeoutMs)) return false;
    *dst = get16(head);
    *handle = get32(head + 4);
    record->resize(get16(head + 2));
    return readExact(dk_, record->data(), record->size(), timeoutMs);
}

bool PcTool::receiveDkUdp(uint16_t* dst, uint32_t* handle, std::vector<uint8_t>* record, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (udpFrames_.empty()) {
        pollfd p{dkUdp_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(until)) <= 0) return false;
        uint8_t d[2048];
        const ssize_t n = recv(dkUdp_, d, sizeof d, 0);
        // Frames back to back; a frame that does not fit the datagram ends it.
        for (size_t off = 0; n > 0 && off + 8 <= size_t(n);) {
            const size_t len = 8u + get16(d + off + 2);
            if (off + len > size_t(n)) break;
            udpFrames_.emplace_back(d + off, d + off + len);
            off += len;
        }
    }
    const std::vector<uint8_t> f = std::move(udpFrames_.front());
    udpFrames_.pop_front();
    *dst = get16(f.data());
    *handle = get32(f.data() + 4);
    record->assign(f.begin() + 8, f.end());
    return true;
}

bool PcTool::sendDk(const std::vector<uint8_t>& frames) {
    std::lock_guard<std::mutex> g(dkSend_);
    return send(dk_, frames.data(), frames.size(), MSG_NOSIGNAL) == ssize_t(frames.size());
}

bool PcTool::sendDkUdp(const std::string& device, uint16_t offset, const std::vector<uint8_t>& datagram) {
    const sockaddr_in to = at(device.c_str(), uint16_t(9852 + offset));
    return sendto(dkUdpTx_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == ssize_t(datagram.size());
}

int PcTool::connectFrom(uint16_t localPort, const std::string& device, uint16_t port) const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    const sockaddr_in local = at(toolAddr_.c_str(), localPort);
    bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const sockaddr_in dev = at(device.c_str(), port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&dev), sizeof dev) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool linkToDevice(PcTool& tool, uint16_t devicePid, const std::function<std::string()>& deviceLog,
                  uint16_t* version, std::string* why) {
    std::string address;
    uint16_t offset = 0;
    if (!tool.hear(devicePid, &address, version, &offset, 3000)) {
        *why = "no presence record of the device";
        return false;
    }
    tool.announce();
    char line[64];
    std::snprintf(line, sizeof line, "add remote_pid %X", unsigned(tool.pid()));
    if (!waitUntil([&] { return deviceLog().find(line) != std::string::npos; }, 3000)) {
        *why = std::string("the device did not log '") + line + "':\n" + deviceLog();
        return false;
    }
    // The device may hear the tool before its link listeners run: try until they accept.
    int error = 0;
    if (!waitUntil(
            [&] {
                const bool up = tool.link(address, offset);
                error = errno;
                return up;
            },
            3000)) {
        *why = "the links to " + address + " could not be opened (" + std::strerror(error) + "):\n" +
               deviceLog();
        return false;
    }
    char ci[64], dk[64];
    std::snprintf(ci, sizeof ci, "CI channel to PID 0x%02X established", unsigned(tool.pid()));
    std::snprintf(dk, sizeof dk, "DK channel to PID 0x%02X established", unsigned(tool.pid()));
    if (!waitUntil(
            [&] {
                const std::string log = deviceLog();
                return log.find(ci) != std::string::npos && log.find(dk) != std::string::npos;
            },
            3000)) {
        *why = "the device did not log both links:\n" + deviceLog();
        return false;
    }
    return true;
}

std::vector<uint8_t> nameRequest(uint16_t raster, uint16_t divisor, uint16_t depth, uint16_t flags,
                                 const std::vector<std::string>& names) {
    std::vector<uint8_t> list;
    for (const auto& n : names) {
        list.insert(list.end(), n.begin(), n.end());
        list.push_back(0);
    }
    std::vector<uint8_t> p;
    put16(p, raster);
    put16(p, divisor);
    put16(p, uint16_t(list.size()));
    put16(p, uint16_t(names.size()));
    put16(p, depth);
    put16(p, flags);
    p.insert(p.end(), list.begin(), list.end());
    return p;
}

} // namespace testsupport
