// Helpers of the network tests: a private network namespace, a tap on the system log, and a test
// peer that speaks DivoVur2 with plain sockets (presence, CI and DK links, DK over UDP).
#pragma once

#include "framework/syslog.h"
#include "msdcom/ci/ci_msg.h"
#include "msdcom/network/bc2_net.h"
#include "msdcom/network/dk_frame.h"
#include "netns.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace nettest {

using NetNamespace = testsupport::NetNamespace;

// Collects what the process logs to "/syslogq" while it lives (opens the queue on first use).
class LogTap {
public:
    LogTap();
    ~LogTap();
    std::vector<std::string> lines();
    bool has(const std::string& text);
    int count(const std::string& text);
    // Waits (real time) until a line containing `text` was logged.
    bool waitFor(const std::string& text, int timeoutMs = 3000);
    void clear();

private:
    void run();
    std::mutex m_;
    std::vector<std::string> lines_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Polls `pred` every 5 ms until it holds or the time runs out.
bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 3000);

uint32_t addr(const char* dotted); // network order
sockaddr_in sockAddr(const char* dotted, uint16_t port);

// A presence record as a peer sends it.
struct PresenceSpec {
    uint16_t pid = 9;
    const char* address = "127.0.0.9";
    uint32_t timeoutMs = 1000;
    uint64_t heard = 0, ciMask = 0, dkMask = 0;
    uint32_t seq = 1;
    uint16_t version = 0x0204;
    uint16_t portOffset = 0;
};
std::vector<uint8_t> presenceBytes(const PresenceSpec& p);

std::vector<uint8_t> ciBytes(uint16_t cmd, uint16_t src, uint16_t dst, uint32_t ctx, uint32_t rctx,
                             const std::vector<uint8_t>& payload);
std::vector<uint8_t> dkBytes(uint16_t pid, uint32_t handle, const std::vector<uint8_t>& record);

// A peer on its own loopback address.
class TestPeer {
public:
    TestPeer(uint16_t pid, const char* address, uint16_t portOffset = 0);
    ~TestPeer();

    uint16_t pid() const { return pid_; }
    // Presence: one record to the group, sent from address:9851+offset. `spec.pid`, address and
    // offset are the peer's unless the caller changes them.
    PresenceSpec spec() const;
    void sendPresence(const PresenceSpec& spec, size_t length = 60);
    void sendPresenceRaw(const std::vector<uint8_t>& bytes);
    // A record that shows the device heard and, once linked, both links up.
    void announce(uint16_t devicePid, bool linksUp);
    // Keeps announcing every 200 ms in a thread until stopAnnouncing().
    void startAnnouncing(uint16_t devicePid);
    void stopAnnouncing();
    // When the last presence record went out (a late announcer thread sends it early or late).
    std::chrono::steady_clock::time_point lastPresenceSent() const { return lastSent_.load(); }
    // Receives one presence record of `fromPid` from the group (joins it on first use).
    bool receivePresence(uint16_t fromPid, std::vector<uint8_t>* bytes, sockaddr_in* from,
                         int timeoutMs = 2000);

    // Links. Active: connects from address:9862/9863+offset to the device. Passive: listens on
    // address:9860/9861+offset and accepts what the device opens.
    int connectCi(const char* deviceAddr, uint16_t deviceOffset = 0);
    int connectDk(const char* deviceAddr, uint16_t deviceOffset = 0);
    void listen();
    int acceptCi(int timeoutMs = 3000, sockaddr_in* from = nullptr);
    int acceptDk(int timeoutMs = 3000, sockaddr_in* from = nullptr);
    int& ci() { return ci_; }
    int& dk() { return dk_; }

    bool sendAll(int sock, const std::vector<uint8_t>& bytes);
    // One whole CI message from the link; false on time-out or a closed link.
    bool receiveCi(int sock, std::vector<uint8_t>* msg, int timeoutMs = 3000);
    // Reads exactly n bytes.
    bool receiveExact(int sock, uint8_t* out, size_t n, int timeoutMs = 3000);
    // True when the device closed (or reset) the link within the time.
    bool linkClosed(int sock, int timeoutMs = 3000);

    // DK over UDP: the peer's receive socket on address:9852+offset, and datagrams to the device
    // from its send socket on address:9853+offset.
    bool receiveDkDatagram(std::vector<uint8_t>* out, int timeoutMs = 3000);
    void sendDkDatagram(const char* deviceAddr, const std::vector<uint8_t>& bytes, uint16_t deviceOffset = 0);
    // CI multicast: a datagram to 239.239.239.201:9870.
    void sendCiMulticast(const std::vector<uint8_t>& bytes);

private:
    int tcpFrom(uint16_t localPort);
    uint16_t pid_;
    std::string address_;
    uint16_t offset_;
    int presTx_ = -1, presRx_ = -1, ciListen_ = -1, dkListen_ = -1, dkUdp_ = -1, dkUdpTx_ = -1, mcTx_ = -1;
    int ci_ = -1, dk_ = -1;
    std::atomic<bool> linked_{false}; // both links up, as the announcer tells the device
    void noteLinks() { linked_ = ci_ >= 0 && dk_ >= 0; }
    uint32_t seq_ = 0;
    std::atomic<bool> announcing_{false};
    std::atomic<std::chrono::steady_clock::time_point> lastSent_{};
    std::thread announcer_;
};

} // namespace nettest
