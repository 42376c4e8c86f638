// The network's ping: one ICMP echo at a time to an IPv4 address, over an unprivileged ICMP socket
// where the host allows one and a raw socket otherwise. A test double answers or stays silent on
// command instead of the network.
#pragma once

#include "platform/rtos/rtos.h"

// errno of a ping that got no answer within the time-out.
inline constexpr int S_pingLib_TIMEOUT = 0x630002;

// Sends `numPackets` echo requests to `host` (dotted IPv4), one after the other, each waiting up
// to the time-out for its reply. OK when every one was answered; ERROR with errno set otherwise
// (S_pingLib_TIMEOUT, EINVAL for a bad address, or the socket's error). `options` is recorded.
STATUS ping(const char* host, int numPackets, unsigned long options);
// Time-out of one echo in seconds (default 5; at least 1).
void ping_setTimeout(int seconds);
int ping_getTimeout();

// Test double: the real network, or every ping answered at once, or none answered (the caller
// waits the time-out on the device's clock, then ERROR with S_pingLib_TIMEOUT).
enum class PingDouble { Off, Answer, Silent };
void ping_setDouble(PingDouble mode);
// Pings handed to the double since the last ping_setDouble.
int ping_doubleCount();
