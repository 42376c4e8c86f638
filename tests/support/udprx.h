// A UDP receiver bound to a loopback address for tests that listen to what the process sends.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

struct UdpReceiver {
    int fd = -1;
    uint16_t port = 0; // the bound port (the one given, or the one the system chose for 0)
    bool bound = false;

    UdpReceiver(const char* address, uint16_t wanted) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, address, &a.sin_addr);
        a.sin_port = htons(wanted);
        bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t l = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
        port = ntohs(a.sin_port);
    }
    ~UdpReceiver() { close(fd); }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // The next datagram, empty after `timeoutMs` without one.
    std::vector<uint8_t> next(int timeoutMs = 10000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return {};
        std::vector<uint8_t> b(2048);
        const ssize_t n = recv(fd, b.data(), b.size(), 0);
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }
};

} // namespace testsupport
