// The PC-connection service's side of the remote control: the test writes the 5-byte commands to
// "/MeasAppRCTRL_RX" and reads the answers from "/MeasAppRCTRL_TX", the queues the process lists
// in its device root's mqueue-0.names.
#pragma once

#include "testsupport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <mqueue.h>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline constexpr uint8_t kPcAddress[4] = {127, 0, 0, 1};

// The PC-connection service's side of "/MeasAppRCTRL_RX" and "/MeasAppRCTRL_TX".
class PcConnectionService {
public:
    explicit PcConnectionService(const std::string& root) {
        const std::string list = root + "/mqueue-0.names";
        waitUntil(
            [&] {
                std::istringstream in(readFile(list));
                std::string device, host;
                while (in >> device >> host) names_[device] = host;
                if (!names_.count("/MeasAppRCTRL_RX") || !names_.count("/MeasAppRCTRL_TX")) return false;
                if (rx_ == mqd_t(-1)) rx_ = mq_open(names_["/MeasAppRCTRL_RX"].c_str(), O_WRONLY);
                if (tx_ == mqd_t(-1)) tx_ = mq_open(names_["/MeasAppRCTRL_TX"].c_str(), O_RDONLY);
                return ok();
            },
            15000);
    }
    ~PcConnectionService() {
        for (mqd_t q : {rx_, tx_})
            if (q != mqd_t(-1)) mq_close(q);
    }
    bool ok() const { return rx_ != mqd_t(-1) && tx_ != mqd_t(-1); }
    // Bounded: a device whose listener is stuck fills the queue, and the test must go on to tell.
    bool send(const std::vector<uint8_t>& m, int timeoutMs = 5000) {
        const timespec until = deadline(timeoutMs);
        return mq_timedsend(rx_, reinterpret_cast<const char*>(m.data()), m.size(), 0, &until) == 0;
    }
    bool command(uint8_t code) {
        return send({code, kPcAddress[0], kPcAddress[1], kPcAddress[2], kPcAddress[3]});
    }
    // The next answer within the time-out, or an empty one.
    std::vector<uint8_t> reply(int timeoutMs) {
        // The queue's time-out is on the wall clock, which may step while the test waits: the wait
        // is measured on the monotonic one.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char b[16];
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            const timespec until = deadline(int(std::max<long long>(left.count(), 0)));
            const ssize_t n = mq_timedreceive(tx_, b, sizeof b, nullptr, &until);
            if (n >= 0) return std::vector<uint8_t>(b, b + n);
            if (errno != EINTR && errno != ETIMEDOUT) {
                std::fprintf(stderr, "(the answer queue: %s)\n", std::strerror(errno));
                return {};
            }
            if (std::chrono::steady_clock::now() >= end) return {};
        }
    }
    // Drops what waits in both queues, as a power cut does on the device (the host's queues outlive
    // a killed process, and the next start would read a request sent to the dead one).
    void discardPending() {
        const mqd_t in = mq_open(names_["/MeasAppRCTRL_RX"].c_str(), O_RDONLY | O_NONBLOCK);
        char b[8192];
        while (in != mqd_t(-1) && mq_receive(in, b, sizeof b, nullptr) >= 0) {
        }
        if (in != mqd_t(-1)) mq_close(in);
        while (!reply(0).empty()) {
        }
    }
    long waiting() const {
        mq_attr a{};
        return mq_getattr(tx_, &a) == 0 ? a.mq_curmsgs : -1;
    }

private:
    static timespec deadline(int timeoutMs) {
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += long(timeoutMs % 1000) * 1000000;
        if (until.tv_nsec >= 1000000000) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000;
        }
        return until;
    }

    std::map<std::string, std::string> names_;
    mqd_t rx_ = mqd_t(-1), tx_ = mqd_t(-1);
};

} // namespace testsupport
