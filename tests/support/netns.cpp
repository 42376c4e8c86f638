#include "netns.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

NetNamespace::NetNamespace(bool loopbackUp) {
    origFd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (origFd_ < 0) {
        reason_ = std::string("cannot open the current network namespace: ") + strerror(errno);
        return;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        reason_ = std::string("network namespaces are not permitted here (unshare: ") + strerror(errno) + ")";
        close(origFd_);
        origFd_ = -1;
        return;
    }
    if (!loopbackUp) {
        ok_ = true;
        return;
    }
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (!up) {
        reason_ = std::string("cannot bring loopback up: ") + strerror(errno);
    } else {
        // Multicast leaves by loopback in this namespace.
        rtentry rt{};
        auto* dst = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
        auto* mask = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
        dst->sin_family = AF_INET;
        dst->sin_addr.s_addr = htonl(0xE0000000u);
        mask->sin_family = AF_INET;
        mask->sin_addr.s_addr = htonl(0xF0000000u);
        rt.rt_flags = RTF_UP;
        char dev[] = "lo";
        rt.rt_dev = dev;
        if (ioctl(s, SIOCADDRT, &rt) != 0 && errno != EEXIST)
            reason_ = std::string("cannot add the multicast route: ") + strerror(errno);
        else
            ok_ = true;
    }
    if (s >= 0) close(s);
}

NetNamespace::~NetNamespace() {
    if (origFd_ >= 0) {
        setns(origFd_, CLONE_NEWNET);
        close(origFd_);
    }
}

} // namespace testsupport
