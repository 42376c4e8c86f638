// Set-up of the network tests: this device is PID 5 at 127.0.0.5 (a device root of its own), the
// command interpreter, routing and data FIFOs run, and the transport is installed.
#pragma once

#include "framework/appman.h"
#include "msdcom/ci/comint.h"
#include "msdcom/ci/comint_netops.h"
#include "msdcom/ci/dynkomm.h"
#include "msdcom/ci/routing.h"
#include "msdcom/network/bc2_internal.h"
#include "msdcom/network/net_init.h"
#include "test_net_support.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace nettest {

inline constexpr uint16_t DEV_PID = 5;
inline constexpr const char* DEV_ADDR = "127.0.0.5";

// The device's parameters: PID 5, its address and port offset.
inline void configureDevice(const testsupport::TempDeviceRoot& root, const char* address = DEV_ADDR,
                            uint16_t offset = 0) {
    testsupport::writeFile(root.file("appparam-0.conf"), "pid = 5\nip_address = " + std::string(address) +
                                                             "\nport_offset = " + std::to_string(offset) +
                                                             "\n");
    std::string error;
    ASSERT_TRUE(appman_init(0, &error)) << error;
}

// Command interpreter, routing and FIFOs for one test; the transport's tables without its tasks.
class NetBase : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<LogTap>();
        configureDevice(root_);
        routing_ini();
        ASSERT_TRUE(dynkomm_ini());
        ASSERT_TRUE(comint_ini());
        ASSERT_TRUE(net_ini());
        bc2_fill_local_host();
    }
    void TearDown() override {
        BC2_stop(); // ends whatever task a test started, then the tables are given back
        comint_exit();
        bc2_release();
        dynkomm_exit();
        msdcom_netops_reset();
        log_.reset();
    }
    testsupport::TempDeviceRoot root_;
    std::unique_ptr<LogTap> log_;
};

// The whole transport with its tasks, in a network namespace of the test's own.
class NetLive : public NetBase {
protected:
    void SetUp() override {
        ns_ = std::make_unique<NetNamespace>();
        if (!ns_->ok()) GTEST_SKIP() << "needs a private network namespace: " << ns_->reason();
        NetBase::SetUp();
        if (HasFatalFailure()) return;
        BC2_init(); // returns with every listening socket bound
        ASSERT_TRUE(bc2_listeners_ready());
        ASSERT_TRUE(bc2_ready2connect.load());
        ASSERT_EQ(comint_status(), 1);
    }
    void TearDown() override {
        if (!ns_->ok()) return;
        NetBase::TearDown();
        ns_.reset();
    }
    std::unique_ptr<NetNamespace> ns_;
};

} // namespace nettest
