// Shared set-up of the command-interpreter tests: this device is PID 1, the command queue exists
// without its task (tests serve it by hand or start r_Comint), and the network side is a fake
// that records what would have left the device.
#pragma once

#include "testsupport.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "msdcom/ci/ci_table.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/routing.h"
#include "platform/kernel/syslogq.h"
#include "platform/rtos/rtos.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace citest {

inline constexpr uint16_t OWN_PID = 1;

struct FakeNet {
    std::mutex lock;
    std::vector<comint_msg> eth;     // sent over a CI link or the multicast channel
    std::vector<comint_msg> locSock; // sent over a local socket
    std::atomic<uint16_t> ethResult{1};
    std::atomic<int> status{1};
};

inline FakeNet& fakeNet() {
    static FakeNet f;
    return f;
}

inline uint16_t fakePutEth(const comint_msg* m) {
    std::lock_guard<std::mutex> g(fakeNet().lock);
    fakeNet().eth.push_back(*m);
    return fakeNet().ethResult.load();
}

inline uint16_t fakePutLocSock(const comint_msg* m) {
    std::lock_guard<std::mutex> g(fakeNet().lock);
    fakeNet().locSock.push_back(*m);
    return 1;
}

inline int fakeStatus() {
    return fakeNet().status.load();
}

inline std::vector<comint_msg> sentEth() {
    std::lock_guard<std::mutex> g(fakeNet().lock);
    return fakeNet().eth;
}

// Records that reached "/syslogq" since the last call.
inline std::vector<std::string> drainLog() { return testsupport::drainSyslog(); }

inline int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return testsupport::countContaining(lines, text);
}

inline comint_msg makeMsg(uint16_t cmd, uint16_t src, uint16_t dst, uint32_t ctx = 0, uint32_t rctx = 0,
                          uint16_t len = 0, uint8_t fill = 0) {
    comint_msg m;
    std::memset(&m, 0, sizeof(m));
    ci_init(&m, cmd, src, dst, ctx, rctx, len);
    std::memset(m.data, fill, len);
    return m;
}

// Everything queued right now, in order.
inline std::vector<comint_msg> drainQueue() {
    std::vector<comint_msg> out;
    comint_msg m;
    while (comint_receive(&m, NO_WAIT)) out.push_back(m);
    return out;
}

// Serves what is queued the way r_Comint does, until the queue is empty (answers included).
inline void pump() {
    comint_msg m;
    while (comint_receive(&m, NO_WAIT)) {
        if (ci_dst(&m) == app_pid)
            ci_serve_command(&m);
        else if (comint_put_cmd(&m, 0) != 1)
            comint_error(COMINT_ERR_FORWARD, &m);
    }
}

class CiTest : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        drainLog();
        app_pid = OWN_PID;
        comint_exit();
        ASSERT_TRUE(comint_queue_ini());
        comint_error_ini();
        routing_ini();
        ci_register_own_handlers();
        {
            std::lock_guard<std::mutex> g(fakeNet().lock);
            fakeNet().eth.clear();
            fakeNet().locSock.clear();
        }
        fakeNet().ethResult = 1;
        fakeNet().status = 1;
        msdcom_netops ops{};
        ops.comint_put_eth = fakePutEth;
        ops.comint_put_locSock = fakePutLocSock;
        ops.comint_status = fakeStatus;
        msdcom_netops_install(ops);
    }
    void TearDown() override {
        comint_exit();
        msdcom_netops_reset();
        drainLog();
    }
};

} // namespace citest
