#include "platform/kernel/ping.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> gTimeoutS{5};
std::atomic<PingDouble> gDouble{PingDouble::Off};
std::atomic<int> gDoubleCount{0};
std::atomic<uint16_t> gSequence{0};

uint16_t checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += uint32_t(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// An unprivileged ICMP socket (the kernel keeps the identifier and filters the replies), else a
// raw one. -1 with errno when neither may be opened.
int openSocket(bool* raw) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    *raw = false;
    if (fd >= 0) return fd;
    const int first = errno;
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    *raw = true;
    if (fd < 0 && (errno == EPERM || errno == EACCES)) errno = first;
    return fd;
}

// One echo: OK when its reply came within the time-out.
STATUS echoOnce(const sockaddr_in& to) {
    bool raw = false;
    const int fd = openSocket(&raw);
    if (fd < 0) return ERROR;
    const uint16_t id = uint16_t(getpid());
    const uint16_t seq = gSequence.fetch_add(1);
    uint8_t req[16] = {ICMP_ECHO, 0, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq)};
    std::memcpy(req + 8, "msdping", 8);
    const uint16_t sum = checksum(req, sizeof req);
    req[2] = uint8_t(sum >> 8);
    req[3] = uint8_t(sum);
    if (sendto(fd, req, sizeof req, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return ERROR;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(gTimeoutS.load());
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0) break;
        const int ready = poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR) continue; // a signal handler ran: wait on
        if (ready <= 0) break;
        uint8_t buf[1500];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n <= 0 || from.sin_addr.s_addr != to.sin_addr.s_addr) continue;
        size_t off = 0;
        if (raw) off = size_t(buf[0] & 0x0F) * 4; // behind the IP header
        if (size_t(n) < off + 8 || buf[off] != ICMP_ECHOREPLY) continue;
        const uint16_t rseq = uint16_t(buf[off + 6] << 8 | buf[off + 7]);
        const uint16_t rid = uint16_t(buf[off + 4] << 8 | buf[off + 5]);
        if (rseq != seq || (raw && rid != id)) continue;
        close(fd);
        return OK;
    }
    close(fd);
    errno = S_pingLib_TIMEOUT;
    return ERROR;
}

} // namespace

STATUS ping(const char* host, int numPackets, unsigned long) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (!host || inet_pton(AF_INET, host, &to.sin_addr) != 1) {
        errno = EINVAL;
        return ERROR;
    }
    for (int i = 0; i < (numPackets > 0 ? numPackets : 1); ++i) {
        switch (gDouble.load()) {
        case PingDouble::Answer:
            ++gDoubleCount;
            break;
        case PingDouble::Silent:
            ++gDoubleCount;
            taskDelay(gTimeoutS.load() * sysClkRateGet());
            errno = S_pingLib_TIMEOUT;
            return ERROR;
        case PingDouble::Off:
            if (echoOnce(to) != OK) return ERROR;
            break;
        }
    }
    return OK;
}

void ping_setTimeout(int seconds) {
    gTimeoutS.store(seconds < 1 ? 1 : seconds);
}

int ping_getTimeout() {
    return gTimeoutS.load();
}

void ping_setDouble(PingDouble mode) {
    gDouble.store(mode);
    gDoubleCount.store(0);
}

int ping_doubleCount() {
    return gDoubleCount.load();
}
