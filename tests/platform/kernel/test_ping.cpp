// The host's ping: a real echo over loopback where the host lets the test open an ICMP socket, and
// the test double that answers or stays silent.
#include "platform/kernel/ping.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

TEST(Ping, EchoOverLoopbackAndTheDoubleOnCommand) {
    errno = 0;
    EXPECT_EQ(ping("not an address", 1, 0), ERROR);
    EXPECT_EQ(errno, EINVAL);

    ping_setTimeout(1);
    if (ping("127.0.0.1", 1, 0) == OK) {
        SUCCEED();
    } else {
        EXPECT_TRUE(errno == EPERM || errno == EACCES) << "errno " << errno;
        std::printf("no ICMP socket allowed here; the real echo is not tested\n");
    }

    ping_setDouble(PingDouble::Answer);
    EXPECT_EQ(ping("10.1.2.3", 2, 0), OK);
    EXPECT_EQ(ping_doubleCount(), 2);
    ping_setDouble(PingDouble::Silent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ping("10.1.2.3", 1, 0), ERROR);
    EXPECT_EQ(errno, S_pingLib_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(ping_doubleCount(), 1);
    ping_setDouble(PingDouble::Off);
    ping_setTimeout(5);
}
