// Shared set-up of the logging configuration, condition FIFO and drive tests: a temporary device
// root with its drives, the system log drained before each test, this device as PID 16.
#pragma once

#include "testsupport.h"

#include "framework/appman.h"
#include "framework/syslog.h"
#include "platform/rtos/hostclock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace logcfgtest {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        syslog_init(0);
        app_pid = 16;
        testsupport::drainSyslog();
    }
    void TearDown() override {
        hostclock_setManual(false);
        testsupport::drainSyslog();
    }
    // Lines logged since the last call.
    std::vector<std::string> log() { return testsupport::drainSyslog(); }
    void cfgFile(const std::string& name, const std::string& text) {
        testsupport::writeFile(root.file("cfg/" + name), text);
    }

    testsupport::TempDeviceRoot root;
};

inline bool contains(const std::vector<std::string>& lines, const std::string& text) {
    return testsupport::countContaining(lines, text) > 0;
}

} // namespace logcfgtest
