// Two application processes (index 0, PID 16 at 127.0.0.1, and index 1, PID 17 at 127.0.0.2) on
// the vehicle network of a private network namespace: they find each other, link up, carry CI
// messages between them, notice when one stops and link up again when it comes back. A device whose
// network is down says so.
#include "app_process.h"
#include "netns.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::AppProcess;
using testsupport::TempDir;
using testsupport::countOf;

namespace {

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    return testsupport::waitUntil(pred, timeoutMs);
}

sockaddr_in at(const char* address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

void put16(std::vector<uint8_t>& v, size_t i, uint16_t x) {
    v[i] = uint8_t(x >> 8);
    v[i + 1] = uint8_t(x);
}
void put32(std::vector<uint8_t>& v, size_t i, uint32_t x) {
    put16(v, i, uint16_t(x >> 16));
    put16(v, i + 2, uint16_t(x));
}
uint16_t get16(const std::vector<uint8_t>& v, size_t i) {
    return uint16_t(v[i] << 8 | v[i + 1]);
}
uint32_t get32(const std::vector<uint8_t>& v, size_t i) {
    return uint32_t(get16(v, i)) << 16 | get16(v, i + 2);
}

// A PC tool on the network, PID 40 at 127.0.0.40: it announces itself and opens CI links to both
// devices (its address is the larger one, so it connects).
class Tool {
public:
    static constexpr uint16_t PID = 40;
    Tool() {
        tx_ = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr me{};
        inet_pton(AF_INET, "127.0.0.40", &me);
        setsockopt(tx_, IPPROTO_IP, IP_MULTICAST_IF, &me, sizeof me);
        const sockaddr_in local = at("127.0.0.40", 9851);
        bind(tx_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        announcer_ = std::thread([this] {
            uint32_t seq = 0;
            while (!stop_) {
                std::vector<uint8_t> r(60, 0);
                inet_pton(AF_INET, "127.0.0.40", r.data());
                put16(r, 10, PID);
                put32(r, 12, 1000);
                put32(r, 28, (1u << 16) | (1u << 17)); // heard: both devices
                put32(r, 48, 200);
                put32(r, 52, ++seq);
                put16(r, 56, 0x0204);
                const sockaddr_in g = at("239.239.239.200", 9850);
                sendto(tx_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&g), sizeof g);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
    }
    ~Tool() {
        stop_ = true;
        announcer_.join();
        close(tx_);
        for (int fd : links_) close(fd);
    }
    int link(const char* device) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        const sockaddr_in local = at("127.0.0.40", 9862);
        bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        const sockaddr_in dev = at(device, 9860);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&dev), sizeof dev) != 0) {
            close(fd);
            return -1;
        }
        links_.push_back(fd);
        return fd;
    }
    static bool send(int fd, const std::vector<uint8_t>& m) {
        return ::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size());
    }
    static bool receive(int fd, std::vector<uint8_t>* m, int timeoutMs) {
        m->clear();
        uint8_t buf[600];
        size_t want = 20;
        while (m->size() < want) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            const ssize_t n = recv(fd, buf, want - m->size(), 0);
            if (n <= 0) return false;
            m->insert(m->end(), buf, buf + n);
            if (m->size() == 20) want = 20 + get16(*m, 2);
        }
        return true;
    }
    // The next message of the command; others that the device sends the tool meanwhile (its
    // requests for the tool's version text) are passed over.
    static bool receiveCommand(int fd, uint16_t command, std::vector<uint8_t>* m, int timeoutMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (receive(fd, m, timeoutMs)) {
            if (get16(*m, 16) == command) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
        }
        return false;
    }

private:
    int tx_ = -1;
    std::vector<int> links_;
    std::atomic<bool> stop_{false};
    std::thread announcer_;
};

std::vector<uint8_t> bounce(uint16_t src, uint16_t dst, uint32_t ctx) {
    std::vector<uint8_t> m(28, 0);
    put16(m, 2, 8);
    put16(m, 4, src);
    put16(m, 6, dst);
    put32(m, 8, ctx);
    put16(m, 16, 0x0105);
    for (int i = 0; i < 8; ++i) m[20 + i] = uint8_t(0xB0 + i);
    return m;
}

} // namespace

TEST(NetE2E, TwoDevicesLinkUpCarryCiMessagesAndRecoverFromAStop) {
    testsupport::NetNamespace net;
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root0, root1;
    AppProcess dev0(root0.path(), {"0"});
    auto dev1 = std::make_unique<AppProcess>(root1.path(), std::vector<std::string>{"1"});
    ASSERT_TRUE(dev0.waitForShell()) << dev0.stderrText();
    ASSERT_TRUE(dev1->waitForShell()) << dev1->stderrText();

    // Each sees the other and links up CI and DK (well within a second on the device; the
    // sanitizer builds get some room).
    const auto linked = [&](const AppProcess& p, const char* other, int times) {
        const std::string log = p.logText();
        return countOf(log, std::string("CI channel to PID ") + other + " established") >= times &&
               countOf(log, std::string("DK channel to PID ") + other + " established") >= times;
    };
    ASSERT_TRUE(waitFor([&] { return linked(dev0, "0x11", 1) && linked(*dev1, "0x10", 1); }, 3000))
        << dev0.logText() << "\n----\n"
        << dev1->logText();

    // A bounce through each device to the other comes back to the tool.
    Tool tool;
    ASSERT_TRUE(waitFor(
        [&] {
            return dev0.logText().find("add remote_pid 28") != std::string::npos &&
                   dev1->logText().find("add remote_pid 28") != std::string::npos;
        },
        3000));
    int link0 = -1, link1 = -1;
    ASSERT_TRUE(waitFor(
        [&] {
            return (link0 >= 0 || (link0 = tool.link("127.0.0.1")) >= 0) &&
                   (link1 >= 0 || (link1 = tool.link("127.0.0.2")) >= 0);
        },
        3000));
    ASSERT_TRUE(waitFor(
        [&] {
            return countOf(dev0.logText(), "CI channel to PID 0x28 established") == 1 &&
                   countOf(dev1->logText(), "CI channel to PID 0x28 established") == 1;
        },
        3000));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(Tool::send(link0, bounce(Tool::PID, 17, 0x1234)));
    ASSERT_TRUE(Tool::receiveCommand(link1, 0x0106, &reply, 3000)) << dev0.logText();
    EXPECT_EQ(get16(reply, 4), 17);
    EXPECT_EQ(get32(reply, 12), 0x1234u);
    ASSERT_TRUE(Tool::send(link1, bounce(Tool::PID, 16, 0x5678)));
    ASSERT_TRUE(Tool::receiveCommand(link0, 0x0106, &reply, 3000)) << dev1->logText();
    EXPECT_EQ(get16(reply, 4), 16);
    EXPECT_EQ(get32(reply, 12), 0x5678u);

    // Device 1 stops: device 0 declares it offline after about 1.4 s and drops both links.
    dev1->signal(SIGTERM);
    ASSERT_EQ(dev1->waitExit(), 0) << dev1->stderrText();
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        waitFor([&] { return dev0.logText().find("Host PID 0x11 is Offline") != std::string::npos; }, 4000));
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped)
            .count();
    EXPECT_LT(took, 2500);
    const std::string log0 = dev0.logText();
    EXPECT_GE(countOf(log0, "CI channel - socket closed") + countOf(log0, "Disconnecting TCP CI socket"), 1);
    EXPECT_GE(countOf(log0, "DK channel - socket closed") + countOf(log0, "Disconnecting TCP DK socket"), 1);

    // It comes back and the links are made again.
    dev1 = std::make_unique<AppProcess>(root1.path(), std::vector<std::string>{"1"});
    ASSERT_TRUE(dev1->waitForShell()) << dev1->stderrText();
    EXPECT_TRUE(waitFor([&] { return linked(dev0, "0x11", 2); }, 4000)) << dev0.logText();

    dev1->signal(SIGTERM);
    EXPECT_EQ(dev1->waitExit(), 0);
    dev0.signal(SIGTERM);
    EXPECT_EQ(dev0.waitExit(), 0) << dev0.stderrText();
}

TEST(NetE2E, ADeviceNetworkThatIsDownIsNamedOnceAtStartUp) {
    testsupport::NetNamespace net(false);
    if (!net.ok()) GTEST_SKIP() << "needs a private network namespace: " << net.reason();
    TempDir root;
    AppProcess dev(root.path(), {"0"});
    ASSERT_TRUE(dev.waitForShell()) << dev.stderrText();
    const std::string down = "BC2_eth_ini(): the device network is not up: interface lo, which carries the "
                             "device's address 127.0.0.1, is down; nothing is sent or received on it";
    EXPECT_TRUE(waitFor(
        [&] { return dev.logText().find("BC2_eth_ini(): Initialisation finished") != std::string::npos; },
        5000))
        << dev.logText();
    dev.signal(SIGTERM);
    EXPECT_EQ(dev.waitExit(), 0) << dev.stderrText();
    EXPECT_EQ(countOf(dev.logText(), down), 1) << dev.logText();
    EXPECT_NE(dev.stderrText().find(down), std::string::npos);
}
